"""Writing datasets as NetCDF files and Zarr stores so that only complete
outputs ever carry their final name, and one writer at a time works on an
output: the writer claims the output (an exclusive lock on ".NAME.claim"
beside it, which the system drops when the writer's process ends however it
ends), writes under a temporary name in its folder (".NAME.XXXXXXXX.part")
and renames it when complete.

Compression: NetCDF files are compressed with zlib and Zarr stores with
Blosc, each with byte shuffle; the amplitudes (whole eighths of a dB) and
the phases not corrected for range (whole 256ths of a turn) are stored as
16-bit integers with a CF scale_factor when every value packs exactly, and
read back as the same single-precision values."""

import contextlib
import errno
import fcntl
import glob
import os
import secrets
import shutil
import warnings

import numpy as np
import xarray as xr

# --compression of each output kind, when not given: chosen by speed and
# size on 4 MB recordings (bench/archive_bench.py).
DEFAULT_COMPRESSION = {"netcdf": "zlib:1", "zarr": "blosc:zstd:1"}
BLOSC_CODECS = ("zstd", "lz4", "lz4hc", "zlib", "blosclz")
COMPRESSION_HELP = ("none, zlib[:LEVEL] (1 to 9) or, for Zarr stores, "
                    f"blosc[:CODEC[:LEVEL]] with CODEC one of {', '.join(BLOSC_CODECS)}")

# Variables stored as 16-bit integers times a scale factor when every value
# is such a multiple: the amplitude in eighths of a dB, the phase (not
# corrected for range) in 256ths of a turn.
PACKED_SCALES = {"amplitude": np.float32(0.125), "phase": np.float32(360.0 / 256.0)}
PACKED_FILL = np.int16(-32768)


class WriteError(OSError):
    """An output could not be written: errno and strerror say why,
    filename names the output."""

    def __init__(self, error_number, reason, output, message=None):
        super().__init__(error_number, reason, output)
        self.message = message or f"cannot write {output}: {reason}"

    def __str__(self):
        return self.message


class OutputExists(WriteError, FileExistsError):
    """The output exists, or another writer has claimed it; it is kept."""

    def __init__(self, output, message=None):
        super().__init__(errno.EEXIST, os.strerror(errno.EEXIST), output,
                         message or f"{output} exists")


def write_error(error, output):
    """`error` (an OSError, or a RuntimeError of the NetCDF library) as a
    WriteError about `output`."""
    if isinstance(error, WriteError):
        return error
    number = getattr(error, "errno", None) or errno.EIO
    return WriteError(number, reason_of(error), output)


def parse_compression(text, to):
    """The compression a --compression text names, for output kind `to`
    ("netcdf" or "zarr"), as (codec, level, blosc codec name); None gives
    the default. Raises ValueError for a text it does not take."""
    if text is None:
        text = DEFAULT_COMPRESSION[to]
    codec, *options = text.split(":")
    if codec == "blosc" and to != "zarr":
        raise ValueError(f"compression {text!r}: Blosc is for Zarr stores "
                         "(NetCDF files: none or zlib[:LEVEL])")
    try:
        if codec == "none" and not options:
            return "none", 0, None
        if codec == "zlib" and len(options) <= 1:
            level = int(options[0]) if options else 1
            if 1 <= level <= 9:
                return "zlib", level, None
        if codec == "blosc" and len(options) <= 2:
            name = options[0] if options else "zstd"
            level = int(options[1]) if len(options) == 2 else 1
            if name in BLOSC_CODECS and 1 <= level <= 9:
                return "blosc", level, name
    except ValueError:
        pass
    raise ValueError(f"compression {text!r} is not one of: {COMPRESSION_HELP}")


def packed_variable(variable, scale):
    """`variable` as 16-bit integers that times `scale` give every value
    back bit for bit (NaN as PACKED_FILL), or None when one value does not
    pack so."""
    from . import _core

    values = variable.values
    if values.dtype != np.float32:
        return None
    packed = _core.pack_exact(np.ascontiguousarray(values), scale, PACKED_FILL)
    if packed is None:
        return None
    attrs = dict(variable.attrs, scale_factor=scale, _FillValue=PACKED_FILL)
    return xr.Variable(variable.dims, packed, attrs)


def output_dataset(dataset, pack):
    """The dataset to write, in memory unless it is made of Dask arrays
    (a lazily opened recording's variables would each be decoded for
    every time the writer reads them): with `pack`, the variables of
    PACKED_SCALES that pack exactly replaced by their packed integers; each
    variable's CF `coordinates` in a fixed order (with_coordinate_lists)."""
    if not dataset.chunks:
        dataset = dataset.compute()
    if pack:
        replaced = {}
        for name, scale in PACKED_SCALES.items():
            if name in dataset.variables:
                packed = packed_variable(dataset[name].variable, scale)
                if packed is not None:
                    replaced[name] = packed
        if replaced:
            dataset = dataset.assign(replaced)
    return with_coordinate_lists(dataset)


