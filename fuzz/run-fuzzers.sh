#!/usr/bin/env bash
# Runs every fuzz target of a "fuzzer" build for a bounded time, each from
# its seed corpus (copied: the repository's corpora stay as they are), on
# the emulated machine of the launcher. Fails at the first finding, whose
# reproducer is left in the work directory and named in the output.
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
for target in "${targets[@]}"; do
  corpus="$work/$target"
  mkdir -p "$corpus"
  cp fuzz/corpus/"$target"/* "$corpus"/
  echo "== fuzz_$target: $seconds s"
  # The provider prints a line per request: the target's own output is shut
  # (libFuzzer keeps its reports), and the statistics are printed at the end.
  if ! "$build/fuzz/vexlor-fuzz" "$build/fuzz/fuzz_$target" -max_total_time="$seconds" -close_fd_mask=3 \
      -rss_limit_mb=2048 -timeout=25 -print_final_stats=1 -artifact_prefix="$work/$target-" \
      "$corpus" 2>"$work/$target.log"; then
    tail -60 "$work/$target.log"
    echo "fuzz_$target found a fault; reproducer: $(ls "$work/$target"-* 2>/dev/null)"
    exit 1
  fi
  grep -E '^stat::(number_of_executed_units|average_exec_per_sec|peak_rss_mb)|cov: ' "$work/$target.log" | tail -4 || true
done
rm -rf "$work"
