"""python3 -m digisonde16c netcdf: the round trip, and the file left behind
when it cannot finish."""

import errno
import os
import shutil
import subprocess
import sys

import pytest
import xarray as xr

import digisonde16c
from conftest import BLOCK, FILE_FAULTS, SAMPLE
from test_errors import with_failing_reads


def netcdf(*arguments, environment=None):
    done = subprocess.run([sys.executable, "-m", "digisonde16c", "netcdf",
                           *map(str, arguments)], capture_output=True, text=True,
                          env=environment, check=False)
    return done.returncode, done.stdout, done.stderr


@pytest.mark.parametrize("name", ["mixed", "empty"])
def test_netcdf_reads_back_identical_to_the_recording(recordings, tmp_path, name):
    if name == "empty":
        recording = tmp_path / "empty.16c"
        recording.write_bytes(b"")
    else:
        recording = recordings[name][0]
    output = tmp_path / "out.nc"
    assert netcdf(recording, output) == (0, "", "")
    with xr.open_dataset(output) as back:
        xr.testing.assert_identical(back.load(), digisonde16c.open_dataset(recording))
        assert back["amplitude"].encoding["zlib"]
    assert sorted(os.listdir(tmp_path)) == (["empty.16c"] if name == "empty" else []) + ["out.nc"]
    if shutil.which("ncdump"):
        header = subprocess.run(["ncdump", "-h", str(output)], capture_output=True,
                                text=True, check=True).stdout
        assert ':Conventions = "CF-1.8"' in header
        assert 'amplitude:units = "dB"' in header


def test_netcdf_files_of_one_recording_are_the_same_bytes_under_any_hash_seed(tmp_path):
    # xarray lists a variable's coordinates in the order of a set of names,
    # which follows Python's hash seed.
    files = []
    for seed in ("1", "2", "3"):
        files.append(tmp_path / f"seed{seed}.nc")
        environment = dict(os.environ, PYTHONHASHSEED=seed)
        assert netcdf(SAMPLE, files[-1], environment=environment) == (0, "", "")
    assert files[0].read_bytes() == files[1].read_bytes() == files[2].read_bytes()


def test_netcdf_keeps_an_existing_file_unless_forced(tmp_path):
    recording = tmp_path / "rec.16c"
    recording.write_bytes(b"")
    output = tmp_path / "out.nc"
    output.write_bytes(b"older")
    status, out, errors = netcdf(recording, output)
    assert (status, out) == (1, "")
    assert errors == f"python3 -m digisonde16c: {output} exists; give --force to replace it\n"
    assert output.read_bytes() == b"older"
    assert netcdf(recording, output, "--force") == (0, "", "")
    assert xr.open_dataset(output).sizes["group"] == 0
    assert sorted(os.listdir(tmp_path)) == ["out.nc", "rec.16c"]


def test_netcdf_failures_leave_no_file_and_say_why_in_one_line(recordings, tmp_path):
    missing = tmp_path / "missing.16c"
    output = tmp_path / "out.nc"
    assert netcdf(missing, output) == (
        1, "", f"python3 -m digisonde16c: {missing}: No such file or directory\n")
    assert netcdf(tmp_path, output) == (
        1, "", f"python3 -m digisonde16c: {tmp_path}: Is a directory\n")
    if os.path.exists(FILE_FAULTS):
        recording = str(recordings["gates128"][0])
        assert netcdf(recording, output, environment=with_failing_reads(recording)) == (
            1, "", f"python3 -m digisonde16c: {recording}: Input/output error\n")
    assert os.listdir(tmp_path) == []
    # The file is written, but cannot take the place of a folder: the
    # written file goes.
    output.mkdir()
    assert netcdf(recordings["mixed"][0], output, "--force") == (
        1, "", f"python3 -m digisonde16c: cannot write {output}: Is a directory\n")
    assert os.listdir(tmp_path) == ["out.nc"]
    assert os.listdir(output) == []


def test_write_failures_are_os_errors_naming_the_output(tmp_path):
    from digisonde16c import _write

    dataset = digisonde16c.open_dataset(SAMPLE, frequency=2.5)
    existing = tmp_path / "existing.nc"
    existing.write_bytes(b"older")
    unwritable = tmp_path / "no-folder" / "out.nc"
    cases = [(lambda: _write.write_netcdf(dataset, existing), FileExistsError, errno.EEXIST,
              existing),
             (lambda: _write.write_zarr(dataset, tmp_path), FileExistsError, errno.EEXIST,
              tmp_path),
             (lambda: _write.write_netcdf(dataset, unwritable), OSError,
              errno.ENOENT, unwritable)]
    for write, kind, number, output in cases:
        with pytest.raises(kind) as raised:
            write()
        assert (raised.value.errno, raised.value.filename) == (number, output), raised.value
    assert existing.read_bytes() == b"older"
