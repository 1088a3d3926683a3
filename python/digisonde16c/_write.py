"""Writing datasets as NetCDF files and Zarr stores so that only complete
outputs ever carry their final name: each is written under a temporary
name in its folder (".NAME.XXXXXXXX.part") and renamed when complete."""

import contextlib
import errno
import glob
import os
import secrets
import shutil
import warnings

# Numeric variables are compressed; texts of variable length cannot be.
COMPRESSION = {"zlib": True, "complevel": 4, "shuffle": True}


class WriteError(Exception):
    """An output could not be written; the message says which and why."""


class OutputExists(WriteError):
    """The output exists and is kept."""


def netcdf_encoding(dataset):
    return {name: dict(COMPRESSION) for name, variable in dataset.variables.items()
            if variable.dtype.kind in "biufcS" and variable.ndim > 0}


def temporary_path(output):
    folder, name = os.path.split(os.path.abspath(output))
    return os.path.join(folder, f".{name}.{secrets.token_hex(4)}.part")


def remove_stale_temporaries(output):
    """Removes what runs that were stopped while writing `output` left."""
    folder, name = os.path.split(os.path.abspath(output))
    for stale in glob.glob(os.path.join(glob.escape(folder),
                                        glob.escape(f".{name}.") + "?" * 8 + ".part")):
        if os.path.isdir(stale) and not os.path.islink(stale):
            shutil.rmtree(stale, ignore_errors=True)
        else:
            try:
                os.unlink(stale)
            except FileNotFoundError:
                pass


def reason_of(error):
    return getattr(error, "strerror", None) or str(error)


@contextlib.contextmanager
def nat_cast_warnings_ignored():
    """NaT times pass through a float cast inside xarray's encoder, which
    warns of an invalid value; the times are stored as they should be."""
    with warnings.catch_warnings():
        warnings.filterwarnings("ignore", "invalid value encountered in cast", RuntimeWarning)
        yield


def write_netcdf(dataset, output, replace=False):
    """Writes `dataset` to `output` as compressed NetCDF-4. An existing
    output is replaced only with `replace`; else OutputExists is raised,
    also when the output appeared while this one was being written."""
    temporary = temporary_path(output)
    try:
        # Created here so that the file takes the permissions of the umask.
        os.close(os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o666))
    except OSError as error:
        raise WriteError(f"cannot write {output}: {reason_of(error)}") from None
    try:
        with nat_cast_warnings_ignored():
            dataset.to_netcdf(temporary, format="NETCDF4", engine="netcdf4",
                              encoding=netcdf_encoding(dataset))
        if replace:
            os.replace(temporary, output)
        else:
            # A link never replaces an existing file, also one that appeared
            # while the dataset was being written.
            try:
                os.link(temporary, output)
            except FileExistsError:
                raise OutputExists(f"{output} exists; give --force to replace it") from None
            os.unlink(temporary)
    except BaseException as error:
        try:
            os.unlink(temporary)
        except FileNotFoundError:
            pass
        if isinstance(error, (OSError, RuntimeError)):
            raise WriteError(f"cannot write {output}: {reason_of(error)}") from None
        raise


def write_zarr(dataset, output):
    """Writes `dataset` to `output` as a Zarr store (a folder), which is
    renamed into place when complete. An existing output is kept:
    OutputExists is raised."""
    temporary = temporary_path(output)
    try:
        os.mkdir(temporary, 0o777)
    except OSError as error:
        raise WriteError(f"cannot write {output}: {reason_of(error)}") from None
    try:
        with nat_cast_warnings_ignored():
            dataset.to_zarr(temporary, mode="w", consolidated=True)
        if os.path.lexists(output):
            raise OutputExists(f"{output} exists")
        # A folder can only take the place of an empty folder.
        os.rename(temporary, output)
    except BaseException as error:
        shutil.rmtree(temporary, ignore_errors=True)
        if isinstance(error, OSError) and error.errno in (errno.EEXIST, errno.ENOTEMPTY):
            raise OutputExists(f"{output} exists") from None
        if isinstance(error, (OSError, RuntimeError, ValueError)):
            raise WriteError(f"cannot write {output}: {reason_of(error)}") from None
        raise
