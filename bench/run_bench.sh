#!/usr/bin/env bash
# Throughput of tolvek, kesp and brovik on synthetic recordings.
#   bench/run_bench.sh [build-dir]      (make bench builds and runs it)
# Settings from the environment:
#   RUNS         timed runs (or pairs of runs) per figure, default 7
#   PRINTF_RUNS  pairs of runs of the printf reference, default 7
#   BASELINE     a directory holding other builds of the programs (e.g. an
#                earlier release's bin/): each figure is then measured for
#                both, their runs interleaved, and shown side by side
#   BENCH_DIR    where recordings and captured outputs go; by default a
#                fresh directory in /dev/shm (so that the outputs of 2 GB
#                are not written back to disk during the timings), else in
#                $TMPDIR; removed at the end
#
# Tables, each figure a median over RUNS, the machine's load beside it:
#   null     the program writing to /dev/null: seconds and MB/s of output;
#            peak resident set size of one run (/usr/bin/time -f %M)
#   pipe     the program writing into `cat >/dev/null`, against the floor:
#            `cat` of the same output bytes (captured once, page cached)
#            through the same kind of pipe; runs interleaved pair by pair
#            (program|cat, cat|cat, program|cat, ...); the medians of both
#            and the median of the per-pair ratios
#   decode   tolvek -t 1000 on the large recording, which no sample passes:
#            the fixed cost of every mode, in MB/s of recording and
#            microseconds per block
#   printf   bench/printf_rows writing the same lines with printf (it decodes
#            with the decoder's own procedures), to /dev/null, against
#            tolvek; its output is compared with tolvek's byte for byte
#   python   the Python route (bench/python_bench.py), an archive converted
#            on Dask (bench/archive_bench.py) and scaled ionograms
#            (bench/scale_accuracy.py), when the Python package was built
# Further sections can be added at the end, before the exit.
set -euo pipefail

build=${1:-build-bench}
bin=$build/bin
runs=${RUNS:-7}
printf_runs=${PRINTF_RUNS:-7}
base=${BASELINE:-}
for program in tolvek kesp brovik make_recording printf_rows; do
  [[ -x $bin/$program ]] || { echo "missing $bin/$program; run make bench" >&2; exit 1; }
done
if [[ -n $base ]]; then
  for program in tolvek kesp brovik; do
    [[ -x $base/$program ]] || { echo "missing $base/$program" >&2; exit 1; }
  done
fi

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
  awk -v s="$start" -v e="$end" 'BEGIN {printf "%.4f\n", e - s}'
}

# Median of the numbers on standard input.
median() { sort -g | awk '{v[NR] = $1} END {if (NR) print v[int((NR + 1) / 2)]; else print "-"}'; }

# Column `n` of the lines on standard input.
column() { awk -v n="$1" '{print $n}'; }

# Runs the command lines given as arguments in turn, `runs` rounds; prints
# one line per round with their times in the order given.
interleaved() {
  local i command line
  for ((i = 0; i < runs; i++)); do
    line=
    for command in "$@"; do line+="$(time_once "$command") "; done
    echo "$line"
  done
}

peak_rss_kib() {
  /usr/bin/time -f %M bash -c "exec $1" 2>&1 >/dev/null | tail -1
}

