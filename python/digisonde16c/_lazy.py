"""Recordings opened lazily: an index of the accepted groups (block number,
gate count, frequency and time, read from the group headers alone) gives
the dataset's dimensions and coordinates, and every other variable decodes
only the groups a selection needs when its values are asked for.

The variables of one dataset share a GroupDecoder. A decode fills the
variables of one kind (SHARED_DECODES): the amplitudes, the phases, or all
the others, which together take less memory than either; the first
variable asked for a set of groups decodes them, and the others of its
kind take their arrays from that decode. A whole recording is decoded in
parts on several threads, every variable at once, as open_dataset always
did; other selections block range by block range. With chunks, each Dask
task decodes its own block range for one kind of variable, and the
variables' tasks take their arrays from it: a computation on the
amplitudes alone fills no other array."""

import collections
import operator
import threading

import numpy as np
import xarray as xr
from xarray.backends import BackendArray
from xarray.core import indexing

from . import _core

# Variables that the index gives, and that are never decoded lazily.
INDEXED = ("block", "time", "frequency", "gate_count")
# Decodes of group sets kept for the variables that have not taken their
# column yet (a dataset's .load() takes every column of one decode).
KEPT_DECODES = 2
# The variables decoded alone; the others are decoded together.
ALONE = ("amplitude", "phase")


def repeated(name, count):
    """The `recording` coordinate: `name` for each of `count` groups, one
    str object shared by every entry (np.full would make a str per entry)."""
    names = np.empty(count, dtype=object)
    names.fill(name)
    return names


def kind_of(variable):
    return variable if variable in ALONE else "others"


class GroupDecoder:
    """Decodes groups of one recording by their place in its index, as the
    arrays of build_dataset's input. Only the variables in `wanted` are
    kept. Safe to use from several threads; pickled without its cache."""

    def __init__(self, path, name, frequency, correct_phase, index, gates, wanted, shares,
                 convert):
        self.path = path
        self.name = name
        self.frequency = frequency
        self.correct_phase = correct_phase
        self.blocks = index["block"]
        self.gates = gates
        self.wanted = frozenset(wanted)
        self.shares = shares
        self.convert = convert
        self._setup()

    def _setup(self):
        self._lock = threading.Lock()
        self._kept = collections.OrderedDict()

    def __getstate__(self):
        state = dict(self.__dict__)
        del state["_lock"], state["_kept"]
        return state

    def __setstate__(self, state):
        self.__dict__.update(state)
        self._setup()

    @property
    def count(self):
        return self.blocks.size

    def _options(self):
        selected = self.frequency is not None
        return (self.path, self.name, selected, self.frequency if selected else 0.0,
                self.correct_phase)

    def variables_of(self, kind):
        """The wanted variables of a kind (None: all of them)."""
        if kind is None:
            return self.wanted
        return frozenset(key for key in self.wanted if kind_of(key) == kind)

    def decode(self, rows, kind=None):
        """The wanted arrays of the groups at `rows` (sorted, unique): of
        one kind, or all."""
        wanted = self.variables_of(kind)
        if rows.size == self.count:
            arrays = _core.decode_recording(*self._options(), self.shares)
            if arrays["block"].size != self.count or arrays["gates"] != self.gates:
                raise RuntimeError(f"{self.name}: the recording changed after it was opened")
        else:
            # Runs of consecutive groups, each one block range.
            breaks = np.flatnonzero(np.diff(rows) != 1) + 1
            firsts = rows[np.concatenate(([0], breaks))]
            lasts = rows[np.concatenate((breaks - 1, [rows.size - 1]))]
            arrays = _core.decode_block_ranges(*self._options(), self.blocks[firsts],
                                               self.blocks[lasts], rows.size, self.gates,
                                               sorted(wanted))
        converted = self.convert(arrays)
        # A whole decode gives every variable, of whatever kind.
        return {key: converted[key] for key in (self.wanted if rows.size == self.count
                                                else wanted)}

    def decode_range(self, start, stop, kind):
        """decode() of the groups start to stop - 1: one Dask task."""
        return self.decode(np.arange(start, stop), kind)

    def column(self, variable, rows):
        """The array of `variable` for the groups at `rows` (sorted,
        unique), from a decode that the other variables of its kind share
        (every variable's, for the whole recording)."""
        whole = rows.size == self.count
        kind = None if whole else kind_of(variable)
        key = (kind, rows.size, rows[:1].tobytes(), rows[-1:].tobytes(),
               hash(rows.tobytes()))
        with self._lock:
            kept = self._kept.get(key)
            if kept is not None and variable in kept:
                values = kept.pop(variable)
                if not kept:
                    del self._kept[key]
                return values
        arrays = self.decode(rows, kind)
        values = arrays.pop(variable)
        with self._lock:
            if arrays:
                self._kept[key] = arrays
                self._kept.move_to_end(key)
                while len(self._kept) > KEPT_DECODES:
                    self._kept.popitem(last=False)
        return values


