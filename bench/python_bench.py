"""Speed and memory of the Python route, for `make bench` (bench/run_bench.sh).

    PYTHONPATH=BUILD/python/site /usr/bin/python3 bench/python_bench.py \\
        BIN_DIR SMALL.16c LARGE.16c WORK_DIR [RUNS]

- open_dataset(LARGE).load() against the whole recording decoded at once
  without the index (_core.decode_recording, the route before datasets
  were lazy) and against `tolvek -a LARGE > /dev/null`, the runs
  interleaved (A, B, C, A, B, C, ...): medians, MB of recording per second,
  and the processor time of every thread beside the wall time;
- the peak memory of open_dataset(LARGE).load() in a fresh interpreter,
  above what the interpreter held after its imports, against the dataset's
  arrays;
- a recording of 1 GiB (make_recording, in WORK_DIR): ten groups'
  amplitudes read from a lazily opened dataset, and the same from a decode
  of the whole recording (once); the mean amplitude with chunks={"group":
  1000} on Dask's threads: time and peak memory, each run in a fresh
  interpreter, then open and compute in this interpreter (wall and
  processor time); a last line sums up both figures of the lazy datasets;
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
from digisonde16c import _core, _dataset

# Run in a child: decodes the recording with `call` and prints the peak
# resident memory above the memory after the imports, and the bytes of the
# dataset's arrays (0 for iter_groups).
MEASURE_MEMORY = """
import sys
import numpy, xarray, dask.array
import digisonde16c
from digisonde16c import _core, _dataset

def eager(path):
    arrays = _core.decode_recording(path.encode(), path, False, 0.0, False, 0)
    return _dataset.build_dataset(arrays, path, None, False)

def status(field):
    with open("/proc/self/status") as lines:
        for line in lines:
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024

before = status("VmRSS")
path, call = sys.argv[1], sys.argv[2]
if call == "open_dataset":
    dataset = digisonde16c.open_dataset(path).load()
    arrays = dataset.nbytes
elif call == "ten groups":
    amplitude = digisonde16c.open_dataset(path)["amplitude"][1000:1010].values
    arrays = amplitude.nbytes
elif call == "ten groups, whole decode":
    amplitude = eager(path)["amplitude"][1000:1010].values
    arrays = amplitude.nbytes
elif call == "chunked mean":
    import dask
    with dask.config.set(scheduler="threads"):
        dataset = digisonde16c.open_dataset(path, chunks={"group": 1000})
        float(dataset["amplitude"].mean().compute())
    arrays = dataset["amplitude"].nbytes
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


def timed(action):
    """(wall seconds, processor seconds of every thread) of action()."""
    start, processor = time.perf_counter(), time.process_time()
    action()
    return time.perf_counter() - start, time.process_time() - processor


def tolvek(bin_dir, *arguments, output=subprocess.DEVNULL):
    subprocess.run([os.path.join(bin_dir, "tolvek"), *arguments], stdout=output, check=True)


def memory(path, call):
    """(peak above the imports, bytes of the arrays, whole-process peak,
    seconds) of `call` on `path` in a fresh interpreter."""
    start = time.perf_counter()
    done = subprocess.run([sys.executable, "-c", MEASURE_MEMORY, path, call],
                          capture_output=True, text=True, check=True)
    wall = time.perf_counter() - start
    above, arrays, peak = (int(v) for v in done.stdout.split())
    return above, arrays, peak, wall


def eager(path):
    """The whole recording decoded at once, as open_dataset did before it
    was lazy."""
    arrays = _core.decode_recording(os.fsencode(path), path, False, 0.0, False, 0)
    return _dataset.build_dataset(arrays, path, None, False)


def mib(value):
    return value / (1 << 20)


