#!/usr/bin/env bash
# Runs test entries with every scenario child under valgrind's memcheck and
# fails when any child shows a memory error or a definite leak.
#
#   bash tests/valgrind/run-memcheck.sh <build dir> [ctest arguments...]
#
# The verdict comes from memcheck's logs, not from the tests' outcomes:
# under valgrind everything runs some twenty times slower, so tests that
# bound how long something takes may fail without any fault. The tests that
# replace the allocation functions are left out: valgrind replaces them too.
set -euo pipefail
cd "$(dirname "$0")/../.."
build=$1
shift
logs=$(mktemp -d /tmp/vexlor-memcheck.XXXXXX)
export VEXLOR_SCENARIO_WRAPPER="/usr/bin/valgrind --tool=memcheck --leak-check=full --errors-for-leak-kinds=definite --num-callers=30 --suppressions=$PWD/tests/valgrind/glibc.supp --log-file=$logs/%p.log"
ctest --test-dir "$build" -j2 --timeout 900 -E '^ExceptionSafetyTest\.' "$@" >"$logs/ctest.out" 2>&1 || true
grep -E 'tests passed|tests failed' "$logs/ctest.out" || true
children=$(find "$logs" -name '*.log' | wc -l)
faulty=$(grep -l 'ERROR SUMMARY: [1-9]' "$logs"/*.log || true)
unfinished=$(grep -L 'ERROR SUMMARY' "$logs"/*.log || true)
echo "memcheck: $children scenario processes checked"
if [ "$children" -eq 0 ]; then
  echo "memcheck: no scenario process ran"
  exit 1
fi
if [ -n "$faulty" ]; then
  for log in $faulty; do
    echo "== $log"
    cat "$log"
  done
  echo "memcheck: errors or definite leaks in: $faulty"
  exit 1
fi
# A process killed before its end (a test's time limit) writes no summary.
if [ -n "$unfinished" ]; then
  echo "memcheck: ended before their summary (a test's time limit), so not judged:"
  for log in $unfinished; do grep -m1 -h 'Command:' "$log" || echo "  $log"; done
fi
grep -h 'definitely lost' "$logs"/*.log | sed 's/==[0-9]*==//' | sort | uniq -c || true
rm -rf "$logs"
echo "memcheck: no errors, no definite leaks"