class GroupArray(BackendArray):
    """One variable of a lazily opened recording, its first dimension the
    groups: indexed by xarray with outer indexing, it decodes only the
    groups asked for."""

    def __init__(self, decoder, variable, shape, dtype):
        self.decoder = decoder
        self.variable = variable
        self.shape = shape
        self.dtype = np.dtype(dtype)

    def __getitem__(self, key):
        return indexing.explicit_indexing_adapter(
            key, self.shape, indexing.IndexingSupport.OUTER, self._outer_item)

    def _outer_item(self, key):
        group_key, rest = key[0], key[1:]
        rows = np.arange(self.shape[0], dtype=np.int64)[group_key]
        single = rows.ndim == 0
        rows = np.atleast_1d(rows)
        if rows.size == 0:
            values = np.zeros((0,) + self.shape[1:], self.dtype)
        else:
            ordered = rows.size == 1 or bool(np.all(np.diff(rows) > 0))
            wanted, back = (rows, None) if ordered else np.unique(rows, return_inverse=True)
            values = self.decoder.column(self.variable, wanted)
            if back is not None:
                values = values[back]
        # The other dimensions, last first so that a dropped one does not
        # move those before it.
        for axis in range(len(rest), 0, -1):
            part = rest[axis - 1]
            if not (isinstance(part, slice) and part == slice(None)):
                values = values[(slice(None),) * axis + (part,)]
        return values[0] if single else values


def dask_column(decoder, variable, shape, dtype, chunk, token):
    """A Dask array of `variable` in chunks of `chunk` groups, whose tasks
    take their column from one decode task per chunk, shared by every
    variable of the dataset."""
    import dask.array as da
    from dask.highlevelgraph import HighLevelGraph

    starts = list(range(0, shape[0], chunk)) or [0]
    stops = [min(start + chunk, shape[0]) for start in starts]
    kind = kind_of(variable)
    decode_name = f"digisonde16c-decode-{kind}-{token}"
    decode_layer = {(decode_name, i): (decoder.decode_range, start, stop, kind)
                    for i, (start, stop) in enumerate(zip(starts, stops))}
    name = f"digisonde16c-{variable}-{token}"
    rest = (0,) * (len(shape) - 1)
    layer = {(name, i) + rest: (operator.getitem, (decode_name, i), variable)
             for i in range(len(starts))}
    graph = HighLevelGraph({decode_name: decode_layer, name: layer},
                           {decode_name: set(), name: {decode_name}})
    chunks = (tuple(stop - start for start, stop in zip(starts, stops)),) + tuple(
        (size,) for size in shape[1:])
    return da.Array(graph, name, chunks, meta=np.empty((0,) * len(shape), dtype))


def group_chunk(chunks, count):
    """The groups per Dask chunk that `chunks` asks for: an int, or a dict
    whose "group" entry is one (-1 or None: all groups in one chunk)."""
    if isinstance(chunks, dict):
        chunks = chunks.get("group", -1)
    if chunks is None or chunks == -1:
        return max(count, 1)
    if isinstance(chunks, (int, np.integer)) and not isinstance(chunks, bool) and chunks > 0:
        return int(chunks)
    raise ValueError(f"chunks must be a number of groups or {{'group': N}}, not {chunks!r}")


def open_lazy(path, name, frequency, correct_phase, build_dataset, convert, *, chunks=None,
              drop_variables=(), shares=0):
    """The dataset of the recording at `path` (a regular file, as bytes),
    its variables decoded when asked for (with `chunks`, as Dask arrays);
    None when the recording holds no accepted group (the caller decodes it
    at once). build_dataset and convert are _dataset's."""
    selected = frequency is not None
    index = _core.index_recording(path, name, selected, frequency if selected else 0.0)
    count = index["block"].size
    if count == 0:
        return None
    gates = 256 if index["gate_count"].max() > 128 else 128
    dropped = set(drop_variables)
    # The variables, their attributes and encodings, from the first group.
    first = _core.decode_block_ranges(path, name, selected, frequency if selected else 0.0,
                                      correct_phase, index["block"][:1], index["block"][:1],
                                      1, gates)
    template = build_dataset(first, name, frequency, correct_phase)
    lazy = [key for key, variable in template.variables.items()
            if variable.dims[:1] == ("group",) and key not in INDEXED and key != "recording"
            and key not in dropped]
    decoder = GroupDecoder(path, name, frequency, correct_phase, index, gates, lazy, shares,
                           convert)
    token = None
    if chunks is not None:
        import dask.base

        chunk = group_chunk(chunks, count)
        token = dask.base.tokenize(path, name, frequency, correct_phase, chunk,
                                   index["block"], sorted(lazy))

    def data_of(key, variable):
        shape = (count,) + variable.shape[1:]
        if key in INDEXED:
            return index[key]
        if key == "recording":
            return repeated(name, count)
        if token is not None:
            return dask_column(decoder, key, shape, variable.dtype, chunk, token)
        return indexing.LazilyIndexedArray(GroupArray(decoder, key, shape, variable.dtype))

    def rebuilt(key, variable):
        if variable.dims[:1] != ("group",):
            return variable
        return xr.Variable(variable.dims, data_of(key, variable), variable.attrs,
                           variable.encoding)

    data_vars = {key: rebuilt(key, template[key].variable)
                 for key in template.data_vars if key not in dropped}
    coords = {key: rebuilt(key, template[key].variable)
              for key in template.coords if key not in dropped}
    return xr.Dataset(data_vars, coords, template.attrs)
