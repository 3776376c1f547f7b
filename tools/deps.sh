# Sourced by the run and test scripts: installs with apt-get the Debian packages that are missing.
KESTRAVO_PACKAGES="cmake g++ ninja-build pkg-config libtinyxml-dev liblog4cxx-dev libgtest-dev googletest"
# Only for the fuzz step of tools/test-all.sh: clang and its libFuzzer runtime.
KESTRAVO_FUZZ_PACKAGES="clang libclang-rt-14-dev"
# Only for tools/package.sh: dpkg-shlibdeps and file find the packages' dependencies.
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
