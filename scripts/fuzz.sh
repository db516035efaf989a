#!/usr/bin/env bash
# Builds the libFuzzer targets with clang in build/fuzz, makes the seed corpora and runs every target for
# SECONDS seconds (default 60), one after the other on one core, starting with the inputs that once made
# the library crash or hang (fuzz/regressions/TARGET less _fuzzer). Fails when a target reports a crash, a
# timeout, a leak or running out of memory; the input that did it is left in build/fuzz/artifacts/TARGET/
# and the target's log in build/fuzz/logs/TARGET.log. New corpus inputs stay in build/fuzz/corpus/TARGET/
# for the next run. With --runs N each target runs for N executions instead (the long runs behind the
# README's figures), and naming targets runs only those.
# An input that runs longer than QRX_FUZZ_TIMEOUT seconds (default 10, with --runs 60) is reported as a
# hang. libFuzzer measures it in wall-clock time, so a long run at low priority beside other work needs
# the larger default: starved of the processor, it once took a 0.3-second input for a hang.
# QRX_FUZZ_WORKERS=W runs each target as W processes at once on its one corpus (libFuzzer's jobs), each
# for N/W executions (rounded up) or for the seconds given, sharing what they find as they go.
#   usage: scripts/fuzz.sh [SECONDS | --runs N] [TARGET...]
set -euo pipefail
cd "$(dirname "$0")/.."
limit=(-max_total_time="${1:-60}")
what="${1:-60}s"
timeout=${QRX_FUZZ_TIMEOUT:-10}
if [ "${1:-}" = "--runs" ]; then
  limit=(-runs="$2")
  timeout=${QRX_FUZZ_TIMEOUT:-60}
  what="$2 executions"
  shift 2
