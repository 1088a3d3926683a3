"""Lazily opened recordings against a decode of the whole recording at once:
selections, Dask chunks, dropped variables, a recording that changed after
it was opened, and a FIFO, which is decoded at once."""

import os
import shutil
import threading

import numpy as np
import pytest
import xarray as xr

import digisonde16c
from digisonde16c import _core, _dataset, _lazy
from conftest import SAMPLE


def eager(path, frequency=None, correct_phase=False):
    """The whole recording decoded at once, without the index."""
    frequency = _dataset.check_frequency(frequency)
    encoded, name = _dataset.recording_path(path)
    arrays = _core.decode_recording(encoded, name, frequency is not None,
                                    0.0 if frequency is None else frequency, correct_phase, 0)
    return _dataset.build_dataset(arrays, name, frequency, correct_phase)


def assert_same_bytes(lazy, expected):
    """Identical datasets whose numeric arrays are equal byte for byte (NaN
    bit patterns and the sign of zero included)."""
    xr.testing.assert_identical(lazy, expected)
    for name, variable in expected.variables.items():
        if variable.dtype.kind != "O":
            assert lazy[name].values.tobytes() == variable.values.tobytes(), name


@pytest.fixture
def decoded_ranges(monkeypatch):
    """The block ranges that lazy decodes asked the decoder for, as
    (first block, last block) pairs."""
    asked = []
    real = _core.decode_block_ranges

    def recorded(path, name, selected, frequency, correct_phase, firsts, lasts, *rest):
        asked.extend(zip((int(b) for b in firsts), (int(b) for b in lasts)))
        return real(path, name, selected, frequency, correct_phase, firsts, lasts, *rest)

    monkeypatch.setattr(_lazy._core, "decode_block_ranges", recorded)
    return asked


# Selections by group (with other dimensions beside), each a dict for isel.
SELECTIONS = {
    "first groups": {"group": slice(0, 3)},
    "middle, two channels": {"group": slice(2, 6), "channel": [3, 0], "gate": slice(5, 60, 7)},
    "scattered, repeated, unordered": {"group": [5, 0, 5, 3, -1]},
    "every third": {"group": slice(None, None, 3)},
    "one group": {"group": 4, "gate": 10},
    "last group backwards": {"group": slice(None, -3, -1)},
}


@pytest.mark.parametrize("recording", ["sample", "gates256", "mixed", "random"])
@pytest.mark.parametrize("options", ["all", "frequency", "corrected"])
def test_lazy_selections_equal_the_same_selections_of_an_eager_decode(recordings, recording,
                                                                      options):
    path, frequency = recordings[recording]
    arguments = {"all": {}, "frequency": {"frequency": frequency},
                 "corrected": {"correct_phase": True}}[options]
    whole = eager(path, **arguments)
    groups = whole.sizes["group"]
    for label, selection in SELECTIONS.items():
        lazy = digisonde16c.open_dataset(path, **arguments)
        # A recording of no accepted group is decoded at once.
        assert lazy["amplitude"].variable._in_memory == (groups == 0)
        if groups < 6:
            selection = {"group": slice(0, groups, 2)}
        assert_same_bytes(lazy.isel(selection).load(), whole.isel(selection))
    assert_same_bytes(digisonde16c.open_dataset(path, **arguments).load(), whole)


def test_a_selection_decodes_only_the_blocks_of_its_groups(recordings, decoded_ranges,
                                                          tmp_path):
    path = recordings["mixed"][0]
    lazy = digisonde16c.open_dataset(path)
    blocks = lazy["block"].values
    decoded_ranges.clear()
    lazy["amplitude"].isel(group=[1, 2, 3, 9]).values
    assert decoded_ranges == [(blocks[1], blocks[3]), (blocks[9], blocks[9])]
    # The amplitudes are decoded alone; the small variables of the same
    # groups come from one decode of them all.
    lazy["noise_level"].isel(group=[1, 2, 3, 9]).values
    lazy["gate_range"].isel(group=[1, 2, 3, 9]).values
    assert len(decoded_ranges) == 4
    # With a frequency, the ranges run from one accepted group to the next.
    thrice = tmp_path / "thrice.16c"
    thrice.write_bytes(SAMPLE.read_bytes() * 3)
    selected = digisonde16c.open_dataset(thrice, frequency=2.5)
    assert list(selected["block"].values) == [7, 52, 97]
    decoded_ranges.clear()
    selected["amplitude"].isel(group=slice(0, 2)).values
    assert decoded_ranges == [(7, 52)]