# Bytes of a chunk of the variables along `group`, as stored. A NetCDF
# chunk passes through the library's cache, the shuffle and zlib whole:
# in chunks of 64 KiB, which stay in the processor's caches and in the
# heap's free lists, a 4 MB recording's file was written in 0.6 times the
# time of one chunk per variable (the NetCDF library's choice) in a plain
# process, 0.85 times on an archive worker, and came out 1% larger. A Zarr
# chunk is a file of its own (Blosc splits it into blocks itself): whole
# groups in chunks of 1 MiB made a store 5% smaller than Zarr's own
# choice, which splits the channels and gates too.
NETCDF_CHUNK_BYTES = 64 << 10
ZARR_CHUNK_BYTES = 1 << 20


def group_chunks(variable, chunk_bytes):
    """The chunk shape of a variable whose first dimension is `group`:
    whole groups, as many as fit in `chunk_bytes` (at least one), whole
    along every other dimension; None for any other variable."""
    if variable.dims[:1] != ("group",) or variable.shape[0] == 0:
        return None
    group_bytes = variable.dtype.itemsize * int(np.prod(variable.shape[1:]))
    groups = min(variable.shape[0], max(1, chunk_bytes // max(group_bytes, 1)))
    return (groups,) + variable.shape[1:]


def coordinate_lists(dataset):
    """The CF `coordinates` attribute of each variable that has one, as
    xarray would write it (the non-dimension coordinates whose dimensions
    the variable has) but in the dataset's order of coordinates: xarray
    joins them in the order of a set of names, which changes with Python's
    hash seed, so that the same dataset gave files that differ from run to
    run. A variable that brings its own attribute keeps it."""
    names = [name for name in dataset.coords
             if name not in dataset.dims and " " not in str(name)]
    lists = {}
    for key, variable in dataset.variables.items():
        if key in names or key in variable.dims or "coordinates" in variable.attrs \
                or "coordinates" in variable.encoding:
            continue
        listed = [name for name in names
                  if set(dataset.variables[name].dims) <= set(variable.dims)]
        if listed:
            lists[key] = " ".join(map(str, listed))
    return lists


def with_coordinate_lists(dataset):
    """A shallow copy of `dataset` whose variables carry their `coordinates`
    from coordinate_lists in their encoding, where the writers take it."""
    lists = coordinate_lists(dataset)
    if not lists:
        return dataset
    dataset = dataset.copy(deep=False)
    for name, listed in lists.items():
        dataset.variables[name].encoding["coordinates"] = listed
    return dataset


def netcdf_encoding(dataset, compression=None):
    """The encoding of every numeric variable of the dataset as written
    (packed): zlib at the level asked for (or the default), with shuffle,
    in chunks of NETCDF_CHUNK_BYTES along `group`; texts of variable
    length cannot be compressed."""
    codec, level, _ = parse_compression(compression, "netcdf")
    encoding = {}
    for name, variable in dataset.variables.items():
        if variable.dtype.kind not in "biufcS" or variable.ndim == 0:
            continue
        encoding[name] = {}
        if codec == "zlib":
            encoding[name] = {"zlib": True, "complevel": level, "shuffle": True}
            chunks = group_chunks(variable, NETCDF_CHUNK_BYTES)
            if chunks is not None:
                encoding[name]["chunksizes"] = chunks
    return encoding


def zarr_encoding(dataset, compression=None):
    """The compressor of every variable of a Zarr store as written
    (packed): Blosc with byte shuffle (by default zstd at level 1), or
    none; chunks of ZARR_CHUNK_BYTES along `group`, or those of the Dask
    arrays of a chunked dataset."""
    import numcodecs

    codec, level, blosc_name = parse_compression(compression, "zarr")
    if codec == "none":
        compressor = None
    else:
        # zlib in a Zarr store is Blosc's zlib, with the same shuffle.
        compressor = numcodecs.Blosc(cname=blosc_name or "zlib", clevel=level,
                                     shuffle=numcodecs.Blosc.SHUFFLE)
    encoding = {}
    for name, variable in dataset.variables.items():
        encoding[name] = {"compressor": compressor}
        chunks = group_chunks(variable, ZARR_CHUNK_BYTES)
        if chunks is not None and variable.chunks is None:
            encoding[name]["chunks"] = chunks
    return encoding


def temporary_path(output):
    folder, name = os.path.split(os.path.abspath(output))
    return os.path.join(folder, f".{name}.{secrets.token_hex(4)}.part")


def claim_path(output):
    folder, name = os.path.split(os.path.abspath(output))
    return os.path.join(folder, f".{name}.claim")


def remove_stale_temporaries(output):
    """Removes what writers of `output` that were stopped left. Only the
    holder of the output's claim calls it: any temporary file of the output
    is then one whose writer is gone."""
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


@contextlib.contextmanager
def claimed(output):
    """Holds the claim on `output` for the block: an exclusive lock on its
    claim file, made for the purpose and removed at the end. Raises
    OutputExists when another writer holds the claim, WriteError when the
    claim file cannot be made. Stale temporary files of the output are
    removed once it is held."""
    path = claim_path(output)
    while True:
        try:
            descriptor = os.open(path, os.O_RDWR | os.O_CREAT | os.O_CLOEXEC, 0o666)
        except OSError as error:
            raise write_error(error, output) from None
        try:
            fcntl.flock(descriptor, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            os.close(descriptor)
            raise OutputExists(output, f"{output} is being written by another process") \
                from None
        # The claim file may have been removed (and made anew) by a writer
        # that finished between the open and the lock: then this lock holds
        # nothing, and the claim is taken again.
        try:
            current = os.path.samestat(os.fstat(descriptor), os.stat(path))
        except FileNotFoundError:
            current = False
        if current:
            break
        os.close(descriptor)
    try:
        remove_stale_temporaries(output)
        yield
    finally:
        try:
            os.unlink(path)
        finally:
            os.close(descriptor)


def reason_of(error):
    return getattr(error, "strerror", None) or str(error)


@contextlib.contextmanager
def nat_cast_warnings_ignored():
    """NaT times pass through a float cast inside xarray's encoder, which
    warns of an invalid value; the times are stored as they should be."""
    with warnings.catch_warnings():
        warnings.filterwarnings("ignore", "invalid value encountered in cast", RuntimeWarning)
        yield


def write_netcdf(dataset, output, replace=False, compression=None, pack=True):
    """Writes `dataset` to `output` as compressed NetCDF-4 (`compression`
    as for parse_compression; `pack`: amplitudes and phases packed where
    exact). An existing output is replaced only with `replace`; else
    OutputExists is raised, also when the output appeared while this one
    was being written or another writer holds its claim."""
    with claimed(output):
        write_claimed_netcdf(dataset, output, replace, compression, pack)


def write_claimed_netcdf(dataset, output, replace=False, compression=None, pack=True):
    """write_netcdf for the holder of the output's claim."""
    parse_compression(compression, "netcdf")

    def write(temporary):
        written = output_dataset(dataset, pack)
        with nat_cast_warnings_ignored():
            written.to_netcdf(temporary, format="NETCDF4", engine="netcdf4",
                              encoding=netcdf_encoding(written, compression))

    write_through_temporary(output, write, replace)


def write_through_temporary(output, write, replace=False):
    """Calls write(temporary) on a temporary file in the folder of `output`,
    then puts it in place: replacing `output` with `replace`, else only
    where no `output` exists (OutputExists). On any failure the temporary
    file is removed, and an OSError or a RuntimeError of the NetCDF library
    is raised as a WriteError about `output`."""
    temporary = temporary_path(output)
    try:
        # Created here so that the file takes the permissions of the umask.
        os.close(os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o666))
    except OSError as error:
        raise write_error(error, output) from None
    try:
        write(temporary)
        if replace:
            os.replace(temporary, output)
        else:
            # A link never replaces an existing file, also one that appeared
            # while the dataset was being written.
            try:
                os.link(temporary, output)
            except FileExistsError:
                raise OutputExists(output, f"{output} exists; give --force to replace it") \
                    from None
            os.unlink(temporary)
    except BaseException as error:
        try:
            os.unlink(temporary)
        except FileNotFoundError:
            pass
        if isinstance(error, (OSError, RuntimeError)):
            raise write_error(error, output) from None
        raise


def write_zarr(dataset, output, compression=None, pack=True):
    """Writes `dataset` to `output` as a Zarr store (a folder), which is
    renamed into place when complete (`compression` and `pack` as for
    write_netcdf). An existing output is kept: OutputExists is raised."""
    with claimed(output):
        write_claimed_zarr(dataset, output, compression, pack)


def write_claimed_zarr(dataset, output, compression=None, pack=True):
    """write_zarr for the holder of the output's claim."""
    parse_compression(compression, "zarr")
    temporary = temporary_path(output)
    try:
        os.mkdir(temporary, 0o777)
    except OSError as error:
        raise write_error(error, output) from None
    try:
        written = output_dataset(dataset, pack)
        with nat_cast_warnings_ignored():
            written.to_zarr(temporary, mode="w", consolidated=True,
                            encoding=zarr_encoding(written, compression))
        if os.path.lexists(output):
            raise OutputExists(output)
        # A folder can only take the place of an empty folder.
        os.rename(temporary, output)
    except BaseException as error:
        shutil.rmtree(temporary, ignore_errors=True)
        if isinstance(error, OSError) and error.errno in (errno.EEXIST, errno.ENOTEMPTY):
            raise OutputExists(output) from None
        if isinstance(error, (OSError, RuntimeError, ValueError)):
            raise write_error(error, output) from None
        raise
