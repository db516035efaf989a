#!/usr/bin/env bash
# Instructions per operation of one engine of the peer benchmark, counted by callgrind (so the machine's
# load does not matter), the same way for every engine: collection runs only inside the adapter's
# insert, find and erase (each engine's own work plus a call or two of the adapter), and a dump before
# every create and open cuts the run into the phases of the workloads.
#
#   bench/peers/profile-engine.sh BUILD_DIR ENGINE [N] [OUT_DIR]
#
# ENGINE is qrx, bdb, sqlite, lmdb, kyoto or absl; N defaults to 100000. Prints one line per workload:
#   random insert, ascending insert, lookups (present and absent), lookups with a 2% cache, delete.
set -euo pipefail
build=${1:?usage: profile-engine.sh BUILD_DIR ENGINE [N] [OUT_DIR]}
engine=${2:?usage: profile-engine.sh BUILD_DIR ENGINE [N] [OUT_DIR]}
n=${3:-100000}
out=${4:-engine-profile}
mkdir -p "$out"
rm -f "$out"/cg."$engine".*
class=$(case $engine in qrx) echo Qrx ;; bdb) echo Bdb ;; sqlite) echo Sqlite ;; lmdb) echo Lmdb ;;
  kyoto) echo Kyoto ;; absl) echo Absl ;; *) echo "unknown engine $engine" >&2; exit 2 ;; esac)
QRX_TRACE_FLAGS=0 valgrind --tool=callgrind --callgrind-out-file="$out/cg.$engine.%p" \
  "--toggle-collect=*${class}Engine::insert*" "--toggle-collect=*${class}Engine::find*" \
  "--toggle-collect=*${class}Engine::erase*" \
  "--dump-before=*${class}Engine::create*" "--dump-before=*${class}Engine::open*" \
  "$build/bin/peer_bench" --engines "$engine" --n "$n" --runs 1 --lookups7 "$n" --threads 1 \
  --threads-n 2 >"$out/run.$engine.txt" 2>&1
# The workloads' child wrote the most parts: 1 before the first create, 2 workloads 1, 3, 4, 5, 3 workload
# 2, 4 workload 7, then workload 6 (after its open, up to the last dump at exit).
base=$(ls "$out"/cg."$engine".*.4 | head -1)
base=${base%.4}
total() { grep -m1 '^summary:' "$1" | cut -d' ' -f2; }
per_op() { awk -v i="$1" -v n="$2" 'BEGIN { printf "%.0f", i / n }'; }
w1_w3_w4=$(total "$base.2")
echo "$engine: instructions per operation at N = $n"
# Part 2 holds the random inserts and both lookup workloads; the inserts are counted alone in a second
# pass over that part's function totals.
ins=$(callgrind_annotate --inclusive=yes "$base.2" 2>/dev/null |
  awk -v f="${class}Engine::insert" 'index($0, f) && !done { gsub(",", "", $1); print $1; done = 1 }')
echo "  random insert     $(per_op "$ins" "$n")"
echo "  ascending insert  $(per_op "$(total "$base.3")" "$n")"
echo "  lookup            $(per_op "$((w1_w3_w4 - ins))" "$((2 * n))")"
echo "  lookup, 2% cache  $(per_op "$(total "$base.4")" "$n")"
deletes=0
for f in "$base" "$base".[5-9]; do [ -f "$f" ] && deletes=$((deletes + $(total "$f"))); done
echo "  delete            $(per_op "$deletes" "$((n / 2))")"
