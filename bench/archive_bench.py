"""Speed of converting an archive to NetCDF on Dask, for `make bench`
(bench/run_bench.sh).

    PYTHONPATH=BUILD/python/site /usr/bin/python3 bench/archive_bench.py \\
        BIN_DIR WORK_DIR [RUNS]

An archive of 40 recordings of 4 MB (make_recording REC 1000 128 SEED, in
4 folders) is converted to NetCDF files, RUNS times each way, the ways
interleaved in every round (plain, 1 worker, 2 workers, ...):
- plain: one process, a loop of open_dataset and write_netcdf with the
  compression and packing the convert command uses;
- 1 worker, 2 workers: convert_archive on a LocalCluster of 1 or 2
  single-threaded worker processes, both clusters started beforehand;
- 1 worker, Zarr: the same to Zarr stores.
The figure per worker is the archive's megabytes over the wall time of
the 1-worker route (NetCDF, and Zarr): what one single-threaded worker
process converts per second, the scheduler, the tasks' transfers and every
step of the task included, the cluster's start not; beside it the same
over the worker's processor time.
Then the compressions of one recording's output side by side (write time,
size against the NetCDF file of zlib level 4 with shuffle, no packing and
one chunk per variable, which convert wrote before, and whether it reads
back identical to open_dataset), the command as a user runs it (`convert --workers N`,
cluster start included), the three steps of one recording timed apart
(decode, NetCDF with and without compression), a profile of the plain
loop, and the scheduler's cost per task (no-op tasks through the 2-worker
cluster). Medians; the recording's megabytes per second beside the times.
"""

import cProfile
import os
import pstats
import resource
import shutil
import statistics
import subprocess
import sys
import time

from dask.distributed import Client, as_completed

import digisonde16c
from digisonde16c import _archive, _write
from digisonde16c._dataset import decode_dataset

RECORDINGS = 40
FOLDERS = 4
GROUPS = 1000


def seconds(action):
    start = time.perf_counter()
    action()
    return time.perf_counter() - start


def make_archive(bin_dir, work):
    archive = os.path.join(work, "archive")
    names = []
    for index in range(RECORDINGS):
        name = f"day{index % FOLDERS:02}/rec{index:02}.16c"
        os.makedirs(os.path.join(archive, os.path.dirname(name)), exist_ok=True)
        subprocess.run([os.path.join(bin_dir, "make_recording"), os.path.join(archive, name),
                        str(GROUPS), "128", str(100 + index)], check=True,
                       stdout=subprocess.DEVNULL)
        names.append(name)
    return archive, sorted(names)


def to_netcdf(dataset, path, compressed=True):
    if os.path.exists(path):
        os.unlink(path)
    if compressed:
        _write.write_netcdf(dataset, path)
    else:
        _write.write_netcdf(dataset, path, compression="none", pack=False)


# Outputs of one recording compared: (label, kind, --compression, packing);
# kind "before": the NetCDF file as convert wrote it before (write_before).
COMPRESSIONS = [
    ("NetCDF zlib:4, not packed (before)", "before", "zlib:4", False),
    ("NetCDF zlib:1, not packed", "netcdf", "zlib:1", False),
    ("NetCDF none, packed", "netcdf", "none", True),
    ("NetCDF zlib:1, packed (default)", "netcdf", "zlib:1", True),
    ("NetCDF zlib:4, packed", "netcdf", "zlib:4", True),
    ("NetCDF zlib:9, packed", "netcdf", "zlib:9", True),
    ("Zarr blosc:lz4:5, not packed", "zarr", "blosc:lz4:5", False),
    ("Zarr blosc:zstd:1, not packed", "zarr", "blosc:zstd:1", False),
    ("Zarr none, packed", "zarr", "none", True),
    ("Zarr blosc:zstd:1, packed (default)", "zarr", "blosc:zstd:1", True),
    ("Zarr blosc:zstd:3, packed", "zarr", "blosc:zstd:3", True),
    ("Zarr blosc:lz4:5, packed", "zarr", "blosc:lz4:5", True),
    ("Zarr zlib:1, packed", "zarr", "zlib:1", True),
]


def write_before(dataset, path):
    """Writes `dataset` as convert wrote NetCDF files before: every numeric
    variable compressed with zlib level 4 and shuffle, in the chunks the
    NetCDF library chooses (one per variable), nothing packed."""
    encoding = {name: {"zlib": True, "complevel": 4, "shuffle": True}
                for name, variable in dataset.variables.items()
                if variable.dtype.kind in "biufcS" and variable.ndim > 0}
    with _write.nat_cast_warnings_ignored():
        dataset.to_netcdf(path, format="NETCDF4", engine="netcdf4", encoding=encoding)


