"""Errors a user can act on, from the library and from the command, and
inputs of any bytes."""

import errno
import os
import subprocess
import sys
import tempfile

import numpy as np
import pytest

import digisonde16c
from conftest import BLOCK, FILE_FAULTS, run_program


def test_files_that_cannot_be_read_raise_the_matching_os_error(tmp_path):
    cases = [(tmp_path / "missing.16c", FileNotFoundError, errno.ENOENT),
             (tmp_path, IsADirectoryError, errno.EISDIR)]
    if os.geteuid() != 0:
        unreadable = tmp_path / "unreadable.16c"
        unreadable.write_bytes(bytes(BLOCK))
        unreadable.chmod(0)
        cases.append((unreadable, PermissionError, errno.EACCES))
    for path, kind, number in cases:
        for open_groups in (digisonde16c.open_dataset, digisonde16c.iter_groups):
            with pytest.raises(kind) as raised:
                open_groups(path)
            assert raised.value.errno == number
            assert raised.value.filename == str(path)


# Prints what open_dataset raised for the file named by argument 1.
RAISED = """
import sys, digisonde16c
try:
    digisonde16c.open_dataset(sys.argv[1])
except OSError as error:
    print(type(error).__name__, error.errno, error.filename)
"""


@pytest.mark.skipif(os.geteuid() != 0, reason="the case above covers it")
def test_an_unreadable_file_raises_permission_error_also_when_run_as_root():
    # File permissions do not stop root: the file is opened by a child
    # that runs as the user nobody.
    def as_nobody():
        os.setgid(65534)
        os.setuid(65534)

    with tempfile.TemporaryDirectory() as folder:
        os.chmod(folder, 0o755)
        unreadable = os.path.join(folder, "unreadable.16c")
        with open(unreadable, "wb") as file:
            file.write(bytes(BLOCK))
        os.chmod(unreadable, 0)
        done = subprocess.run([sys.executable, "-c", RAISED, unreadable], preexec_fn=as_nobody,
                              capture_output=True, text=True, check=False)
    if "ModuleNotFoundError" in done.stderr or "PermissionError" in done.stderr:
        pytest.skip("the user nobody cannot import the package from this build")
    assert done.stdout == f"PermissionError {errno.EACCES} {unreadable}\n", done.stderr


def test_arguments_that_are_no_frequency_or_flag_are_refused(tmp_path):
    path = tmp_path / "empty.16c"
    path.write_bytes(b"")
    cases = [({"frequency": "abc"}, TypeError), ({"frequency": "2.5"}, TypeError),
             ({"frequency": True}, TypeError), ({"frequency": -0.5}, ValueError),
             ({"frequency": float("nan")}, ValueError), ({"frequency": float("inf")}, ValueError),
             ({"frequency": 1e300}, ValueError), ({"correct_phase": "yes"}, TypeError)]
    for arguments, kind in cases:
        with pytest.raises(kind, match="frequency|correct_phase"):
            digisonde16c.open_dataset(path, **arguments)
    for frequency in (0, 5, np.float32(2.5), np.int16(3)):
        assert digisonde16c.open_dataset(path, frequency=frequency).sizes["group"] == 0
    # The value is rounded once from its decimal text, as tolvek -f reads it:
    # 1.0000000596046448 lies just above the midpoint 1 + 2**-24 between two
    # single-precision values and rounds up, while the double nearest to it,
    # the midpoint itself, would round to even (1.0).
    selected = digisonde16c.open_dataset(path, frequency=1.0000000596046448)
    assert selected.attrs["selected_frequency"] == np.float32(1 + 2**-23)


# Runs `call` in a child whose reads of the recording fail with EIO from
# byte 8192 on (the preload library file_faults); prints what it raised.
FAILING_READ = """
import sys, digisonde16c
try:
    {call}
except OSError as error:
    print(type(error).__name__, error.errno, error.filename)
else:
    print("no error")
"""


def with_failing_reads(path):
    # After any library preloaded already (a sanitizer runtime comes first).
    preload = ":".join(filter(None, [os.environ.get("LD_PRELOAD"), FILE_FAULTS]))
    return dict(os.environ, LD_PRELOAD=preload, FAULT_PATH=str(path),
                FAIL_OFFSET=str(2 * BLOCK))


@pytest.mark.skipif(not os.path.exists(FILE_FAULTS), reason="no file_faults library")
def test_a_read_failure_part_way_raises_and_names_the_file(recordings):
    path = str(recordings["gates128"][0])
    for call in ("digisonde16c.open_dataset(sys.argv[1])",
                 "list(digisonde16c.iter_groups(sys.argv[1]))"):
        done = subprocess.run([sys.executable, "-c", FAILING_READ.format(call=call), path],
                              env=with_failing_reads(path), capture_output=True, text=True,
                              check=False)
        assert done.stdout == f"OSError {errno.EIO} {path}\n", (call, done.stderr)


def test_any_bytes_decode_as_tolvek_reads_them(recordings, tmp_path):
    """Random files and a recording cut at many sizes: the dataset holds the
    groups that tolvek prints, in its block order, and nothing crashes."""
    generator = np.random.default_rng(3)
    mixed = recordings["mixed"][0].read_bytes()
    contents = [generator.integers(0, 256, size, dtype=np.uint8).tobytes()
                for size in (1, 17, BLOCK * 64 + 5)]
    contents += [mixed[:size] for size in (1, 3, 4, 100, 359, 360, BLOCK - 1, BLOCK,
                                           BLOCK + 1, 2 * BLOCK + 2000, len(mixed) - 1)]
    path = tmp_path / "bytes.16c"
    for content in contents:
        path.write_bytes(content)
        dataset = digisonde16c.open_dataset(path)
        status, out, _ = run_program("tolvek", "-a", path)
        assert status == 0
        # Group header lines: "# " and the time text, whose year is digits.
        headers = [line[2:19] for line in out.decode("ascii").splitlines()
                   if line[:3] in ("# 1", "# 2")]
        assert list(dataset["time_text"].values) == headers, len(content)
        assert sorted(set(dataset["block"].values)) == list(dataset["block"].values)
