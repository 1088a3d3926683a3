"""A whole archive of recordings on a Dask cluster: every recording to a
NetCDF file or a Zarr store of its own, or one small summary of them all.

Each recording is one task; a task decodes its recording on the worker's
thread alone, so that N single-threaded workers keep N cores busy. Tasks
hand back only a status or a small summary, never the samples. A recording
that fails does not stop the others: its path and reason are collected and
returned to the caller."""

import contextlib
import fnmatch
import logging
import os
import tempfile
import warnings

import numpy as np
import xarray as xr

from . import _write
from ._dataset import TIME_ENCODING, __version__, decode_dataset

DEFAULT_PATTERN = "*.16c"
SUFFIXES = {"netcdf": ".nc", "zarr": ".zarr"}


def find_recordings(archive, pattern, failures):
    """The files under `archive` (any depth) whose names match `pattern`,
    as paths relative to it, sorted. Folders are searched, never taken as
    recordings, whatever their name; symbolic links to folders are not
    followed. A folder that cannot be listed is added to `failures` as
    (path, reason)."""
    found = []

    def unlisted(error):
        where = os.path.relpath(error.filename, archive) if error.filename else archive
        failures.append((where, _write.reason_of(error)))

    for folder, folders, names in os.walk(archive, onerror=unlisted):
        folders.sort()
        for name in names:
            if fnmatch.fnmatchcase(name, pattern):
                found.append(os.path.relpath(os.path.join(folder, name), archive))
    return sorted(found)


def output_path(out_dir, relative, to):
    """Where the recording at `relative` goes: the same folders under
    `out_dir`, its name's last suffix replaced by .nc or .zarr."""
    return os.path.join(out_dir, os.path.splitext(relative)[0] + SUFFIXES[to])


def convert_recording(source, name, output, to, frequency, correct_phase, compression=None,
                      pack=True):
    """A task: writes the recording at `source` (called `name` in the
    dataset) to `output` (`compression` and `pack` as for
    _write.write_netcdf). Returns ("converted", ""), ("exists", "") when the
    output is there already or another run is writing it, or ("failed",
    reason). The output is claimed before the recording is decoded, so two
    runs never decode one recording for the same output."""
    try:
        if os.path.lexists(output):
            return "exists", ""
        os.makedirs(os.path.dirname(output), exist_ok=True)
        with _write.claimed(output):
            if os.path.lexists(output):
                return "exists", ""
            dataset = decode_dataset(source, frequency, correct_phase, 1, name)
            if to == "zarr":
                _write.write_claimed_zarr(dataset, output, compression, pack)
            else:
                _write.write_claimed_netcdf(dataset, output, False, compression, pack)
        return "converted", ""
    except _write.OutputExists:
        return "exists", ""
    except (OSError, ValueError, RuntimeError) as error:
        return "failed", _write.reason_of(error)


def summarize_recording(source, name):
    """A task: the summary of the recording at `source`: per (frequency,
    gate range) the strongest amplitude over every channel and group of that
    frequency, and the noise level per group. Returns ("summarized", dict)
    or ("failed", reason)."""
    try:
        dataset = decode_dataset(source, None, False, 1, name)
    except (OSError, ValueError, RuntimeError) as error:
        return "failed", _write.reason_of(error)
    amplitude = dataset["amplitude"].values
    ranges = dataset["gate_range"].values
    with warnings.catch_warnings():
        # Gates beyond a group's gate count hold no sample in any channel.
        warnings.simplefilter("ignore", RuntimeWarning)
        strongest = np.nanmax(amplitude, axis=1)
    held = ~np.isnan(ranges)
    frequency = np.broadcast_to(dataset["frequency"].values[:, None], ranges.shape)
    frequencies, at_frequency = np.unique(frequency[held], return_inverse=True)
    gate_ranges, at_range = np.unique(ranges[held], return_inverse=True)
    table = np.full((frequencies.size, gate_ranges.size), np.nan, dtype=np.float32)
    np.fmax.at(table, (at_frequency, at_range), strongest[held])
    return "summarized", {
        "frequencies": frequencies, "ranges": gate_ranges, "max_amplitude": table,
        "noise_level": dataset["noise_level"].values, "block": dataset["block"].values,
        "time": dataset["time"].values, "frequency": dataset["frequency"].values,
    }


