"""The dataset's shape where tolvek's output cannot show it: NaN for entries
without a sample, times, the gate dimension, the iterator, threads, the
xarray backend; and the matplotlib example."""

import os
import subprocess
import sys
import threading

import numpy as np
import pytest
import xarray as xr

import digisonde16c
from conftest import MIXED_GATES, MIXED_NO_TIME, SAMPLE, SOURCE, synthesize


def test_entries_without_a_sample_are_nan_in_a_recording_of_mixed_gate_counts(recordings):
    dataset = digisonde16c.open_dataset(recordings["mixed"][0])
    assert dataset.sizes["gate"] == 256
    assert list(dataset["block"].values) == list(MIXED_GATES)
    assert list(dataset["gate_count"].values) == list(MIXED_GATES.values())
    for g, gates in enumerate(MIXED_GATES.values()):
        # 128 gates: 16 channels of 128; 256 gates: channels 1 to 8 only.
        channels = 8 if gates == 256 else 16
        expected = np.zeros((16, 256), dtype=bool)
        expected[:channels, :gates] = True
        for name in ("amplitude", "phase"):
            held = ~np.isnan(dataset[name].values[g])
            assert (held == expected).all(), (name, "block", dataset["block"].values[g])
        held = ~np.isnan(dataset["gate_range"].values[g])
        assert (held == (np.arange(256) < gates)).all(), ("gate_range", g)


def test_times_cross_the_year_and_are_nat_where_the_preface_holds_no_time(recordings):
    dataset = digisonde16c.open_dataset(recordings["mixed"][0])
    # The sweep starts at 2023 day 365 23:59:50 and steps by 3 seconds per
    # group; the block of no group between takes no step.
    start = np.datetime64("2023-12-31T23:59:50", "ns")
    expected = []
    for step, block in enumerate(b for b in range(1, 19) if b != 7):
        time = start + np.timedelta64(3 * step, "s")
        expected.append(np.datetime64("NaT", "ns") if block == MIXED_NO_TIME else time)
    assert dataset["time"].dtype == np.dtype("datetime64[ns]")
    np.testing.assert_array_equal(dataset["time"].values, np.array(expected))
    assert dataset["time_text"].values[4] == "2024 001 00:00:02"


def test_a_recording_without_groups_gives_a_dataset_of_no_group(tmp_path):
    for content in (b"", bytes(4096 * 3)):
        path = tmp_path / "empty.16c"
        path.write_bytes(content)
        dataset = digisonde16c.open_dataset(path)
        assert dict(dataset.sizes) == {"group": 0, "channel": 16, "gate": 128, "digit": 57,
                                       "position": 16}


def test_iter_groups_joins_to_the_whole_dataset():
    whole = digisonde16c.open_dataset(SAMPLE, frequency=5, correct_phase=True)
    joined = xr.concat(list(digisonde16c.iter_groups(SAMPLE, frequency=5, correct_phase=True)),
                       dim="group")
    assert whole.sizes["group"] == 1
    xr.testing.assert_identical(joined, whole)
    joined = xr.concat(list(digisonde16c.iter_groups(SAMPLE)), dim="group")
    xr.testing.assert_identical(joined, digisonde16c.open_dataset(SAMPLE))


@pytest.fixture(scope="module")
def long_recording(tmp_path_factory):
    """300 groups of 128 gates: arrays of 2 MiB and more, which the decoder
    makes in memory of its own, against the same groups one at a time."""
    path = tmp_path_factory.mktemp("long") / "long.16c"
    synthesize(path, "--frequencies", "150", "--sweeps", "2")
    return path


# Reads of the long recording: open_dataset's arguments, a frequency that
# keeps two groups of 300 (the arrays are cut to their rows), and chunks.
LONG_READS = {
    "whole": {},
    "two groups of a frequency": {"frequency": 5.0},
    "chunks of 280 groups": {"chunks": {"group": 280}},
}


@pytest.mark.parametrize("read", LONG_READS)
def test_a_long_recording_equals_its_groups_one_at_a_time(long_recording, read):
    options = dict(LONG_READS[read])
    frequency = options.get("frequency")
    dataset = digisonde16c.open_dataset(long_recording, **options).compute()
    joined = xr.concat(list(digisonde16c.iter_groups(long_recording, frequency=frequency)),
                       dim="group")
    assert dataset.sizes["group"] == (2 if frequency else 300)
    xr.testing.assert_identical(dataset, joined)


def test_two_recordings_decode_at_once_in_two_threads(recordings):
    paths = [recordings["gates256"][0], recordings["random"][0]]
    alone = [digisonde16c.open_dataset(path, correct_phase=True) for path in paths]
    results = [[], []]

    def decode(index):
        for _ in range(20):
            results[index].append(digisonde16c.open_dataset(paths[index], correct_phase=True))

    threads = [threading.Thread(target=decode, args=(i,)) for i in range(2)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    for index in range(2):
        assert len(results[index]) == 20
        for dataset in results[index]:
            xr.testing.assert_identical(dataset, alone[index])


def test_xarray_opens_recordings_through_the_registered_backend(recordings):
    assert "digisonde16c" in xr.backends.list_engines()
    path = recordings["mixed"][0]
    direct = digisonde16c.open_dataset(path, frequency=3.0, correct_phase=True)
    through = xr.open_dataset(path, engine="digisonde16c", frequency=3.0, correct_phase=True)
    xr.testing.assert_identical(through.load(), direct)
    # A .16c name is recognised without naming the engine.
    xr.testing.assert_identical(xr.open_dataset(SAMPLE).load(),
                                digisonde16c.open_dataset(SAMPLE))


def test_the_matplotlib_example_draws_the_ionogram_of_the_sample(tmp_path):
    # matplotlib is optional (tools/install_packages.sh pictures); in CI,
    # which installs it, its absence is a fault.
    try:
        import matplotlib  # noqa: F401
    except ImportError:
        if os.environ.get("CI") == "true":
            raise
        pytest.skip("matplotlib is not installed (Debian package python3-matplotlib)")
    picture = tmp_path / "ionogram.png"
    done = subprocess.run([sys.executable, str(SOURCE / "examples" / "ionogram.py"), str(SAMPLE),
                           str(picture)], capture_output=True, text=True, check=False)
    assert done.returncode == 0, done.stderr
    checked = subprocess.run([sys.executable, str(SOURCE / "tests" / "support" / "png_colours.py"),
                              str(picture)], capture_output=True, text=True, check=False)
    assert checked.returncode == 0, checked.stderr
    size, colours = checked.stdout.split()
    assert size == "900x600" and int(colours) > 1
