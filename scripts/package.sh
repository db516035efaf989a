#!/usr/bin/env bash
# Builds the release libraries and tool in build/package, installs them into a temporary prefix (and once
# more under DESTDIR) and proves the installed copy is usable the two usual ways: the C examples are
# built against it through pkg-config and through find_package(qrx01p2 CONFIG), and run. Then it makes
# the Debian package (cpack -G DEB), checks its contents list and unpacks it into a throw-away root, where
# the packaged tool runs and the packaged manual pages render. The package is left in build/package/.
#   usage: scripts/package.sh
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=build/package

# The build packages, and pkg-config, dpkg-shlibdeps (dpkg-dev) and file for cpack, when missing.
scripts/deps.sh pkg-config dpkg-dev file

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQRX_BUILD_TESTS=OFF -DQRX_BUILD_TOOLS=ON >/dev/null
cmake --build "$build"

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
prefix=$tmp/prefix
cmake --install "$build" --prefix "$prefix" >/dev/null
export QRX_TRACE_FLAGS=0

fail() { echo "package.sh: FAILED: $*" >&2; exit 1; }
# (Checks read files, never `cmd | grep -q`: under pipefail an early grep exit fails the writer.)

# What an install must hold (paths under the prefix; lib/ as GNUInstallDirs names it here).
expected_files() {
  local lib=$1
  echo "bin/qrx"
  for l in qrx01p2 qrxhost; do
    echo "$lib/lib$l.so"
    echo "$lib/lib$l.so.0"
    echo "$lib/lib$l.so.0.1.0"
  done
  echo "$lib/pkgconfig/qrx01p2.pc"
  echo "$lib/cmake/qrx01p2/qrx01p2Config.cmake"
  for h in qrxcb qrxis qrxky qrxmsg qrxus qrxhost; do echo "include/qrx/$h.h"; done
  for p in qrxcb qrxis qrxky qrxmsg qrxus; do echo "share/man/man3/$p.3"; done
  echo "share/man/man1/qrx.1"
}
libdir=$(sed -n 's/^libdir=\${prefix}\///p' "$prefix"/lib*/pkgconfig/qrx01p2.pc)
for f in $(expected_files "$libdir") "$libdir/libqrx01p2.a" "$libdir/libqrxhost.a"; do
  [ -e "$prefix/$f" ] || fail "the install lacks $f"
done
for l in qrx01p2 qrxhost; do
  soname=$(readelf -d "$prefix/$libdir/lib$l.so.0.1.0" | sed -n 's/.*Library soname: \[\(.*\)\]/\1/p')
  [ "$soname" = "lib$l.so.0" ] || fail "lib$l.so.0.1.0 has SONAME '$soname'"
  [ "$(readlink "$prefix/$libdir/lib$l.so")" = "lib$l.so.0" ] || fail "lib$l.so does not link to lib$l.so.0"
done
echo "package.sh: install into a prefix holds the libraries (SONAME .so.0), archives, headers, pkg-config and CMake files, tool and manual pages"

# DESTDIR stages the same tree under another root.
DESTDIR=$tmp/stage cmake --install "$build" --prefix /opt/qrx01p2 >/dev/null
for f in $(expected_files "$libdir"); do
  [ -e "$tmp/stage/opt/qrx01p2/$f" ] || fail "DESTDIR install lacks /opt/qrx01p2/$f"
done
echo "package.sh: DESTDIR install stages the same files"

run_examples() { # directory of the built examples
  "$1/pool_demo" "$tmp/pool" >/dev/null || fail "$1/pool_demo"
  "$1/keyed_file" >"$tmp/keyed.out" 2>/dev/null || fail "$1/keyed_file"
  diff -u examples/keyed_file.out "$tmp/keyed.out" || fail "$1/keyed_file printed something else"
  ldd "$1/pool_demo" >"$tmp/ldd"
  grep -q "$prefix/$libdir/libqrx01p2.so.0" "$tmp/ldd" || fail "$1/pool_demo does not load the installed library: $(cat "$tmp/ldd")"
}

# Through pkg-config, as a C11 program built by hand.
export PKG_CONFIG_PATH=$prefix/$libdir/pkgconfig
mkdir -p "$tmp/pc" "$tmp/pool"
for ex in pool_demo keyed_file; do
  # shellcheck disable=SC2046
  cc -std=c11 -Wall -Werror $(pkg-config --cflags qrx01p2) "examples/$ex.c" -o "$tmp/pc/$ex" \
    $(pkg-config --libs qrx01p2) -Wl,-rpath,"$prefix/$libdir"
done
run_examples "$tmp/pc"
echo "package.sh: the examples built through pkg-config $(pkg-config --modversion qrx01p2) run against the install"

# Through find_package(qrx01p2 CONFIG), with the static archives too.
cmake -S examples/installed -B "$tmp/cm" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$tmp/cm" >/dev/null
run_examples "$tmp/cm"
"$tmp/cm/pool_demo_static" "$tmp/pool" >/dev/null || fail "pool_demo_static"
ldd "$tmp/cm/pool_demo_static" >"$tmp/ldd"
if grep -q qrx "$tmp/ldd"; then fail "pool_demo_static loads a shared libqrx: $(cat "$tmp/ldd")"; fi
echo "package.sh: the examples built through find_package(qrx01p2 CONFIG) run, shared and static"

# The Debian package: its contents, its control data, and the unpacked tree at work.
rm -f "$build"/*.deb
(cd "$build" && cpack -G DEB >/dev/null)
deb=$(ls "$build"/*.deb)
dpkg-deb -c "$deb" | awk '{print $6}' | sed 's:^\./usr/::' >"$tmp/contents"
for f in $(expected_files "$libdir"); do
  grep -qxF "$f" "$tmp/contents" || fail "$(basename "$deb") lacks /usr/$f"
done
dpkg-deb -f "$deb" Package Version Depends
[[ "$(dpkg-deb -f "$deb" Depends)" == *libc6* ]] || fail "the package declares no run-time dependencies"
dpkg-deb -x "$deb" "$tmp/debroot"
"$tmp/debroot/usr/bin/qrx" demo "$tmp/demo" --keys 2000 --records 500 --keyed 500 --block-size 512 \
  >"$tmp/demo.out" || fail "the packaged qrx demo"
grep -q "qrx demo: every step succeeded" "$tmp/demo.out" || fail "the packaged qrx demo: $(tail -5 "$tmp/demo.out")"
for page in "$tmp"/debroot/usr/share/man/man*/*; do
  warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)
  [ -z "$warnings" ] || fail "$page renders with warnings: $warnings"
done
echo "package.sh: $(basename "$deb") holds $(wc -l <"$tmp/contents") entries; unpacked, its qrx runs the demo and its manual pages render"
echo "package.sh: passed (root $root)"
