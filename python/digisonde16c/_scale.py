"""Ionograms of the sweeps of a recording, and their scaling into the URSI
characteristics foF2, fxF2, foE, fmin, h'F and h'E, each with an
uncertainty and a confidence.

Every step works on whole arrays (sweep, step, gate); the only loops run
over the 16 channels and over the steps of a sweep, each pass covering
every sweep at once.

The method is a leading-edge tracer with continuity across frequency and a
cusp search, checked against the relation of the ordinary (O) and
extraordinary (X) traces, after the expert-rule tracing of Reinisch and
Huang (1983, Radio Sci. 18, 477); image matching (Pezzopane and Scotto
2007, Radio Sci., doi:10.1029/2006RS003581) and morphology (Chen et al.
2018, Radio Sci., doi:10.1029/2018RS006574) are other routes to the same
characteristics."""

import numpy as np
import xarray as xr

from ._dataset import TIME_ENCODING, __version__

# An echo cell stands SNR_THRESHOLD dB above its step's noise floor with a
# neighbouring gate that does too, or STRONG_ECHO dB above it alone. The
# floor is the median over the gates of the strongest amplitude of either
# polarization; of noise alone, a polarization's strongest amplitude passes
# the first in about 4 cells of 10,000, two neighbours together almost
# never, and the second in fewer than one in a million.
SNR_THRESHOLD = 6.0
STRONG_ECHO = 10.0
# A point of a trace this far (km) below or above both its neighbours is
# no part of it.
SPIKE = 40.0
# Polarization contrast (dB) beyond which an echo is labelled O or X.
LABEL_CONTRAST = 3.0
# A step whose echo cells cover more than this share of its gates is taken
# for interference and left out of the traces.
CROWDED = 0.4
# O echoes below this virtual height (km) at the low end of a sweep are the
# E layer's; the F trace lies above it.
E_CEILING = 160.0
# Steps without an echo that a trace may jump.
MAX_GAP = 2
# A point just above E_CEILING followed by one this much higher (km) is the
# E trace rising to its critical frequency, not yet the F trace.
E_ASYMPTOTE_RISE = 20.0
# The half gyrofrequency, fxF2 - foF2, that the traces may show (MHz).
HALF_GYRO = (0.2, 1.0)
# The echo search works through the sweeps a few at a time, about this
# many (step, gate) cells, so that its temporaries stay in the processor's
# cache and, at 128 kB for a float32 array, are small enough for the C
# allocator to reuse rather than map afresh (each new page costing a
# fault) for every chunk.
CHUNK_CELLS = 1 << 15

LABELS = {"flag_values": np.array([0, 1, 2, 3], dtype=np.int8),
          "flag_meanings": "no_echo ordinary extraordinary unsure"}

IONOGRAM_ATTRIBUTES = {
    "sweep": {"long_name": "sweep number in the recording, from 0", "units": "1"},
    "step": {"long_name": "step of the sweep (its n-th sounding frequency), from 0",
             "units": "1"},
    "time": {"long_name": "time of the sweep's first group", "standard_name": "time"},
    "frequency": {"long_name": "sounding frequency of the step (NaN beyond the sweep's "
                               "end)", "standard_name": "radiation_frequency", "units": "MHz"},
    "gate_range": {"long_name": "virtual range of the gate", "units": "km"},
    "block": {"long_name": "data block of the step's group, from 1 (0 beyond the sweep's "
                           "end)", "units": "1"},
    "noise_floor": {"long_name": "noise floor of the step: median over the gates of the "
                                 "strongest amplitude of either polarization", "units": "dB"},
    "amplitude_ordinary": {"long_name": "strongest amplitude over the channels of the "
                                        "ordinary polarization", "units": "dB"},
    "amplitude_extraordinary": {"long_name": "strongest amplitude over the channels of "
                                             "the extraordinary polarization", "units": "dB"},
    "polarization_contrast": {"long_name": "ordinary minus extraordinary strongest "
                                           "amplitude", "units": "dB"},
    "doppler": {"long_name": "Doppler shift of the line of the strongest channel at an "
                            "echo (NaN where none)", "units": "Hz"},
    "echo_label": {"long_name": "polarization of the echo: ordinary or extraordinary where "
                                f"the contrast exceeds {LABEL_CONTRAST:g} dB, else unsure; "
                                f"no_echo below {SNR_THRESHOLD:g} dB above the noise floor "
                                f"(with a neighbour as strong, or {STRONG_ECHO:g} dB alone)",
                   "units": "1", **LABELS},
    "ordinary_vote": {"long_name": "polarization (+90 or -90) that the sweep's own F traces "
                                   "show to be ordinary (0: no evidence)", "units": "degree"},
    "ordinary_vote_weight": {"long_name": "weight of the sweep's vote, from the separation "
                                          "of the traces' top frequencies (0 to 1)",
                             "units": "1"},
    "top_separation": {"long_name": "top frequency of the extraordinary F trace minus that "
                                    "of the ordinary one, as decided", "units": "MHz"},
}

CHARACTERISTICS = {
    # name: (URSI name, units, long name)
    "foF2": ("foF2", "MHz", "ordinary critical frequency of the F layer"),
    "fxF2": ("fxF2", "MHz", "extraordinary critical frequency of the F layer"),
    "foE": ("foE", "MHz", "ordinary critical frequency of the E layer"),
    "fmin": ("fmin", "MHz", "lowest frequency with an echo"),
    "hpF": ("h'F", "km", "h'F, minimum virtual height of the ordinary F trace"),
    "hpE": ("h'E", "km", "h'E, minimum virtual height of the ordinary E trace"),
}


def check_ordinary(ordinary):
    if ordinary is None:
        return None
    if isinstance(ordinary, (bool, np.bool_)) or ordinary not in (90, -90):
        raise ValueError(f"ordinary must be +90, -90 or None, not {ordinary!r}")
    return int(ordinary)


def strongest_of_varying_channels(amplitude, polarization):
    """The strongest amplitude over the channels of polarization +90 and of
    -90, (group, gate) each, NaN where no channel holds a sample; the
    channels' polarizations (group, channel) may change from group to
    group."""
    groups, channels, gates = amplitude.shape
    best = {}
    for sign in (90, -90):
        value = np.full((groups, gates), -np.inf, np.float32)
        for channel in range(channels):
            rows = polarization[:, channel] == sign
            if rows.any():
                np.fmax(value, amplitude[:, channel, :], out=value, where=rows[:, None])
        value[value == -np.inf] = np.nan
        best[sign] = value
    return best


