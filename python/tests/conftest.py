"""Shared fixtures: the built programs, and recordings stated by meaning.

Run from the build (ctest sets DIGISONDE16C_BIN, DIGISONDE16C_SOURCE,
DIGISONDE16C_FILE_FAULTS and PYTHONPATH), or by hand:
  PYTHONPATH=build/python/site /usr/bin/python3 -m pytest python/tests
"""

import os
import pathlib
import subprocess

import numpy as np
import pytest

SOURCE = pathlib.Path(os.environ.get("DIGISONDE16C_SOURCE",
                                     pathlib.Path(__file__).resolve().parents[2]))
BIN = pathlib.Path(os.environ.get("DIGISONDE16C_BIN", SOURCE / "build" / "bin"))
FILE_FAULTS = os.environ.get("DIGISONDE16C_FILE_FAULTS",
                             str(SOURCE / "build" / "tests" / "libfile_faults.so"))
SAMPLE = SOURCE / "examples" / "sample.16c"
BLOCK = 4096


def pytest_configure(config):
    # Markers that become ctest labels (collect_tests.cmake), so that a
    # quick run can leave the tests on a Dask cluster out: ctest -LE slow.
    config.addinivalue_line("markers", "dask: runs tasks on Dask")
    config.addinivalue_line("markers", "slow: starts a cluster of worker processes")


@pytest.fixture(scope="session")
def dask_client():
    """A client of a cluster of 2 single-threaded worker processes on this
    machine."""
    distributed = pytest.importorskip("dask.distributed")
    from digisonde16c import _archive

    with _archive.local_cluster(2) as cluster, distributed.Client(cluster) as client:
        yield client


def run_program(name, *arguments):
    """Runs a built program; returns (status, stdout bytes, stderr bytes)."""
    done = subprocess.run([str(BIN / name), *map(str, arguments)], capture_output=True,
                          check=False)
    return done.returncode, done.stdout, done.stderr


def synthesize(path, *options):
    status, _, errors = run_program("synth16c", *options, path)
    assert status == 0, errors
    return bytearray(pathlib.Path(path).read_bytes())


def set_digit(recording, block, n, value):
    """Sets preface digit n (1..57) of block `block` (from 1): its four bits
    ride in bit 0 of four amplitude codes, the lowest bit first, from offset
    4n (n up to 31) or 4n + 128 (n from 32)."""
    offset = (block - 1) * BLOCK + (4 * n if n <= 31 else 4 * n + 128)
    for bit in range(4):
        recording[offset + bit] = (recording[offset + bit] & 0xFE) | ((value >> bit) & 1)


def write(path, data):
    pathlib.Path(path).write_bytes(bytes(data))
    return path


# Synthesized sweeps: from 2023 day 365 23:59:50 in steps of 3 seconds, so
# that the times cross into 2024.
SWEEP = ("--frequencies", "16", "--first", "2", "--last", "9.5", "--step", "3",
         "--start", "2023 365 23:59:50")


@pytest.fixture(scope="session")
def recordings(tmp_path_factory):
    """Recordings by name, each with a frequency that selects some of its
    groups: (path, frequency in MHz)."""
    folder = tmp_path_factory.mktemp("recordings")
    made = {"sample": (SAMPLE, 2.52)}

    # 128 gates with the doubling boundary of H = 3, first gate at 60 km.
    made["gates128"] = (write(folder / "gates128.16c", synthesize(
        folder / "gates128.16c", *SWEEP, "--gates", "3", "--start-range", "2")), 4.5)

    # Every group 256 gates: H = 9 (5 km apart) in place of the sweep's 1.
    data = synthesize(folder / "gates256.16c", *SWEEP)
    for block in range(1, 17):
        set_digit(data, block, 54, 9)
    made["gates256"] = (write(folder / "gates256.16c", data), 6.0)

    made["mixed"] = (write(folder / "mixed.16c", mixed_recording(folder)), 3.0)
    made["random"] = (write(folder / "random.16c", random_groups(7, 40)), 5.0)
    return made


# The groups of the mixed recording, by block: gate count and what else
# differs from the sweep. Block 7 holds no group; block 18, the last, is a
# group cut short at 3000 bytes (read as zero-padded).
MIXED_GATES = {1: 128, 2: 256, 3: 0, 4: 128, 5: 256, 6: 128, 8: 128, 9: 128, 10: 128,
               11: 128, 12: 128, 13: 128, 14: 128, 15: 128, 16: 128, 17: 128, 18: 128}
MIXED_NO_TIME = 6  # the block whose digit 3 is 12: no valid day of the year


def mixed_recording(folder):
    data = synthesize(folder / "mixed-sweep.16c", *SWEEP, "--frequencies", "17",
                      "--first", "2", "--last", "10")
    set_digit(data, 2, 54, 11)   # 256 gates, doubling after gate 128
    set_digit(data, 5, 54, 12)   # 256 gates, doubling after gate 128
    set_digit(data, 3, 55, 0)    # E = 0: the range gate message, no gates
    set_digit(data, 4, 45, 0)    # L = 0: sixteen L warnings
    set_digit(data, 6, 49, 5)    # PRF code 5: the PRF message
    set_digit(data, 6, 3, 12)    # no valid day: NaT, "*" in the time text
    data[6 * BLOCK:6 * BLOCK] = bytes(BLOCK)  # block 7: zeros, no group
    return data[:17 * BLOCK + 3000]


def random_groups(seed, count):
    """`count` blocks of random bytes, each made a group: byte 0 of kind 12
    (low four bits 1100) and the kind marker 12 in bit 0 of bytes 0 to 3."""
    generator = np.random.default_rng(seed)
    data = bytearray(generator.integers(0, 256, count * BLOCK, dtype=np.uint8).tobytes())
    for block in range(count):
        at = block * BLOCK
        data[at] = (data[at] & 0xF0) | 0x0C
        for offset, bit in ((1, 0), (2, 1), (3, 1)):
            data[at + offset] = (data[at + offset] & 0xFE) | bit
    return data