# Dask starts the worker processes of a local cluster with glibc's heap
# trim threshold at 64 KiB; setting it also fixes the mmap threshold at
# 128 KiB, so that every array of a recording (decode, packing, the
# NetCDF library's buffers, a science product's arrays) is mapped afresh
# and faulted in page by page, task after task: converting a 4 MB
# recording took twice as long on a worker as in a plain loop, the drift
# of one three times. These settings keep arrays of up to 32 MiB in the
# heap for reuse, returning memory to the system above 64 MiB free.
WORKER_MEMORY = {
    "distributed.nanny.pre-spawn-environ.MALLOC_TRIM_THRESHOLD_": 64 << 20,
    "distributed.nanny.pre-spawn-environ.MALLOC_MMAP_THRESHOLD_": 32 << 20,
}


@contextlib.contextmanager
def local_cluster(workers=None, **options):
    """A dask.distributed LocalCluster of `workers` single-threaded worker
    processes (default: one per core), without a dashboard; its HTTP server
    takes a free port. Its workers keep their files in a folder of their own,
    removed when the cluster closes: in the shared default folder, a cluster
    would purge, and log about, what the killed workers of any other run left
    behind. They start with the heap settings of WORKER_MEMORY (unless the
    environment sets those variables)."""
    import dask
    from dask.distributed import LocalCluster

    with dask.config.set(WORKER_MEMORY), \
            tempfile.TemporaryDirectory(prefix="digisonde16c-dask-",
                                        dir=dask.config.get("temporary-directory", None),
                                        ignore_cleanup_errors=True) as folder, \
            LocalCluster(n_workers=workers or os.cpu_count() or 1, threads_per_worker=1,
                         processes=True, dashboard_address=None,
                         scheduler_kwargs={"dashboard": False, "dashboard_address": ":0"},
                         local_directory=folder, **options) as cluster:
        yield cluster


class SchedulerUnreachable(ConnectionError):
    """No scheduler answered at the address within the time allowed."""


@contextlib.contextmanager
def dask_client(scheduler, workers, timeout=10):
    """A dask.distributed Client: of the cluster at `scheduler`, or of a
    local_cluster(workers), closed at the end. SchedulerUnreachable is
    raised when the scheduler does not answer within `timeout` seconds."""
    from dask.distributed import Client

    if scheduler:
        try:
            client = Client(scheduler, timeout=timeout)
        except ValueError as error:
            # An address Dask cannot parse, such as one without a port.
            raise SchedulerUnreachable(f"scheduler {scheduler}: {error}") from error
        except OSError as error:
            raise SchedulerUnreachable(
                f"no Dask scheduler answered at {scheduler} within {timeout:g} s") from error
        with client:
            yield client
        return
    with local_cluster(workers, silence_logs=logging.ERROR) as cluster, \
            Client(cluster) as client:
        yield client


def run_tasks(client, tasks, report):
    """Runs tasks (label, function, arguments) on the cluster; reports
    "[k/n] label" per finished task. Returns the results by label: (status,
    value), ("failed", reason) for a task the cluster could not run."""
    from dask.distributed import as_completed

    if not tasks:
        return {}
    futures = {client.submit(function, *arguments, pure=False): label
               for label, function, arguments in tasks}
    results = {}
    for done, future in enumerate(as_completed(futures), 1):
        label = futures[future]
        try:
            results[label] = future.result()
        except Exception as error:  # pylint: disable=broad-except
            # A task whose workers all died, for example.
            results[label] = ("failed", " ".join(str(error).split()) or type(error).__name__)
        failed = ": failed" if results[label][0] == "failed" else ""
        report(f"[{done}/{len(futures)}] {label}{failed}")
        future.release()
    return results


