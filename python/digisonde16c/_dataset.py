"""Recordings as xarray datasets: names, dimensions, coordinates and CF
attributes around the arrays that the decoder fills (digisonde16c._core)."""

import math
import numbers
import os
import stat

import numpy as np
import xarray as xr

from . import _core, _lazy

__version__ = _core.__version__

# Attributes of every variable: CF units, long_name and, where the CF table
# has one, standard_name. Texts have no units.
VARIABLE_ATTRIBUTES = {
    "block": {"long_name": "number of the group's data block in the recording, from 1",
              "units": "1"},
    "recording": {"long_name": "path of the recording the group comes from, as it was "
                               "given"},
    "time": {"long_name": "time of the sounding (NaT where the preface holds no "
                          "valid date and time)",
             "standard_name": "time"},
    "frequency": {"long_name": "sounding frequency", "standard_name": "radiation_frequency",
                  "units": "MHz"},
    "channel": {"long_name": "channel number", "units": "1"},
    "gate": {"long_name": "range gate number", "units": "1"},
    "digit": {"long_name": "preface digit number", "units": "1"},
    "position": {"long_name": "place in the print order of the channels", "units": "1"},
    "amplitude": {"long_name": "echo amplitude (NaN where the group holds no sample)",
                  "units": "dB"},
    "phase": {"long_name": "echo phase (NaN where the group holds no sample)",
              "units": "degree"},
    "gate_range": {"long_name": "virtual range of the gate (NaN beyond the group's "
                                "gates)", "units": "km"},
    "gate_count": {"long_name": "number of range gates of the group (0 when its range "
                                "gate codes are invalid)", "units": "1"},
    "noise_level": {"long_name": "noise level: lower edge of the most populated "
                                 "one-unit amplitude bin", "units": "dB"},
    "channel_frequency": {"long_name": "sounding frequency of the channel",
                          "standard_name": "radiation_frequency", "units": "MHz"},
    "polarization": {"long_name": "polarization of the channel (+90 or -90)",
                     "units": "degree"},
    "doppler": {"long_name": "Doppler shift of the channel's line", "units": "Hz"},
    "azimuth": {"long_name": "azimuth of the channel's beam", "units": "degree"},
    "zenith": {"long_name": "zenith angle of the channel's beam", "units": "degree"},
    "channel_order": {"long_name": "channel printed in each place of the print order",
                      "units": "1"},
    "preface": {"long_name": "preface digits as recorded (0 to 15)", "units": "1"},
    "time_text": {"long_name": "group time as printed: YYYY DDD HH:MM:SS"},
    "messages": {"long_name": "message lines the group raised, joined by line ends "
                              "(empty when none)"},
}

# The time is kept in whole seconds, NaT as the fill value, so that a
# NetCDF or Zarr copy reads back to the same datetime64 values.
TIME_ENCODING = {
    "units": "seconds since 1970-01-01 00:00:00",
    "calendar": "proleptic_gregorian",
    "dtype": "int64",
    "_FillValue": np.iinfo(np.int64).min,
}

_GROUP_VARIABLES = ("gate_count", "noise_level")
TIME_TEXT_LENGTH = 17
_CHANNEL_VARIABLES = ("channel_frequency", "polarization", "doppler", "azimuth", "zenith")


def check_frequency(frequency):
    """The selected frequency as a single-precision value, or None. Raises
    TypeError for anything but a real number, ValueError for a negative,
    NaN, infinite or too large one. The value is rounded to single precision
    from its shortest decimal text, as tolvek reads the value of -f."""
    if frequency is None:
        return None
    if isinstance(frequency, (bool, np.bool_)) or not isinstance(frequency, numbers.Real):
        raise TypeError(f"frequency must be a real number in MHz, not {frequency!r}")
    try:
        value = float(frequency)
    except OverflowError:
        value = math.inf
    if math.isnan(value) or value < 0:
        raise ValueError(f"frequency must be a number of MHz, 0 or more, not {frequency!r}")
    single = _core.read_real(repr(value)) if math.isfinite(value) else None
    if single is None:
        raise ValueError(f"frequency {frequency!r} is too large for a single-precision value")
    return single


def check_correct_phase(correct_phase):
    if not isinstance(correct_phase, (bool, np.bool_)):
        raise TypeError(f"correct_phase must be True or False, not {correct_phase!r}")
    return bool(correct_phase)


def recording_path(path):
    """The path as bytes for the decoder and as text for messages."""
    path = os.fspath(path)
    encoded = os.fsencode(path)
    if b"\0" in encoded:
        raise ValueError(f"embedded null byte in the file name {path!r}")
    return encoded, path if isinstance(path, str) else os.fsdecode(path)


def dataset_arrays(arrays):
    """The arrays of decoded groups (a dict from _core) as the dataset holds
    them: the messages as an array of str objects, the time text as str (its
    characters are ASCII)."""
    converted = dict(arrays)
    if "messages" in arrays:
        converted["messages"] = np.array(arrays["messages"], dtype=object)
    if "time_text" in arrays:
        # Each ASCII byte widened to its code point: the str array, made in
        # one numeric cast (astype decodes entry by entry, 10 times slower).
        text = arrays["time_text"]
        converted["time_text"] = text.view(np.uint8).astype(np.uint32).view(
            f"U{TIME_TEXT_LENGTH}").reshape(text.shape)
    return converted