else
  shift $(($# > 0 ? 1 : 0))
fi
build=build/fuzz
targets=(index_file_fuzzer database_fuzzer keyed_fuzzer descriptions_fuzzer message_fuzzer keyed_names_fuzzer
  csv_load_fuzzer)
[ $# -gt 0 ] && targets=("$@")

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
# database_fuzzer makes its own seeds, so it is built whichever targets run.
cmake --build "$build" --target "${targets[@]}" database_fuzzer qrx

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
# Field descriptions and index key specifications, one a line, an empty line before each index (its name,
# then its key fields): those of the database seeds, one with a key on a piece of a text and on every
# fixed-width type, and one with a declared length on a text code and a start past the field.
mkdir -p "$build/seeds/descriptions_fuzzer"
d="$build/seeds/descriptions_fuzzer"
printf 'NAME\nCITY,S\nID,I\nN,U\nL,L\nF,F\nAMT,D\nFLAGS,B:3\nH,H\nCODE,C8\n\nBYNAME,U\nNAME\nID,I\n\nBYCITY\nCITY,S:1,3\n' \
  >"$d/every-type"
printf 'ID,I\n\nBYID,U\nID,I\n' >"$d/one-field"
printf 'T,C\nK,B12\nU,U\nD,D\nS,S\n\nBYALL\nK,B12:2,4\nU,U\nD,D\nT,C:5\n\nBYS,U\nS,S:0,2\nT,C\n' >"$d/pieces"
printf 'A,X:7\nB,C0\nC\n\nI1\nA,X:7:3,9\nC:2\n\nI2,U\nB,C0\n\n\nI3\nNONE\n' >"$d/odd-codes"
# Message catalog inputs: a choice byte (bit 0: insert words are numbers, not texts), then prefix,
# suffix, component name and message texts, each ended by a NUL, with every conversion and flag.
d="$build/seeds/message_fuzzer"
mkdir -p "$d"
printf '\x06QRX\0ABC\0COMP1\0Hello %%s world %%d\0Value %%5.3x and %%-8s|%%c|%%p|%%lld\0plain text\0' >"$d/texts"
printf '\x07QRX\0\0NUMS\0%%d %%i %%u %%o %%#x %%X %%+05d %% 3d %%.0d %%lu %%zd %%s %%n %%q %%%%\0%%-*d %%0-#10.4llX\0' \
  >"$d/numbers"
printf '\x40P\0S\0\x30\0%%s%%s%%s%%s%%s%%s%%s%%s%%s%%s%%s%%s\0' >"$d/past-the-tenth"
# Keyed-file names and key geometry: the number of fields, each field's type and length, the key's fields
# (bit 6: unique), a start and a length cut from the first key field, usage, the name's length choice and
# the name after the database's path.
d="$build/seeds/keyed_names_fuzzer"
mkdir -p "$d"
printf '\x03\x00\x00\x06\x08\x02\x00\x01\x00\x01\x00\x01\x00:K' >"$d/int-char-long"
printf '\x02\x00\x00\x07\x03\x42\x02\x04\x03\x00' >"$d/binary-piece-unique"
printf '\x03\x05\x00\x06\x0a\x09\x00\x05\x00\x00\x03\x00:K x' >"$d/short-then-text-field"
printf '\x04\x01\x00\x02\x00\x04\x00\x06\x06\x0a\x00\x00\x01\x00:K' >"$d/key-with-a-gap"
printf '\x01\x00\x00\x01\x00\x00\x04\x03' >"$d/bad-usage-negative-length"
# CSV files for `qrx db load` into the fuzzer's database (ID,I NAME,C12 BAL,D FL,B3 H,H CITY,S N,U F,F L,L
# CS,C): every type, quoted values and line breaks; a BOM, CRLF lines and the columns in another order;
# rows that are refused one way or another; and rows in numbers made here.
d="$build/seeds/csv_load_fuzzer"
mkdir -p "$d"
printf 'ID,NAME,BAL,FL,H,CITY,N,F,L,CS\n1,Smith,10.25,0a0b0c,7,Paris,4000000000,1.5,-3,x\n2,"Jones, J",-0.5,,-32768,"Rome ""old""",0,1e10,2147483647,\n3,n,1e308,ff,32767,,1,-0,-2147483648,"multi\nline"\n' \
  >"$d/every-type.csv"
printf '\xEF\xBB\xBFCS,L,F,N,CITY,H,FL,BAL,NAME,ID\r\n,0,0,0,,0,,0,,5\r\n\r\nq,1,2,3,Oslo,4,01,5.5,NAME-TWELVE!,6\r\n' \
  >"$d/bom-crlf-reordered.csv"
printf 'ID,NAME,BAL,FL,H,CITY,N,F,L,CS\n1,a,1,00,1,c,1,1,1,s\n1,dup,1,00,1,c,1,1,1,s\n2,too-long-for-char12,1,00,1,c,1,1,1,s\n3,b,x,00,1,c,1,1,1,s\n4,b,1,0g,1,c,-1,1,1,s\n5,b,1,00,40000,c,1,nan,1,s\n6,b\n7,"unterminated\n' \
  >"$d/bad-rows.csv"
{ echo ID,NAME,BAL,FL,H,CITY,N,F,L,CS
  for i in $(seq 1 7 60); do echo "$i,n$((i % 5)),$i.25,0a$(printf %02x "$i"),$i,c$((i % 3)),$((i * 99)),$i.5,-$i,t$i"; done
} >"$d/rows.csv"
declare -A max_len=([index_file_fuzzer]=32768 [database_fuzzer]=16384 [keyed_fuzzer]=16384
  [descriptions_fuzzer]=1024 [message_fuzzer]=1024 [keyed_names_fuzzer]=512 [csv_load_fuzzer]=4096)
# The tool's load writes a line on standard error for every row it refuses, and a walk over a damaged data
# file one for every record it cannot read: standard error is closed for those targets (the fuzzer's own
# lines and the sanitizers' reports still reach the log, which would otherwise grow by a gigabyte a run).
declare -A extra=([csv_load_fuzzer]=-close_fd_mask=2 [database_fuzzer]=-close_fd_mask=2)

workers=${QRX_FUZZ_WORKERS:-1}
# Runs target $1 with its log in $2; fails when the target reported a finding. Workers write their
# output to build/fuzz/logs/TARGET.workers/fuzz-J.log as they go, and libFuzzer copies each into the
# target's log when that worker ends.
run_target() {
  local t=$1 log bin corpus seeds regressions dir
  log=$(realpath -m "$2") dir=$(realpath -m "${2%.log}.workers")
  bin=$(realpath "$build/bin/$t") corpus=$(realpath "$build/corpus/$t") seeds=$(realpath "$build/seeds/$t")
  regressions=$(realpath -m "fuzz/regressions/${t%_fuzzer}")
  [ -d "$regressions" ] || regressions=""
  local args=(-timeout="$timeout" -rss_limit_mb=2048 -max_len="${max_len[$t]}" -print_final_stats=1
    -artifact_prefix="$(realpath "$build/artifacts/$t")/" ${extra[$t]:-} "$corpus" "$seeds" $regressions)
  if [ "$workers" -le 1 ]; then
    "$bin" "${limit[@]}" "${args[@]}" >"$log" 2>&1
    return
  fi
  local each=("${limit[@]}")
  [ "${limit[0]%%=*}" = -runs ] && each=(-runs=$(((${limit[0]#*=} + workers - 1) / workers)))
  rm -rf "$dir" && mkdir -p "$dir"
  (cd "$dir" && "$bin" -jobs="$workers" -workers="$workers" "${each[@]}" "${args[@]}" >"$log" 2>&1)
}

passed=0
failed=0
for t in "${targets[@]}"; do
  # QRX_FUZZ_SKIP names targets to build but not run (a finding still open on them).
  case " ${QRX_FUZZ_SKIP:-} " in *" $t "*) echo "fuzz.sh: $t skipped (QRX_FUZZ_SKIP)"; continue ;; esac
  mkdir -p "$build/corpus/$t" "$build/artifacts/$t"
  log="$build/logs/$t.log"
  echo "fuzz.sh: $t for $what"
  started=$SECONDS
  if run_target "$t" "$log"; then
    grep -E '^(#[0-9]+\s+DONE|stat::number_of_executed_units|stat::peak_rss_mb)' "$log" || true
    [ "$workers" -gt 1 ] && echo "fuzz.sh: $t executions in all: $(sed -n \
      's/^stat::number_of_executed_units: *//p' "$log" | awk '{ n += $1 } END { print n }')"
    echo "fuzz.sh: $t ran $((SECONDS - started)) s"
    passed=$((passed + 1))
  else
    echo "fuzz.sh: $t FAILED; the end of $log:"
    tail -n 60 "$log"
    failed=$((failed + 1))
  fi
done
echo "fuzz: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
