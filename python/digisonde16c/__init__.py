"""Digisonde 256 16-channel recordings (16C files) as xarray datasets.

open_dataset(path) decodes a whole recording into labelled arrays with the
same decoder as the tolvek program; iter_groups(path) gives one group at a
time; xarray.open_dataset(path, engine="digisonde16c") does the same as
open_dataset; open_mfdataset(paths) joins many recordings into one dataset,
decoded one task per recording on Dask when asked. `python3 -m digisonde16c
netcdf REC.16c OUT.nc` writes a recording as a NetCDF-4 file; `convert` and
`summary` do a whole archive on a Dask cluster. drift_sources and
drift_velocity give the drift velocities and skymaps of the Doppler and beam
channels; `drift` does them for an archive.
"""

from ._dataset import __version__, iter_groups, open_dataset
from ._mfdataset import open_mfdataset
from .drift import drift_sources, drift_velocity

__all__ = ["open_dataset", "open_mfdataset", "iter_groups", "drift_sources", "drift_velocity",
           "__version__"]
