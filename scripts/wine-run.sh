#!/usr/bin/env bash
# Runs a Windows program under Wine and exits with its exit code: the emulator that the toolchain
# file gives ctest. Uses the prefix of scripts/wine.sh's wine_start when one is exported; without one
# it boots a prefix of its own for this run and removes it after (slow, but never touches ~/.wine).
#
# The program's output goes through files: under Wine every process it starts inherits its
# standard handles, so a pipe from ctest would stay open, and ctest wait, while any child lives.
. "$(dirname "$0")/wine.sh"
wine=$(wine_find wine64) || exit 127
export WINEDEBUG=${WINEDEBUG--all}
own_prefix=
if [ -z "${WINEPREFIX:-}" ]; then
  wine_start > /dev/null || exit 127
  own_prefix=1
fi
out=$(mktemp "$WINEPREFIX.out.XXXXXX") && err=$(mktemp "$WINEPREFIX.err.XXXXXX") || exit 127
trap 'rm -f "$out" "$err"; [ -z "$own_prefix" ] || wine_stop' EXIT
trap 'exit 130' INT TERM HUP
"$wine" "$@" > "$out" 2> "$err"
status=$?
cat "$out"
cat "$err" >&2
exit $status