def output_size(path):
    if os.path.isdir(path):
        return sum(os.path.getsize(os.path.join(folder, name))
                   for folder, _, names in os.walk(path) for name in names)
    return os.path.getsize(path)


def compression_table(recording, work, runs):
    """Write time, size and read-back of every choice in COMPRESSIONS for
    one recording, the choices interleaved in every round."""
    import numcodecs
    import xarray as xr

    # Blosc on the writing thread alone, as in a single-threaded worker.
    numcodecs.blosc.use_threads = False
    dataset = digisonde16c.open_dataset(recording).load()
    megabytes = os.path.getsize(recording) / 1e6
    times = {label: [] for label, *_ in COMPRESSIONS}
    sizes, same = {}, {}
    for _ in range(runs):
        for label, kind, compression, pack in COMPRESSIONS:
            target = os.path.join(work, "compare" + _archive.SUFFIXES.get(kind, ".nc"))
            shutil.rmtree(target, ignore_errors=True)
            if kind == "before":
                times[label].append(seconds(lambda: write_before(dataset, target)))
            elif kind == "zarr":
                times[label].append(seconds(lambda: _write.write_zarr(
                    dataset, target, compression, pack)))
            else:
                times[label].append(seconds(lambda: _write.write_netcdf(
                    dataset, target, False, compression, pack)))
            sizes[label] = output_size(target)
            if label not in same:
                with (xr.open_zarr(target) if kind == "zarr" else xr.open_dataset(target)) as back:
                    same[label] = back.load().identical(dataset)
            shutil.rmtree(target, ignore_errors=True)
            if os.path.exists(target):
                os.unlink(target)
    before = sizes[COMPRESSIONS[0][0]]
    print(f"outputs of one recording ({megabytes:.1f} MB), median of {runs} interleaved runs:")
    print(f"| {'output':<40} | write s | MB/s | size MB | size / before | reads back identical |")
    print(f"|{'-' * 42}|---------|------|---------|---------------|----------------------|")
    for label, *_ in COMPRESSIONS:
        median = statistics.median(times[label])
        print(f"| {label:<40} | {median:7.3f} | {megabytes / median:4.0f} | "
              f"{sizes[label] / 1e6:7.2f} | {sizes[label] / before:13.2f} | "
              f"{'yes' if same[label] else 'NO':<20} |")


def plain_loop(archive, names, out):
    for name in names:
        target = os.path.join(out, os.path.splitext(name)[0] + ".nc")
        os.makedirs(os.path.dirname(target), exist_ok=True)
        to_netcdf(digisonde16c.open_dataset(os.path.join(archive, name)), target)


def fresh(folder):
    shutil.rmtree(folder, ignore_errors=True)
    return folder


def quiet(line):
    del line


def noop(value):
    return value


def cpu_seconds():
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime + usage.ru_stime


def workers_cpu_seconds(client):
    return sum(client.run(cpu_seconds).values())


def timed(action, cpu):
    """(wall seconds, CPU seconds as `cpu` counts them) of action()."""
    before = cpu()
    wall = seconds(action)
    return wall, cpu() - before


def task_overhead(client, count):
    """Seconds per no-op task, submitted and collected as convert does."""
    def run():
        futures = [client.submit(noop, i, pure=False) for i in range(count)]
        for future in as_completed(futures):
            future.result()
    run()  # warm
    return seconds(run) / count


