#!/usr/bin/env bash
# The library's C surface is one set, written down in four places that must agree:
#   - the functions each public header declares with QRX_API (QRXHOST_API for qrxhost.h),
#   - the version scripts include/qrx01p2.map and host/qrxhost.map,
#   - the SYNOPSIS of each header's manual page (include/NAME.3 for include/NAME.h),
#   - the dynamic symbols the built libraries define.
# It also requires every manual page of the project to render without a single warning, and the C
# program of each section-3 page's EXAMPLES to compile as C11 against the headers without a warning.
#   usage: api_surface.sh SOURCE_DIR LIBQRX01P2_SO LIBQRXHOST_SO
set -euo pipefail
src=$1 lib=$2 host=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failed=0

# Names declared by the lines that begin with the export macro: the first identifier followed by "(".
declared() { grep -E "^$1 " "$2" | sed -E 's/^([^(]*[^A-Za-z0-9_])?([A-Za-z_][A-Za-z0-9_]*)\(.*/\2/' | sort -u; }
# Names of a version script's global part.
mapped() { sed -e 's:/\*.*\*/::g' -e '/\/\*/,/\*\//d' "$1" | sed -n '/global:/,/local:/p' |
  grep -oE '[A-Za-z_][A-Za-z0-9_]*;' | tr -d ';' | sort -u; }
# Names a manual page's SYNOPSIS shows as functions (font changes removed first).
synopsis() { sed -n '/^\.SH SYNOPSIS/,/^\.SH /p' "$1" | sed -E 's/\\f(\[[^]]*\]|\(..|.)//g' |
  grep -oE '[A-Za-z_][A-Za-z0-9_]*\(' | tr -d '(' | sort -u; }
# Functions a shared library defines for others to call, without their version suffix.
exported() { nm -D --defined-only "$1" | awk '$2 != "A" { sub(/@.*/, "", $3); print $3 }' | sort -u; }

same() { # what, file of the expected names, file of the names found
  if ! diff -u --label "$2" --label "$3" "$2" "$3" >"$work/diff"; then
    echo "FAILED: $1 (- missing, + unexpected):"
    grep -E '^[-+][^-+]' "$work/diff"
    failed=1
  else
    echo "ok: $1 ($(wc -l <"$2") names)"
  fi
}

: >"$work/all.h"
for h in qrxcb qrxis qrxky qrxmsg qrxus; do
  declared QRX_API "$src/include/$h.h" >"$work/$h.h.names"
  cat "$work/$h.h.names" >>"$work/all.h"
  if [ -f "$src/include/$h.3" ]; then
    synopsis "$src/include/$h.3" >"$work/$h.3.names"
  else
    : >"$work/$h.3.names"
  fi
  same "include/$h.3's synopsis shows what $h.h declares" "$work/$h.h.names" "$work/$h.3.names"
done
sort -u "$work/all.h" -o "$work/all.h"
mapped "$src/include/qrx01p2.map" >"$work/map"
same "include/qrx01p2.map lists what the headers declare" "$work/all.h" "$work/map"
exported "$lib" >"$work/so"
same "$(basename "$lib") exports what the headers declare" "$work/all.h" "$work/so"

declared QRXHOST_API "$src/host/qrxhost.h" >"$work/host.h"
mapped "$src/host/qrxhost.map" >"$work/host.map"
same "host/qrxhost.map lists what qrxhost.h declares" "$work/host.h" "$work/host.map"
exported "$host" >"$work/host.so"
same "$(basename "$host") exports what qrxhost.h declares" "$work/host.h" "$work/host.so"

# Every page renders cleanly: man reports troff's warnings on standard error.
if ! command -v man >/dev/null; then
  echo "FAILED: man is not installed (scripts/deps.sh installs man-db)"
  failed=1
fi
for page in "$src"/include/*.3 "$src"/tools/qrx/*.1; do
  [ -f "$page" ] || continue
  warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null || echo "man failed")
  if [ -n "$warnings" ]; then
    echo "FAILED: ${page#"$src"/} renders with warnings:"
    echo "$warnings"
    failed=1
  else
    echo "ok: ${page#"$src"/} renders without warnings"
  fi
done

# The examples, roff escapes undone, compiled as they stand.
for page in "$src"/include/*.3; do
  sed -n '/^\.EX/,/^\.EE/p' "$page" | sed -e '/^\.E[XE]/d' -e 's/\\-/-/g' -e 's/\\e/\\/g' -e 's/\\(aq/'"'"'/g' \
    -e 's/\\(dq/"/g' -e 's/\\&//g' >"$work/example.c"
  if [ ! -s "$work/example.c" ]; then
    echo "FAILED: ${page#"$src"/} has no example"
    failed=1
  elif ! "${CC:-cc}" -std=c11 -Wall -Wextra -Werror -fsyntax-only -I"$src/include" -x c "$work/example.c" \
    >"$work/cc.out" 2>&1; then
    echo "FAILED: the example of ${page#"$src"/} does not compile:"
    cat "$work/cc.out"
    failed=1
  else
    echo "ok: the example of ${page#"$src"/} compiles"
  fi
done
exit $failed
