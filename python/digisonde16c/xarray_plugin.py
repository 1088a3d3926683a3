"""The xarray backend: xarray.open_dataset(path, engine="digisonde16c",
frequency=..., correct_phase=...)."""

import os

from xarray.backends import BackendEntrypoint

from ._dataset import open_dataset


class Digisonde16cBackendEntrypoint(BackendEntrypoint):
    description = "Digisonde 256 16-channel recordings (16C files), decoded like tolvek"
    open_dataset_parameters = ("filename_or_obj", "drop_variables", "frequency",
                               "correct_phase")

    def open_dataset(self, filename_or_obj, *, drop_variables=None, frequency=None,
                     correct_phase=False):
        # The variables decode lazily; xarray makes Dask arrays of them when
        # given chunks.
        return open_dataset(filename_or_obj, frequency=frequency, correct_phase=correct_phase,
                            drop_variables=drop_variables)

    def guess_can_open(self, filename_or_obj):
        try:
            name = os.fspath(filename_or_obj)
        except TypeError:
            return False
        if isinstance(name, bytes):
            name = os.fsdecode(name)
        return os.path.splitext(name)[1].lower() == ".16c"