def convert_archive(client, archive, out_dir, to="netcdf", pattern=DEFAULT_PATTERN,
                    frequency=None, correct_phase=False, report=print, compression=None,
                    pack=True):
    """Converts every recording under `archive` that has no output under
    `out_dir` yet (`compression` and `pack` as for _write.write_netcdf).
    Returns (recordings found, recordings converted before, failures as
    [(path, reason)] in path order)."""
    failures = []
    recordings = find_recordings(archive, pattern, failures)
    tasks = []
    claimed = {}  # output path: the recording that has it
    skipped = 0
    for relative in recordings:
        output = output_path(out_dir, relative, to)
        first = claimed.setdefault(output, relative)
        if first != relative:
            # Two names that differ only in their last suffix: the second
            # would be taken for converted already, and silently left out.
            failures.append((relative, f"its output {os.path.relpath(output, out_dir)} "
                                       f"is that of {first}"))
            continue
        if os.path.lexists(output):
            skipped += 1
            continue
        tasks.append((relative, convert_recording,
                      (os.path.abspath(os.path.join(archive, relative)),
                       os.path.join(archive, relative), os.path.abspath(output), to,
                       frequency, correct_phase, compression, pack)))
    done_before = skipped
    if done_before:
        report(f"{done_before} of {len(recordings)} recordings converted before, skipped")
    results = run_tasks(client, tasks, report)
    failures += [(label, value) for label, (status, value) in results.items()
                 if status == "failed"]
    return len(recordings), done_before, sorted(failures)


SUMMARY_ATTRIBUTES = {
    "recording": {"long_name": "path of the recording in the archive"},
    "frequency": {"long_name": "sounding frequency", "standard_name": "radiation_frequency",
                  "units": "MHz"},
    "range": {"long_name": "virtual range of the gate", "units": "km"},
    "max_amplitude": {"long_name": "strongest echo amplitude over the channels and the "
                                   "groups of the frequency (NaN where the recording has no "
                                   "gate at that range and frequency)", "units": "dB"},
    "group_recording": {"long_name": "path of the recording the group comes from"},
    "block": {"long_name": "number of the group's data block in its recording, from 1",
              "units": "1"},
    "time": {"long_name": "time of the sounding (NaT where the preface holds no valid "
                          "date and time)", "standard_name": "time"},
    "group_frequency": {"long_name": "sounding frequency of the group",
                        "standard_name": "radiation_frequency", "units": "MHz"},
    "noise_level": {"long_name": "noise level: lower edge of the most populated one-unit "
                                 "amplitude bin", "units": "dB"},
}


def summary_dataset(names, summaries, archive):
    """One dataset of the recordings' summaries: max_amplitude(recording,
    frequency, range) on the union of their frequencies and gate ranges, and
    noise_level(group) of every group in recording order."""
    frequencies = np.unique(np.concatenate(
        [np.zeros(0, np.float32)] + [s["frequencies"] for s in summaries]))
    ranges = np.unique(np.concatenate([np.zeros(0, np.float32)] +
                                      [s["ranges"] for s in summaries]))
    table = np.full((len(names), frequencies.size, ranges.size), np.nan, dtype=np.float32)
    for index, summary in enumerate(summaries):
        at = np.ix_(np.searchsorted(frequencies, summary["frequencies"]),
                    np.searchsorted(ranges, summary["ranges"]))
        table[index][at] = summary["max_amplitude"]

    def joined(key, dtype):
        return np.concatenate([np.zeros(0, dtype)] + [s[key] for s in summaries])

    group_names = np.array([name for name, s in zip(names, summaries)
                            for _ in range(s["block"].size)], dtype=object)
    group = ("group",)
    dataset = xr.Dataset(
        {"max_amplitude": (("recording", "frequency", "range"), table),
         "noise_level": (group, joined("noise_level", np.float32))},
        {"recording": ("recording", np.array(names, dtype=object)),
         "frequency": ("frequency", frequencies.astype(np.float32)),
         "range": ("range", ranges.astype(np.float32)),
         "group_recording": (group, group_names),
         "block": (group, joined("block", np.int64)),
         "time": (group, joined("time", "datetime64[ns]")),
         "group_frequency": (group, joined("frequency", np.float32))},
        {"Conventions": "CF-1.8",
         "title": "Summary of an archive of Digisonde 256 16-channel recordings",
         "source_folder": archive,
         "software": "digisonde16c",
         "software_version": __version__})
    for key, attributes in SUMMARY_ATTRIBUTES.items():
        dataset[key].attrs.update(attributes)
    dataset["time"].encoding.update(TIME_ENCODING)
    return dataset