@pytest.mark.dask
def test_chunks_give_dask_arrays_whose_tasks_decode_their_own_block_ranges(recordings,
                                                                         decoded_ranges):
    dask = pytest.importorskip("dask")
    # Threads of this process, which see the recorded decoder.
    with dask.config.set(scheduler="threads"):
        chunked_decodes(recordings["mixed"][0], decoded_ranges)


def chunked_decodes(path, decoded_ranges):
    whole = eager(path, correct_phase=True)
    blocks = whole["block"].values
    for opened in (
            digisonde16c.open_dataset(path, correct_phase=True, chunks={"group": 5}),
            xr.open_dataset(path, engine="digisonde16c", correct_phase=True,
                            chunks={"group": 5})):
        amplitude = opened["amplitude"].data
        assert amplitude.chunks[0] == (5, 5, 5, 2)
        decoded_ranges.clear()
        assert float(opened["amplitude"].mean().compute()) == \
            pytest.approx(float(whole["amplitude"].mean()))
        assert sorted(set(decoded_ranges)) == [(blocks[i], blocks[min(i + 4, 16)])
                                               for i in range(0, 17, 5)]
        assert_same_bytes(opened.compute(), whole)
    # The digisonde16c route decodes each chunk once for the amplitudes,
    # once for the phases and once for all the other variables.
    opened = digisonde16c.open_dataset(path, chunks={"group": 5})
    decoded_ranges.clear()
    opened.compute()
    assert len(decoded_ranges) == 3 * 4


def test_dropped_variables_are_left_out_and_not_kept(recordings):
    path = recordings["gates256"][0]
    dropped = ["phase", "messages", "time"]
    expected = eager(path).drop_vars(dropped)
    for opened in (digisonde16c.open_dataset(path, drop_variables=dropped),
                   xr.open_dataset(path, engine="digisonde16c", drop_variables=dropped)):
        assert not set(dropped) & set(opened.variables)
        assert_same_bytes(opened.load(), expected)
    lazy = digisonde16c.open_dataset(path, drop_variables=dropped)
    decoder = lazy["amplitude"].variable._data.array.decoder
    assert not set(dropped) & decoder.wanted


def test_a_recording_that_changed_after_it_was_opened_raises(tmp_path):
    path = tmp_path / "changing.16c"
    shutil.copyfile(SAMPLE, path)
    lazy = digisonde16c.open_dataset(path)
    os.truncate(path, 4096 * 20)
    with pytest.raises(RuntimeError, match="changed after it was opened"):
        lazy["amplitude"].isel(group=slice(15, 30)).values
    with pytest.raises(RuntimeError, match="changed after it was opened"):
        lazy.load()


def test_a_fifo_is_decoded_at_once(tmp_path):
    fifo = tmp_path / "recording.fifo"
    os.mkfifo(fifo)

    def feed():
        with open(fifo, "wb") as writer:
            writer.write(SAMPLE.read_bytes())

    feeder = threading.Thread(target=feed)
    feeder.start()
    opened = digisonde16c.open_dataset(fifo, frequency=2.5, chunks={"group": 1})
    feeder.join()
    assert opened["amplitude"].chunks[0] == (1,)
    expected = eager(SAMPLE, frequency=2.5)
    expected = expected.assign_coords(
        recording=expected["recording"].copy(data=np.array([str(fifo)], dtype=object)))
    expected.attrs["source_file"] = str(fifo)
    assert_same_bytes(opened.compute(), expected)
