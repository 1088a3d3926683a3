"""Many recordings as one dataset: open_mfdataset, sequential and on Dask,
and xarray's own open_mfdataset through the backend."""

import dask
import numpy as np
import pytest
import xarray as xr

import digisonde16c


def alone(dataset, attrs):
    """`dataset` with the attributes that only a single recording's dataset
    carries."""
    dataset = dataset.copy()
    dataset.attrs = attrs
    return dataset


def test_recordings_of_different_gate_counts_join_in_order_with_their_names(
        recordings, tmp_path):
    narrow, wide = str(recordings["gates128"][0]), str(recordings["gates256"][0])
    empty = str(tmp_path / "empty.16c")
    with open(empty, "wb"):
        pass
    joined = digisonde16c.open_mfdataset([narrow, empty, wide])
    # The sweep has 16 frequencies: 16 groups in each recording.
    assert joined.sizes["group"] == 32 and joined.sizes["gate"] == 256
    assert list(joined["recording"].values) == [narrow] * 16 + [wide] * 16
    for name in ("amplitude", "phase", "gate_range"):
        assert joined[name].dtype == np.float32, name
        assert np.isnan(joined[name].isel(group=slice(0, 16), gate=slice(128, None))).all()
    first = digisonde16c.open_dataset(narrow)
    xr.testing.assert_identical(
        alone(joined.isel(group=slice(0, 16), gate=slice(0, 128)), first.attrs), first)
    second = digisonde16c.open_dataset(wide)
    xr.testing.assert_identical(alone(joined.isel(group=slice(16, 32)), second.attrs), second)
    assert "source_file" not in joined.attrs and joined.attrs["Conventions"] == "CF-1.8"

    # A pattern: its matches in sorted order.
    by_pattern = digisonde16c.open_mfdataset(str(recordings["gates128"][0].parent / "gates*.16c"))
    assert list(dict.fromkeys(by_pattern["recording"].values)) == [narrow, wide]
    with pytest.raises(FileNotFoundError):
        digisonde16c.open_mfdataset(str(tmp_path / "none*.16c"))


@pytest.mark.dask
@pytest.mark.slow
def test_parallel_decoding_on_dask_gives_the_sequential_dataset(recordings, tmp_path,
                                                               dask_client):
    empty = tmp_path / "empty.16c"
    empty.write_bytes(b"")
    paths = [str(recordings[name][0]) for name in ("mixed", "gates128", "sample")]
    with_empty = paths[:1] + [str(empty)] + paths[1:]
    sequential = digisonde16c.open_mfdataset(with_empty, correct_phase=True)
    # On the cluster's worker processes, and on Dask's threads.
    xr.testing.assert_identical(
        digisonde16c.open_mfdataset(with_empty, correct_phase=True, parallel=True), sequential)
    with dask.config.set(scheduler="threads"):
        xr.testing.assert_identical(
            digisonde16c.open_mfdataset(with_empty, correct_phase=True, parallel=True),
            sequential)

    # xarray's own: the same groups, coordinates and attributes of variables.
    ours = digisonde16c.open_mfdataset(paths, frequency=3.0)
    theirs = xr.open_mfdataset(paths, engine="digisonde16c", combine="nested",
                               concat_dim="group", parallel=True, frequency=3.0).load()
    xr.testing.assert_identical(alone(theirs, ours.attrs), ours)

    # A failing recording in a task is named as in the sequential route.
    for bad, kind in ((tmp_path / "missing.16c", FileNotFoundError),
                      (tmp_path, IsADirectoryError)):
        with pytest.raises(kind) as raised:
            digisonde16c.open_mfdataset(paths + [str(bad)], parallel=True)
        assert raised.value.filename == str(bad)