load() { awk '{print $1}' /proc/loadavg; }
mbps() { awk -v b="$1" -v s="$2" 'BEGIN {if (s != "-" && s > 0) printf "%.0f", b / s / 1e6; else print "-"}'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN {if (a != "-" && b != "-" && b > 0) printf "%.2f", a / b; else print "-"}'; }

echo "recordings in $work"
"$bin/make_recording" "$work/small.16c" 1000 128 1
"$bin/make_recording" "$work/large.16c" 10000 128 2
"$bin/make_recording" "$work/wide.16c" 1000 256 3
recordings="small large wide"

# command name | invocation, @ standing for the recording and % for the
# directory of the programs | printf_rows arguments ("" when none)
cases=(
  "tolvek -s|%/tolvek -s @|-s"
  "tolvek -t 3|%/tolvek -t 3 @|-t 3"
  "tolvek -a|%/tolvek -a @|"
  "tolvek -p|%/tolvek -p @|"
  "tolvek -a -p|%/tolvek -a -p @|-a -p"
  "tolvek -c -s|%/tolvek -c -s @|-c -s"
  "kesp|%/kesp @|-k"
  "brovik|%/brovik @ /dev/stdout|"
)

# The command line of a case for the programs in directory $2.
command_for() {
  local invocation=$1 dir=$2 recording=$3
  invocation=${invocation//@/$recording}
  echo "${invocation//%/$dir}"
}

status=0
uptime

echo
echo "== to /dev/null: seconds, MB/s of output, peak RSS (median of $runs)"
if [[ -n $base ]]; then
  printf '%-6s %-13s %9s %8s %7s %8s %8s %7s %8s %8s %5s\n' recording command "out MB" \
    "null s" "MB/s" "RSS KiB" "base s" "MB/s" "RSS KiB" "base/new" load
else
  printf '%-6s %-13s %9s %8s %7s %8s %5s\n' recording command "out MB" "null s" "MB/s" \
    "RSS KiB" load
fi
for name in $recordings; do
  recording=$work/$name.16c
  for case in "${cases[@]}"; do
    IFS='|' read -r label invocation printf_args <<<"$case"
    command=$(command_for "$invocation" "$bin" "$recording")
    bytes=$(bash -c "$command" | wc -c)
    rss=$(peak_rss_kib "$command")
    if [[ -n $base ]]; then
      old=$(command_for "$invocation" "$base" "$recording")
      times=$(interleaved "$command >/dev/null" "$old >/dev/null")
      null=$(column 1 <<<"$times" | median)
      old_null=$(column 2 <<<"$times" | median)
      printf '%-6s %-13s %9.1f %8s %7s %8s %8s %7s %8s %8s %5s\n' "$name" "$label" \
        "$(awk -v b="$bytes" 'BEGIN {print b / 1e6}')" "$null" "$(mbps "$bytes" "$null")" \
        "$rss" "$old_null" "$(mbps "$bytes" "$old_null")" "$(peak_rss_kib "$old")" \
        "$(awk '{print $2 / $1}' <<<"$times" | median | awk '{printf "%.2f", $1}')" "$(load)"
    else
      null=$(interleaved "$command >/dev/null" | column 1 | median)
      printf '%-6s %-13s %9.1f %8s %7s %8s %5s\n' "$name" "$label" \
        "$(awk -v b="$bytes" 'BEGIN {print b / 1e6}')" "$null" "$(mbps "$bytes" "$null")" \
        "$rss" "$(load)"
    fi
  done
done

echo
echo "== through a pipe into cat, against cat of the same bytes (pairs interleaved, median of $runs)"
if [[ -n $base ]]; then
  printf '%-6s %-13s %8s %8s %7s %8s %7s %5s\n' recording command "pipe s" "cat s" "p/cat" \
    "base s" "b/cat" load
else
  printf '%-6s %-13s %8s %8s %7s %5s\n' recording command "pipe s" "cat s" "p/cat" load
fi
for name in $recordings; do
  recording=$work/$name.16c
  for case in "${cases[@]}"; do
    IFS='|' read -r label invocation printf_args <<<"$case"
    command=$(command_for "$invocation" "$bin" "$recording")
    output=$work/$name.out
    bash -c "$command" >"$output"
    pairs=("$command | cat >/dev/null" "cat $output | cat >/dev/null")
    if [[ -n $base ]]; then
      pairs+=("$(command_for "$invocation" "$base" "$recording") | cat >/dev/null")
    fi
    times=$(interleaved "${pairs[@]}")
    pipe=$(column 1 <<<"$times" | median)
    floor=$(column 2 <<<"$times" | median)
    pipe_ratio=$(awk '{print $1 / $2}' <<<"$times" | median | awk '{printf "%.2f", $1}')
    if [[ -n $base ]]; then
      printf '%-6s %-13s %8s %8s %7s %8s %7s %5s\n' "$name" "$label" "$pipe" "$floor" \
        "$pipe_ratio" "$(column 3 <<<"$times" | median)" \
        "$(awk '{print $3 / $2}' <<<"$times" | median | awk '{printf "%.2f", $1}')" "$(load)"
    else
      printf '%-6s %-13s %8s %8s %7s %5s\n' "$name" "$label" "$pipe" "$floor" "$pipe_ratio" \
        "$(load)"
    fi
    rm -f "$output"
  done
done

echo
echo "== decode only: tolvek -t 1000 on the large recording (no sample passes; median of $runs)"
recording=$work/large.16c
recording_bytes=$(stat -c %s "$recording")
blocks=$((recording_bytes / 4096))
decode_line() {
  local label=$1 seconds=$2
  printf '%-9s %8s s %7s MB/s of recording %7s us/block %5s\n' "$label" "$seconds" \
    "$(mbps "$recording_bytes" "$seconds")" \
    "$(awk -v s="$seconds" -v n="$blocks" 'BEGIN {printf "%.2f", s / n * 1e6}')" "$(load)"
}
if [[ -n $base ]]; then
  times=$(interleaved "$bin/tolvek -t 1000 $recording >/dev/null" \
    "$base/tolvek -t 1000 $recording >/dev/null")
  decode_line tolvek "$(column 1 <<<"$times" | median)"
  decode_line baseline "$(column 2 <<<"$times" | median)"
else
  decode_line tolvek "$(interleaved "$bin/tolvek -t 1000 $recording >/dev/null" | column 1 | median)"
fi

echo
echo "== printf reference: same bytes (cmp), and -t 3 against printf (median of $printf_runs)"
printf '%-6s %-13s %9s %9s %8s %5s\n' recording command "printf s" "tolvek s" "pr/tolv" load
for name in $recordings; do
  recording=$work/$name.16c
  for case in "${cases[@]}"; do
    IFS='|' read -r label invocation printf_args <<<"$case"
    [[ -n $printf_args ]] || continue
    command=$(command_for "$invocation" "$bin" "$recording")
    reference="$bin/printf_rows $printf_args $recording"
    if ! cmp -s <(bash -c "$reference") <(bash -c "$command"); then
      echo "printf_rows $printf_args differs from $label on $name" >&2
      status=1
    fi
    [[ $label == "tolvek -t 3" ]] || continue
    times=$(runs=$printf_runs interleaved "$reference >/dev/null" "$command >/dev/null")
    printf_time=$(column 1 <<<"$times" | median)
    tolvek_time=$(column 2 <<<"$times" | median)
    printf '%-6s %-13s %9s %9s %8s %5s\n' "$name" "$label" "$printf_time" "$tolvek_time" \
      "$(awk '{print $1 / $2}' <<<"$times" | median | awk '{printf "%.1f", $1}')" "$(load)"
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
  # Scaled ionograms: accuracy on 240 synthesized sweeps, and speed.
  echo; echo "Scaled ionograms"; PYTHONPATH=$site /usr/bin/python3 "$(dirname "$0")/scale_accuracy.py" "$bin" "$work" 20 12 "$runs" || { echo "scale_accuracy.py failed" >&2; status=1; }
  echo; echo "Drift velocities"; PYTHONPATH=$site /usr/bin/python3 "$(dirname "$0")/drift_bench.py" "$bin" "$work" "$runs" || { echo "drift_bench.py failed" >&2; status=1; }
fi

# Rendering alone, for kesp, whose run is mostly reading: one dump line
# through the engine against printf (per field, and one call per line).
if [[ -x $bin/line_benchmark ]]; then
  echo
  echo "== one dump line, engine against printf"
  "$bin/line_benchmark" --benchmark_repetitions="$runs" --benchmark_report_aggregates_only=true |
    grep -E 'Benchmark|median'
fi
exit $status
