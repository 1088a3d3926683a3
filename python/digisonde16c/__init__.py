"""Digisonde 256 16-channel recordings (16C files) as xarray datasets.

open_dataset(path) gives a recording as labelled arrays, decoded by the
same decoder as the tolvek program when their values are asked for (only
the groups a selection needs; with chunks=, as Dask arrays);
iter_groups(path) gives one group at a time;
xarray.open_dataset(path, engine="digisonde16c") does the same as
open_dataset; open_mfdataset(paths) joins many recordings into one dataset,
decoded one task per recording on Dask when asked. `python3 -m digisonde16c
netcdf REC.16c OUT.nc` writes a recording as a NetCDF-4 file; `convert` and
`summary` do a whole archive on a Dask cluster. drift_sources and
drift_velocity give the drift velocities and skymaps of the Doppler and beam
channels; `drift` does them for an archive. ionograms and scale split a
recording into sweeps and scale them (foF2, h'F and the rest); `scale` does
them for an archive.
"""

from ._dataset import __version__, iter_groups, open_dataset
from ._mfdataset import open_mfdataset
from ._scale import ionograms, scale
from .drift import drift_sources, drift_velocity

__all__ = ["open_dataset", "open_mfdataset", "iter_groups", "drift_sources", "drift_velocity",
           "ionograms", "scale", "__version__"]