def summarize_archive(client, archive, pattern=DEFAULT_PATTERN, report=print):
    """The summary dataset of every recording under `archive` that could be
    read, and the failures as [(path, reason)] in path order."""
    failures = []
    recordings = find_recordings(archive, pattern, failures)
    tasks = [(relative, summarize_recording,
              (os.path.abspath(os.path.join(archive, relative)),
               os.path.join(archive, relative))) for relative in recordings]
    results = run_tasks(client, tasks, report)
    names, summaries = [], []
    for relative in recordings:
        status, value = results[relative]
        if status == "failed":
            failures.append((relative, value))
        else:
            names.append(relative)
            summaries.append(value)
    return summary_dataset(names, summaries, archive), len(recordings), sorted(failures)


def product_recording(function, source, name, options):
    """A task: function(dataset, **options) over the recording at `source`
    (called `name` in the dataset), a science product as a small dataset.
    Returns ("done", dataset) or ("failed", reason)."""
    try:
        dataset = decode_dataset(source, None, False, 1, name)
        return "done", function(dataset, **options)
    except (OSError, ValueError, RuntimeError) as error:
        return "failed", _write.reason_of(error)


def recordings_of(source, pattern, failures):
    """The recordings that `source` names, as (folder, paths relative to
    it): every file under a folder whose name matches `pattern`, or the one
    recording a file is."""
    if os.path.isdir(source):
        return source, find_recordings(source, pattern, failures)
    return os.path.dirname(source) or ".", [os.path.basename(source)]


def product_archive(client, source, function, options, dim, pattern=DEFAULT_PATTERN,
                    report=print):
    """A science product of every recording that `source` names (a folder or
    one recording): function(dataset, **options), one task per recording on
    the cluster, the results joined along `dim` in path order with a
    `recording` coordinate on `dim`. Results that differ in the size of
    another dimension are joined on that dimension's index coordinate (give
    it one), padded with NaN. Returns (the joined dataset or None when no
    recording gave one, recordings found, failures as [(path, reason)] in
    path order)."""
    failures = []
    folder, recordings = recordings_of(source, pattern, failures)
    tasks = [(relative, product_recording,
              (function, os.path.abspath(os.path.join(folder, relative)),
               os.path.join(folder, relative), options)) for relative in recordings]
    results = run_tasks(client, tasks, report)
    parts = []
    for relative in recordings:
        status, value = results[relative]
        if status == "failed":
            failures.append((relative, value))
            continue
        names = np.full(value.sizes.get(dim, 0), relative, dtype=object)
        parts.append(value.assign_coords(recording=(dim, names)))
    joined = None
    if parts:
        joined = xr.concat(parts, dim, join="outer", combine_attrs="drop_conflicts")
        joined["recording"].attrs["long_name"] = "path of the recording the row comes from"
        joined.attrs["source_folder"] = source
    return joined, len(recordings), sorted(failures)