def strongest_of_fixed_channels(amplitude, channels):
    """strongest_of_varying_channels where every group has the same
    channels of each polarization, `channels` (fixed_channels)."""
    groups, _, gates = amplitude.shape
    best = {}
    for sign, chosen in channels.items():
        if chosen is None:
            best[sign] = np.full((groups, gates), np.nan, np.float32)
            continue
        with np.errstate(invalid="ignore"):
            best[sign] = np.fmax.reduce(amplitude[:, chosen, :], axis=1)
    return best


def fixed_channels(polarization):
    """Where every group has the same polarization (group, channel), the
    channels of +90 and of -90: a slice where they are evenly spaced (a
    view, no copy), else their indices; None for a polarization without
    channels. None where the groups differ."""
    if polarization.shape[0] and not np.all(polarization == polarization[:1]):
        return None
    row = polarization[0] if polarization.shape[0] else np.zeros(polarization.shape[1])
    channels = {}
    for sign in (90, -90):
        chosen = np.flatnonzero(row == sign)
        spacing = np.diff(chosen)
        if chosen.size == 0:
            channels[sign] = None
        elif np.all(spacing == (spacing[0] if spacing.size else 1)):
            channels[sign] = slice(int(chosen[0]), int(chosen[-1]) + 1,
                                   int(spacing[0]) if spacing.size else 1)
        else:
            channels[sign] = chosen
    return channels


def strongest_doppler(amplitude, doppler, groups, gates, strongest):
    """The Doppler shift of the channel whose amplitude is `strongest` at
    the cells (groups[i], gates[i])."""
    picked = amplitude[groups, :, gates]
    channel = np.argmax(picked == strongest[:, None], axis=1)
    return doppler[groups, channel]


def echo_candidates(amplitude, noise):
    """The echo test of one polarization's amplitude (sweep, step, gate)
    before its contrast to the other is weighed: (snr, above, candidate),
    the dB above the step's noise floor, the gates SNR_THRESHOLD above it,
    and those with a neighbour above it too or STRONG_ECHO above it alone."""
    snr = amplitude - noise[..., None]
    with np.errstate(invalid="ignore"):
        above = snr >= SNR_THRESHOLD
        candidate = snr >= STRONG_ECHO
    candidate[..., 1:] |= above[..., :-1]
    candidate[..., :-1] |= above[..., 1:]
    candidate &= above
    return snr, above, candidate


def echo_cells(candidate, contrast_ok):
    """Echo cells (sweep, step, gate): the candidates (echo_candidates) of
    the polarization that contrast_ok allows. Steps crowded with cells
    (interference) hold none."""
    cells = candidate & contrast_ok
    crowded = np.count_nonzero(cells, axis=-1) > CROWDED * cells.shape[-1]
    cells[crowded] = False
    return cells


