# Sourced by the run and test scripts: installs with apt-get the Debian packages that are missing.
KESTRAVO_PACKAGES="cmake g++ ninja-build pkg-config libtinyxml-dev liblog4cxx-dev libinih-dev libgtest-dev googletest nlohmann-json3-dev"
# Only for the fuzz step of scripts/test-all.sh: clang and its libFuzzer runtime.
KESTRAVO_FUZZ_PACKAGES="clang libclang-rt-14-dev"
# Only for packaging/package.sh: dpkg-shlibdeps and file find the packages' dependencies.
KESTRAVO_PACKAGING_PACKAGES="dpkg-dev file"

# ensure_packages [EXTRA...]: the packages above and any extra ones.
ensure_packages() {
  local missing=""
  for package in $KESTRAVO_PACKAGES "$@"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
      missing="$missing $package"
  done
  if [ -n "$missing" ]; then
    echo "installing:$missing"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends $missing
  fi
}

# script_options FLAG ARGS...: the options of a script that takes one flag and a build tree. Sets
# flag_on (1 when FLAG was given, else 0) and tree (empty when none was given); -h prints the
# script's opening comment.
script_options() {
  local flag=$1
  shift
  flag_on=0
  tree=""
  while [ $# -gt 0 ]; do
    case $1 in
      "$flag") flag_on=1 ;;
      -h|--help) sed -n '2,10s/^# \{0,1\}//p' "$0"; exit 0 ;;
      -*) echo "$(basename "$0"): unknown option $1" >&2; exit 2 ;;
      *) tree=$1 ;;
    esac
    shift
  done
}

# The Windows x64 build: the cross compiler, Wine to run the tests, dpkg-dev for apt-get source.
KESTRAVO_WINDOWS_PACKAGES="g++-mingw-w64-x86-64-posix wine64 dpkg-dev"
KESTRAVO_TOOLS_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

# ensure_windows_deps: the packages above, and TinyXML, inih and GoogleTest built for Windows into a
# prefix cached under /var/cache/kestravo-mingw (or $KESTRAVO_MINGW_CACHE), built once per machine
# for each set of source versions and build recipe. Exports KESTRAVO_MINGW_DEPS=<prefix>.
ensure_windows_deps() {
  ensure_packages $KESTRAVO_WINDOWS_PACKAGES || return 1
  local cache=${KESTRAVO_MINGW_CACHE:-/var/cache/kestravo-mingw} tinyxml inih recipe key started log
  tinyxml=$(dpkg-query -W -f='${source:Version}' libtinyxml-dev) || return 1
  inih=$(dpkg-query -W -f='${source:Package}=${source:Version}' libinih-dev) || return 1
  recipe=$( {
    dpkg-query -W -f='${Package} ${Version}\n' googletest g++-mingw-w64-x86-64-posix mingw-w64-x86-64-dev
    cat "$KESTRAVO_TOOLS_DIR/build-mingw-deps.sh" "$KESTRAVO_TOOLS_DIR/../cmake/mingw-w64-x86_64.cmake"
  } | sha256sum | cut -c1-12) || return 1
  key="tinyxml-$tinyxml-inih-${inih#*=}-googletest-$(dpkg-query -W -f='${Version}' googletest)-$recipe"
  key=$(echo "$key" | tr -c 'A-Za-z0-9.+_\n-' '_')
  export KESTRAVO_MINGW_DEPS="$cache/$key"
  if [ -d "$KESTRAVO_MINGW_DEPS" ]; then
    echo "windows deps: $KESTRAVO_MINGW_DEPS"
    grep -h '^not built' "$KESTRAVO_MINGW_DEPS.log" 2>/dev/null || true
    return 0
  fi
  mkdir -p "$cache" || return 1
  echo "windows deps: building $KESTRAVO_MINGW_DEPS"
  started=$(date +%s)
  log=$(mktemp "$cache/.log.XXXXXX") || return 1
  # One build per machine at a time; a second caller waits, then finds the prefix made.
  if ! flock "$cache/.lock" bash "$KESTRAVO_TOOLS_DIR/build-mingw-deps.sh" "$KESTRAVO_MINGW_DEPS" "$tinyxml" "$inih" \
      > "$log" 2>&1; then
    mv "$log" "$KESTRAVO_MINGW_DEPS.log"
    tail -n 40 "$KESTRAVO_MINGW_DEPS.log"
    echo "windows deps: build failed, see $KESTRAVO_MINGW_DEPS.log"
    return 1
  fi
  if grep -q '^already built' "$log"; then
    rm -f "$log"
    echo "windows deps: built by another run meanwhile"
    return 0
  fi
  mv "$log" "$KESTRAVO_MINGW_DEPS.log"
  grep -E '^(fetched|built|not built) ' "$KESTRAVO_MINGW_DEPS.log"
  echo "windows deps: built in $(($(date +%s) - started)) s"
}
