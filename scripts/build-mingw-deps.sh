#!/usr/bin/env bash
# build-mingw-deps.sh PREFIX TINYXML_VERSION INIH_SOURCE=VERSION: builds TinyXML and inih (Debian's
# source packages, Debian's patches applied) and GoogleTest (Debian's /usr/src/googletest) for
# Windows x64 into PREFIX.
# Called by scripts/deps.sh's ensure_windows_deps, which holds the cache lock. Everything is built
# in a directory beside PREFIX and renamed into place at the end, so an interrupted run leaves no
# PREFIX behind and the next run starts over.
set -euo pipefail
prefix=$1
tinyxml_version=$2
inih_source=$3 # "libinih=55-1"
tools=$(cd "$(dirname "$0")" && pwd)
toolchain=$tools/../cmake/mingw-w64-x86_64.cmake
triplet=x86_64-w64-mingw32

if [ -e "$prefix" ]; then # built by another run while this one waited for the lock
  echo "already built"
  exit 0
fi
rm -rf "$prefix".tmp.* # left by a run that was killed; the lock says no other run is building
work=$(mktemp -d "$prefix.tmp.XXXXXX")
trap 'rm -rf "$work"' EXIT
trap 'echo "$0: line $LINENO failed: $BASH_COMMAND" >&2' ERR
stage=$work/prefix
mkdir -p "$stage/include" "$stage/lib/pkgconfig"

seconds() { echo $(($(date +%s) - $1)); }

# apt with a deb-src list and lists of its own: the machine's apt configuration stays untouched.
# The deb-src entries are the machine's own entries for its release, with the type changed.
apt_dir=$work/apt
mkdir -p "$apt_dir/sources.list.d" "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial"
codename=$(. /etc/os-release && echo "$VERSION_CODENAME")
# One-line format: "deb [options] URI SUITE COMPONENTS...".
for file in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do [ ! -f "$file" ] || cat "$file"; done |
  awk -v release="$codename" '
    $1 == "deb" {
      $1 = "deb-src"
      last = 1 # the last field of the options in brackets, if any
      if ($2 ~ /^\[/) { last = 2; while (last < NF && $last !~ /\]$/) last++ }
      suite = last + 2
      if ($suite == release || index($suite, release "-") == 1) print
    }' > "$apt_dir/sources.list"
# deb822 format: stanzas separated by blank lines; keep enabled "deb" stanzas for this release.
for file in /etc/apt/sources.list.d/*.sources; do
  [ -e "$file" ] || continue
  awk -v release="$codename" -v RS= -v ORS='\n\n' '
    {
      n = split($0, lines, "\n"); binary = 0; suites = ""; enabled = 1; out = ""
      for (i = 1; i <= n; i++) {
        line = lines[i]
        if (line ~ /^Types:/ && line ~ /[ \t]deb([ \t]|$)/) { binary = 1; line = "Types: deb-src" }
        if (line ~ /^Enabled:[ \t]*no/) enabled = 0
        if (line ~ /^Suites:/) {
          m = split(substr(line, 8), words, /[ \t]+/)
          for (j = 1; j <= m; j++)
            if (words[j] == release || index(words[j], release "-") == 1) suites = suites " " words[j]
          line = "Suites:" suites
        }
        out = out line "\n"
      }
      if (binary && enabled && suites != "") printf "%s\n", out
    }' "$file" > "$apt_dir/sources.list.d/$(basename "$file")"
done
apt_options=(-o "Dir::Etc::SourceList=$apt_dir/sources.list" -o "Dir::Etc::SourceParts=$apt_dir/sources.list.d"
  -o "Dir::State::Lists=$apt_dir/lists" -o "Dir::Cache=$apt_dir/cache" -o APT::Sandbox::User=root)

started=$(date +%s)
apt-get "${apt_options[@]}" update -qq
mkdir -p "$work/src"
(cd "$work/src" && apt-get "${apt_options[@]}" source -qq "tinyxml=$tinyxml_version")
echo "fetched TinyXML sources in $(seconds "$started") s"
# Without inih the Windows kestravo-host still builds, reading only the command-a-line files.
inih_fetched=1
(cd "$work/src" && apt-get "${apt_options[@]}" source -qq "$inih_source") || inih_fetched=0

# TinyXML as Debian builds it: the three objects of its static library, with TIXML_USE_STL.
started=$(date +%s)
tinyxml=$work/src/tinyxml-${tinyxml_version%-*}
objects=()
for name in tinyxml tinyxmlparser tinyxmlerror; do
  $triplet-g++-posix -O2 -DTIXML_USE_STL -c "$tinyxml/$name.cpp" -o "$work/$name.o"
  objects+=("$work/$name.o")
done
$triplet-ar rcs "$stage/lib/libtinyxml.a" "${objects[@]}"
install -m 644 "$tinyxml/tinyxml.h" "$tinyxml/tinystr.h" "$stage/include/"
cat > "$stage/lib/pkgconfig/tinyxml.pc" <<EOF
prefix=\${pcfiledir}/../..
libdir=\${prefix}/lib
includedir=\${prefix}/include

Name: TinyXml
Description: simple, small, C++ XML parser (static, Windows x64)
Version: ${tinyxml_version%-*}
Libs: -L\${libdir} -ltinyxml
Cflags: -I\${includedir} -DTIXML_USE_STL
EOF
echo "built TinyXML in $(seconds "$started") s"

# inih as a static library, with the options its header defaults to (Debian builds it so).
started=$(date +%s)
if [ "$inih_fetched" = 1 ]; then
inih_version=${inih_source#*=}
inih=$work/src/${inih_source%=*}-${inih_version%-*}
$triplet-gcc-posix -O2 -c "$inih/ini.c" -o "$work/ini.o"
$triplet-ar rcs "$stage/lib/libinih.a" "$work/ini.o"
install -m 644 "$inih/ini.h" "$stage/include/"
cat > "$stage/lib/pkgconfig/inih.pc" <<EOF
prefix=\${pcfiledir}/../..
libdir=\${prefix}/lib
includedir=\${prefix}/include

Name: inih
Description: simple .INI file parser (static, Windows x64)
Version: ${inih_version%-*}
Libs: -L\${libdir} -linih
Cflags: -I\${includedir}
EOF
echo "built inih in $(seconds "$started") s"
else
  echo "not built: inih, whose sources could not be fetched; kestravo-host reads no INI file on Windows"
fi

# GoogleTest with the same toolchain: static gtest, gtest_main, gmock, gmock_main and the CMake
# package files, which locate the prefix from their own path and so survive the rename.
started=$(date +%s)
cmake -S /usr/src/googletest -B "$work/googletest" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_INSTALL_PREFIX="$stage" -DBUILD_SHARED_LIBS=OFF \
  -DBUILD_GMOCK=ON -DINSTALL_GTEST=ON
cmake --build "$work/googletest"
cmake --install "$work/googletest"
echo "built GoogleTest in $(seconds "$started") s"

# GoogleTest's .pc files name the staging directory: point them at the final one.
sed -i "s|$stage|$prefix|g" "$stage"/lib/pkgconfig/*.pc
if grep -rlF "$stage" "$stage"; then
  echo "the files above still name the staging directory" >&2
  exit 1
fi
mv -T "$stage" "$prefix"
