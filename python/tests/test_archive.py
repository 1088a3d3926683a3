"""A whole archive on a Dask cluster of 2 worker processes: convert to NetCDF
files and Zarr stores, and summary. The archive holds 46 names that match
*.16c in nested folders: 42 small synthesized recordings (some of 256
gates), one cut short inside a block, one empty, one inside a folder named
like a recording, and one whose reads fail: a symbolic link to
/proc/self/mem, whose first page is never mapped (root reads any file, so
permissions cannot make a file unreadable here)."""

import math
import os
import re
import signal
import subprocess
import sys
import threading
import time

import numpy as np
import pytest
import xarray as xr

import digisonde16c
from digisonde16c import _archive
from conftest import BLOCK, set_digit, synthesize, write

pytestmark = [pytest.mark.dask, pytest.mark.slow]

UNREADABLE = "2024/unreadable.16c"
FAILURE = f"{UNREADABLE}: Input/output error"


@pytest.fixture(scope="session")
def archive(tmp_path_factory):
    """(archive folder, the names of its recordings that decode, sorted)."""
    top = tmp_path_factory.mktemp("archive")
    names = []
    for index in range(42):
        day = 1 + index // 6
        name = f"2023/day{day:03}/rec{index:02}.16c"
        options = ["--frequencies", str(2 + index % 4), "--first", str(1 + index % 3),
                   "--last", "9", "--seed", str(index),
                   "--start", f"2023 {day:03} {index % 24:02}:00:00"]
        if index % 5 == 1:
            options += ["--gates", "3", "--start-range", "2"]
        os.makedirs(top / os.path.dirname(name), exist_ok=True)
        data = synthesize(top / name, *options)
        if index % 7 == 3:
            # 256 gates: H = 9, 5 km apart.
            for block in range(1, len(data) // BLOCK + 1):
                set_digit(data, block, 54, 9)
            write(top / name, data)
        names.append(name)
    # Cut inside its third block, which is read padded with zeros.
    data = synthesize(top / "2023/day001/cut.16c", "--frequencies", "5", "--seed", "99")
    write(top / "2023/day001/cut.16c", data[:2 * BLOCK + 1000])
    write(top / "2023/empty.16c", b"")
    os.makedirs(top / "2024/folder.16c")
    synthesize(top / "2024/folder.16c/inside.16c", "--frequencies", "3", "--seed", "7")
    write(top / "2024/notes.txt", b"not a recording")
    os.symlink("/proc/self/mem", top / UNREADABLE)
    names += ["2023/day001/cut.16c", "2023/empty.16c", "2024/folder.16c/inside.16c"]
    return str(top), sorted(names)


def convert(*arguments, env=None):
    done = subprocess.run([sys.executable, "-m", "digisonde16c", "convert",
                           *map(str, arguments)], capture_output=True, text=True, check=False,
                          env=env)
    return done.returncode, done.stderr


def tree(folder):
    """Every file and folder under `folder`, hidden ones too, relative."""
    found = set()
    for where, folders, files in os.walk(folder):
        for name in folders + files:
            found.add(os.path.relpath(os.path.join(where, name), folder))
    return found


def outputs(names, suffix):
    return {name[:-len(".16c")] + suffix for name in names}


def folders_of(paths):
    return {os.path.dirname(path) for path in paths} | {
        os.path.dirname(os.path.dirname(path)) for path in paths} - {""}


def check_progress(errors, names, total):
    """Standard error: one progress line per recording tried, then the one
    failure; nothing else."""
    lines = errors.splitlines()
    assert lines[-2:] == [f"python3 -m digisonde16c: 1 of {total} recordings failed:",
                          FAILURE], errors
    progress = [re.fullmatch(r"\[(\d+)/(\d+)\] (.+)", line) for line in lines[:-2]]
    assert all(progress), errors
    tried = names + [UNREADABLE + ": failed"]
    assert sorted(int(match[1]) for match in progress) == list(range(1, len(tried) + 1))
    assert {int(match[2]) for match in progress} == {len(tried)}
    assert sorted(match[3] for match in progress) == sorted(tried)


def check_netcdf_outputs(out, folder, names):
    """`out` holds exactly a NetCDF file of every recording, each identical
    to the recording's dataset; returns their paths under `out`."""
    files = outputs(names, ".nc")
    assert tree(out) == files | folders_of(files)
    for name in names:
        with xr.open_dataset(out / (name[:-4] + ".nc")) as back:
            xr.testing.assert_identical(back.load(), digisonde16c.open_dataset(
                os.path.join(folder, name)))
    return files


def test_convert_writes_every_recording_as_the_sequential_route_and_a_rerun_skips_them(
        archive, tmp_path):
    folder, names = archive
    out = tmp_path / "out"
    # Dask's shared folder holds what a killed worker of another run left.
    shared = tmp_path / "dask"
    os.makedirs(shared / "dask-worker-space/worker-killed")
    (shared / "dask-worker-space/worker-killed.dirlock").touch()
    status, errors = convert("--to", "netcdf", folder, out, "--workers", "2",
                             env=dict(os.environ, DASK_TEMPORARY_DIRECTORY=str(shared)))
    assert status == 1
    check_progress(errors, names, len(names) + 1)
    assert tree(shared) == {"dask-worker-space", "dask-worker-space/worker-killed",
                            "dask-worker-space/worker-killed.dirlock"}
    files = check_netcdf_outputs(out, folder, names)

    # A run stopped while writing one output left its temporary file, and
    # no output under its final name.
    redo = "2023/day002/rec07"
    os.unlink(out / f"{redo}.nc")
    stale = out / "2023/day002/.rec07.nc.0123abcd.part"
    stale.write_bytes(b"CDF half")
    kept = {name: os.stat(out / name) for name in files if name != f"{redo}.nc"}
    status, errors = convert(folder, out, "--workers", "2")
    assert status == 1
    lines = errors.splitlines()
    assert lines[0] == f"{len(names) - 1} of {len(names) + 1} recordings converted before, skipped"
    check_progress("\n".join(lines[1:]), [f"{redo}.16c"], len(names) + 1)
    assert tree(out) == files | folders_of(files)
    for name, before in kept.items():
        after = os.stat(out / name)
        assert (after.st_ino, after.st_mtime_ns) == (before.st_ino, before.st_mtime_ns), name
    with xr.open_dataset(out / f"{redo}.nc") as back:
        xr.testing.assert_identical(back.load(), digisonde16c.open_dataset(
            os.path.join(folder, f"{redo}.16c")))


def test_convert_to_zarr_on_a_running_cluster_with_a_frequency_and_phases_corrected(
        archive, tmp_path, dask_client):
    folder, names = archive
    out = tmp_path / "out"
    status, errors = convert("--to", "zarr", "--scheduler", dask_client.scheduler.address,
                             "--frequency", "5", "--correct-phase", folder, out)
    assert status == 1
    check_progress(errors, names, len(names) + 1)
    stores = outputs(names, ".zarr")
    assert {path for path in tree(out) if ".zarr" not in os.path.dirname(path)} == \
        stores | folders_of(stores)
    selected = 0
    for name in names:
        with xr.open_zarr(out / (name[:-4] + ".zarr")) as back:
            expected = digisonde16c.open_dataset(os.path.join(folder, name), frequency=5,
                                                 correct_phase=True)
            xr.testing.assert_identical(back.load(), expected)
            selected += expected.sizes["group"]
    # Sweeps of 3 frequencies from 1 to 9 MHz have a group at 5 MHz.
    assert selected > 0


def pause_first_write(marker):
    """Run on each worker: the first output written on the cluster is cut
    to half its length and its worker sleeps before renaming it, after
    writing its process id into `marker`."""
    import time as clock
    import xarray as xarray_module

    write_netcdf = xarray_module.Dataset.to_netcdf

    def paused(dataset, path, *arguments, **keywords):
        result = write_netcdf(dataset, path, *arguments, **keywords)
        try:
            os.close(os.open(marker + ".claimed", os.O_WRONLY | os.O_CREAT | os.O_EXCL))
        except FileExistsError:
            return result
        os.truncate(path, os.path.getsize(path) // 2)
        with open(marker + ".part", "w") as file:
            file.write(str(os.getpid()))
        os.rename(marker + ".part", marker)
        clock.sleep(300)
        return result

    xarray_module.Dataset.to_netcdf = paused


def test_a_worker_killed_while_writing_loses_and_corrupts_nothing(archive, tmp_path,
                                                                  dask_client):
    folder, names = archive
    out = tmp_path / "out"
    marker = str(tmp_path / "paused")
    dask_client.run(pause_first_write, marker)
    workers = set(dask_client.run(os.getpid).values())
    killed = []

    def kill_the_paused_worker():
        deadline = time.monotonic() + 120
        while not os.path.exists(marker) and time.monotonic() < deadline:
            time.sleep(0.05)
        with open(marker) as file:
            pid = int(file.read())
        killed.append(pid)
        os.kill(pid, signal.SIGKILL)

    killer = threading.Thread(target=kill_the_paused_worker)
    killer.start()
    found, done_before, failures = _archive.convert_archive(
        dask_client, folder, str(out), report=lambda line: None)
    killer.join()
    assert killed and killed[0] in workers
    assert killed[0] not in dask_client.run(os.getpid).values()
    assert (found, done_before, failures) == (
        len(names) + 1, 0, [(UNREADABLE, "Input/output error")])
    check_netcdf_outputs(out, folder, names)


def strongest_by_frequency_and_range(dataset):
    """{(frequency, range): the largest amplitude over the channels and the
    groups}, from the recording's dataset by plain loops."""
    best = {}
    amplitude, ranges = dataset["amplitude"].values, dataset["gate_range"].values
    for group, frequency in enumerate(dataset["frequency"].values):
        for gate, distance in enumerate(ranges[group]):
            if math.isnan(distance):
                continue
            held = [float(v) for v in amplitude[group, :, gate] if not math.isnan(v)]
            key = (float(frequency), float(distance))
            best[key] = max([best.get(key, -math.inf)] + held)
    return best


def test_summary_holds_each_recordings_strongest_echoes_and_every_noise_level(
        archive, tmp_path, dask_client):
    folder, names = archive
    output = tmp_path / "summary.nc"
    done = subprocess.run([sys.executable, "-m", "digisonde16c", "summary", folder, output,
                           "--scheduler", dask_client.scheduler.address],
                          capture_output=True, text=True, check=False)
    assert done.returncode == 1
    check_progress(done.stderr, names, len(names) + 1)
    assert sorted(os.listdir(tmp_path)) == ["summary.nc"]
    summary = xr.open_dataset(output).load()
    assert list(summary["recording"].values) == names

    datasets = [digisonde16c.open_dataset(os.path.join(folder, name)) for name in names]
    best = [strongest_by_frequency_and_range(dataset) for dataset in datasets]
    frequencies = sorted({key[0] for table in best for key in table})
    ranges = sorted({key[1] for table in best for key in table})
    assert list(summary["frequency"].values) == frequencies
    assert list(summary["range"].values) == ranges
    expected = np.array([[[table.get((f, r), math.nan) for r in ranges] for f in frequencies]
                         for table in best], dtype=np.float32)
    np.testing.assert_array_equal(summary["max_amplitude"].values, expected)

    groups = [dataset.sizes["group"] for dataset in datasets]
    assert list(summary["group_recording"].values) == [
        name for name, count in zip(names, groups) for _ in range(count)]
    for ours, theirs in (("noise_level", "noise_level"), ("block", "block"),
                         ("time", "time"), ("group_frequency", "frequency")):
        np.testing.assert_array_equal(
            summary[ours].values, np.concatenate([d[theirs].values for d in datasets]))


def test_recordings_whose_outputs_would_share_a_name_are_failures(tmp_path):
    archive = tmp_path / "archive"
    out = tmp_path / "out"
    os.makedirs(archive)
    os.makedirs(out)
    for name in ("rec.16c", "rec.16d", "other.16c"):
        write(archive / name, b"")
    # Converted before, so that no task is left for a cluster to run.
    for name in ("rec.nc", "other.nc"):
        write(out / name, b"")
    found, before, failures = _archive.convert_archive(
        None, str(archive), str(out), pattern="*.16?", report=lambda line: None)
    assert (found, before) == (3, 2)
    assert failures == [("rec.16d", "its output rec.nc is that of rec.16c")]


def test_two_converts_into_one_folder_at_once_lose_and_corrupt_nothing(archive, tmp_path):
    folder, names = archive
    out = tmp_path / "out"
    runs = [subprocess.Popen([sys.executable, "-m", "digisonde16c", "convert", folder, str(out),
                              "--workers", "1"], stderr=subprocess.PIPE, text=True)
            for _ in range(2)]
    for run in runs:
        errors = run.communicate()[1]
        assert run.returncode == 1, errors
        # Each run reports the unreadable recording and no other failure:
        # an output the other run writes or wrote is skipped by this one.
        lines = errors.splitlines()
        assert lines[-2:] == [f"python3 -m digisonde16c: 1 of {len(names) + 1} recordings "
                              "failed:", FAILURE], errors
        assert all(re.fullmatch(r"\[\d+/\d+\] .+|\d+ of \d+ recordings converted before, "
                                r"skipped", line) for line in lines[:-2]), errors
    # Every output once, complete, and no temporary or claim file left.
    check_netcdf_outputs(out, folder, names)


def test_an_unreachable_scheduler_fails_within_the_timeout_in_one_line(archive):
    import socket

    folder, _ = archive
    with socket.socket() as closed, socket.socket() as silent:
        closed.bind(("127.0.0.1", 0))
        # Takes connections and never answers.
        silent.bind(("127.0.0.1", 0))
        silent.listen()
        for port in (closed.getsockname()[1], silent.getsockname()[1]):
            address = f"tcp://127.0.0.1:{port}"
            # Without the timeout Dask waits 30 s.
            done = subprocess.run([sys.executable, "-m", "digisonde16c", "convert", folder,
                                   "unused", "--scheduler", address, "--timeout", "1"],
                                  capture_output=True, text=True, check=False, timeout=20)
            assert (done.returncode, done.stderr) == (
                1, f"python3 -m digisonde16c: no Dask scheduler answered at {address} "
                   "within 1 s\n")
