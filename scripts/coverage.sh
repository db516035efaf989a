#!/usr/bin/env bash
# Line and branch coverage of the library's own code (cbt/ with blockio and pool, isam/, keyed/, msg/,
# usr/, host/) from the whole test suite. Builds the preset "coverage" in build/coverage, runs every test
# with ctest, prints one line per folder and a total, and writes an HTML report to
# build/coverage/coverage-html/index.html. Branches the compiler adds for exception unwinding are not
# counted. Exits non-zero when the build or a test fails; the report is still printed after failed tests.
set -euo pipefail
cd "$(dirname "$0")/.."
root="$(pwd -P)"
build="$root/build/coverage"

SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
scripts/deps.sh
if ! command -v gcovr >/dev/null 2>&1; then
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq
  if ! $SUDO apt-get install -y -qq gcovr; then
    python3 -m pip install --user gcovr
    export PATH="$HOME/.local/bin:$PATH"
  fi
fi
command -v gcovr >/dev/null 2>&1 || { echo "coverage: gcovr is not available" >&2; exit 1; }

cmake --preset coverage
cmake --build --preset coverage

# Counters from an earlier run would add to this one.
find "$build" -name '*.gcda' -delete

test_rc=0
ctest --preset coverage || test_rc=$?

folders=(cbt isam keyed msg usr host)
summary="$build/coverage-summary.json"
mkdir -p "$build/coverage-html"
gcovr --root "$root" --object-directory "$build" "$build" \
  --filter "^($(IFS='|'; echo "${folders[*]}"))/" \
  --exclude-directories 'build/coverage/CMakeFiles/[0-9]' \
  --exclude-throw-branches -j 2 \
  --json-summary "$summary" \
  --html-details "$build/coverage-html/index.html" >/dev/null

python3 - "$summary" "${folders[@]}" <<'PY'
import json, sys
data = json.load(open(sys.argv[1]))
folders = sys.argv[2:]
sums = {f: [0, 0, 0, 0] for f in folders}
for entry in data["files"]:
    top = entry["filename"].split("/", 1)[0]
    if top in sums:
        s = sums[top]
        s[0] += entry["line_covered"]; s[1] += entry["line_total"]
        s[2] += entry["branch_covered"]; s[3] += entry["branch_total"]
def pct(a, b):
    return "%6.1f%%" % (100.0 * a / b) if b else "    n/a"
print("%-8s %8s %15s %8s %15s" % ("folder", "lines", "", "branches", ""))
total = [0, 0, 0, 0]
for f in folders:
    s = sums[f]
    total = [t + v for t, v in zip(total, s)]
    print("%-8s %8s %15s %8s %15s" % (f + "/", pct(s[0], s[1]), "(%d/%d)" % (s[0], s[1]),
                                      pct(s[2], s[3]), "(%d/%d)" % (s[2], s[3])))
print("%-8s %8s %15s %8s %15s" % ("total", pct(total[0], total[1]), "(%d/%d)" % (total[0], total[1]),
                                  pct(total[2], total[3]), "(%d/%d)" % (total[2], total[3])))
if total[1] == 0:
    sys.exit("coverage: no line of the library was measured")
PY
echo "HTML report: $build/coverage-html/index.html"

if [ "$test_rc" -ne 0 ]; then
  echo "coverage: some tests failed (ctest exit status $test_rc)" >&2
fi
exit "$test_rc"