def main():
    bin_dir, work = sys.argv[1:3]
    runs = int(sys.argv[3]) if len(sys.argv) > 3 else 5
    archive, names = make_archive(bin_dir, work)
    megabytes = sum(os.path.getsize(os.path.join(archive, n)) for n in names) / 1e6
    out = os.path.join(work, "converted")
    print(f"archive: {len(names)} recordings, {megabytes:.0f} MB, in {FOLDERS} folders")

    times = {"plain": [], "1 worker": [], "2 workers": [], "1 worker, Zarr": []}
    with _archive.local_cluster(1) as one, _archive.local_cluster(2) as two, \
            Client(one) as client1, Client(two) as client2:
        clients = {"1 worker": (client1, "netcdf"), "2 workers": (client2, "netcdf"),
                   "1 worker, Zarr": (client1, "zarr")}
        cpu = {label: [] for label in times}
        for _ in range(runs):
            wall, used = timed(lambda: plain_loop(archive, names, fresh(out)), cpu_seconds)
            times["plain"].append(wall)
            cpu["plain"].append(used)
            for label, (client, to) in clients.items():
                fresh(out)
                wall, used = timed(
                    lambda c=client, t=to: _archive.convert_archive(c, archive, out, t,
                                                                    report=quiet),
                    lambda c=client: workers_cpu_seconds(c))
                times[label].append(wall)
                cpu[label].append(used)
        overhead = task_overhead(client2, 2000)
    fresh(out)

    # CPU: seconds of processor time in the process or the workers; cores:
    # CPU over wall time, what the machine gave (others share it).
    print(f"{'route':<12} {'s/archive':>10} {'s/rec':>7} {'MB/s':>6} {'CPU s/rec':>10} "
          f"{'cores':>6}  runs (s)")
    medians = {}
    for label, values in times.items():
        medians[label] = statistics.median(values)
        used = statistics.median(cpu[label])
        print(f"{label:<12} {medians[label]:>10.2f} {medians[label] / len(names):>7.3f} "
              f"{megabytes / medians[label]:>6.0f} {used / len(names):>10.3f} "
              f"{used / medians[label]:>6.2f}  " + " ".join(f"{v:.2f}" for v in values))
    print(f"2 workers against 1 worker: {medians['1 worker'] / medians['2 workers']:.2f} "
          "times the speed (medians); by round: " + " ".join(
              f"{one / two:.2f}" for one, two in zip(times["1 worker"], times["2 workers"])))
    print("cores the 2 workers had, by round: " + " ".join(
        f"{used / wall:.2f}" for used, wall in zip(cpu["2 workers"], times["2 workers"])))
    print(f"1 worker against the plain loop: {medians['1 worker'] / medians['plain']:.2f} "
          "times the time per recording")
    # The figure per worker: what one single-threaded worker process
    # converts per second, the scheduler, the tasks' transfers and the
    # worker's every step included, the cluster's start not.
    print("per worker: recording MB over the wall time of convert_archive on a cluster of one "
          "single-threaded worker started beforehand (median of runs); in brackets, over the "
          "worker's processor time")
    for label, kind, target in (("1 worker", "NetCDF", 15), ("1 worker, Zarr", "Zarr", 40)):
        used = statistics.median(cpu[label])
        print(f"  per worker to {kind:<6}: {megabytes / medians[label]:5.1f} MB/s "
              f"({megabytes / used:5.1f} MB/s of processor time; at least {target} MB/s asked)")
    print(f"scheduler cost per task (2000 no-op tasks, 2 workers): {overhead * 1e3:.2f} ms")

    compression_table(os.path.join(archive, names[0]), work, runs)

    # The command as a user runs it: cluster start and end included.
    command = {(1, "netcdf"): [], (2, "netcdf"): [], (1, "zarr"): []}
    for _ in range(max(1, runs // 2)):
        for workers, to in command:
            fresh(out)
            command[workers, to].append(seconds(lambda w=workers, t=to: subprocess.run(
                [sys.executable, "-m", "digisonde16c", "convert", archive, out, "--to", t,
                 "--workers", str(w)], check=True, stderr=subprocess.DEVNULL)))
    fresh(out)
    for (workers, to), values in command.items():
        median = statistics.median(values)
        print(f"convert --to {to} --workers {workers}: {median:.2f} s "
              f"({megabytes / median:.1f} MB/s; runs: {' '.join(f'{v:.2f}' for v in values)})")

    # One recording's steps apart, on this process's thread alone as in a
    # worker, interleaved.
    sample = os.path.join(archive, names[0])
    target = os.path.join(work, "step.nc")
    steps = {"decode (1 thread)": [], "decode (open_dataset)": [],
             "NetCDF, compressed": [], "NetCDF, uncompressed": []}
    for _ in range(runs):
        steps["decode (1 thread)"].append(seconds(
            lambda: decode_dataset(sample, None, False, 1)))
        steps["decode (open_dataset)"].append(seconds(
            lambda: digisonde16c.open_dataset(sample).load()))
        dataset = decode_dataset(sample, None, False, 1)
        steps["NetCDF, compressed"].append(seconds(lambda: to_netcdf(dataset, target)))
        compressed = os.path.getsize(target)
        steps["NetCDF, uncompressed"].append(seconds(lambda: to_netcdf(dataset, target, False)))
        uncompressed = os.path.getsize(target)
    os.unlink(target)
    print(f"one recording ({os.path.getsize(sample) / 1e6:.1f} MB; dataset "
          f"{dataset.nbytes / 1e6:.1f} MB; NetCDF {compressed / 1e6:.1f} MB compressed, "
          f"{uncompressed / 1e6:.1f} MB not):")
    for label, values in steps.items():
        print(f"  {label:<22} {statistics.median(values) * 1e3:8.1f} ms")

    # Where the plain loop's time goes.
    profile = cProfile.Profile()
    profile.enable()
    plain_loop(archive, names[:10], fresh(out))
    profile.disable()
    fresh(out)
    print("profile of the plain loop over 10 recordings (own time):")
    stats = pstats.Stats(profile)
    stats.sort_stats("tottime").print_stats(6)


if __name__ == "__main__":
    main()
