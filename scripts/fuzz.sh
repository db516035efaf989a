#!/usr/bin/env bash
# Builds the libFuzzer targets with clang in build/fuzz, makes the seed corpora and runs every target for
# SECONDS seconds (default 60), one after the other on one core, starting with the inputs that once made
# the library crash or hang (fuzz/regressions/TARGET less _fuzzer). Fails when a target reports a crash, a
# timeout, a leak or running out of memory; the input that did it is left in build/fuzz/artifacts/TARGET/
# and the target's log in build/fuzz/logs/TARGET.log. New corpus inputs stay in build/fuzz/corpus/TARGET/
# for the next run.
#   usage: scripts/fuzz.sh [SECONDS]
set -euo pipefail
cd "$(dirname "$0")/.."
secs=${1:-60}
build=build/fuzz
targets=(index_file_fuzzer database_fuzzer keyed_fuzzer)

# clang and its fuzzer runtime, installed when missing (a link of an empty fuzz target tells).
fuzzer_links() {
  local dir
  dir=$(mktemp -d)
  echo 'extern "C" int LLVMFuzzerTestOneInput(const unsigned char *, unsigned long) { return 0; }' >"$dir/t.cc"
  clang++ -fsanitize=fuzzer,address,undefined "$dir/t.cc" -o "$dir/t" >/dev/null 2>&1
  local rc=$?
  rm -rf "$dir"
  return $rc
}
if ! command -v clang++ >/dev/null 2>&1 || ! fuzzer_links; then
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq clang libclang-rt-14-dev
  fuzzer_links || { echo "fuzz.sh: clang cannot link a libFuzzer target" >&2; exit 1; }
fi
scripts/deps.sh

cmake -S . -B "$build" -G Ninja -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQRX_BUILD_FUZZ=ON -DQRX_BUILD_TESTS=OFF -DQRX_BUILD_TOOLS=ON >/dev/null
cmake --build "$build" --target "${targets[@]}" qrx

# Seeds: sound index files made afresh every time by `qrx demo` (keys, block size): an empty tree with an
# unused block, trees of two and three levels, six levels of 88-byte blocks, 1024-byte blocks.
rm -rf "$build/seeds"
mkdir -p "$build/seeds/index_file_fuzzer" "$build/logs"
for spec in 1:512 60:512 400:512 800:512 150:88 300:1024; do
  "$build/bin/qrx" demo "$build/seeds/demo" --keys "${spec%:*}" --block-size "${spec#*:}" >/dev/null
  mv "$build/seeds/demo/demo.idx" "$build/seeds/index_file_fuzzer/demo-${spec/:/-}.idx"
done
rm -rf "$build/seeds/demo"
# Sound databases (fields of every type, indexes with a unique name and a text segment, none at all).
mkdir -p "$build/seeds/database_fuzzer"
QRX_WRITE_SEEDS="$build/seeds/database_fuzzer" "$build/bin/database_fuzzer" >/dev/null
# A sound database made by qrx (fixed-width fields; a unique index on one field, one on two fields, one on
# two fields that are not adjacent) and scripts on it: each seed is the two files, each after its 2-byte
# length, then steps of 16 bytes given here by their first three (operation, handle, choice).
kdb="$build/seeds/keyed-db/db"
mkdir -p "$build/seeds/keyed_fuzzer" "${kdb%/db}"
"$build/bin/qrx" db create "$kdb" --block-size 512 --field ID,I --field NAME,C12 --field BAL,D --field FL,B3 \
  --field H,H --index PrimaryIndex,U=ID --index BYNAME=NAME+BAL --index BYGAP=NAME+H >/dev/null
{ echo ID,NAME,BAL,FL,H; for i in $(seq 1 3 40); do echo "$i,n$((i % 5)),$i.25,0a$(printf %02x "$i"),$i"; done; } \
  >"$kdb.csv"
"$build/bin/qrx" db load "$kdb" "$kdb.csv" >/dev/null
u16() { printf "\\x$(printf %02x $(($1 >> 8)))\\x$(printf %02x $(($1 & 255)))"; }
k=0
for script in "000000 010100 030200 030200 030201 020200 030200 050100 060100 090300 060100 0a0300 070100 \
070101 080100 0b0101 070100 0c0100 0d0200 0f0102 0e0200 0e0101 030200" "000002 010101 040200 090300 030200 \
020200 040200 0a0300 0a0301 830201 810102 000008 000010 000003 000040 0f0001 030200 000000 010100 030201"; do
  { for f in "$kdb.DB" "$kdb.IDX"; do u16 "$(stat -c %s "$f")"; cat "$f"; done
    for s in $script; do printf "\\x${s:0:2}\\x${s:2:2}\\x${s:4:2}"; head -c 13 /dev/zero; done
  } >"$build/seeds/keyed_fuzzer/script-$((k += 1))"
done
declare -A max_len=([index_file_fuzzer]=32768 [database_fuzzer]=16384 [keyed_fuzzer]=16384)

passed=0
failed=0
for t in "${targets[@]}"; do
  mkdir -p "$build/corpus/$t" "$build/artifacts/$t"
  log="$build/logs/$t.log"
  echo "fuzz.sh: $t for ${secs}s"
  if "$build/bin/$t" -max_total_time="$secs" -timeout=10 -rss_limit_mb=2048 -max_len="${max_len[$t]}" \
    -print_final_stats=1 -artifact_prefix="$build/artifacts/$t/" \
    "$build/corpus/$t" "$build/seeds/$t" $(ls -d "fuzz/regressions/${t%_fuzzer}" 2>/dev/null) >"$log" 2>&1; then
    grep -E '^(#[0-9]+\s+DONE|stat::number_of_executed_units|stat::peak_rss_mb)' "$log" || true
    passed=$((passed + 1))
  else
    echo "fuzz.sh: $t FAILED; the end of $log:"
    tail -n 60 "$log"
    failed=$((failed + 1))
  fi
done
echo "fuzz: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
