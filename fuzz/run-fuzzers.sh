#!/usr/bin/env bash
# Runs every fuzz target of a "fuzzer" build for a bounded time, each from
# its seed corpus (copied: the repository's corpora stay as they are), on
# the emulated machine of the launcher, as many at once as there are
# processors. Fails when any target finds a fault, naming the reproducer it
# left in the work directory.
#
#   bash fuzz/run-fuzzers.sh <build dir> <seconds per target> [target...]
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(realpath "$1")
seconds=$2
shift 2
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  for program in "$build"/fuzz/fuzz_*; do targets+=("$(basename "$program" | sed 's/^fuzz_//')"); done
fi
work=$(mktemp -d /tmp/vexlor-fuzz.XXXXXX)

# One target; its report goes to <work>/<target>.log.
fuzz() {
  local target=$1
  mkdir -p "$work/$target"
  cp fuzz/corpus/"$target"/* "$work/$target"/
  # The provider prints a line per request: the target's own output is shut
  # (libFuzzer keeps its reports), and the statistics are printed at the end.
  "$build/fuzz/vexlor-fuzz" "$build/fuzz/fuzz_$target" -max_total_time="$seconds" -close_fd_mask=3 \
    -rss_limit_mb=2048 -timeout=25 -print_final_stats=1 -artifact_prefix="$work/$target-" \
    "$work/$target" 2>"$work/$target.log"
}

failed=()
running=0
for target in "${targets[@]}"; do
  if [ "$running" -ge "$(nproc)" ]; then
    wait -n || true
    running=$((running - 1))
  fi
  echo "== fuzz_$target: $seconds s"
  (fuzz "$target" || touch "$work/$target.failed") &
  running=$((running + 1))
done
wait
for target in "${targets[@]}"; do
  if [ -e "$work/$target.failed" ]; then
    tail -60 "$work/$target.log"
    echo "fuzz_$target found a fault; reproducer: $(ls "$work/$target"-* 2>/dev/null || echo none)"
    failed+=("$target")
  else
    echo "fuzz_$target: $(grep -E '^#[0-9]+.*DONE' "$work/$target.log" | tail -1 || true)"
  fi
done
if [ ${#failed[@]} -ne 0 ]; then
  echo "fuzzing found faults in: ${failed[*]} (work directory $work)"
  exit 1
fi
rm -rf "$work"