def build_dataset(arrays, name, frequency, correct_phase):
    """The dataset of the decoded groups in `arrays` (a dict from _core)."""
    gates = arrays["gates"]
    arrays = dataset_arrays(arrays)
    group = ("group",)
    data_vars = {
        "amplitude": (("group", "channel", "gate"), arrays["amplitude"]),
        "phase": (("group", "channel", "gate"), arrays["phase"]),
        "gate_range": (("group", "gate"), arrays["gate_range"]),
        "channel_order": (("group", "position"), arrays["channel_order"]),
        "preface": (("group", "digit"), arrays["preface"]),
        "messages": (group, arrays["messages"]),
    }
    for key in _GROUP_VARIABLES:
        data_vars[key] = (group, arrays[key])
    data_vars["time_text"] = (group, arrays["time_text"])
    for key in _CHANNEL_VARIABLES:
        data_vars[key] = (("group", "channel"), arrays[key])
    coords = {
        "recording": (group, _lazy.repeated(name, len(arrays["block"]))),
        "block": (group, arrays["block"]),
        "time": (group, arrays["time"]),
        "frequency": (group, arrays["frequency"]),
        "channel": ("channel", np.arange(1, 17, dtype=np.int32)),
        "gate": ("gate", np.arange(1, gates + 1, dtype=np.int32)),
        "digit": ("digit", np.arange(1, 58, dtype=np.int32)),
        "position": ("position", np.arange(1, 17, dtype=np.int32)),
    }
    attrs = {
        "Conventions": "CF-1.8",
        "title": "Digisonde 256 16-channel recording",
        "source": "Digisonde 256 ionospheric sounder, 16-channel recording (16C file)",
        "source_file": name,
        "software": "digisonde16c",
        "software_version": __version__,
        "phase_corrected_for_range": "yes" if correct_phase else "no",
    }
    if frequency is not None:
        attrs["selected_frequency"] = np.float32(frequency)
    dataset = xr.Dataset(data_vars, coords, attrs)
    for key, variable_attrs in VARIABLE_ATTRIBUTES.items():
        dataset[key].attrs.update(variable_attrs)
    dataset["time"].encoding.update(TIME_ENCODING)
    return dataset


def open_dataset(path, *, frequency=None, correct_phase=False, chunks=None,
                 drop_variables=None):
    """Every group of the recording at `path`, in recording order, as an
    xarray.Dataset; with `frequency` (MHz) only the groups within 0.02 MHz
    of it, as tolvek -f selects them; with `correct_phase` the phases are
    corrected for range, as with tolvek -c.

    The recording is indexed when opened (the block number, gate count,
    frequency and time of every group, which are the coordinates); the
    other variables decode only the groups that a selection needs, when
    their values are asked for (.values, .load(), a computation). With
    `chunks` (a number of groups, or {"group": N}) they are Dask arrays
    whose tasks each decode their own groups. Variables named in
    `drop_variables` are left out. A recording that is not a regular file
    (a pipe or FIFO, which can be read only once) is decoded at once.

    The `gate` dimension is 256 when any group of the dataset has 256 gates,
    else 128 (also for a dataset of no group). Raises FileNotFoundError,
    IsADirectoryError, PermissionError or another OSError naming the file."""
    return decode_dataset(path, frequency, correct_phase, 0, chunks=chunks,
                          drop_variables=drop_variables, lazy=True)


def is_regular_file(path):
    try:
        return stat.S_ISREG(os.stat(path).st_mode)
    except (OSError, ValueError):
        # The decoder's open tells what is wrong, naming the file.
        return False


def decode_dataset(path, frequency, correct_phase, shares, name=None, *, chunks=None,
                   drop_variables=None, lazy=False):
    """open_dataset, decoded at once unless `lazy`: a whole recording is
    decoded in `shares` parts, each on a thread of its own (0: as many as
    its size and the machine's cores call for). With `name`, the recording
    is called so in the dataset and in errors, in place of `path`."""
    frequency = check_frequency(frequency)
    correct_phase = check_correct_phase(correct_phase)
    encoded, shown = recording_path(path)
    if name is None:
        name = shown
    if isinstance(drop_variables, str):
        drop_variables = [drop_variables]
    dropped = list(drop_variables or ())
    dataset = None
    if is_regular_file(encoded):
        dataset = _lazy.open_lazy(encoded, name, frequency, correct_phase, build_dataset,
                                  dataset_arrays, chunks=chunks, drop_variables=dropped,
                                  shares=shares)
        if dataset is not None and not lazy:
            dataset.load()
    if dataset is None:
        arrays = _core.decode_recording(encoded, name, frequency is not None,
                                        0.0 if frequency is None else frequency,
                                        correct_phase, shares)
        dataset = build_dataset(arrays, name, frequency, correct_phase)
        dataset = dataset.drop_vars(dropped, errors="ignore")
        if chunks is not None and lazy:
            dataset = dataset.chunk({"group": _lazy.group_chunk(chunks,
                                                                 dataset.sizes["group"])})
    return dataset


def iter_groups(path, *, frequency=None, correct_phase=False):
    """The groups of the recording one at a time, in constant memory: each a
    dataset of one group with the variables of open_dataset (its `gate`
    dimension 256 for a 256-gate group, else 128), so that
    xarray.concat(..., dim="group") joins groups of one gate count."""
    frequency = check_frequency(frequency)
    correct_phase = check_correct_phase(correct_phase)
    encoded, name = recording_path(path)
    groups = _core.GroupIterator(encoded, name, frequency is not None,
                                 0.0 if frequency is None else frequency, correct_phase)
    return _each_group(groups, name, frequency, correct_phase)


def _each_group(groups, name, frequency, correct_phase):
    try:
        for arrays in groups:
            yield build_dataset(arrays, name, frequency, correct_phase)
    finally:
        groups.close()