def main():
    bin_dir, small, large, work = sys.argv[1:5]
    runs = int(sys.argv[5]) if len(sys.argv) > 5 else 5
    large_mb = os.path.getsize(large) / 1e6
    small_mb = os.path.getsize(small) / 1e6

    # open_dataset(...).load() against the decode without the index and
    # tolvek -a, interleaved.
    decode, whole, table, decode_cpu = [], [], [], []
    for _ in range(runs):
        wall, processor = timed(lambda: digisonde16c.open_dataset(large).load())
        decode.append(wall)
        decode_cpu.append(processor)
        whole.append(seconds(lambda: eager(large)))
        table.append(seconds(lambda: tolvek(bin_dir, "-a", large)))
    decode_s, whole_s = statistics.median(decode), statistics.median(whole)
    table_s = statistics.median(table)
    name = os.path.basename(large)
    print(f"open_dataset().load() {name} {large_mb:6.1f} MB: median {decode_s:.3f} s "
          f"({large_mb / decode_s:.0f} MB/s; processor {statistics.median(decode_cpu):.3f} s) "
          f"of {runs}: " + " ".join(f"{t:.3f}" for t in decode))
    print(f"whole decode, no index {name} {large_mb:6.1f} MB: median {whole_s:.3f} s "
          f"({large_mb / whole_s:.0f} MB/s) of {runs}: " + " ".join(f"{t:.3f}" for t in whole)
          + f"  [load / whole decode: {statistics.median(d / w for d, w in zip(decode, whole)):.2f}"
          " median of the pairs]")
    print(f"tolvek -a      {name} {large_mb:6.1f} MB: median {table_s:.3f} s "
          f"({large_mb / table_s:.0f} MB/s) of {runs}: " + " ".join(f"{t:.3f}" for t in table)
          + f"  [load / tolvek -a time: {decode_s / table_s:.2f}]")

    above, arrays, peak, _ = memory(large, "open_dataset")
    load_peak = above / arrays
    print(f"open_dataset().load() peak memory above the imports {mib(above):.1f} MiB, "
          f"arrays {mib(arrays):.1f} MiB: {load_peak:.2f} x the arrays "
          f"(whole process peak {mib(peak):.1f} MiB)")

    # A recording of 1 GiB: ten groups, and the chunked mean.
    huge = os.path.join(work, "huge.16c")
    subprocess.run([os.path.join(bin_dir, "make_recording"), huge, "262144", "128", "4"],
                   check=True, stdout=subprocess.DEVNULL)
    huge_mb = os.path.getsize(huge) / 1e6
    rounds = max(1, min(runs, 3))
    chunked_peak = 0
    for call in ("ten groups", "chunked mean"):
        results = [memory(huge, call) for _ in range(rounds)]
        walls = [r[3] for r in results]
        above = statistics.median(r[0] for r in results)
        if call == "chunked mean":
            chunked_peak = above
        print(f"{call:<14} 1 GiB recording, fresh interpreter: median {statistics.median(walls):.2f} s "
              f"({huge_mb / statistics.median(walls):.0f} MB/s, interpreter start and imports "
              f"included) of {rounds}: " + " ".join(f"{w:.2f}" for w in walls)
              + f"; peak above the imports {mib(above):.1f} MiB")
    above, _, _, wall = memory(huge, "ten groups, whole decode")
    print(f"ten groups by a whole decode (before): {wall:.2f} s, peak above the imports "
          f"{mib(above):.1f} MiB")
    # The chunked mean in this interpreter, without its start: Dask's threads
    # on the machine's cores.
    import dask
    chunked, chunked_cpu = [], []
    for _ in range(rounds):
        with dask.config.set(scheduler="threads"):
            wall, processor = timed(lambda: float(digisonde16c.open_dataset(
                huge, chunks={"group": 1000})["amplitude"].mean().compute()))
        chunked.append(wall)
        chunked_cpu.append(processor)
    chunked_s = statistics.median(chunked)
    print(f"chunked mean   open and compute: median {chunked_s:.2f} s "
          f"({huge_mb / chunked_s:.0f} MB/s; processor {statistics.median(chunked_cpu):.2f} s) "
          f"of {rounds}: " + " ".join(f"{w:.2f}" for w in chunked) + f" on {os.cpu_count()} cores")
    os.remove(huge)
    print(f"lazy datasets: .load() of {name} at {large_mb / decode_s:.0f} MB/s, peak "
          f"{load_peak:.2f} x the arrays (aim: 600 MB/s or more, below 1.5 x); chunked mean of "
          f"1 GiB at {huge_mb / chunked_s:.0f} MB/s, peak {mib(chunked_peak):.1f} MiB above the "
          f"imports (aim: 500 MB/s or more on two cores, below 500 MiB)")

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
        small_decode.append(seconds(lambda: digisonde16c.open_dataset(small).load()))
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
