# Sourced by the Windows test scripts: runs Windows programs under Wine in a prefix of their own.
#   wine_start   make a fresh WINEPREFIX in a temporary directory, boot it, keep its server up
#   wine_stop    end that prefix's server and remove the prefix (also on exit or signal)
# wine_start sets the shell's EXIT, INT, TERM and HUP traps; a caller with traps of its own calls
# wine_stop from them instead.
# Output of programs run under Wine belongs in files: they inherit the console handles, so a pipe
# read by the script stays open as long as any of their children lives.

# wine_find NAME: the path of wine64 or wineserver; Debian keeps them out of PATH.
wine_find() {
  local name=$1
  if command -v "$name" >/dev/null 2>&1; then
    command -v "$name"
  elif [ -x "/usr/lib/wine/$name" ]; then
    echo "/usr/lib/wine/$name"
  else
    echo "wine: $name not found (apt-get install wine64)" >&2
    return 1
  fi
}

wine_start() {
  local wine server started
  wine=$(wine_find wine64) && server=$(wine_find wineserver) || return 1
  WINEPREFIX=$(mktemp -d "${TMPDIR:-/tmp}/kestravo-wine.XXXXXX") || return 1
  export WINEPREFIX WINEDEBUG=-all
  # Nothing here needs .NET, a browser engine or desktop menu entries: skip them.
  export WINEDLLOVERRIDES="mscoree,mshtml,winemenubuilder.exe="
  trap wine_stop EXIT
  trap 'exit 130' INT TERM HUP
  started=$(date +%s%N)
  # A server that stays up between programs spares each test its start-up.
  "$server" -p > "$WINEPREFIX.boot.log" 2>&1 < /dev/null || return 1
  if ! "$wine" wineboot -i >> "$WINEPREFIX.boot.log" 2>&1 < /dev/null; then
    cat "$WINEPREFIX.boot.log" >&2
    echo "wine: wineboot failed" >&2
    return 1
  fi
  # Making the prefix leaves two service managers on one pipe, which answer in turn (a service
  # installed through one is unknown to the other): boot it again, to one.
  "$server" -k 2>/dev/null
  "$server" -w 2>/dev/null
  if ! "$server" -p >> "$WINEPREFIX.boot.log" 2>&1 < /dev/null || ! "$wine" wineboot >> "$WINEPREFIX.boot.log" 2>&1 < /dev/null; then
    cat "$WINEPREFIX.boot.log" >&2
    echo "wine: second boot failed" >&2
    return 1
  fi
  echo "wine: prefix $WINEPREFIX booted in $((($(date +%s%N) - started) / 1000000)) ms"
}

wine_stop() {
  [ -n "${WINEPREFIX:-}" ] || return 0
  local server
  if server=$(wine_find wineserver 2>/dev/null); then
    "$server" -k 2>/dev/null
    "$server" -w 2>/dev/null
  fi
  rm -rf "$WINEPREFIX" "$WINEPREFIX.boot.log"
  unset WINEPREFIX
  trap - EXIT INT TERM HUP
}
