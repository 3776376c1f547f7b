#!/usr/bin/env bash
# Runs a Windows program under Wine and exits with its exit code: the emulator CMake's toolchain
# file gives ctest. Uses the prefix of tools/wine.sh's wine_start when one is exported; without
# one it boots a prefix of its own for this run and removes it after (slow, but never ~/.wine).
. "$(dirname "$0")/wine.sh"
wine=$(wine_find wine64) || exit 127
export WINEDEBUG=${WINEDEBUG--all}
if [ -z "${WINEPREFIX:-}" ]; then
  wine_start > /dev/null || exit 127
  "$wine" "$@"
  status=$?
  wine_stop
  exit $status
fi
exec "$wine" "$@"
