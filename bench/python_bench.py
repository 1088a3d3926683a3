"""Speed and memory of the Python route, for `make bench` (bench/run_bench.sh).

    PYTHONPATH=BUILD/python/site /usr/bin/python3 bench/python_bench.py \\
        BIN_DIR SMALL.16c LARGE.16c WORK_DIR [RUNS]

- open_dataset of LARGE against `tolvek -a LARGE > /dev/null`, the runs
  interleaved (A, B, A, B, ...): medians, MB of recording per second;
- the peak memory of open_dataset in a fresh interpreter, above what the
  interpreter held after its imports, against the dataset's arrays;
- the route without the package on SMALL: `tolvek -s SMALL > file`, then
  numpy.loadtxt of the file, against open_dataset of SMALL;
- iter_groups over SMALL and over LARGE, each in a fresh interpreter: peak
  memory of the whole run.
"""

import os
import statistics
import subprocess
import sys
import time

import numpy as np

import digisonde16c

# Run in a child: decodes the recording with `call` and prints the peak
# resident memory above the memory after the imports, and the bytes of the
# dataset's arrays (0 for iter_groups).
MEASURE_MEMORY = """
import sys
import digisonde16c

def status(field):
    with open("/proc/self/status") as lines:
        for line in lines:
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024

before = status("VmRSS")
path, call = sys.argv[1], sys.argv[2]
if call == "open_dataset":
    dataset = digisonde16c.open_dataset(path)
    arrays = dataset.nbytes
else:
    arrays = 0
    for group in digisonde16c.iter_groups(path):
        pass
print(status("VmHWM") - before, arrays, status("VmHWM"))
"""


def seconds(action):
    start = time.perf_counter()
    action()
    return time.perf_counter() - start


def tolvek(bin_dir, *arguments, output=subprocess.DEVNULL):
    subprocess.run([os.path.join(bin_dir, "tolvek"), *arguments], stdout=output, check=True)


def memory(path, call):
    done = subprocess.run([sys.executable, "-c", MEASURE_MEMORY, path, call],
                          capture_output=True, text=True, check=True)
    above, arrays, peak = (int(v) for v in done.stdout.split())
    return above, arrays, peak


def mib(value):
    return value / (1 << 20)


def main():
    bin_dir, small, large, work = sys.argv[1:5]
    runs = int(sys.argv[5]) if len(sys.argv) > 5 else 5
    large_mb = os.path.getsize(large) / 1e6
    small_mb = os.path.getsize(small) / 1e6

    # open_dataset against tolvek -a, interleaved.
    decode, table = [], []
    for _ in range(runs):
        decode.append(seconds(lambda: digisonde16c.open_dataset(large)))
        table.append(seconds(lambda: tolvek(bin_dir, "-a", large)))
    decode_s, table_s = statistics.median(decode), statistics.median(table)
    print(f"open_dataset   {os.path.basename(large)} {large_mb:6.1f} MB: median {decode_s:.3f} s "
          f"({large_mb / decode_s:.0f} MB/s) of {runs}: "
          + " ".join(f"{t:.3f}" for t in decode))
    print(f"tolvek -a      {os.path.basename(large)} {large_mb:6.1f} MB: median {table_s:.3f} s "
          f"({large_mb / table_s:.0f} MB/s) of {runs}: " + " ".join(f"{t:.3f}" for t in table)
          + f"  [open_dataset / tolvek -a time: {decode_s / table_s:.2f}]")

    above, arrays, peak = memory(large, "open_dataset")
    print(f"open_dataset   peak memory above the imports {mib(above):.1f} MiB, "
          f"arrays {mib(arrays):.1f} MiB: {above / arrays:.2f} x the arrays "
          f"(whole process peak {mib(peak):.1f} MiB)")

    # The route without the package, once (it takes long), beside
    # open_dataset of the same recording.
    rows = os.path.join(work, "small.rows")
    with open(rows, "wb") as output:
        text_s = seconds(lambda: tolvek(bin_dir, "-s", small, output=output))
    load_s = seconds(lambda: np.loadtxt(rows, comments="#", usecols=range(3, 12),
                                        dtype=np.float64))
    rows_mb = os.path.getsize(rows) / 1e6
    os.remove(rows)
    small_decode = []
    for _ in range(runs):
        small_decode.append(seconds(lambda: digisonde16c.open_dataset(small)))
    small_s = statistics.median(small_decode)
    print(f"tolvek -s > file + numpy.loadtxt  {os.path.basename(small)} {small_mb:.1f} MB "
          f"({rows_mb:.0f} MB of rows): {text_s:.2f} s + {load_s:.2f} s = "
          f"{text_s + load_s:.2f} s")
    print(f"open_dataset   {os.path.basename(small)} {small_mb:.1f} MB: median {small_s:.4f} s "
          f"of {runs}: {(text_s + load_s) / small_s:.0f} x faster than the text route")

    # iter_groups: peak memory flat from the small to the large recording.
    small_peak = memory(small, "iter_groups")[2]
    large_peak = memory(large, "iter_groups")[2]
    print(f"iter_groups    whole-process peak {mib(small_peak):.1f} MiB over "
          f"{os.path.basename(small)}, {mib(large_peak):.1f} MiB over "
          f"{os.path.basename(large)}: difference {mib(large_peak - small_peak):+.2f} MiB")


if __name__ == "__main__":
    main()
