"""Many recordings as one dataset: their groups one after another along
`group`, each named by its `recording` coordinate."""

import errno
import glob
import os

import numpy as np
import xarray as xr

from ._dataset import check_correct_phase, check_frequency, decode_dataset, open_dataset


def recording_paths(paths_or_glob):
    """The paths to open: a glob pattern's matches in sorted order (`**`
    for any depth of folders), a single path as it is, or the items of a
    list in their order."""
    if isinstance(paths_or_glob, (str, bytes)) and glob.has_magic(paths_or_glob):
        paths = sorted(glob.glob(paths_or_glob, recursive=True))
        if not paths:
            raise FileNotFoundError(errno.ENOENT, "no recording matches the pattern",
                                    os.fsdecode(paths_or_glob))
        return paths
    if isinstance(paths_or_glob, (str, bytes, os.PathLike)):
        return [paths_or_glob]
    paths = list(paths_or_glob)
    if not paths:
        raise ValueError("no recording given")
    return paths


def pad_gates(dataset, gates):
    """`dataset` with `gates` gates, those it does not have NaN. Every
    variable keeps its type, also in a dataset of no group (where xarray's
    own padding would give double precision)."""
    if dataset.sizes["gate"] == gates:
        return dataset
    padded = dataset.reindex(gate=np.arange(1, gates + 1, dtype=dataset["gate"].dtype))
    for name, variable in dataset.data_vars.items():
        if padded[name].dtype != variable.dtype:
            padded[name] = padded[name].astype(variable.dtype)
    return padded


def combine_recordings(datasets):
    """The datasets of several recordings joined along `group`, in their
    order, as xarray.open_mfdataset(..., combine="nested", concat_dim="group")
    joins them: a recording of fewer gates is padded with NaN up to the
    largest gate count. Attributes that differ between the recordings (the
    source file) are left out."""
    gates = max(dataset.sizes["gate"] for dataset in datasets)
    datasets = [pad_gates(dataset, gates) for dataset in datasets]
    return xr.concat(datasets, dim="group", data_vars="all", coords="different",
                     compat="no_conflicts", join="outer", combine_attrs="drop_conflicts")


def open_mfdataset(paths_or_glob, *, frequency=None, correct_phase=False, parallel=False):
    """The groups of many recordings as one xarray.Dataset, concatenated
    along `group` in the order of the paths, with the coordinate `recording`
    naming each group's file as it was given.

    `paths_or_glob` is a list of paths or a glob pattern (its matches in
    sorted order). `frequency` and `correct_phase` as for open_dataset. With
    `parallel`, each recording is decoded in a task of its own on Dask's
    current scheduler (a dask.distributed Client when one is active). A file
    that cannot be read raises the error of open_dataset, naming it."""
    paths = recording_paths(paths_or_glob)
    frequency = check_frequency(frequency)
    correct_phase = check_correct_phase(correct_phase)
    if parallel:
        import dask

        # One thread per task: the scheduler runs as many tasks at once as
        # it has threads.
        decode = dask.delayed(decode_dataset, pure=True)
        datasets = dask.compute(*[decode(path, frequency, correct_phase, 1) for path in paths])
    else:
        datasets = [open_dataset(path, frequency=frequency, correct_phase=correct_phase)
                    for path in paths]
    return combine_recordings(list(datasets))
