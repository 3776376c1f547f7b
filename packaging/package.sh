#!/usr/bin/env bash
# Builds the Debian packages libkestravo0, libkestravo-dev and kestravo, and prints where they are.
#
#   bash packaging/package.sh                  a Release build in build-pkg/, then cpack
#   bash packaging/package.sh --check [TREE]   the same, or packages from the build tree TREE (set to
#                                          the /usr prefix here, so that a tree already built is
#                                          reused), then checks them: their contents, an install
#                                          into a throwaway root, the installed kestravo-host,
#                                          the removal, and the systemd unit
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh

script_options --check "$@"
check=$flag_on

# systemd brings systemd-analyze, which checks the unit.
ensure_packages $KESTRAVO_PACKAGING_PACKAGES $([ $check = 1 ] && echo systemd)

log=${tree:-build-pkg}/package.log
mkdir -p "${tree:-build-pkg}"
if [ -n "$tree" ]; then
  cmake -S . -B "$tree" -DCMAKE_INSTALL_PREFIX=/usr > "$log" || { cat "$log"; exit 1; }
else
  tree=build-pkg
  # Optimised and with debug symbols, which CPack moves into the -dbgsym packages.
  cmake -S . -B "$tree" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX=/usr -DBUILD_TESTING=OFF \
    > "$log" || { cat "$log"; exit 1; }
fi
cmake --build "$tree" --target kestravo kestravo_child kestravo_child_static kestravo-host kestravo-run kestravo-wait-stop \
  kestravo_package_docs
out=$(cd "$tree" && pwd)/packages
rm -f "$out"/*.deb "$out"/*.ddeb
cpack --config "$tree/CPackConfig.cmake" -G DEB -B "$out" >> "$log" || { cat "$log"; exit 1; }
# CPack's -dbgsym packages list their files in md5sums by the staging path and leave the symbol
# files executable: rebuilt as dh_strip makes them, with the documentation a link to the package's.
for ddeb in "$out"/*.ddeb; do
  unpacked=$(mktemp -d /tmp/kestravo-ddeb.XXXXXX)
  dpkg-deb -R "$ddeb" "$unpacked"
  package=$(dpkg-deb -f "$ddeb" Package)
  find "$unpacked/usr/lib/debug" -type f -exec chmod 0644 {} +
  mkdir -p "$unpacked/usr/share/doc"
  ln -s "${package%-dbgsym}" "$unpacked/usr/share/doc/$package"
  (cd "$unpacked" && find usr -type f | LC_ALL=C sort | xargs md5sum) > "$unpacked/DEBIAN/md5sums"
  dpkg-deb --root-owner-group -b "$unpacked" "$ddeb" >> "$log"
  rm -rf "$unpacked"
done
echo "packages:"
ls -1 "$out"/*.deb "$out"/*.ddeb

[ $check = 1 ] || exit 0

failed=0
fail() { echo "package check: $*" >&2; failed=1; }
deb() { ls "$out"/"$1"_*.deb; }

# What each package must hold; it may hold the directories above these and nothing else.
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
lib=usr/lib/$multiarch
docs() { echo "usr/share/doc/$1/copyright usr/share/doc/$1/changelog.Debian.gz"; }
declare -A expected=(
  [libkestravo0]="$lib/libkestravo.so.0 $lib/libkestravo.so.0.1.0 $lib/libkestravo_child.so.0 $lib/libkestravo_child.so.0.1.0
    $(docs libkestravo0)"
  [libkestravo-dev]="usr/include/kestravo.h usr/include/kestravo_child.h $lib/libkestravo.so $lib/libkestravo_child.so
    $lib/libkestravo_child.a $lib/pkgconfig/kestravo.pc $lib/pkgconfig/kestravo-child.pc
    $lib/cmake/Kestravo/KestravoConfig.cmake $lib/cmake/Kestravo/KestravoConfigVersion.cmake
    $lib/cmake/Kestravo/KestravoTargets.cmake $(docs libkestravo-dev)"
  [kestravo]="usr/bin/kestravo-host usr/bin/kestravo-run usr/bin/kestravo-wait-stop
    lib/systemd/system/kestravo.service etc/kestravo/programs $(docs kestravo)
    usr/share/man/man1/kestravo-host.1.gz usr/share/man/man1/kestravo-run.1.gz usr/share/man/man1/kestravo-wait-stop.1.gz"
)
for package in libkestravo0 libkestravo-dev kestravo; do
  echo "== $(basename "$(deb $package)")"
  dpkg-deb --contents "$(deb $package)"
  files=$(dpkg-deb --contents "$(deb $package)" | awk '$1 !~ /^d/ {sub(/^\.\//, "", $6); print $6}' | sort)
  want=$(printf '%s\n' ${expected[$package]} | sort)
  # The CMake package adds a file per build type.
  files=$(grep -v '^usr/lib/.*/cmake/Kestravo/KestravoTargets-.*\.cmake$' <<< "$files" || true)
  [ "$files" = "$want" ] || fail "$package holds other files than expected:"$'\n'"$(diff <(echo "$want") <(echo "$files"))"
