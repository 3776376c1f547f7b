#!/usr/bin/env bash
# The Windows x64 build, cross-compiled with mingw-w64: kestravo.dll, kestravo_child.dll, the tools
# and the sample child, linked so that they need nothing but system DLLs and each other.
#
#   bash scripts/build-windows.sh          a Release build in build-win/, installed into a folder and
#                                        zipped: build-win/kestravo-VERSION-win64.zip
#   bash scripts/build-windows.sh --test [TREE]
#                                        builds TREE (build-win-test/) with the tests and runs them
#                                        under Wine, in a Wine prefix of their own
#   bash scripts/build-windows.sh --build-only --test [TREE]
#                                        builds that tree and runs nothing
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh

build_only=0
[ "${1:-}" != --build-only ] || { build_only=1; shift; }
script_options --test "$@"
test=$flag_on

ensure_packages
ensure_windows_deps
configure() {
  local dir=$1
  shift
  mkdir -p "$dir"
  # A unity build, as scripts/test-all.sh makes: each target's sources compiled as one file.
  cmake -S . -B "$dir" -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
    -DKESTRAVO_MINGW_DEPS="$KESTRAVO_MINGW_DEPS" -DCMAKE_UNITY_BUILD=ON -DCMAKE_UNITY_BUILD_BATCH_SIZE=0 "$@" > "$dir/configure.log" || { cat "$dir/configure.log"; return 1; }
}

if [ $test = 1 ]; then
  tree=${tree:-build-win-test}
  configure "$tree" -DCMAKE_BUILD_TYPE=RelWithDebInfo
  TIMEFORMAT="== build windows: %0R s wall, %0U s user, %0S s sys"
  time cmake --build "$tree"
  [ $build_only = 0 ] || exit 0
  started=$SECONDS
  . scripts/wine.sh
  wine_start
  # Into a file: programs under Wine inherit the console handles, and a pipe would stay open.
  status=0
  (cd "$tree" && ctest --output-on-failure -j1 --timeout 300 > ctest.log 2>&1) || status=$?
  cat "$tree/ctest.log"
  wine_stop
  echo "== windows tests under Wine: $((SECONDS - started)) s"
  exit $status
fi

tree=${tree:-build-win}
configure "$tree" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF
cmake --build "$tree"
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$tree/CMakeCache.txt")
name=kestravo-$version-win64
rm -rf "$tree/$name" "$tree/$name.zip"
cmake --install "$tree" --prefix "$tree/$name" > /dev/null
cp -r README.md docs "$tree/$name/"
(cd "$tree" && cmake -E tar cf "$name.zip" --format=zip "$name")
echo "Windows build: $tree/$name.zip"
(cd "$tree/$name" && find . -type f | sort | sed 's/^\.\//  /')
