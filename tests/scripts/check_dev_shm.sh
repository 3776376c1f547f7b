#!/usr/bin/env bash
# Named events and notify channels of ours left in /dev/shm by this test run. "snapshot FILE" notes
# what is there before the run; "check FILE" then fails on an event file or channel that is new
# since and that no process holds (every open of an event holds a flock, listed in /proc/locks; a
# channel is held while a socket is bound to it, listed in /proc/net/unix). Those of other hosts on
# the machine are held, and stale ones from before the run are in the snapshot: neither counts.
set -u
mode=$1 list=$2
entries() {
  for f in /dev/shm/kestravo-ev.* /dev/shm/kestravo-nt.*; do
    if [ -e "$f" ]; then printf '%s %s\n' "$(stat -c %i "$f" 2>/dev/null)" "$f"; fi
  done
}
case $mode in
  snapshot) entries > "$list" ;;
  check)
    # An event of another run on the machine can be between its creation and its lock, or its
    # unlock and its removal: only one that stays unheld for 3 s counts.
    unheld() {
      held=$(awk '$2 == "FLOCK" { n = split($6, id, ":"); print id[n] }' /proc/locks | sort -u)
      bound=$(awk 'NR > 1 && $8 ~ /kestravo-nt/ { print $8 }' /proc/net/unix | sort -u)
      entries | grep -vxFf "$list" | while read -r inode name; do
        grep -qx "$inode" <<< "$held" || grep -qxF "$name" <<< "$bound" || echo "$inode $name"
      done
    }
    left=$(unheld)
    for _ in $(seq 30); do
      [ -n "$left" ] || break
      sleep 0.1
      left=$(grep -xFf <(unheld) <<< "$left" || true)
    done
    [ -z "$left" ] || { echo "left in /dev/shm by this run: $left"; exit 1; }
    echo "nothing left in /dev/shm" ;;
esac
