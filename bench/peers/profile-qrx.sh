#!/usr/bin/env bash
# Profiles this library's side of the peer benchmark with callgrind (instruction counts, so the machine's
# load does not matter). The harness runs the qrx engine alone; callgrind collects only inside the named
# entry points, and a dump before every cbinit and cbcreate cuts the run into the phases of the workloads:
#
#   part 3  workloads 1, 3, 4, 5 (and the items-only scan)   part 4  workload 2 (and its check scan)
#   part 5  workload 7                                         last    workload 6 (and its scans)
#
#   bench/peers/profile-qrx.sh BUILD_DIR [N] [OUT_DIR]
#
# BUILD_DIR holds a build with QRX_BUILD_PEER_BENCH=ON (Release with -g for readable profiles); N defaults
# to 100000; OUT_DIR (default ./qrx-profile) receives the callgrind files and, per profiled part, a flat
# profile (*.self.txt) and an inclusive call tree (*.calling.txt).
set -euo pipefail
build=${1:?usage: profile-qrx.sh BUILD_DIR [N] [OUT_DIR]}
n=${2:-100000}
out=${3:-qrx-profile}
bench="$build/bin/peer_bench"
mkdir -p "$out"

annotate() {  # callgrind file, output name
  callgrind_annotate --inclusive=no "$1" 2>/dev/null >"$out/$2.self.txt"
  callgrind_annotate --inclusive=yes --tree=calling "$1" 2>/dev/null >"$out/$2.calling.txt"
  echo "$2: $(grep -m1 '^summary:' "$1" | cut -d' ' -f2) instructions"
}

profile() {  # name, parts to keep as "suffix=label" ..., -- entry points...
  local name=$1
  shift
  local parts=()
  while [ "$1" != "--" ]; do parts+=("$1"); shift; done
  shift
  local toggles=()
  for fn in "$@"; do toggles+=("--toggle-collect=$fn"); done
  rm -f "$out"/cg."$name".*
  QRX_TRACE_FLAGS=0 valgrind --tool=callgrind --callgrind-out-file="$out/cg.$name.%p" "${toggles[@]}" \
    --dump-before=qrxcbini --dump-before=cbinit --dump-before=qrxcbcrt --dump-before=cbcreate \
    "$bench" --engines qrx --n "$n" --runs 1 --lookups7 "$n" >"$out/run.$name.txt" 2>&1
  # The engine's child is the process that wrote numbered parts.
  local base f
  # The child with the largest third part (process ids sort as text, so the first name is not it).
  base=$(for f in "$out"/cg."$name".*.3; do echo "$(grep -m1 '^summary:' "$f" | cut -d' ' -f2) $f"; done |
    sort -n | tail -1 | cut -d' ' -f2)
  base=${base%.3}
  for p in "${parts[@]}"; do
    local suffix=${p%%=*} label=${p#*=}
    local file="$base${suffix:+.$suffix}"
    annotate "$file" "$name.$label"
  done
}

# ONLY=insert|find|scan|delete profiles that group of entry points alone.
want() { [ -z "${ONLY:-}" ] || [ "$ONLY" = "$1" ]; }

want insert && profile insert 3=w1-random 4=w2-ascending -- qrxcbins cbinsert
want find && profile find 3=w3-w4-in-cache 5=w7-out-of-cache -- qrxcbfnd cbfind
want scan && profile scan 3=w5-scan -- qrxcbnxt cbnext qrxcbkey cbkey qrxcbhd cbhead
want delete && profile delete =w6-delete -- qrxcbdel cbdelete
exit 0