def noise_floor(strongest):
    """Per (sweep, step), the median over the gates that hold a sample of
    `strongest`, the strongest amplitude of either polarization."""
    held = np.isfinite(strongest)
    count = held.sum(-1)
    gates = strongest.shape[-1]
    full = count == gates
    floor = np.full(strongest.shape[:-1], np.nan, np.float32)
    middle = (gates - 1) // 2
    if gates and full.all():
        floor[...] = np.partition(strongest, middle, axis=-1)[..., middle]
    elif gates and full.any():
        floor[full] = np.partition(strongest[full], middle, axis=-1)[..., middle]
    partial = ~full & (count > 0)
    if partial.any():
        ordered = np.sort(np.where(held[partial], strongest[partial], np.inf), axis=-1)
        floor[partial] = np.take_along_axis(ordered, ((count[partial] - 1) // 2)[:, None],
                                            -1)[:, 0]
    return floor


def despiked(valid, height):
    """valid without the points that lie SPIKE km below or above both the
    valid points beside them."""
    steps = valid.shape[1]
    index = np.broadcast_to(np.arange(steps), valid.shape)
    previous = np.maximum.accumulate(np.where(valid, index, -1), axis=1)
    previous = np.concatenate([np.full((valid.shape[0], 1), -1), previous[:, :-1]], axis=1)
    following = next_valid(valid)
    inside = (previous >= 0) & (following < steps)
    before = np.take_along_axis(height, np.clip(previous, 0, steps - 1), 1)
    after = np.take_along_axis(height, np.clip(following, 0, steps - 1), 1)
    with np.errstate(invalid="ignore"):
        spike = inside & (((height < before - SPIKE) & (height < after - SPIKE)) |
                          ((height > before + SPIKE) & (height > after + SPIKE)))
    return valid & ~spike


def lowest_echo(cells, above, runs, amplitude, snr, ranges, dominance, refine=True):
    """Per (sweep, step): the lowest echo of the polarization, at the
    strongest gate of the run of gates SNR_THRESHOLD above the noise
    (`above`, numbered by `runs`: run_numbers) around its lowest echo cell
    (the other polarization's echo at nearly the same range may dominate
    part of the run). Where the step has no echo, or where the polarization
    does not dominate (`dominance`, its contrast to the other, summed over
    the strongest gate and two on each side, above 0: a run that is the
    other's echo leaking into its channels), there is none.

    Without `refine`, the virtual height of that gate (NaN where none);
    with it, what refined_height needs, gathered here so that its
    arithmetic runs once over whole planes: whether there is an echo, the
    amplitude and range of the gate and its neighbours (a trailing axis of
    3), and the SNR at the gate."""
    has = cells.any(-1)
    peak = run_peak(cells, above, runs, amplitude)
    has &= dominates(dominance, peak)
    if not refine:
        peak_range = np.take_along_axis(ranges, peak, -1)[..., 0].astype(np.float64)
        return np.where(has, peak_range, np.nan)
    around = np.clip(peak + np.arange(-1, 2), 0, amplitude.shape[-1] - 1)
    return (has, np.take_along_axis(amplitude, around, -1),
            np.take_along_axis(ranges, around, -1), np.take_along_axis(snr, peak, -1)[..., 0])


def run_numbers(above):
    """Per gate, the count of gates at or below it that are not `above`: the
    gates of a run of `above` gates share a number that no other `above`
    gate of the step has."""
    return np.cumsum(~above, axis=-1, dtype=np.int16)


def run_peak(cells, above, runs, amplitude):
    """Per (sweep, step), the gate (a trailing axis of 1) of the strongest
    amplitude in the run of `above` gates around the first cell; any gate
    where there is no cell."""
    first = cells.argmax(-1)[..., None]
    in_run = (runs == np.take_along_axis(runs, first, -1)) & above
    return np.where(in_run, amplitude, -np.inf).argmax(-1)[..., None]


def dominates(dominance, peak):
    """Per (sweep, step), whether `dominance` summed over the gate `peak`
    and two on each side is above 0: one gate alone may favour the other
    polarization's diffuse echo by chance."""
    index = np.arange(dominance.shape[-1])
    near = (index >= peak - 2) & (index <= peak + 2)
    with np.errstate(invalid="ignore"):
        near &= np.isfinite(dominance)
        return np.where(near, dominance, 0).sum(-1) > 0


def refined_height(has, amplitudes, ranges, peak_snr):
    """The height of an echo of lowest_echo (refined): the peak gate's range
    moved by the vertex of the parabola through the dB of the gate and its
    neighbours (exact for an echo of Gaussian shape in range); the SNR at
    the peak; and the gate spacing there; NaN where `has` does not hold."""
    centre = amplitudes[..., 1].astype(np.float64)
    below, above = amplitudes[..., 0], amplitudes[..., 2]
    curvature = below - 2.0 * centre + above
    with np.errstate(invalid="ignore", divide="ignore"):
        offset = np.where(curvature < 0, 0.5 * (below - above) / curvature, 0.0)
    offset = np.clip(np.nan_to_num(offset), -0.5, 0.5)
    peak_range = ranges[..., 1].astype(np.float64)
    low, high = ranges[..., 0], ranges[..., 2]
    spacing = np.where(np.isfinite(high - low) & (high > low), (high - low) / 2.0, 0.0)
    spacing = np.where(spacing > 0, spacing, np.nan_to_num(peak_range - low))
    height = np.where(has, peak_range + offset * spacing, np.nan)
    peak_snr = np.where(has, peak_snr, np.nan)
    return height, peak_snr, np.where(has, spacing, np.nan)


def block_top(valid):
    """Per sweep, the last step of valid (sweep, step) that has another
    valid step within MAX_GAP steps below it (a lone echo is no trace);
    -1 where there is none."""
    supported = np.zeros_like(valid)
    for shift in range(1, MAX_GAP + 2):
        supported[:, shift:] |= valid[:, :-shift]
    supported &= valid
    steps = valid.shape[1]
    top = steps - 1 - supported[:, ::-1].argmax(1)
    return np.where(supported.any(1), top, -1)


def at_step(values, steps):
    """values[sweep, steps[sweep]], NaN where steps is out of range."""
    inside = (steps >= 0) & (steps < values.shape[1])
    picked = np.take_along_axis(values, np.clip(steps, 0, values.shape[1] - 1)[:, None],
                                1)[:, 0].astype(np.float64)
    return np.where(inside, picked, np.nan)


def next_valid(valid):
    """Per (sweep, step), the next valid step after it; the step count
    where there is none."""
    steps = valid.shape[1]
    index = np.broadcast_to(np.arange(steps), valid.shape)
    following = np.minimum.accumulate(np.where(valid, index, steps)[:, ::-1], axis=1)[:, ::-1]
    return np.concatenate([following[:, 1:], np.full((valid.shape[0], 1), steps)], axis=1)


def at_steps(values, steps):
    """values[sweep, steps[sweep, k]], False beyond the last step."""
    inside = steps < values.shape[1]
    return inside & np.take_along_axis(values, np.minimum(steps, values.shape[1] - 1), 1)


def sweep_layout(frequency):
    """Sweep and step of every group: a new sweep starts where the frequency
    falls back."""
    count = frequency.size
    new = np.ones(count, bool)
    new[1:] = frequency[1:] < frequency[:-1]
    sweep = np.cumsum(new) - 1
    starts = np.flatnonzero(new)
    step = np.arange(count) - starts[sweep] if count else np.zeros(0, np.int64)
    return sweep, step, starts


def polarization_heights(amplitude, other, noise, ranges, tops, heights):
    """Per (sweep, step): with `heights`, the lowest echo of one
    polarization where it dominates the other (lowest_echo, refined: four
    arrays for refined_height); with `tops`, the unrefined height of its
    lowest echo where it dominates by LABEL_CONTRAST, which traces its F
    layer for the ordinary decision; None for those not asked for. Neither
    depends on which polarization is ordinary."""
    snr, above, candidate = echo_candidates(amplitude, noise)
    runs = run_numbers(above)
    with np.errstate(invalid="ignore"):
        dominance = amplitude - other
    found = (None, None, None, None)
    if heights:
        with np.errstate(invalid="ignore"):
            cells = echo_cells(candidate, dominance > 0)
        found = lowest_echo(cells, above, runs, amplitude, snr, ranges, dominance)
    top = None
    if tops:
        with np.errstate(invalid="ignore"):
            cells = echo_cells(candidate, dominance >= LABEL_CONTRAST)
        top = lowest_echo(cells, above, runs, amplitude, snr, ranges, dominance, False)
    return (*found, top)


def sweep_chunks(sweeps, cells):
    """(first, end) of runs of sweeps of about CHUNK_CELLS cells in all, for
    sweeps of `cells` (step, gate) cells; one empty run for no sweep."""
    size = max(1, CHUNK_CELLS // max(cells, 1))
    return [(first, min(first + size, sweeps)) for first in range(0, max(sweeps, 1), size)]


def pair_heights(first, second, noise, ranges, tops=True, heights=True):
    """polarization_heights of the polarizations `first` and `second`
    (sweep, step, gate), each against the other: {"first"/"second": (has,
    amplitudes, ranges, snr, top)}; finished_heights makes them heights."""
    return {"first": polarization_heights(first, second, noise, ranges, tops, heights),
            "second": polarization_heights(second, first, noise, ranges, tops, heights)}


def joined(parts):
    """The chunks' results (dicts of arrays, or of tuples of arrays or None)
    joined along sweep."""
    def join(values):
        if isinstance(values[0], tuple):
            return tuple(join(items) for items in zip(*values))
        return None if values[0] is None else np.concatenate(values)
    return {key: join([part[key] for part in parts]) for key in parts[0]}


def finished_heights(found):
    """The (height, snr, spacing, top) planes of the joined results of
    polarization_heights (with `heights`)."""
    return (*refined_height(*found[:4]), found[4])


def echo_planes(first, second, noise, ranges):
    """The echo heights (height, snr, spacing) of the polarizations `first`
    and `second` of ionograms (sweep, step, gate), each against the other,
    as (sweep, step) planes, {"first"/"second": (height, snr, spacing,
    None)}, found a few sweeps at a time (CHUNK_CELLS)."""
    sweeps, steps, gates = first.shape
    planes = joined([pair_heights(first[begin:end], second[begin:end], noise[begin:end],
                                  ranges[begin:end], False)
                     for begin, end in sweep_chunks(sweeps, steps * gates)])
    return {key: finished_heights(found) for key, found in planes.items()}


def step_sizes(frequency):
    """Per sweep, the median rise of the frequency from step to step."""
    rises = np.diff(frequency, axis=1)
    with np.errstate(invalid="ignore"):
        rises = np.sort(np.where(rises > 0, rises, np.inf), axis=1)
    count = np.isfinite(rises).sum(1)
    middle = np.take_along_axis(rises, np.maximum(count - 1, 0)[:, None] // 2, 1)[:, 0] \
        if rises.shape[1] else np.full(frequency.shape[0], np.inf)
    return np.where(count > 0, middle, np.nan)


def decide_ordinary(top_heights, frequency):
    """The vote of each sweep for the ordinary polarization: the
    extraordinary F trace ends about half the gyrofrequency above the
    ordinary one. `top_heights` holds, by polarization, the heights that
    trace its F layer (polarization_heights). Returns (vote, weight): vote +90,
    -90 or 0 (both traces end on the same step, or one is missing), weight
    0 to 1 from the separation in steps (full at 2 steps; a separation
    beyond 2.5 MHz is no gyrofrequency and weighs little), and the top
    frequency of each polarization's F trace by polarization."""
    with np.errstate(invalid="ignore"):
        tops = {sign: at_step(frequency, block_top(height >= E_CEILING))
                for sign, height in top_heights.items()}
    separation = tops[-90] - tops[90]
    step = step_sizes(frequency)
    with np.errstate(invalid="ignore"):
        vote = np.where(separation > 0, 90, np.where(separation < 0, -90, 0))
        weight = np.clip(np.abs(separation) / (2 * step), 0, 1)
        weight = np.where(np.abs(separation) > 2.5, 0.2, weight)
    vote = np.where(np.isfinite(separation) & np.isfinite(weight), vote, 0)
    weight = np.where(vote != 0, weight, 0.0)
    return vote.astype(np.int16), weight.astype(np.float32), tops


def ordinary_decision(vote, weight, ordinary):
    """(polarization, confidence, determination) of the ordinary wave:
    `ordinary` when given, else the sign of the weighed votes, with the
    confidence the margin of the votes, less with few of them (0 when no
    sweep gave evidence and +90 is assumed)."""
    if ordinary is not None:
        return ordinary, 100, "given"
    score = float(np.sum(vote * weight) / 90.0)
    total = float(weight.sum())
    decided = 90 if score >= 0 else -90
    confidence = 0 if total == 0 else \
        int(round(100 * abs(score) / total * (1 - 0.2 ** total)))
    return decided, confidence, "from the data"


def arrange(values, sweep_of, step_of, shape, fill=np.nan, dtype=np.float32):
    """The groups' values (group, ...) laid out along (sweep, step, ...);
    a sweep shorter than `shape` is padded with `fill`."""
    shape = tuple(shape) + values.shape[1:]
    if shape[0] * shape[1] == values.shape[0]:
        # Sweeps of one length: a view of the groups' array.
        return values.astype(dtype, copy=False).reshape(shape)
    out = np.full(shape, fill, dtype=dtype)
    out[sweep_of, step_of] = values
    return out


def ionogram_planes(dataset, ordinary, heights, cubes):
    """What ionograms() and scale() share, as plain arrays: the layout of
    the sweeps (sweep_of, step_of, starts, shape, times), the frequency
    (sweep, step; float64), the noise floor (sweep, step), with `heights`
    the echo heights of each polarization by polarization (echoes:
    finished_heights), and the decision on the ordinary polarization with
    each sweep's vote; with `cubes`, along (sweep, step, gate), the
    strongest amplitude of each polarization (best) and of either, and the
    gate ranges."""
    frequency = dataset["frequency"].values.astype(np.float64)
    sweep_of, step_of, starts = sweep_layout(frequency)
    sweeps = starts.size
    # A dataset of no group gives no sweep, and one step to keep the arrays
    # of every sweep well formed.
    steps = int(step_of.max()) + 1 if sweeps else 1
    planes = chunked_planes(dataset, (sweep_of, step_of, starts, steps), heights, cubes)
    planes["frequency"] = arrange(frequency, sweep_of, step_of, (sweeps, steps),
                                  dtype=np.float64)
    if heights:
        planes["echoes"] = {90: finished_heights(planes.pop("first")),
                            -90: finished_heights(planes.pop("second"))}
    if cubes:
        planes["best"] = {90: planes.pop("plus"), -90: planes.pop("minus")}
    planes["vote"], planes["weight"], planes["tops"] = decide_ordinary(
        {90: planes.pop("top_plus"), -90: planes.pop("top_minus")}, planes["frequency"])
    planes["ordinary"], planes["confidence"], planes["determination"] = \
        ordinary_decision(planes["vote"], planes["weight"], ordinary)
    planes.update({"sweep_of": sweep_of, "step_of": step_of, "starts": starts,
                   "shape": (sweeps, steps),
                   "times": dataset["time"].values[starts] if sweeps else
                   np.zeros(0, "datetime64[ns]"),
                   "source_file": dataset.attrs.get("source_file", "")})
    return planes


def chunked_planes(dataset, layout, heights, cubes):
    """chunk_planes of the groups of a few sweeps at a time (CHUNK_CELLS),
    joined: without `cubes` no array of the size of a whole recording's
    ionograms is made. `layout` is the sweep and step of each group, the
    first group of each sweep and the steps of the longest."""
    sweep_of, step_of, starts, steps = layout
    amplitude = dataset["amplitude"].values
    polarization = dataset["polarization"].values
    gate_range = dataset["gate_range"].values
    fixed = fixed_channels(polarization)
    bounds = np.append(starts, sweep_of.size)
    parts = []
    for first, end in sweep_chunks(starts.size, steps * amplitude.shape[-1]):
        groups = slice(bounds[first], bounds[end])
        layout = (sweep_of[groups] - first, step_of[groups], (end - first, steps))
        parts.append(chunk_planes(amplitude[groups], polarization[groups],
                                  gate_range[groups], layout, fixed, heights, cubes))
    return joined(parts)


def chunk_planes(amplitude, polarization, gate_range, layout, fixed, heights, cubes):
    """ionogram_planes of the groups of a few whole sweeps: `layout` is
    their (sweep, step) and the shape of their planes."""
    sweep_of, step_of, shape = layout
    if fixed is not None:
        best = strongest_of_fixed_channels(amplitude, fixed)
    else:
        best = strongest_of_varying_channels(amplitude, polarization)
    plus, minus = (arrange(best[sign], sweep_of, step_of, shape) for sign in (90, -90))
    strongest = np.fmax(plus, minus)
    noise = noise_floor(strongest)
    ranges = arrange(gate_range, sweep_of, step_of, shape)
    echoes = pair_heights(plus, minus, noise, ranges, True, heights)
    planes = {"noise": noise, "top_plus": echoes["first"][4],
              "top_minus": echoes["second"][4]}
    if heights:
        planes.update({"first": echoes["first"], "second": echoes["second"]})
    if cubes:
        planes.update({"plus": plus, "minus": minus, "strongest": strongest,
                       "ranges": ranges})
    return planes


def ionograms(dataset, *, ordinary=None):
    """The ionograms of the sweeps of a recording's dataset (open_dataset):
    a Dataset along (sweep, step, gate). A new sweep starts where the
    frequency falls back; a shorter sweep is padded with NaN.

    Per step and gate: the strongest amplitude over the channels of each
    polarization (amplitude_ordinary, amplitude_extraordinary, dB), their
    contrast (dB), the Doppler shift of the strongest channel (Hz) and a
    label per echo above the noise: ordinary, extraordinary or unsure.

    `ordinary` is the polarization of the ordinary wave, +90 or -90; it
    depends on the hemisphere and the antenna wiring. With None it is
    decided from the data: each sweep votes for the polarization whose F
    trace ends lower (the extraordinary trace ends near fxF2 = fB/2 +
    sqrt(foF2^2 + fB^2/4), about half the gyrofrequency fB higher), weighed
    by the separation. The attributes ordinary_polarization,
    ordinary_determination ("given" or "from the data") and
    ordinary_confidence (0 to 100: the margin of the weighed votes, less
    with few of them; 0 when no sweep gave evidence and +90 was assumed)
    record the decision; the variables ordinary_vote and
    ordinary_vote_weight each sweep's evidence."""
    planes = ionogram_planes(dataset, check_ordinary(ordinary), False, True)
    decided = planes["ordinary"]
    amp_o, amp_x = planes["best"][decided], planes["best"][-decided]
    contrast = amp_o - amp_x
    label = echo_labels(planes["strongest"], planes["noise"], contrast)
    doppler = echo_doppler(dataset, planes["starts"], planes["strongest"], label)
    tops = planes["tops"]
    cube = ("sweep", "step", "gate")
    plane = ("sweep", "step")
    result = xr.Dataset(
        {"amplitude_ordinary": (cube, amp_o),
         "amplitude_extraordinary": (cube, amp_x),
         "polarization_contrast": (cube, contrast),
         "doppler": (cube, doppler),
         "echo_label": (cube, label),
         "noise_floor": (plane, planes["noise"]),
         "block": (plane, arrange(dataset["block"].values, planes["sweep_of"],
                                  planes["step_of"], planes["shape"], 0, np.int64)),
         "ordinary_vote": ("sweep", planes["vote"]),
         "ordinary_vote_weight": ("sweep", planes["weight"]),
         "top_separation": ("sweep", (tops[-decided] - tops[decided]).astype(np.float32))},
        {**ionogram_coordinates(planes, "gate", ("gate", dataset["gate"].values)),
         "gate_range": (cube, planes["ranges"])},
        {"Conventions": "CF-1.8",
         "title": "Ionograms of the sweeps of a Digisonde 256 16-channel recording",
         "source_file": planes["source_file"],
         "software": "digisonde16c",
         "software_version": __version__,
         "ordinary_polarization": np.int16(decided),
         "ordinary_determination": planes["determination"],
         "ordinary_confidence": np.int16(planes["confidence"])})
    for key, attributes in IONOGRAM_ATTRIBUTES.items():
        result[key].attrs.update(attributes)
    result["time"].encoding.update(TIME_ENCODING)
    return result


def ionogram_coordinates(planes, *extra):
    """The coordinates sweep, step, time and frequency of the ionograms of
    ionogram_planes, with their attributes; `extra`, a name and a
    coordinate, goes after step."""
    sweeps, steps = planes["shape"]
    coordinates = {"sweep": np.arange(sweeps, dtype=np.int32),
                   "step": np.arange(steps, dtype=np.int32)}
    if extra:
        coordinates[extra[0]] = extra[1]
    coordinates["time"] = planes["times"]
    coordinates["frequency"] = planes["frequency"].astype(np.float32)
    dimensions = {"sweep": "sweep", "step": "step", "time": "sweep",
                  "frequency": ("sweep", "step")}
    return {name: xr.Variable(dimensions[name], value, dict(IONOGRAM_ATTRIBUTES[name]))
            if name in dimensions else value for name, value in coordinates.items()}


def echo_labels(strongest, noise, contrast):
    """Per (sweep, step, gate): 1 (ordinary) or 2 (extraordinary) where the
    contrast passes LABEL_CONTRAST, 3 (unsure) at other echoes, 0 where
    there is no echo."""
    echo = echo_candidates(strongest, noise)[2]
    with np.errstate(invalid="ignore"):
        label = np.where(contrast >= LABEL_CONTRAST, 1,
                         np.where(contrast <= -LABEL_CONTRAST, 2, 3))
    return np.where(echo, label, 0).astype(np.int8)


def echo_doppler(dataset, starts, strongest, label):
    """The Doppler shift of the strongest channel at the echoes alone, NaN
    elsewhere."""
    doppler = np.full(label.shape, np.nan, np.float32)
    at_echo = np.nonzero(label)
    if at_echo[0].size:
        groups = starts[at_echo[0]] + at_echo[1]
        doppler[at_echo] = strongest_doppler(dataset["amplitude"].values,
                                             dataset["doppler"].values, groups, at_echo[2],
                                             strongest[at_echo])
    return doppler


def masked_mean(values, mask):
    """Per sweep, the mean of values (sweep, step) where mask holds; NaN
    where it holds nowhere."""
    count = mask.sum(1)
    total = np.where(mask, values, 0.0).sum(1)
    with np.errstate(invalid="ignore", divide="ignore"):
        return np.where(count > 0, total / count, np.nan)


def snr_share(snr):
    """The confidence an echo's SNR lends: 0.3 at the detection threshold,
    1 from 20 dB above it; 0 where there is no echo."""
    return np.where(np.isfinite(snr),
                    0.3 + 0.7 * np.clip((snr - SNR_THRESHOLD) / 20.0, 0, 1), 0.0)


def scale(ionograms_or_dataset, *, ordinary=None):
    """The characteristics of every sweep, a Dataset along `sweep`: foF2,
    fxF2, foE, fmin (MHz), hpF and hpE (h'F and h'E, km), each with
    NAME_uncertainty and NAME_confidence (0 to 100), and the traces
    (virtual height per step). Takes an ionograms() dataset, or a
    recording's dataset, whose ionograms it makes with `ordinary`.

    Method, per sweep:
    - Per step, the ordinary trace's virtual height is the strongest gate of
      the run of echo gates around the lowest echo cell where the ordinary
      polarization dominates (a cell: 6 dB above the step's noise floor
      beside a second such gate, or 10 dB alone), refined by a parabola;
      likewise the extraordinary trace. Steps crowded with echoes
      (interference) are left out. The lowest run keeps second hops and
      spread echoes above the trace out of it.
    - Points 40 km below or above both neighbours are left out. The F
      trace starts where three ordinary heights of 160 km or more follow
      one another and runs up over such heights across gaps of up to 2
      steps; the E trace is the heights below 160 km before it (2 steps or
      more), with the point where it rises to its asymptote. foE lies
      between the E trace's last step and the F trace's first, foF2
      between the F trace's last step and the next; fxF2 likewise from the
      extraordinary F trace; h'E and h'F are the lowest heights of the
      traces, fmin the lowest step with an echo that another within 3
      steps confirms.
    - Uncertainty: half the frequency interval a critical frequency lies
      in; half the gate spacing for a height; the step below fmin.
    - Confidence: the product of the trace's SNR (0.3 at the threshold to 1
      from 20 dB above), its length, the steepness of the cusp at foF2,
      the O/X check fxF2 - foF2 in 0.2-1.0 MHz and within a step and a half
      of the recording's median, and a clean end of the trace.

    Limits: one F trace (no F1 cusp), no sporadic E; a critical frequency
    beyond the sweep's last step, or a trace below 160 km taken for E,
    gives NaN or a wrong value; heights are virtual, not true heights. A
    layer without echoes gives NaN and confidence 0, never a number."""
    inputs = scaling_inputs(ionograms_or_dataset, ordinary)
    heights = echo_heights(inputs)
    trace = traces(heights, inputs["frequency"])
    values = {**f2_characteristics(trace, heights, inputs["frequency"]),
              **hpf_characteristic(trace, heights),
              **e_characteristics(trace, heights, inputs["frequency"]),
              **fmin_characteristic(trace, heights, inputs["frequency"])}
    return scaled_dataset(values, trace, inputs)


def scaling_inputs(data, ordinary):
    """What scale() needs, from an ionograms() dataset or, by way of
    ionogram_planes, from a recording's dataset (no Dataset of ionograms,
    nor their labels and Doppler shifts, is made): the echo heights of the
    ordinary and the extraordinary polarization (finished_heights), the
    frequency (float64), the coordinates, the votes and the ordinary
    decision."""
    if "amplitude_ordinary" in data:
        amp_o = data["amplitude_ordinary"].values
        amp_x = data["amplitude_extraordinary"].values
        planes = echo_planes(amp_o, amp_x, data["noise_floor"].values,
                             data["gate_range"].values)
        return {"echoes_o": planes["first"], "echoes_x": planes["second"],
                "frequency": data["frequency"].values.astype(np.float64),
                "coordinates": {name: data[name]
                                for name in ("sweep", "step", "time", "frequency")},
                "ordinary_vote": data["ordinary_vote"],
                "attrs": data.attrs}
    planes = ionogram_planes(data, check_ordinary(ordinary), True, False)
    decided = planes["ordinary"]
    coordinates = ionogram_coordinates(planes)
    # The vote with its coordinates, as an ionograms() dataset gives it: the
    # variables of the result come in the same order either way.
    vote = xr.DataArray(planes["vote"], {name: coordinates[name] for name in ("sweep", "time")},
                        ("sweep",), attrs=dict(IONOGRAM_ATTRIBUTES["ordinary_vote"]))
    return {"echoes_o": planes["echoes"][decided], "echoes_x": planes["echoes"][-decided],
            "frequency": planes["frequency"],
            "coordinates": coordinates, "ordinary_vote": vote,
            "attrs": {"ordinary_polarization": np.int16(decided),
                      "ordinary_determination": planes["determination"],
                      "ordinary_confidence": np.int16(planes["confidence"]),
                      "source_file": planes["source_file"]}}


def echo_heights(inputs):
    """Per (sweep, step), lowest_echo of the ordinary polarization where it
    dominates (o, with its SNR snr_o and gate spacing spacing_o) and of the
    extraordinary one (x, snr_x)."""
    h_o, s_o, gap_o, _ = inputs["echoes_o"]
    h_x, s_x, _, _ = inputs["echoes_x"]
    return {"o": h_o, "snr_o": s_o, "spacing_o": gap_o, "x": h_x, "snr_x": s_x}


def traces(heights, freq):
    """The E and F traces of the ordinary heights of every sweep: which
    steps hold them (e_points, f_points), where they start and end
    (f_start, f_last, e_last; -1 where none), whether they exist (has_e,
    has_f), the F trace's length and the high points beyond it (strays).
    Also the despiked ordinary heights (o), the extraordinary heights of
    sweeping sweeps (x), the valid ordinary points and the step size."""
    sweeps, steps = freq.shape
    # A "sweep" whose frequency never rises (a drift recording at one
    # frequency) is no ionogram: it gives no trace.
    step_size = step_sizes(freq)
    sweeping = np.isfinite(step_size)[:, None]
    h_o = heights["o"]
    valid = despiked(np.isfinite(h_o) & sweeping, h_o)
    h_o = np.where(valid, h_o, np.nan)
    trace = {"o": h_o, "x": np.where(sweeping, heights["x"], np.nan), "valid": valid,
             "step_size": step_size, "index": np.arange(steps)[None, :]}
    with np.errstate(invalid="ignore"):
        trace["high"] = valid & (h_o >= E_CEILING)
        low = valid & (h_o < E_CEILING)
    trace.update(e_trace(trace, low))
    trace.update(f_trace(trace))
    return trace


def e_trace(trace, low):
    """The F trace's first step and the E trace before it. The F trace
    starts at the first high point that two more high points follow; high
    points before it (a second hop of the E trace where its first is too
    weak) and low points after it are no part of a trace. The E trace: the
    low points before it, with the first high point when the next lies far
    above it (the E trace rising to foE)."""
    valid, high, h_o, index = trace["valid"], trace["high"], trace["o"], trace["index"]
    sweeps, steps = valid.shape
    following = next_valid(valid)
    second = np.take_along_axis(np.concatenate([following, np.full((sweeps, 1), steps)], 1),
                                following, 1)
    run = high & at_steps(high, following) & at_steps(high, second)
    f_start = np.where(run.any(1), run.argmax(1), np.where(high.any(1), high.argmax(1), steps))
    e_points = low & (index < f_start[:, None])
    next_step = np.take_along_axis(following, np.minimum(f_start, steps - 1)[:, None], 1)[:, 0]
    rise = at_step(h_o, next_step) - at_step(h_o, f_start)
    with np.errstate(invalid="ignore"):
        asymptote = e_points.any(1) & (rise > E_ASYMPTOTE_RISE) & (f_start < steps)
    e_points |= asymptote[:, None] & (index == f_start[:, None])
    f_start = np.where(asymptote, next_step, f_start)
    has_e = e_points.sum(1) >= 2
    e_points &= has_e[:, None]
    e_last = np.where(has_e, steps - 1 - e_points[:, ::-1].argmax(1), -1)
    return {"f_start": f_start, "e_points": e_points, "has_e": has_e, "e_last": e_last}


def f_trace(trace):
    """The F trace: from f_start up over high points, across gaps of up to
    MAX_GAP steps."""
    high, f_start, index = trace["high"], trace["f_start"], trace["index"]
    steps = high.shape[1]
    f_last = np.where(f_start < steps, f_start, -1)
    for k in range(steps):
        extend = high[:, k] & (k > f_last) & (f_last >= 0) & (k - f_last <= MAX_GAP + 1)
        f_last = np.where(extend, k, f_last)
    f_points = high & (index >= f_start[:, None]) & (index <= f_last[:, None])
    f_count = f_points.sum(1)
    has_f = f_count >= 3
    f_points &= has_f[:, None]
    with np.errstate(invalid="ignore"):
        strays = (high & (index > f_last[:, None])).sum(1)
    return {"f_last": f_last, "f_points": f_points, "f_count": f_count, "has_f": has_f,
            "strays": strays}


def f2_characteristics(trace, heights, freq):
    """foF2 and fxF2 with their uncertainties and confidences."""
    has_f, f_last, f_points = trace["has_f"], trace["f_last"], trace["f_points"]
    h_o, index = trace["o"], trace["index"]
    nan = np.full(has_f.shape, np.nan)
    f_next = at_step(freq, f_last + 1)
    f_top = at_step(freq, f_last)
    fo_f2 = np.where(has_f, 0.5 * (f_top + f_next), nan)
    fo_f2_unc = np.where(has_f, 0.5 * (f_next - f_top), nan)

    # The X F trace: its top, at or above the O trace's.
    with np.errstate(invalid="ignore"):
        x_high = np.isfinite(trace["x"]) & (trace["x"] >= E_CEILING)
    x_last = block_top(x_high)
    x_next = at_step(freq, x_last + 1)
    x_top = at_step(freq, x_last)
    has_x = x_last >= 0
    fx_f2 = np.where(has_x, 0.5 * (x_top + x_next), nan)
    fx_f2_unc = np.where(has_x, 0.5 * (x_next - x_top), nan)
    ox_share = ox_check(fx_f2 - fo_f2, trace["step_size"])

    # The cusp: the trace rises to foF2.
    top_height = at_step(h_o, f_last)
    with np.errstate(invalid="ignore"):
        before = np.where(f_points & (index < f_last[:, None]) &
                          (index >= f_last[:, None] - 3), h_o, np.nan)
        lowest_before = np.fmin.reduce(before, axis=1)
        cusp = np.where(top_height - lowest_before >= 15.0, 1.0, 0.5)
    end_share = np.where(trace["strays"] >= 2, 0.4, 1.0)
    top_snr = masked_mean(heights["snr_o"], f_points & (index >= f_last[:, None] - 2))
    fo_f2_conf = np.where(has_f & np.isfinite(fo_f2),
                          100 * snr_share(top_snr) * cusp * ox_share * end_share, 0)

    x_snr = at_step(heights["snr_x"], x_last)
    x_order = np.where(np.isfinite(fo_f2) & (fx_f2 < fo_f2), 0.3, 1.0)
    fx_f2_conf = np.where(np.isfinite(fx_f2), 100 * snr_share(x_snr) * ox_share * x_order, 0)
    return {"foF2": (fo_f2, fo_f2_unc, fo_f2_conf), "fxF2": (fx_f2, fx_f2_unc, fx_f2_conf)}


def ox_check(separation, step_size):
    """The share of confidence the O/X check lends: fxF2 - foF2 is half the
    gyrofrequency, the same all day at a station."""
    with np.errstate(invalid="ignore"):
        plausible = (separation >= HALF_GYRO[0]) & (separation <= HALF_GYRO[1])
        usual = np.nanmedian(np.where(plausible, separation, np.nan)) \
            if plausible.sum() >= 3 else np.nan
        if np.isfinite(usual):
            plausible &= np.abs(separation - usual) <= 1.5 * step_size
    return np.where(plausible, 1.0, np.where(np.isfinite(separation), 0.35, 0.7))


def hpf_characteristic(trace, heights):
    """h'F: the lowest height of the F trace."""
    has_f, f_points, h_o = trace["has_f"], trace["f_points"], trace["o"]
    nan = np.full(has_f.shape, np.nan)
    with np.errstate(invalid="ignore"):
        hp_f = np.fmin.reduce(np.where(f_points, h_o, np.nan), axis=1)
        at_min = np.where(f_points, h_o, np.inf).argmin(1)
    hp_f = np.where(has_f, hp_f, nan)
    hp_f_unc = np.where(has_f, at_step(heights["spacing_o"], at_min) / 2, nan)
    length = np.clip(trace["f_count"] / 5.0, 0.4, 1.0)
    hp_f_conf = np.where(has_f, 100 * snr_share(at_step(heights["snr_o"], at_min)) * length, 0)
    return {"hpF": (hp_f, hp_f_unc, hp_f_conf)}


def e_characteristics(trace, heights, freq):
    """foE and h'E."""
    has_e, e_last, e_points, h_o = trace["has_e"], trace["e_last"], trace["e_points"], \
        trace["o"]
    has_f, f_start = trace["has_f"], trace["f_start"]
    nan = np.full(has_e.shape, np.nan)
    e_next = at_step(freq, np.where(has_f & (f_start > e_last), f_start, e_last + 1))
    e_top = at_step(freq, e_last)
    fo_e = np.where(has_e, 0.5 * (e_top + e_next), nan)
    fo_e_unc = np.where(has_e, 0.5 * (e_next - e_top), nan)
    with np.errstate(invalid="ignore"):
        hp_e = np.fmin.reduce(np.where(e_points, h_o, np.nan), axis=1)
        at_e_min = np.where(e_points, h_o, np.inf).argmin(1)
    hp_e = np.where(has_e, hp_e, nan)
    hp_e_unc = np.where(has_e, at_step(heights["spacing_o"], at_e_min) / 2, nan)
    e_snr = masked_mean(heights["snr_o"], e_points)
    adjacent = np.where(has_f & (f_start == e_last + 1), 1.0, 0.6)
    e_length = np.where(e_points.sum(1) >= 3, 1.0, 0.6)
    fo_e_conf = np.where(has_e & np.isfinite(fo_e),
                         100 * snr_share(e_snr) * adjacent * e_length, 0)
    hp_e_conf = np.where(has_e, 100 * snr_share(at_step(heights["snr_o"], at_e_min)) *
                         e_length, 0)
    return {"foE": (fo_e, fo_e_unc, fo_e_conf), "hpE": (hp_e, hp_e_unc, hp_e_conf)}


def fmin_characteristic(trace, heights, freq):
    """fmin: the lowest step with an echo of either polarization that
    another echo within MAX_GAP steps above confirms."""
    any_echo = trace["valid"] | np.isfinite(trace["x"])
    confirmed = np.zeros_like(any_echo)
    for shift in range(1, MAX_GAP + 2):
        confirmed[:, :-shift] |= any_echo[:, shift:]
    confirmed &= any_echo
    has_min = confirmed.any(1)
    k_min = confirmed.argmax(1)
    nan = np.full(has_min.shape, np.nan)
    fmin = np.where(has_min, at_step(freq, k_min), nan)
    fmin_unc = np.where(has_min, np.where(k_min > 0, fmin - at_step(freq, k_min - 1),
                                          trace["step_size"]), nan)
    min_snr = np.fmax(at_step(heights["snr_o"], k_min), at_step(heights["snr_x"], k_min))
    fmin_conf = np.where(has_min, 100 * snr_share(min_snr) * np.where(k_min > 0, 1.0, 0.5),
                         0)
    return {"fmin": (fmin, fmin_unc, fmin_conf)}


def scaled_dataset(values, trace, inputs):
    """The Dataset of scale(): `values` (name: value, uncertainty,
    confidence) in the order of CHARACTERISTICS, the traces, and the
    ordinary decision of `inputs`."""
    variables = {}
    for name in CHARACTERISTICS:
        variables.update(characteristic_variables(name, *values[name]))
    traced = np.where(trace["f_points"] | trace["e_points"], trace["o"], np.nan)
    variables["ordinary_trace"] = (("sweep", "step"), traced.astype(np.float32),
                                   {"long_name": "virtual height of the ordinary E and F "
                                                 "traces (NaN where none)", "units": "km"})
    variables["extraordinary_trace"] = (("sweep", "step"), trace["x"].astype(np.float32),
                                        {"long_name": "virtual height of the lowest "
                                                      "extraordinary echo (NaN where none)",
                                         "units": "km"})
    attrs = inputs["attrs"]
    sweep_count = traced.shape[0]
    variables["ordinary_polarization"] = (
        "sweep", np.full(sweep_count, attrs["ordinary_polarization"], np.int16),
        {"long_name": f"polarization taken as ordinary ({attrs['ordinary_determination']})",
         "units": "degree"})
    variables["ordinary_confidence"] = (
        "sweep", np.full(sweep_count, attrs["ordinary_confidence"], np.int16),
        {"long_name": "confidence in the ordinary polarization, 0 to 100", "units": "1"})
    variables["ordinary_vote"] = inputs["ordinary_vote"]
    result = xr.Dataset(
        variables, inputs["coordinates"],
        {"Conventions": "CF-1.8",
         "title": "Scaled ionograms of a Digisonde 256 16-channel recording",
         "source_file": attrs.get("source_file", ""),
         "software": "digisonde16c",
         "software_version": __version__,
         "method": "leading-edge tracer with continuity across frequency and a cusp "
                   "search, checked against the O/X relation (after Reinisch and Huang "
                   "1983)",
         "ordinary_determination": attrs["ordinary_determination"]})
    result["time"].encoding.update(TIME_ENCODING)
    return result


def characteristic_variables(name, value, uncertainty, confidence):
    """The value, NAME_uncertainty and NAME_confidence variables of one
    characteristic: NaN, NaN and 0 wherever the value is missing."""
    ursi, units, long_name = CHARACTERISTICS[name]
    missing = ~np.isfinite(value)
    value = np.where(missing, np.nan, value)
    uncertainty = np.where(missing, np.nan, uncertainty)
    confidence = np.where(missing, 0, np.rint(np.nan_to_num(confidence)))
    return {
        name: ("sweep", value.astype(np.float32),
               {"long_name": long_name, "units": units, "ursi_name": ursi}),
        f"{name}_uncertainty": (
            "sweep", uncertainty.astype(np.float32),
            {"long_name": f"uncertainty of {ursi}: half the interval it lies in "
                          "(the step below for fmin)", "units": units}),
        f"{name}_confidence": (
            "sweep", confidence.astype(np.int8),
            {"long_name": f"confidence in {ursi}, 0 (absent) to 100", "units": "1",
             "valid_range": np.array([0, 100], np.int8)})}


def csv_rows(dataset):
    """The table of a scale() dataset (or an archive's, with `recording`):
    a head of URSI names and one row per sweep, as lists of texts; NaN and
    NaT give empty fields."""
    head = (["recording"] if "recording" in dataset.coords else []) + ["sweep", "time"]
    columns = []
    if "recording" in dataset.coords:
        columns.append([str(v) for v in dataset["recording"].values])
    columns.append([str(int(v)) for v in dataset["sweep"].values])
    times = dataset["time"].values.astype("datetime64[s]")
    columns.append(["" if np.isnat(t) else str(t) for t in times])
    for name, (ursi, _, _) in CHARACTERISTICS.items():
        for suffix in ("", "_uncertainty"):
            head.append(ursi + suffix)
            columns.append(["" if not np.isfinite(v) else
                            np.format_float_positional(v, unique=True, trim="-")
                            for v in dataset[name + suffix].values])
        head.append(ursi + "_confidence")
        columns.append([str(int(v)) for v in dataset[name + "_confidence"].values])
    for name in ("ordinary_polarization", "ordinary_confidence"):
        head.append(name)
        columns.append([f"{int(v):+d}" if name == "ordinary_polarization" else str(int(v))
                        for v in dataset[name].values])
    return head, [list(row) for row in zip(*columns)]


def write_csv(dataset, output, replace=False):
    """Writes the table of csv_rows to `output`, under a temporary name in
    its folder renamed when complete; an existing output is replaced only
    with `replace`."""
    import csv

    from . import _write

    head, rows = csv_rows(dataset)

    def write(temporary):
        with open(temporary, "w", newline="", encoding="utf-8") as table:
            writer = csv.writer(table, lineterminator="\n")
            writer.writerow(head)
            writer.writerows(rows)

    _write.write_through_temporary(output, write, replace)
