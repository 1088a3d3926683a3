#!/usr/bin/env bash
# Runs every fuzz target for a bounded time: run_fuzzers.sh BIN_DIR SECONDS WORK_DIR
# Each target starts from its committed seeds (fuzz/corpus/<target>, never
# written) and a working corpus under WORK_DIR; a crash, leak, timeout or
# sanitizer report leaves its input in WORK_DIR and fails the run.
set -euo pipefail
bin_dir=$1
seconds=$2
work_dir=$3
seeds="$(cd "$(dirname "$0")" && pwd)/corpus"
targets="fuzz_group_pipeline fuzz_column_format fuzz_tolvek_run fuzz_brovik_kesp
  fuzz_recording_reader"
mkdir -p "$work_dir"
status=0
for target in $targets; do
  mkdir -p "$work_dir/$target"
  echo "== $target: ${seconds} s"
  if ! "$bin_dir/$target" -max_total_time="$seconds" -max_len=20480 -timeout=30 \
      -rss_limit_mb=2048 -print_final_stats=1 \
      -artifact_prefix="$work_dir/$target-" "$work_dir/$target" "$seeds/$target" \
      > "$work_dir/$target.log" 2>&1; then
    tail -n 40 "$work_dir/$target.log"
    echo "== $target FAILED (log: $work_dir/$target.log)"
    status=1
    continue
  fi
  grep -E '^stat::number_of_executed_units|^stat::average_exec_per_sec' \
    "$work_dir/$target.log" || true
done
exit $status