done
# Stripped, their symbols in a -dbgsym package each, by build id.
for package in libkestravo0 kestravo; do
  symbols=$(dpkg-deb --contents "$(ls "$out"/${package}-dbgsym_*.ddeb)")
  grep -q '/usr/lib/debug/\.build-id/../.*\.debug$' <<< "$symbols" ||
    fail "$package-dbgsym holds no debug symbols"
done
# Lintian: no errors (its warnings are printed).
if command -v lintian > /dev/null; then
  lint=$(lintian --fail-on error "$out"/*.deb "$out"/*.ddeb 2>&1) || fail "lintian found errors:"$'\n'"$lint"
  [ -z "$lint" ] || echo "lintian:"$'\n'"$lint"
fi
dpkg-deb -f "$(deb libkestravo-dev)" Depends | grep -qx 'libkestravo0 (= 0.1.0-1)' ||
  fail "libkestravo-dev must depend on libkestravo0 of its own version"
dpkg-deb -f "$(deb kestravo)" Depends | grep -q 'libkestravo0 (= 0.1.0-1)' || fail "kestravo must depend on libkestravo0"
dpkg-deb -f "$(deb libkestravo0)" Depends | grep -q liblog4cxx || fail "libkestravo0 must depend on log4cxx"
[ "$(dpkg-deb --ctrl-tarfile "$(deb kestravo)" | tar -xO ./conffiles)" = /etc/kestravo/programs ] ||
  fail "/etc/kestravo/programs must be the conffile of kestravo"
dpkg-deb -f "$(deb kestravo)" Depends | grep -q 'init-system-helpers' || fail "kestravo must depend on init-system-helpers"

# The maintainer scripts against stand-ins for systemctl and deb-systemd-invoke, with a private
# /run that says systemd runs (and a private /var/lib, so that no host of this machine is
# touched): removal stops the service; an upgrade of a running service kills its host alone and
# starts the new one, which adopts the programs; a first install starts and enables nothing.
scripts=$(mktemp -d /tmp/kestravo-package-scripts.XXXXXX)
dpkg-deb --ctrl-tarfile "$(deb kestravo)" | tar -x -C "$scripts" ./postinst ./prerm ./postrm
# The stand-in systemctl shows the service running as a pid that is gone.
for tool in systemctl deb-systemd-invoke; do
  printf '#!/bin/sh\necho "%s $*" >> %s/calls\n[ "$1" != show ] || echo 999999999\n' "$tool" "$scripts" > "$scripts/$tool"
  chmod 755 "$scripts/$tool"
done
script_calls() {
  rm -f "$scripts/calls"
  unshare -m sh -c 'mount -t tmpfs tmpfs /run && mount -t tmpfs tmpfs /var/lib && mkdir -p /run/systemd/system &&
    PATH="$0:$PATH" sh "$0/$1" "$2" "$3"' \
    "$scripts" "$@" > /dev/null 2>&1 || fail "$1 $2 $3 failed"
  { grep -v daemon-reload "$scripts/calls" 2>/dev/null || true; } | tr '\n' ';'
}
upgrade="systemctl show --property MainPID --value kestravo.service;"
upgrade+="systemctl kill --kill-whom=main --signal=SIGKILL kestravo.service;deb-systemd-invoke start kestravo.service;"
for row in "postinst configure|" "postinst configure 0.1.0-1|$upgrade" \
           "prerm remove|deb-systemd-invoke stop kestravo.service;" "prerm upgrade 0.1.0-1|" "postrm remove|"; do
  got=$(script_calls ${row%%|*})
  [ "$got" = "${row#*|}" ] || fail "${row%%|*}: expected '${row#*|}', the scripts called '$got'"
done
rm -rf "$scripts"

# A throwaway root with an empty dpkg database. Our packages' dependencies (libc6, log4cxx, ...)
# live outside it, hence --force-depends; maintainer scripts (CPack's ldconfig calls) cannot run
# chrooted into a root without a shell, hence --force-script-chrootless: they run ldconfig here.
root=$(mktemp -d /tmp/kestravo-package-root.XXXXXX)
state=$(mktemp -d /tmp/kestravo-package-state.XXXXXX)
trap 'rm -rf "$root" "$state"' EXIT
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates"
touch "$root/var/lib/dpkg/status"
leftovers() { (cd "$root" && find . -mindepth 1 ! -path './var' ! -path './var/lib' ! -path './var/lib/dpkg' ! -path './var/lib/dpkg/*' | sort); }
before=$(leftovers)
dpkg_root() { dpkg --root="$root" --force-depends --force-script-chrootless "$@" > "$root.dpkg.log" 2>&1 ||
  { cat "$root.dpkg.log"; fail "dpkg $*"; }; rm -f "$root.dpkg.log"; }
dpkg_root -i "$(deb libkestravo0)" "$(deb libkestravo-dev)" "$(deb kestravo)"
[ "$(dpkg --root="$root" -l | grep -c '^ii  \(libkestravo0\|libkestravo-dev\|kestravo\) ')" = 3 ] ||
  fail "not all three packages are installed"

for file in usr/bin/kestravo-host usr/bin/kestravo-run usr/bin/kestravo-wait-stop $lib/libkestravo.so.0.1.0; do
  grep -q '\.debug_info' <<< "$(readelf -S "$root/$file")" && fail "$file is not stripped"
done
[ "$(PKG_CONFIG_LIBDIR=$root/$lib/pkgconfig pkg-config --variable=includedir kestravo)" = /usr/include ] ||
  fail "kestravo.pc does not name /usr/include plainly"

# The installed host, with our libraries from the root: its help, and a short run through the
# installed adapter that keeps its state file and its child's output in a state directory of its own.
host=$root/usr/bin/kestravo-host
# Read whole: grep -q stops reading at its match, and the host's next line would end it by SIGPIPE.
help=$(LD_LIBRARY_PATH=$root/$lib "$host" --help) && grep -q -- '--state-dir DIR' <<< "$help" ||
  fail "installed kestravo-host --help"
run=$(LD_LIBRARY_PATH=$root/$lib "$host" --state-dir "$state" --for 0.5 -- /bin/sleep 30 2>&1) || fail "installed kestravo-host: $run"
grep -q "library $root/usr/bin/../lib/$multiarch/libkestravo.so.0," <<< "$run" || fail "the installed host did not load the installed library: $run"
grep -q 'ended on SIGTERM' <<< "$run" || fail "the installed host did not run and stop its child: $run"
# A clean stop takes the child out of the state file again; the file and the child's output stay.
[ -f "$state/kestravo.xml" ] && grep -q 'sleep' "$state/sleep.log" ||
  fail "the installed host kept no state file or output of its child in --state-dir: $(ls "$state")"

# The unit as installed, but starting the installed host: systemd-analyze checks that ExecStart
# is executable, which /usr/bin/kestravo-host is not on this machine. (--root makes it look for
# every unit of a whole system in the root instead.) It warns without failing: any output fails.
unit=$state/kestravo.service
sed "s#^ExecStart=/usr/bin/kestravo-host #ExecStart=$host #" "$root/lib/systemd/system/kestravo.service" > "$unit"
grep -q "^ExecStart=$host --file /etc/kestravo/programs$" "$unit" || fail "unexpected ExecStart in the unit"
verify=$(systemd-analyze verify "$unit" 2>&1) || fail "systemd-analyze verify: $verify"
[ -z "$verify" ] || fail "systemd-analyze verify: $verify"
grep -q '^KillMode=process$' "$unit" && grep -q '^StateDirectory=kestravo$' "$unit" || fail "the unit lost KillMode or StateDirectory"

# A host that runs on the package's state directory without systemd: removal stops it, and it
# its program, within the bounded wait.
served=$root/var/lib/kestravo
mkdir -m 0700 "$served"
LD_LIBRARY_PATH=$root/$lib "$host" --state-dir "$served" -- /bin/sleep 1000 > "$state/served.out" 2>&1 &
served_host=$!
for _ in $(seq 100); do grep -q 'pid [0-9]*  started' "$state/served.out" 2>/dev/null && break; sleep 0.1; done
served_child=$(sed -n 's/.*hpid 0  pid \([0-9]*\)  started.*/\1/p' "$state/served.out" | head -1)
[ -n "$served_child" ] || fail "the host on $served did not start its program: $(cat "$state/served.out")"

# Removed, the host is stopped and the conffile stays; purged while a host holds the state
# directory, the directory stays; purged, nothing of ours is left.
dpkg_root -r kestravo libkestravo-dev libkestravo0
if kill -0 "$served_host" 2>/dev/null; then fail "removing kestravo left the host on $served running"; kill "$served_host"; fi
wait "$served_host" || true
[ -n "$served_child" ] && kill -0 "$served_child" 2>/dev/null && fail "removing kestravo left the host's program running"
[ -f "$root/etc/kestravo/programs" ] || fail "removing kestravo must keep /etc/kestravo/programs"
touch "$served/kestravo.xml"  # a service's state
exec 9> "$served/kestravo.xml.lock"
flock --nonblock 9 || fail "cannot lock $served/kestravo.xml.lock"
dpkg_root -P kestravo libkestravo-dev libkestravo0
[ -f "$served/kestravo.xml" ] || fail "purging removed $served while a host held it"
exec 9>&-
rm -rf "$served"
after=$(leftovers)
[ "$before" = "$after" ] || fail "left in the root after purging:"$'\n'"$(diff <(echo "$before") <(echo "$after"))"

[ $failed = 0 ] || exit 1
echo "package check passed"
