#!/usr/bin/env bash
# Instructions per operation of one engine of the record benchmark, counted by callgrind (so the
# machine's load does not matter), the same way for every engine: collection runs only inside the
# adapter's record operations, and each operation's instructions are divided by its calls.
#
#   bench/peers/profile-records.sh BUILD_DIR ENGINE [N] [OUT_DIR]
#
# ENGINE is qrx, sqlite, bdb or lmdb; N defaults to 100000. Prints one line per adapter operation with
# its calls and instructions per call, then the functions that cost most inside the engine.
set -euo pipefail
build=${1:?usage: profile-records.sh BUILD_DIR ENGINE [N] [OUT_DIR]}
engine=${2:?usage: profile-records.sh BUILD_DIR ENGINE [N] [OUT_DIR]}
n=${3:-100000}
out=${4:-record-profile}
mkdir -p "$out"
rm -f "$out"/cg."$engine".*
class=$(case $engine in qrx) echo Qrx ;; bdb) echo Bdb ;; sqlite) echo Sqlite ;; lmdb) echo Lmdb ;;
  *) echo "unknown engine $engine" >&2; exit 2 ;; esac)
ops=(add get_by_id get_by_name range scan set_code set_name remove)
toggles=()
for op in "${ops[@]}"; do toggles+=("--toggle-collect=*${class}RecordEngine::${op}(*"); done
QRX_TRACE_FLAGS=0 valgrind --tool=callgrind --callgrind-out-file="$out/cg.$engine.%p" "${toggles[@]}" \
  "$build/bin/record_bench" --engines "$engine" --n "$n" --runs 1 >"$out/run.$engine.txt" 2>&1
# The engine's child is the part with the most instructions.
file=$(for f in "$out"/cg."$engine".*; do echo "$(grep -m1 '^summary:' "$f" | cut -d' ' -f2) $f"; done |
  sort -n | tail -1 | cut -d' ' -f2)
callgrind_annotate --tree=caller --inclusive=yes "$file" >"$out/tree.$engine.txt" 2>/dev/null
echo "$engine: instructions per call at N = $n"
for op in "${ops[@]}"; do
  # The function's own line ("* ...RecordEngine::op(") follows the lines of its callers ("< ... (Nx)").
  awk -v f="${class}RecordEngine::${op}(" '
    /^ *[0-9,]+ .* < / { s = $0; if (match(s, /\(([0-9,]+)x\)/)) { c = substr(s, RSTART + 1, RLENGTH - 3);
      gsub(",", "", c); calls += c } next }
    /^ *[0-9,]+ .* \* / { if (index($0, f)) { v = $1; gsub(",", "", v); total = v; found = 1 } calls_keep = calls }
    /^$/ { if (found && !done) { printf "  %-12s %10d calls %8.0f instructions each\n", substr(f, index(f, "::") + 2, length(f) - index(f, "::") - 2),
      calls_keep, total / calls_keep; done = 1 } calls = 0 }' "$out/tree.$engine.txt" || true
done
echo "  top functions (self, all operations):"
callgrind_annotate "$file" 2>/dev/null | awk '/^ *[0-9,]+ \(/ && n < 12 && !/PROGRAM TOTALS/ { print "   " $0; n++ }' |
  cut -c1-150
