#!/usr/bin/env bash
# Output throughput of tolvek, kesp and brovik on synthetic recordings.
#   bench/run_bench.sh [build-dir]      (make bench builds and runs it)
# Settings from the environment: RUNS (timed runs per case, default 5),
# PRINTF_RUNS (runs of the printf reference, default 3), BENCH_DIR (where
# recordings and captured outputs go; by default a fresh directory in
# /dev/shm, so that writing back the 2 GB outputs to disk does not disturb
# the timings, or in $TMPDIR; removed at the end).
#
# For every recording and command it measures, as medians of RUNS runs:
#   null    the program writing to /dev/null
#   pipe    the program writing into a pipe read by `cat >/dev/null`
#   floor   `cat` of the same output bytes (captured once to a file, page
#           cached) into the same kind of pipe: the cost of moving the bytes
#   printf  bench/printf_rows writing the same lines with printf, to
#           /dev/null (it decodes with the decoder's own procedures)
# and the peak resident set size of one run (/usr/bin/time -f %M). Then the
# Python route, when the Python package was built (bench/python_bench.py).
set -euo pipefail

build=${1:-build-bench}
bin=$build/bin
runs=${RUNS:-5}
printf_runs=${PRINTF_RUNS:-3}
for program in tolvek kesp brovik make_recording printf_rows; do
  [[ -x $bin/$program ]] || { echo "missing $bin/$program; run make bench" >&2; exit 1; }
done

if [[ -n ${BENCH_DIR:-} ]]; then
  work=$BENCH_DIR
  mkdir -p "$work"
else
  parent=${TMPDIR:-/tmp}
  if [[ -w /dev/shm ]] && (($(df -Pk /dev/shm | awk 'NR == 2 {print $4}') > 4000000)); then
    parent=/dev/shm
  fi
  work=$(mktemp -d "$parent/tolvek-bench.XXXXXX")
  trap 'rm -rf "$work"' EXIT
fi

# Seconds of wall time for one run of a shell command line, run by this
# shell (no shell start-up in the time).
time_once() {
  local start=$EPOCHREALTIME
  eval "$1"
  local end=$EPOCHREALTIME
  echo "$start $end" | awk '{printf "%.4f\n", $2 - $1}'
}

# Median of `count` runs.
median_time() {
  local count=$1 command=$2 i
  for ((i = 0; i < count; i++)); do time_once "$command"; done |
    sort -n | awk '{t[NR] = $1} END {print t[int((NR + 1) / 2)]}'
}

peak_rss_kib() {
  /usr/bin/time -f %M bash -c "exec $1" 2>&1 >/dev/null | tail -1
}

mbps() { awk -v b="$1" -v s="$2" 'BEGIN {if (s > 0) printf "%.0f", b / s / 1e6; else print "-"}'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN {if (a != "-" && b > 0) printf "%.2f", a / b; else print "-"}'; }

echo "recordings in $work"
"$bin/make_recording" "$work/small.16c" 1000 128 1
"$bin/make_recording" "$work/large.16c" 10000 128 2
"$bin/make_recording" "$work/wide.16c" 1000 256 3
recordings="small large wide"

# command name | program invocation with @ for the recording | printf_rows
# arguments ("" when there is no printf counterpart)
cases=(
  "tolvek -s|$bin/tolvek -s @|-s"
  "tolvek -t 3|$bin/tolvek -t 3 @|-t 3"
  "tolvek -a -p|$bin/tolvek -a -p @|-a -p"
  "tolvek -c -s|$bin/tolvek -c -s @|-c -s"
  "kesp|$bin/kesp @|-k"
  "brovik|$bin/brovik @ /dev/stdout|"
)

uptime
printf '%-6s %-13s %9s %8s %7s %8s %7s %8s %6s %9s %8s %8s\n' \
  recording command "out MB" "null s" "MB/s" "pipe s" "MB/s" "floor s" \
  "p/fl" "printf s" "pr/tolv" "RSS KiB"
status=0
for name in $recordings; do
  recording=$work/$name.16c
  for case in "${cases[@]}"; do
    IFS='|' read -r label invocation printf_args <<<"$case"
    command=${invocation//@/$recording}
    output=$work/$name.out
    bash -c "$command" >"$output"
    bytes=$(stat -c %s "$output")

    null=$(median_time "$runs" "$command >/dev/null")
    pipe=$(median_time "$runs" "$command | cat >/dev/null")
    floor=$(median_time "$runs" "cat $output | cat >/dev/null")
    rss=$(peak_rss_kib "$command")

    printf_time=-
    if [[ -n $printf_args ]]; then
      reference="$bin/printf_rows $printf_args $recording"
      if ! bash -c "$reference" | cmp -s - "$output"; then
        echo "printf_rows $printf_args differs from $label on $name" >&2
        status=1
      fi
      printf_time=$(median_time "$printf_runs" "$reference >/dev/null")
    fi
    printf '%-6s %-13s %9.1f %8s %7s %8s %7s %8s %6s %9s %8s %8s\n' \
      "$name" "$label" "$(awk -v b="$bytes" 'BEGIN {print b / 1e6}')" \
      "$null" "$(mbps "$bytes" "$null")" "$pipe" "$(mbps "$bytes" "$pipe")" \
      "$floor" "$(ratio "$pipe" "$floor")" "$printf_time" \
      "$(ratio "$printf_time" "$null")" "$rss"
    rm -f "$output"
  done
done
uptime

# The Python route (bench/python_bench.py), when the package was built:
# open_dataset of the large recording beside tolvek -a, its peak memory,
# the text route through numpy.loadtxt on the small one, and iter_groups'
# peak memory over both.
site=$build/python/site
if [[ -d $site/digisonde16c ]]; then
  echo
  echo "Python route"
  uptime
  if ! PYTHONPATH=$site /usr/bin/python3 "$(dirname "$0")/python_bench.py" "$bin" \
      "$work/small.16c" "$work/large.16c" "$work" "$runs"; then
    echo "python_bench.py failed" >&2
    status=1
  fi
  uptime
  # Converting an archive of 40 recordings on Dask (bench/archive_bench.py).
  echo; echo "Archive on Dask"; uptime
  PYTHONPATH=$site /usr/bin/python3 "$(dirname "$0")/archive_bench.py" "$bin" "$work" \
    "$runs" || { echo "archive_bench.py failed" >&2; status=1; }
  uptime
fi

# Rendering alone, for kesp, whose run is mostly reading: one dump line
# through the engine against printf (per field, and one call per line).
if [[ -x $bin/line_benchmark ]]; then
  "$bin/line_benchmark" --benchmark_repetitions="$runs" --benchmark_report_aggregates_only=true |
    grep -E 'Benchmark|median'
fi
exit $status
