"""Drift velocities and skymaps from the Doppler and beam channels.

A source is one (group, gate, beam) whose strongest Doppler line stands at
least `snr` dB above the group's noise level: its line-of-sight velocity
comes from the beam's Doppler estimate, its place on the ground plan from
the gate's range and the beam's direction. drift_velocity fits one velocity
(east, north, up) to the sources of each group, or of each time window, by
weighted least squares with iterative clipping, after Reinisch, Scali and
Haines 1998 (Ann. Geofis. 41, 695, doi:10.4401/ag-3812) and Scali et al.
1995 (Radio Sci. 30, 1481); the source selection follows Kouba et al. 2008
(Radio Sci. 43, RS1S90, doi:10.1029/2007RS003633).

Conventions: v_los = -c f_D / (2 f), positive away from the sounder (a
rising layer gives a negative Doppler shift in the vertical beam and a
positive v_up); beam direction (east, north, up) k = (sin z sin a,
sin z cos a, cos z), the azimuth clockwise from north as recorded plus
`declination`. Doppler velocities are apparent, phase-path velocities
(Bennett 1968, Aust. J. Phys. 21, 259).
"""

import math
import numbers

import numpy as np
import xarray as xr

from . import _core
from ._dataset import TIME_ENCODING, __version__

LIGHT_SPEED = 299792458.0  # m/s
DB_TO_NEPER = np.log(10.0) / 10.0  # linear power = exp(dB * DB_TO_NEPER)
# The noise level is the lower edge of the most populated one-unit amplitude
# bin; the mean noise power, where a logarithmic amplitude of noise peaks,
# lies within that bin, on average half a unit above its edge.
NOISE_BIN_CENTRE = 0.5  # dB
# The mean noise power of a group, sharper than that level (whose bin the
# samples' scatter moves by about half a unit), is fitted to the cells'
# strongest channels (the threshold pass's) below NOISE_CUT times the power
# of that level: the strongest of m channels of noise alone stays below it
# but for a share of about m exp(-NOISE_CUT); echoes mostly stand above.
NOISE_CUT = 8.0
NOISE_STEPS = 4
# Line powers less than this share of the noise power above the noise are
# held at it, so that their logarithm stays finite.
POWER_FLOOR = 0.1
# A geometry whose scaled normal matrix has a reciprocal condition number
# below this determines no velocity.
MIN_RECIPROCAL_CONDITION = 1e-6
BATCH_GROUPS = 512
# Sources fitted at once by drift_velocity (whole rows).
FIT_SOURCES = 8192
# Cells handled at once by the line-shape fit (whole groups): large enough
# that numpy's cost per call is spread over many sources, small enough that
# the arrays a chunk makes and lets go (beside the work arrays the chunks
# share, _Work), a few MB, are reused by the next chunk rather than given
# back to the system and faulted in again (on the benchmark recording,
# chunks of 10240 cells already were not).
CHUNK_CELLS = 6144
# Cells (group, gate) of the threshold pass at once: their strongest
# channels fit in the cache.
THRESHOLD_CELLS = 65536
# The least lambda of _solve: a row's groups keep their own vertical
# velocities, their mean still defined.
MIN_SHRINK = 1e-9
# The robust spread of the residuals is held at 1 m/s at least: the sources
# of one beam's strongest gates share a spectrum and may agree to a few
# cm/s, which alone would clip every other source.
MIN_SPREAD = 1.0  # m/s
# Weights of a source table without its beams' joint fits (of an earlier
# version): linear power over the noise level, held at 30 dB, so that noise
# that passes a low threshold hardly counts while a handful of the strongest
# echoes do not outweigh all the others (nor set the clipping alone).
WEIGHT_CAP = 1000.0
# Lines of a beam that the line-shape fit uses: the strongest and its
# nearest neighbours.
FIT_LINES = 5
# Gauss-Newton steps of the line-shape fit after the parabola through the
# logarithms of the powers; no step changes the logarithm of a line's model
# power by more than MAX_LOG_STEP, and the model's exponent is held within
# +-MAX_EXPONENT.
GAUSS_NEWTON_STEPS = 6
MAX_LOG_STEP = 1.0
MAX_EXPONENT = 80.0
# Sources whose strongest line stands this far above the noise level (dB)
# set their group's spectral width.
SHAPE_SNR = 15.0
# Sources whose strongest line stands this far above the noise level (dB)
# enter their beam's joint line shape (_fit_beams), which drift_velocity
# fits: noise alone sets one of a cell's lines 10 dB above the mean noise
# power in about one cell in 1,000 (16 exponential powers, e^-10 each), and
# a source of noise would lend its beam the noise's level as a spectrum.
BEAM_SNR = 10.0
BEAM_STEPS = 2

FLAG_OK, FLAG_VERTICAL_ONLY, FLAG_TOO_FEW, FLAG_ILL_CONDITIONED, FLAG_NO_ECHO = range(5)
FLAG_MEANINGS = "ok vertical_only too_few_sources ill_conditioned no_echo"
COMPONENTS = ("east", "north", "up")

SOURCE_ATTRIBUTES = {
    "source_group": {"long_name": "index of the source's group along the input's groups "
                                  "(and along `group`), from 0", "units": "1"},
    "block": {"long_name": "number of the group's data block in its recording, from 1",
              "units": "1"},
    "time": {"long_name": "time of the sounding", "standard_name": "time"},
    "frequency": {"long_name": "sounding frequency", "standard_name": "radiation_frequency",
                  "units": "MHz"},
    "gate": {"long_name": "range gate number", "units": "1"},
    "range": {"long_name": "virtual range of the gate", "units": "km"},
    "polarization": {"long_name": "polarization of the beam (+90 or -90)",
                     "units": "degree"},
    "zenith": {"long_name": "zenith angle of the beam", "units": "degree"},
    "azimuth": {"long_name": "azimuth of the beam as recorded, clockwise from north",
                "units": "degree"},
    "doppler": {"long_name": "Doppler shift of the beam's echo: centre of a Gaussian "
                             "line shape fitted to the powers of its Doppler lines",
                "units": "Hz"},
    "snr": {"long_name": "strongest line of the beam above the group's noise level",
            "units": "dB"},
    "v_los": {"long_name": "line-of-sight velocity, -c f_D / (2 f), positive away from "
                           "the sounder", "units": "m s-1"},
    "v_los_std": {"long_name": "standard deviation of v_los expected from the noise and the "
                               "amplitude step (propagated through the line-shape fit)",
                  "units": "m s-1"},
    "beam_v_los": {"long_name": "line-of-sight velocity of the source's beam in its group: "
                                "the centre of one Gaussian line shape fitted to the powers "
                                "of all its sources 10 dB above the noise level or more, "
                                "each with its own strength; what drift_velocity fits",
                   "units": "m s-1"},
    "weight": {"long_name": "Fisher information of the source about beam_v_los (0 for a "
                            "source below 10 dB): its weight in drift_velocity",
               "units": "s2 m-2"},
    "k_east": {"long_name": "eastward component of the beam's unit vector", "units": "1"},
    "k_north": {"long_name": "northward component of the beam's unit vector", "units": "1"},
    "k_up": {"long_name": "upward component of the beam's unit vector", "units": "1"},
    "x_east": {"long_name": "skymap position east of the sounder, R sin z sin a",
               "units": "km"},
    "y_north": {"long_name": "skymap position north of the sounder, R sin z cos a",
                "units": "km"},
    "outermost": {"long_name": "Doppler estimate at or beyond the centre of the beam's "
                               "outermost line: possibly aliased",
                  "flag_values": np.array([0, 1], dtype=np.int8),
                  "flag_meanings": "within_lines at_or_beyond_outermost_line"},
    "group_time": {"long_name": "time of the group", "standard_name": "time"},
    "group_block": {"long_name": "number of the group's data block in its recording, "
                                "from 1", "units": "1"},
    "group_frequency": {"long_name": "sounding frequency of the group",
                        "standard_name": "radiation_frequency", "units": "MHz"},
    "group_noise": {"long_name": "mean noise power of the group that the line-shape fits "
                                 "take, fitted to its cells' strongest channels", "units": "dB"},
}

VELOCITY_ATTRIBUTES = {
    "v_east": {"long_name": "eastward drift velocity", "units": "m s-1"},
    "v_north": {"long_name": "northward drift velocity", "units": "m s-1"},
    "v_up": {"long_name": "upward drift velocity (positive for a rising layer)",
             "units": "m s-1"},
    "v_east_std": {"long_name": "standard deviation of v_east", "units": "m s-1"},
    "v_north_std": {"long_name": "standard deviation of v_north", "units": "m s-1"},
    "v_up_std": {"long_name": "standard deviation of v_up", "units": "m s-1"},
    "covariance": {"long_name": "covariance of (v_east, v_north, v_up)", "units": "m2 s-2"},
    "speed": {"long_name": "horizontal drift speed", "units": "m s-1"},
    "direction": {"long_name": "azimuth towards which the horizontal drift goes, clockwise "
                               "from north", "units": "degree"},
    "sources": {"long_name": "sources used in the fit (after clipping)", "units": "1"},
    "residual_rms": {"long_name": "weighted root mean square of the line-of-sight "
                                  "residuals", "units": "m s-1"},
    "flag": {"long_name": "quality of the fit",
             "flag_values": np.array([0, 1, 2, 3, 4], dtype=np.int8),
             "flag_meanings": FLAG_MEANINGS},
    "component": {"long_name": "velocity component"},
    "component_2": {"long_name": "velocity component"},
}


def _check_options(snr, ranges, polarization, declination, width):
    for name, value in (("snr", snr), ("declination", declination)):
        if isinstance(value, bool) or not isinstance(value, numbers.Real) \
                or not np.isfinite(value):
            raise ValueError(f"{name} must be a finite number, not {value!r}")
    if ranges is not None:
        low, high = (float(v) for v in ranges)
        if not low <= high:
            raise ValueError(f"ranges must be (minimum, maximum) in km, not {ranges!r}")
        ranges = (low, high)
    if polarization is not None and polarization not in (90, -90):
        raise ValueError(f"polarization must be +90, -90 or None, not {polarization!r}")
    if width is not None and not (isinstance(width, numbers.Real) and width > 0):
        raise ValueError(f"width must be a positive number of Hz or None, not {width!r}")
    return ranges


def _arrays(dataset):
    """The numpy arrays drift_sources reads from a dataset of groups."""
    arrays = {key: np.asarray(dataset[key].values) for key in
              ("amplitude", "gate_range", "noise_level", "frequency", "polarization",
               "zenith", "azimuth", "doppler", "time", "block", "gate_count")}
    if "recording" in dataset.coords:
        arrays["recording"] = np.asarray(dataset["recording"].values, dtype=object)
    else:
        arrays["recording"] = np.full(arrays["block"].shape, "", dtype=object)
    # The amplitude codes' step and offset (amplitude = step * code +
    # offset), as the decoder scales them; without the prefaces, the
    # coarser step and no offset known.
    if "preface" in dataset:
        step, offset = _core.amplitude_scales(np.ascontiguousarray(
            dataset["preface"].values, dtype=np.uint8).reshape(-1, 57))
        arrays["amplitude_step"] = step.astype(np.float64)
        arrays["amplitude_offset"] = offset.astype(np.float64)
    else:
        arrays["amplitude_step"] = np.full(arrays["block"].shape, 0.375)
        arrays["amplitude_offset"] = np.full(arrays["block"].shape, np.nan)
    return arrays


def _preface_bits_unbiased(level, channel, gate, step, offset):
    """`level` (amplitudes of `channel`, from 0, at the cells' gates, from
    0), where bit 0 of their codes carries the preface's digits instead of
    the amplitude (the first gates of channels 1 and 2), as the middle of
    the two codes each may have been: half a step above an even code,
    below an odd one. Read as it stands, such a code is half a step low on
    average (the digits' bits are mostly 0), which shifts the Doppler
    estimate of the channel's beam towards its other lines. In place where
    `level` is a new array of the cells; groups of unknown offset (NaN) as
    they are."""
    if channel >= len(_core.PREFACE_BIT_GATES):
        return level
    carrying = (gate < _core.PREFACE_BIT_GATES[channel]) & np.isfinite(offset)
    # Over whole arrays, added where the cells carry preface bits.
    code = np.subtract(level, offset)
    code /= step
    np.rint(code, out=code)
    # The code's parity, code - 2 floor(code / 2): exact for whole numbers,
    # and numpy's floor is vectorized where its mod is not.
    half = np.multiply(code, 0.5)
    np.floor(half, out=half)
    half *= 2.0
    code -= half
    np.subtract(0.5, code, out=code)
    code *= step
    if carrying.all():
        level += code
    else:
        np.add(level, code, out=level, where=carrying)
    return level


def _joined(parts):
    """The arrays of several datasets of groups, joined along the groups;
    gates beyond a dataset's own are NaN."""
    gates = max(part["amplitude"].shape[2] for part in parts)
    joined = {}
    for key in parts[0]:
        values = []
        for part in parts:
            value = part[key]
            if key in ("amplitude", "gate_range") and value.shape[-1] < gates:
                pad = [(0, 0)] * (value.ndim - 1) + [(0, gates - value.shape[-1])]
                value = np.pad(value, pad, constant_values=np.nan)
            values.append(value)
        joined[key] = np.concatenate(values)
    return joined


def _batches(data):
    """Arrays of the groups in `data`: a dataset (open_dataset,
    open_mfdataset, one of iter_groups') or an iterable of them."""
    if isinstance(data, xr.Dataset):
        yield _arrays(data)
        return
    parts, groups = [], 0
    for dataset in data:
        if not isinstance(dataset, xr.Dataset):
            raise TypeError(f"expected datasets of groups, not {type(dataset).__name__}")
        parts.append(_arrays(dataset))
        groups += parts[-1]["block"].size
        if groups >= BATCH_GROUPS:
            yield _joined(parts)
            parts, groups = [], 0
    if parts:
        yield _joined(parts)


def _beam_code(polarization, zenith, azimuth):
    """One small integer per beam: polarization, vertical or oblique, and
    the azimuth sector."""
    return ((polarization > 0) * 32 + (zenith > 0) * 16
            + np.round(azimuth / 30.0).astype(np.int64) % 12).astype(np.int64)


def _layout_plan(polarization, zenith, azimuth, doppler, usable):
    """For one channel layout: the beams (code, polarization, zenith,
    azimuth), and per beam its lines as (line centre, channels)."""
    beams = []
    codes = _beam_code(polarization, zenith, azimuth)
    for code in np.unique(codes[usable]):
        channels = np.flatnonzero(usable & (codes == code))
        first = channels[0]
        lines = [(centre, channels[doppler[channels] == centre])
                 for centre in np.unique(doppler[channels])]
        beams.append((code, polarization[first], zenith[first], azimuth[first], lines))
    return beams


def _det3(a, b, c, d, e, f, g, h, i):
    return a * (e * i - f * h) - b * (d * i - f * g) + c * (d * h - e * g)


def _noise_sums(strongest, level, count, total, work):
    """Adds to `count` and `total` (per group of a block, `strongest` the
    strongest channel of each of its cells, dB) the number and the sum of
    the linear powers of the cells' strongest channels below NOISE_CUT
    times the power of `level` (dB), the groups' noise level; `work` holds
    two work arrays of the block's shape (groups, gates)."""
    power, below = work
    cut = (level + 10.0 * np.log10(NOISE_CUT)).astype(strongest.dtype)[:, None]
    np.less(strongest, cut, out=below)  # NaN (no sample) is not below
    np.multiply(strongest, DB_TO_NEPER, out=power)
    np.exp(power, out=power)
    count += below.sum(axis=1)
    np.logical_not(below, out=below)
    np.copyto(power, 0.0, where=below)
    total += power.sum(axis=1)


def _noise_power(count, total, level, channels):
    """The mean noise power N of each group by the method of moments from
    the `count` strongest channels of its cells below c = NOISE_CUT `level`
    and their sum `total` (_noise_sums), `channels` (m) the group's
    channels. The strongest of m channels of noise has the distribution
    G(x) = (1 - exp(-x / N))^m, whose integral from 0 to c is c - N S,
    S = sum_j=1..m p^j / j with p = 1 - exp(-c / N) (G's binomial terms
    integrated), so that its mean below c is c - (c - N S) / G(c): N is the
    fixed point of N = (c - (c - mean) G(c)) / S, from `level` (a step
    changes it by a few per cent of the step before). `level` where there
    is no sample or no fixed point within a factor 2 of it. With noise
    alone, N's scatter is about a third of the level's."""
    cut = NOISE_CUT * level
    with np.errstate(divide="ignore", invalid="ignore", over="ignore"):
        mean = total / count
        power = level
        for _ in range(NOISE_STEPS):
            p = -np.expm1(-cut / power)
            term, partial, sums = np.ones_like(p), np.zeros_like(p), np.zeros_like(p)
            for j in range(1, int(channels.max(initial=0)) + 1):
                term *= p
                partial += term / j
                np.copyto(sums, partial, where=channels == j)
            power = (cut - (cut - mean) * p ** channels) / sums
        usable = np.isfinite(power) & (power > 0.5 * level) & (power < 2.0 * level)
    return np.where(usable, power, level)


def _log_powers(power, noise_power, quantization):
    """Logarithms of the lines' signal powers and their variances, from
    the measured powers (echo plus complex Gaussian noise of mean power N).
    For a line of signal power S, the measured power has mean S + N and
    variance 2 S N + N^2, so ln(P - N) has variance (2 S N + N^2) / S^2 and
    lies below ln S by half of it (second order; the correction is held
    at its value for S = N, where the expansion fails); the amplitude's
    quantization adds a uniform error of variance `quantization` (the
    step's square over 12, in neper^2). Powers below POWER_FLOOR N above
    the noise are held there: their variance makes them count little."""
    signal = power - noise_power
    np.maximum(signal, POWER_FLOOR * noise_power, out=signal)
    ratio = noise_power / signal
    noise_variance = ratio + 2.0
    noise_variance *= ratio
    # In place: ln S + min(variance, 3) / 2, and variance + quantization.
    np.log(signal, out=signal)
    np.minimum(noise_variance, 3.0, out=ratio)
    ratio *= 0.5
    signal += ratio
    noise_variance += quantization
    return signal, noise_variance


def _sums(weight, weighted, x):
    """Weighted sums over the lines (axis 0): s_j = sum w x^j (j to 4) and
    t_j = sum (w v) x^j (j to 2), `weighted` being w v."""
    x2 = x * x
    product = np.multiply(weight, x)  # one work array for every product
    s1 = product.sum(0)
    np.multiply(weight, x2, out=product)
    s2 = product.sum(0)
    product *= x
    s3 = product.sum(0)
    np.multiply(weight, x2, out=product)
    product *= x2
    s4 = product.sum(0)
    np.multiply(weighted, x, out=product)
    t1 = product.sum(0)
    np.multiply(weighted, x2, out=product)
    return (weight.sum(0), s1, s2, s3, s4), (weighted.sum(0), t1, product.sum(0))


def _parabola(s, t):
    """(c0, c1, c2) of the weighted least-squares parabola c0 + c1 x + c2 x^2
    from the sums of _sums, by Cramer's rule, and the entries (c2, c2),
    (c1, c1), (c2, c1) of its covariance, the inverse of the normal matrix
    [[s4 s3 s2] [s3 s2 s1] [s2 s1 s0]]."""
    s0, s1, s2, s3, s4 = s
    t0, t1, t2 = t
    determinant = _det3(s4, s3, s2, s3, s2, s1, s2, s1, s0)
    c2 = _det3(t2, s3, s2, t1, s2, s1, t0, s1, s0) / determinant
    c1 = _det3(s4, t2, s2, s3, t1, s1, s2, t0, s0) / determinant
    c0 = _det3(s4, s3, t2, s3, s2, t1, s2, s1, t0) / determinant
    return ((c0, c1, c2), ((s2 * s0 - s1 * s1) / determinant,
                           (s4 * s0 - s2 * s2) / determinant,
                           -(s3 * s0 - s1 * s2) / determinant))


def _two_lines(power, centres, noise_power, width, quantization):
    """Doppler estimates of K spectra of a beam of two lines and their
    variances: the parabola of the assumed `width` (the Gaussian's standard
    deviation) through the logarithms of both lines' powers above the
    noise, centre (x0 + x1) / 2 + width^2 (ln S1 - ln S0) / (x1 - x0)."""
    logs, variance = _log_powers(power, noise_power, quantization)
    factor = width * width / (centres[1] - centres[0])
    return (0.5 * (centres[0] + centres[1]) + factor * (logs[1] - logs[0]),
            factor * factor * (variance[0] + variance[1]))


def _line_window(level, centres, noise_power, window):
    """The lines of K spectra of a beam that its line-shape fits use: level
    (lines, K) the lines' powers in dB, centres (lines,) ascending,
    noise_power (K,). The `window` lines nearest the strongest (lines
    farther out carry little weight in any spectrum the Gaussian fits; a
    beam of fewer lines is padded with lines of no weight, so that beams of
    different line counts share one array). Returns the powers above the
    noise in units of the noise power, the line offsets x from the
    strongest line, the lines' weights (1, 0 for padding; None without
    padding), all (window, K), and the strongest line's centre (K,)."""
    count, cells = level.shape
    used = min(count, window)
    peak = level.max(axis=0)
    if np.isnan(peak).any():
        strongest = np.argmax(level, axis=0)
    else:
        # The first line at the peak, as argmax finds it, by one comparison
        # per line: argmax along the lines would transpose the array first.
        strongest = np.full(cells, count - 1)
        for line in range(count - 2, -1, -1):
            np.copyto(strongest, line, where=level[line] == peak)
    at = np.clip(strongest - used // 2, 0, count - used) + np.arange(used)[:, None]
    # Offsets from the strongest line keep the sums well scaled.
    origin = centres[strongest]
    x = centres[at]
    x -= origin
    at *= cells
    at += np.arange(cells)
    excess = np.take(level, at).astype(np.float64)
    del at
    excess *= DB_TO_NEPER
    np.exp(excess, out=excess)
    excess /= noise_power
    excess -= 1.0
    valid = None
    if used < window:
        pad = ((0, window - used), (0, 0))
        excess, x = np.pad(excess, pad), np.pad(x, pad)
        valid = np.pad(np.ones((used, cells)), pad)
    return excess, x, valid, origin


def _line_shape_start(excess, x, valid, quantization):
    """(c0, c1, c2) of ln(S / N) = c0 + c1 x + c2 x^2 for the lines of
    _line_window: the weighted parabola through the logarithms of the
    powers above the noise (_log_powers), the start of the line-shape fit."""
    logs, variance = _log_powers(excess + 1.0, 1.0, quantization)
    with np.errstate(divide="ignore", invalid="ignore"):
        weight = np.divide(1.0, variance)
        logs /= variance
        if valid is not None:
            weight *= valid
            logs *= valid
        return _parabola(*_sums(weight, logs, x))[0]


def _median_opening_curvature(c2, strong, group, groups):
    """Per group, the median of the curvatures c2 of its `strong` sources
    that open downwards (c2 < 0); NaN for a group without any."""
    opening = (c2 < 0) & strong
    # One sort by group, then curvature: arctan maps c2 < 0 into (0, 1/2)
    # of the group's unit interval; the others go after, at 3/4.
    with np.errstate(invalid="ignore"):
        order = np.argsort(group + np.where(opening, 0.5 + np.arctan(c2) / np.pi, 0.75))
    counts = np.bincount(group[opening], minlength=groups)
    first = np.concatenate([[0], np.cumsum(np.bincount(group, minlength=groups))[:-1]])
    return np.where(counts > 0, c2[order][np.minimum(first + counts // 2, group.size - 1)],
                    np.nan)


def _moments(weights, powers):
    """Per spectrum (column), the sum of `weights` over the lines, then the
    sums of `weights` times each of `powers` (arrays of lines' x^n)."""
    return (weights.sum(0),) + tuple(np.einsum("lk,lk->k", weights, power)
                                     for power in powers)


def _power_variance(signal, quantization, out, work):
    """var P / N^2 = 2 S / N + 1 + quantization (S / N + 1)^2, the variance
    of measured powers P = S + N (echo in complex Gaussian noise of mean
    power N, plus the amplitude step's rounding), `signal` holding S / N;
    into `out`, with `work` (of the same shape) left holding S / N + 1."""
    np.add(signal, 1.0, out=work)
    np.multiply(work, work, out=out)
    out *= quantization
    out += signal
    out += work
    return out


class _Work:
    """Work arrays that the chunks of one call share: each name is one
    buffer, grown when a chunk needs more. A chunk's large arrays thus come
    from the same memory as the chunk's before it, which the allocator
    would otherwise take from the system, give back and take again (fresh
    pages, each a page fault, every chunk)."""

    def __init__(self):
        self._buffers = {}

    def array(self, name, shape, dtype=np.float64):
        size = math.prod(shape)
        buffer = self._buffers.get(name)
        if buffer is None or buffer.size < size:
            buffer = self._buffers[name] = np.empty(size + size // 4, dtype)
        return buffer[:size].reshape(shape)


def _shared_fit(excess, x, valid, quantization, start, group, groups, strong, work):
    """Gaussian line shapes S(x) = N exp(c0 + c1 x + c2 x^2) fitted to the
    measured line powers P = S + N of K spectra (N the mean noise power;
    `excess` is P / N - 1), with one curvature c2 per group, shared by its
    sources (the echo's spectral width), each source keeping its own c0
    and c1: weighted least squares, each line weighted by the inverse of
    its variance 2 S N + N^2 plus the quantization's, by Gauss-Newton steps
    from `start`. A line at or below the noise thus tells that the Gaussian
    is small there, where its logarithm would lend the noise's level to the
    curvature; and a source that alone cannot tell a narrow spectrum's
    centre from its width (one line above the noise on one side of the
    strongest) takes the width from its group's sources. Each step is a
    weighted parabola through (P - N - S) / S with weights S^2 / var P, per
    source; the sources' (c0, c1) are eliminated (Schur complement) to give
    the group's step in c2 from its `strong` sources (those of a group
    without any: all), then each source's step in (c0, c1). c2 starts at
    the median of the group's (strong) starting curvatures that open
    downwards. `valid` (or None) weighs the lines (0 for padding). Returns
    (c0, c1, c2) per source and the entries (c2, c2), (c1, c1), (c2, c1) of
    their covariance, the shared c2's variance included. The (lines, K)
    arrays are `work`'s."""
    c0, c1, c2 = start
    strong = strong | (np.bincount(group, weights=strong, minlength=groups) == 0)[group]
    shared = _median_opening_curvature(c2, strong, group, groups)
    x2, x3, x4 = (work.array(name, x.shape) for name in ("x2", "x3", "x4"))
    np.multiply(x, x, out=x2)
    np.multiply(x2, x, out=x3)
    np.multiply(x2, x2, out=x4)
    with np.errstate(divide="ignore", invalid="ignore", over="ignore"):
        # A step changes the logarithm of no line's model power by more
        # than MAX_LOG_STEP (through the shared c2: on average over the
        # group's strong sources): far from the optimum the linearization
        # of exp overshoots.
        limit = MAX_LOG_STEP * np.bincount(group, weights=strong, minlength=groups) / (
            np.bincount(group, weights=np.where(strong, x2.max(axis=0), 0.0),
                        minlength=groups))
        # Work arrays of the steps, written in place: no step allocates a
        # (lines, K) array.
        signal, total, variance, weight, weighted, low, high = (
            work.array(name, x.shape) for name in
            ("signal", "total", "variance", "weight", "weighted", "low", "high"))
        # The exponent's bounds as arrays: numpy's maximum and minimum take
        # the vectorized path for two arrays, not for an array and a number.
        low.fill(-MAX_EXPONENT)
        high.fill(MAX_EXPONENT)
        for _ in range(GAUSS_NEWTON_STEPS):
            c2 = shared[group]
            # S / N, its exponent held where exp neither overflows nor
            # leaves the normal numbers (whose arithmetic is slow).
            np.multiply(x, c1, out=signal)
            np.multiply(x2, c2, out=total)
            signal += total
            signal += c0
            np.maximum(signal, low, out=signal)
            np.minimum(signal, high, out=signal)
            np.exp(signal, out=signal)
            _power_variance(signal, quantization, variance, total)
            np.divide(signal, variance, out=weight)
            np.subtract(excess, signal, out=weighted)
            weighted *= weight
            weight *= signal
            if valid is not None:
                weight *= valid
                weighted *= valid
            s0, s1, s2, s3, s4 = _moments(weight, (x, x2, x3, x4))
            t0, t1, t2 = _moments(weighted, (x, x2))
            determinant = s2 * s0 - s1 * s1
            # The (c1, c0) block B = [[s2 s1] [s1 s0]]: B^-1 (s3, s2), the
            # coupling to c2, and B^-1 (t1, t0).
            u1, u0 = (s0 * s3 - s1 * s2) / determinant, (s2 * s2 - s1 * s3) / determinant
            v1, v0 = (s0 * t1 - s1 * t0) / determinant, (s2 * t0 - s1 * t1) / determinant
            schur = s4 - s3 * u1 - s2 * u0
            right = t2 - s3 * v1 - s2 * v0
            counted = strong & np.isfinite(schur) & np.isfinite(right)
            information = np.bincount(group, weights=np.where(counted, schur, 0.0),
                                      minlength=groups)
            step = np.bincount(group, weights=np.where(counted, right, 0.0),
                               minlength=groups) / information
            step[~np.isfinite(step)] = 0.0
            step = np.clip(step, -limit, limit)
            d2 = step[group]
            d1, d0 = v1 - u1 * d2, v0 - u0 * d2
            np.multiply(x, d1, out=total)
            np.multiply(x2, d2, out=variance)
            total += variance
            total += d0
            change = np.abs(total, out=total).max(axis=0)
            scale = np.minimum(1.0, MAX_LOG_STEP / change)
            c0, c1 = c0 + scale * d0, c1 + scale * d1
            shared = shared + step
        var22 = (1.0 / information)[group]
        covariance = (var22, s0 / determinant + u1 * u1 * var22, -u1 * var22)
    return (c0, c1, shared[group]), covariance


def _centre(c, covariance, middle):
    """The centre -c1 / (2 c2) + middle of fitted line shapes and its
    variance by the delta method; NaN where no Gaussian fits (c2 >= 0)."""
    _, c1, c2 = c
    var22, var11, var21 = covariance
    with np.errstate(divide="ignore", invalid="ignore"):
        # d centre / d c2 = c1 / (2 c2^2), d centre / d c1 = -1 / (2 c2).
        j2, j1 = c1 / (2.0 * c2 * c2), -1.0 / (2.0 * c2)
        spread = j2 * j2 * var22 + 2.0 * j2 * j1 * var21 + j1 * j1 * var11
        centre = np.where(c2 < 0, -c1 / (2.0 * c2), np.nan)
    return centre + middle, spread


def _layout_beams(layout, polarization):
    """_layout_plan of one channel layout (a row of _batch_sources'
    layouts), its beams of `polarization` (None: every beam)."""
    pol, zen, azi, dop = (layout[16 * i:16 * (i + 1)].astype(np.float64) for i in range(4))
    usable = np.isfinite(dop) & (dop != 0)
    if layout[64]:
        usable[8:] = False  # a 256-gate group holds samples of channels 1 to 8
    if polarization is not None:
        usable &= pol == polarization
    return _layout_plan(pol, zen, azi, dop, usable)


def _chunk_sources(arrays, group, gate, group_layout, plans, snr, width, work):
    """The sources of the cells (group, gate) of _batch_sources, whole
    groups: a list of dicts of arrays, one per beam; `plans` the beams of
    each layout (_layout_beams)."""
    cell_layout = group_layout[group]
    beams = []
    amplitude = arrays["amplitude"]
    noise = arrays["noise_level"].astype(np.float64)
    for index, plan in enumerate(plans):
        at = np.flatnonzero(cell_layout == index)
        if at.size == 0:
            continue
        g, t = group[at], gate[at]
        gates = amplitude.shape[2]
        cell = g * (16 * gates) + t  # flat index of the cell's first channel
        noise_power = arrays["noise_power"][g]
        # Variance of a uniform rounding error of one amplitude step, in
        # neper^2.
        quantization = (arrays["amplitude_step"][g] * DB_TO_NEPER) ** 2 / 12.0
        step = arrays["amplitude_step"][g]
        offset = arrays["amplitude_offset"][g]
        for code, beam_pol, beam_zen, beam_azi, lines in plan:
            if len(lines) < 2 or (len(lines) == 2 and width is None):
                continue
            centres = np.array([centre for centre, _ in lines])
            if all(len(channels) == 1 for _, channels in lines):
                # The amplitudes are logarithmic already: the strongest line
                # and the threshold need no powers.
                # Line by line: no index array of all the lines at once.
                level = np.empty((len(lines), at.size), dtype=amplitude.dtype)
                for line, (_, channels) in enumerate(lines):
                    np.take(amplitude, cell + channels[0] * gates, out=level[line])
                    _preface_bits_unbiased(level[line], channels[0], t, step, offset)
            else:
                # Channels on one line are averaged in power.
                level = np.empty((len(lines), at.size))  # a row per line
                for line, (_, channels) in enumerate(lines):
                    power = np.take(amplitude, (channels * gates)[:, None] + cell).astype(
                        np.float64)
                    for row, channel in enumerate(channels):
                        _preface_bits_unbiased(power[row], channel, t, step, offset)
                    power = np.exp(power * DB_TO_NEPER)
                    level[line] = np.log(power.mean(axis=0)) / DB_TO_NEPER
            line_snr = level.max(axis=0).astype(np.float64) - noise[g]
            passing = np.flatnonzero(line_snr >= snr)
            if passing.size == 0:
                continue
            if passing.size == at.size:
                passing = slice(None)  # every cell: no copies
            source = dict(code=code, polarization=beam_pol, zenith=beam_zen,
                          azimuth=beam_azi, centres=centres, group=g[passing],
                          gate=t[passing], snr=line_snr[passing],
                          level=level[:, passing], noise_power=noise_power[passing],
                          quantization=quantization[passing])
            if len(lines) == 2:
                source["estimate"] = _two_lines(
                    np.exp(source["level"].astype(np.float64) * DB_TO_NEPER), centres,
                    source["noise_power"], width, source["quantization"])
                source["curvature"] = None  # that of the assumed width
            beams.append(source)
    if not beams:
        return []
    window = min(FIT_LINES, max(len(beam["centres"]) for beam in beams))
    for beam in beams:
        beam["window"] = _line_window(beam.pop("level"), beam["centres"], beam["noise_power"],
                                      window)
        if "estimate" in beam:
            _pick_lines(beam, *beam.pop("window"))
    shaped = [beam for beam in beams if "estimate" not in beam]
    if shaped:
        _fit_shaped_beams(shaped, group, work)
    _fit_beams(beams, group, width, work)
    return [_beam_sources(beam) for beam in beams]


def _fit_shaped_beams(shaped, group, work):
    """Sets the Doppler "estimate" and the "curvature" c2 of the beams of
    three lines or more in `shaped` (of one chunk, whose cells' groups are
    `group`): their line shapes, with the spectral width shared by each
    group's sources (the echo's), in one fit."""
    windows = [beam.pop("window") for beam in shaped]
    # Each beam's start apart: their work arrays stay small.
    start = [np.concatenate(part) for part in zip(*(
        _line_shape_start(*window[:3], beam["quantization"])
        for window, beam in zip(windows, shaped)))]
    shape = (windows[0][0].shape[0], sum(window[0].shape[1] for window in windows))
    joined = [np.concatenate([window[0] for window in windows], axis=-1,
                             out=work.array("excess", shape)),
              np.concatenate([window[1] for window in windows], axis=-1,
                             out=work.array("x", shape)),
              None if all(window[2] is None for window in windows) else np.concatenate(
                  [np.ones_like(window[1]) if window[2] is None else window[2]
                   for window in windows], axis=-1, out=work.array("valid", shape)),
              np.concatenate([beam["quantization"] for beam in shaped])]
    origins = [window[3] for window in windows]
    padded = [window[2] is not None for window in windows]
    del windows
    first = group[0]  # the chunk's groups, from 0
    c, covariance = _shared_fit(*joined, start,
                                np.concatenate([beam["group"] for beam in shaped]) - first,
                                group[-1] - first + 1,
                                np.concatenate([beam["snr"] for beam in shaped])
                                >= SHAPE_SNR, work)
    bounds = np.cumsum([0] + [beam["group"].size for beam in shaped])
    for n, (beam, origin) in enumerate(zip(shaped, origins)):
        part = slice(bounds[n], bounds[n + 1])
        beam["estimate"] = _centre(tuple(v[part] for v in c),
                                   tuple(v[part] for v in covariance), origin)
        beam["curvature"] = c[2][part]
        # The lines of the joint fits' sources, from the joined arrays once
        # the line shapes are fitted (not beside them while they are).
        _pick_lines(beam, joined[0][:, part], joined[1][:, part],
                    joined[2][:, part] if padded[n] else None, origin)


def _pick_lines(beam, excess, x, valid, origin):
    """Keeps the lines (_line_window) of the sources of `beam` that may
    enter the beams' joint fits (_fit_beams), contiguous, as "picked"."""
    pick = np.flatnonzero(beam["snr"] >= BEAM_SNR)
    beam["picked"] = (pick, np.take(excess, pick, axis=1), np.take(x, pick, axis=1),
                      None if valid is None else np.take(valid, pick, axis=1),
                      origin[pick])


def _near(x, valid, offset):
    """Whether the strongest line (x = 0) of each source is one of the two
    lines nearest `offset`, the centre from it."""
    nearer = np.abs(x - offset) < np.abs(offset)
    if valid is not None:
        nearer &= valid > 0
    return nearer.sum(axis=0) <= 1


def _joint_inputs(beams, first, width, work):
    """The sources of `beams` that enter their joint fits (_fit_beams): per
    beam their indices, and joined over the beams their lines (excess, x,
    valid or None), origins, quantization, curvatures, own estimates and
    variances, and keys (group from `first`, times 64, plus beam code);
    the joined lines in `work`'s arrays."""
    picks, parts = [], []
    padded = any(beam["picked"][3] is not None for beam in beams)
    for beam in beams:
        estimate, variance = beam["estimate"]
        curvature = beam["curvature"]
        if curvature is None:
            curvature = -0.5 / (width * width)
        pick, excess, x, valid, origin = beam.pop("picked")
        curvature = np.broadcast_to(curvature, beam["snr"].shape)
        with np.errstate(invalid="ignore"):
            kept = np.flatnonzero(np.isfinite(estimate[pick]) & (variance[pick] > 0)
                                  & (curvature[pick] < 0))
        if kept.size < pick.size:
            pick = pick[kept]
            excess, x, origin = (np.take(v, kept, axis=-1) for v in (excess, x, origin))
            valid = None if valid is None else np.take(valid, kept, axis=1)
        picks.append(pick)
        if padded:
            valid = np.ones_like(x) if valid is None else valid
        parts.append((excess, x, valid, origin, beam["quantization"][pick],
                      curvature[pick], estimate[pick], variance[pick],
                      (beam["group"][pick] - first) * 64 + beam["code"]))
    shape = (parts[0][1].shape[0], sum(part[1].shape[1] for part in parts))
    excess, x = (np.concatenate([part[i] for part in parts], axis=-1,
                                out=work.array(name, shape))
                 for i, name in ((0, "joint_excess"), (1, "joint_x")))
    valid = np.concatenate([part[2] for part in parts], axis=-1,
                           out=work.array("joint_valid", shape)) if padded else None
    origin, quantization, c2, estimate, variance, key = (
        np.concatenate([part[i] for part in parts]) for i in range(3, 9))
    return picks, (excess, x, valid, origin, quantization, c2, estimate, variance, key)


def _joint_steps(excess, x, valid, quantization, c2, level, offset, centre, unit, reach,
                 work):
    """The Gauss-Newton steps of _fit_beams from the start (`level`, the
    sources' strengths; `offset`, their beams' centre from their strongest
    lines; `centre` per beam, which `unit` gives each source): the beams'
    centres and the sources' information. The (lines, K) arrays are
    `work`'s."""
    count = centre.size
    twice = -2.0 * c2
    z, signal, weight, slope, weighted, high = (
        work.array(name, x.shape) for name in
        ("z", "signal", "weight", "slope", "weighted", "high"))
    high.fill(MAX_EXPONENT)  # an array: see _shared_fit
    with np.errstate(invalid="ignore", divide="ignore", over="ignore"):
        for _ in range(BEAM_STEPS):
            near = _near(x, valid, offset)
            np.subtract(x, offset, out=z)
            np.multiply(z, z, out=signal)
            signal *= c2
            signal += level
            # exp neither overflows nor, mostly, leaves the normal numbers.
            np.minimum(signal, high, out=signal)
            np.exp(signal, out=signal)
            # (1 / v by divide: numpy's reciprocal is not vectorized.)
            np.divide(1.0, _power_variance(signal, quantization, weight, slope), out=weight)
            if valid is not None:
                weight *= valid
            np.multiply(z, signal, out=slope)
            slope *= twice  # dS / ds
            np.multiply(weight, signal, out=weighted)
            a = np.einsum("lk,lk->k", weighted, signal)
            b = np.einsum("lk,lk->k", weighted, slope)
            weight *= slope
            own = b / a
            # The information of the last step's start, a step from the
            # optimum, stands for that of the optimum.
            information = np.einsum("lk,lk->k", weight, slope) - b * own
            information = np.where(near & (information > 0), information, 0.0)
            np.subtract(excess, signal, out=z)  # the residual
            r0 = np.einsum("lk,lk->k", weighted, z)
            right = np.einsum("lk,lk->k", weight, z) - own * r0
            right[information == 0] = 0.0
            move = np.bincount(unit, weights=right, minlength=count) / np.bincount(
                unit, weights=information, minlength=count)
            move = np.clip(np.nan_to_num(move), -reach, reach)
            change = (r0 - b * move[unit]) / a
            change *= np.minimum(1.0, MAX_LOG_STEP / np.abs(change))
            level += np.nan_to_num(change)
            centre += move
            offset += move[unit]
    return centre, information


def _fit_beams(beams, group, width, work):
    """Sets the "beam_estimate" (Hz) and the "information" (Hz^-2) of the
    sources of `beams` (of one chunk, whose cells' groups are `group`). Per
    beam and group, one Gaussian line shape is fitted to the line powers of
    all its sources BEAM_SNR dB above the noise or more at once: a centre
    s shared by them, each source its own strength a, and the curvature c2
    of its group (from the line-shape fit; beams of two lines: that of
    `width`) held, S = N exp(a + c2 (X - s)^2) at the lines' centres X, the
    measured power P = S + N; weighted least squares with the weights of
    _shared_fit, by Gauss-Newton steps from the centre of the beam's most
    precise source. The sources of one beam in one group see one
    spectrum: a source near the noise tells little about the centre alone,
    its estimate being a ratio of noisy powers, but its lines add their
    information to the shared fit. A source's information is its Fisher
    information about s, its own strength eliminated (the beam's centre
    has variance 1 / the sum over its sources); 0 for a source outside the
    fit, whose beam_estimate is still its beam's (NaN for a beam without
    any)."""
    first = group[0]  # the chunk's groups, from 0
    picks, (excess, x, valid, origin, quantization, c2, estimate, variance, key) = \
        _joint_inputs(beams, first, width, work)
    starts, unit, centre = _beam_starts(key, estimate, variance)
    count = starts.size
    offset = centre[unit] - origin  # the centre from each source's strongest line
    # A source counts only where its strongest line is one of the two
    # nearest the centre, as in any spectrum of one peak above moderate
    # noise: a noise spike on another line would be fitted as a far tail of
    # the Gaussian, whose steep slope claims a precision the spike does not
    # have. Those far from the start are left out at once; the others are
    # checked again at every step.
    consistent = np.flatnonzero(_near(x, valid, offset))
    fitting = consistent.size < offset.size
    if fitting:
        every_unit, every_size = unit, offset.size
        shape = (x.shape[0], consistent.size)
        excess, x, valid = (None if v is None else np.take(
            v, consistent, axis=-1, out=work.array(name, shape))
            for v, name in ((excess, "kept_excess"), (x, "kept_x"), (valid, "kept_valid")))
        quantization, c2, offset, origin, unit = (
            np.take(v, consistent) for v in (quantization, c2, offset, origin, unit))
    # Start: each source's strength from its strongest line.
    level = np.log(np.maximum(excess.max(axis=0), POWER_FLOOR)) - c2 * offset * offset
    # No step moves a centre by more than half its spectrum's width (the
    # group's, which every source of a beam shares).
    reach = np.full(count, np.inf)
    reach[unit] = 0.5 * np.sqrt(-0.5 / c2)
    centre, information = _joint_steps(excess, x, valid, quantization, c2, level, offset,
                                       centre, unit, reach, work)
    information[~np.isfinite(information)] = 0.0
    if fitting:
        unit = every_unit
        fitted_information, information = information, np.zeros(every_size)
        information[consistent] = fitted_information
    _beam_results(beams, picks, starts, unit, centre, information)


def _beam_starts(key, estimate, variance):
    """The beams of _fit_beams' sources (a beam's sources come by group:
    each beam and group is a run of equal `key`): the first source of each,
    each source's beam, and each beam's starting centre, that of its most
    precise source."""
    changed = np.empty(key.size, dtype=bool)
    changed[:1] = True
    np.not_equal(key[1:], key[:-1], out=changed[1:])
    starts = np.flatnonzero(changed)
    unit = np.cumsum(changed) - 1
    precision = 1.0 / variance
    best = np.flatnonzero(precision == np.maximum.reduceat(precision, starts)[unit]) \
        if starts.size else np.zeros(0, dtype=np.int64)
    best = best[np.concatenate([[True], unit[best[1:]] != unit[best[:-1]]])[:best.size]]
    return starts, unit, estimate[best]


def _beam_results(beams, picks, starts, unit, centre, information):
    """Sets each beam's "information" (its sources' `information`, 0 for
    those outside the fit, `picks` giving the others) and "beam_estimate"
    (its centre in each group, those outside the fit included; NaN for a
    group of the beam without any source in the fit)."""
    bounds = np.cumsum([0] + [pick.size for pick in picks])
    for n, (beam, pick) in enumerate(zip(beams, picks)):
        beam["information"] = np.zeros(beam["snr"].size)
        beam["information"][pick] = information[bounds[n]:bounds[n + 1]]
        runs = starts[(starts >= bounds[n]) & (starts < bounds[n + 1])]
        fitted = beam["group"][pick[runs - bounds[n]]]  # the beam's groups in the fit
        if fitted.size == 0:
            beam["beam_estimate"] = np.full(beam["snr"].size, np.nan)
            continue
        at = np.minimum(np.searchsorted(fitted, beam["group"]), fitted.size - 1)
        beam["beam_estimate"] = np.where(fitted[at] == beam["group"], centre[unit[runs]][at],
                                         np.nan)


def _beam_sources(beam):
    """The arrays of a beam's sources: its cells whose Doppler estimate is
    finite with a positive variance."""
    estimate, variance = beam["estimate"]
    keep = np.flatnonzero(np.isfinite(estimate) & (variance > 0))
    every = keep.size == estimate.size

    def kept(values):
        """The values of the sources kept (the beam's own where all are)."""
        return values if every else np.take(values, keep)

    estimate = kept(estimate)
    return {
        "group": kept(beam["group"]), "gate": kept(beam["gate"]),
        "code": np.full(estimate.size, beam["code"]),
        "polarization": np.full(estimate.size, beam["polarization"]),
        "zenith": np.full(estimate.size, beam["zenith"]),
        "azimuth": np.full(estimate.size, beam["azimuth"]),
        "doppler": estimate, "doppler_std": np.sqrt(kept(variance)),
        "snr": kept(beam["snr"]),
        "beam_doppler": kept(beam["beam_estimate"]),
        "information": kept(beam["information"]),
        "outermost": ((estimate >= beam["centres"][-1])
                      | (estimate <= beam["centres"][0])),
    }


def _chunk_order(parts):
    """The sources of one chunk's beams (_chunk_sources) as one dict of
    arrays in the order (group, gate, beam code), without the code."""
    chunk = {key: np.concatenate([part[key] for part in parts]) for key in parts[0]}
    # A chunk's sources of one beam come by group and gate already.
    if sum(part["group"].size > 0 for part in parts) > 1:
        # By group, gate and beam code (gate below 256, code below 64).
        sort_key = (chunk["group"] * 256 + chunk["gate"]) * 64 + chunk["code"]
        if np.any(sort_key[1:] < sort_key[:-1]):
            order = np.argsort(sort_key, kind="stable")
            chunk = {key: value[order] for key, value in chunk.items()}
    del chunk["code"]
    return chunk


def _threshold_cells(arrays, snr, ranges):
    """The cells (group, gate) of a batch's `arrays` that can hold a source:
    their strongest channel `snr` dB above the group's noise level or more,
    within `ranges` (or None). Sets arrays["noise_power"], each group's
    mean noise power (_noise_power), from the same pass."""
    amplitude = arrays["amplitude"]
    noise = arrays["noise_level"].astype(np.float64)
    threshold = noise + snr
    count, gates = amplitude.shape[0], amplitude.shape[2]
    noise_count, noise_total = np.zeros(count), np.zeros(count)
    # A necessary condition, over all channels at once: only cells whose
    # strongest channel passes can hold a source. In blocks of groups
    # through one buffer of the strongest channels, which stays in the
    # cache: the only pass over the whole amplitude array, which also
    # gathers the noise samples.
    cell = np.empty((count, gates), dtype=bool)
    block = max(1, THRESHOLD_CELLS // max(gates, 1))
    strongest = np.empty((min(block, count), gates), dtype=amplitude.dtype)
    noise_work = (np.empty_like(strongest), np.empty(strongest.shape, dtype=bool))
    with np.errstate(invalid="ignore"):
        for first in range(0, count, block):
            last = min(first + block, count)
            part, channels = strongest[:last - first], amplitude[first:last]
            # Channel by channel: numpy's fmax over whole rows is vectorized,
            # its reduction along the middle axis is not.
            np.copyto(part, channels[:, 0])
            for channel in range(1, channels.shape[1]):
                np.fmax(part, channels[:, channel], out=part)
            np.greater_equal(part, threshold[first:last, None], out=cell[first:last])
            _noise_sums(part, noise[first:last] + NOISE_BIN_CENTRE,
                        noise_count[first:last], noise_total[first:last],
                        [array[:last - first] for array in noise_work])
        if ranges is not None:
            gate_range = arrays["gate_range"]
            cell &= (gate_range >= ranges[0]) & (gate_range <= ranges[1])
    # The channels of each group (a 256-gate group holds 8).
    arrays["noise_power"] = _noise_power(noise_count, noise_total,
                                         10.0 ** ((noise + NOISE_BIN_CENTRE) / 10.0),
                                         np.isfinite(amplitude[:, :, 0]).sum(axis=1))
    return np.nonzero(cell)


def _group_layouts(arrays):
    """The distinct channel layouts of a batch's groups (rows of the
    channels' polarization, zenith, azimuth and Doppler shift, 16 each,
    and whether the group has 256 gates) and each group's layout."""
    # Groups mostly repeat the layout of the group before them: only the
    # first of each run is compared with the others.
    keys = ("polarization", "zenith", "azimuth", "doppler")
    wide = arrays["gate_count"] == 256
    changed = np.empty(wide.size, dtype=bool)
    changed[:1] = True
    np.not_equal(wide[1:], wide[:-1], out=changed[1:])
    for key in keys:
        changed[1:] |= np.any(arrays[key][1:] != arrays[key][:-1], axis=1)
    heads = np.flatnonzero(changed)
    channel = np.concatenate([arrays[key][heads] for key in keys] + [wide[heads, None]],
                             axis=1, dtype=np.float64)
    layouts, head_layout = np.unique(channel, axis=0, return_inverse=True)
    return layouts, np.asarray(head_layout).reshape(-1)[np.cumsum(changed) - 1]


def _batch_sources(arrays, offset, snr, ranges, polarization, width):
    """The sources of one batch of groups, as a dict of arrays in the order
    (group, gate, beam code)."""
    group, gate = _threshold_cells(arrays, snr, ranges)
    if group.size == 0:
        return None
    # Channel layouts: the groups that share attributes share a plan.
    layouts, group_layout = _group_layouts(arrays)
    plans = [_layout_beams(layout, polarization) for layout in layouts]
    # Cells in chunks of about CHUNK_CELLS, each of whole groups (a group's
    # sources share one line-shape width): the arrays of a chunk stay small,
    # and so do the temporaries of every step.
    found, start, work = [], 0, _Work()
    while start < group.size:
        stop = min(start + CHUNK_CELLS, group.size)
        if stop < group.size:
            stop = int(np.searchsorted(group, group[stop], "left"))
            if stop <= start:
                stop = int(np.searchsorted(group, group[start], "right"))
        parts = _chunk_sources(arrays, group[start:stop], gate[start:stop], group_layout,
                               plans, snr, width, work)
        if parts:
            found.append(_chunk_order(parts))
        start = stop
    if not found:
        return None
    # The chunks' sources, which come by group, joined one array at a time,
    # each chunk's let go as it is joined: the recorded beam directions
    # (single precision in the recording) in single precision.
    sources = {}
    for key in list(found[0]):
        sources[key] = np.concatenate(
            [chunk.pop(key) for chunk in found],
            dtype=np.float32 if key in ("polarization", "zenith", "azimuth") else None)
    g = sources["group"]
    sources["range"] = arrays["gate_range"][g, sources["gate"]]
    sources["frequency"] = arrays["frequency"][g]
    sources["time"] = arrays["time"][g]
    sources["block"] = arrays["block"][g]
    sources["recording"] = arrays["recording"][g]
    # The concatenated arrays are this call's own: in place.
    g += offset
    sources["gate"] += 1
    return sources


EMPTY_SOURCES = {
    "group": np.int64, "gate": np.int64, "polarization": np.float32,
    "zenith": np.float32, "azimuth": np.float32, "doppler": np.float64,
    "doppler_std": np.float64, "snr": np.float64, "beam_doppler": np.float64,
    "information": np.float64,
    "outermost": bool, "range": np.float32, "frequency": np.float32,
    "time": "datetime64[ns]", "block": np.int64, "recording": object,
}


# The variables along `group` of drift_sources, from each batch's arrays.
GROUP_TABLE = {"time": "datetime64[ns]", "block": np.int64, "frequency": np.float32,
               "recording": object, "noise_power": np.float64}


def drift_sources(dataset, *, snr=6.0, ranges=None, polarization=None, declination=0.0,
                  width=None):
    """The drift sources of `dataset` (what open_dataset or open_mfdataset
    gives, one group of iter_groups, or an iterable of such datasets, e.g.
    iter_groups(path) itself), as an xarray.Dataset along `source`.

    A source is a (group, gate, beam) whose strongest Doppler line stands at
    least `snr` dB above the group's noise level, within `ranges` (minimum,
    maximum virtual range in km) when given, of beams of `polarization`
    (+90 or -90; None: every beam). A beam is the channels that share
    polarization, zenith and azimuth; its Doppler lines are its channels'
    Doppler shifts (channels on one line are averaged in power). The
    Doppler estimate is the centre of a Gaussian line shape fitted to the
    powers of the beam's lines (at most FIT_LINES around the strongest),
    measured power = Gaussian + mean noise power, by weighted least squares
    with the spectral width shared by the group's sources (the echo's
    width, taken from its sources 15 dB above the noise or more): unlike a
    power-weighted mean of the line centres, it is not pulled towards the
    lines, which sit at +-1, +-2, ... steps with none at zero, and a line at
    the noise tells the fit that the Gaussian is small there. A beam of
    only two lines cannot tell the centre from the width: `width` (Hz, the
    spectrum's standard deviation) is then assumed, and without it such
    beams give no source.

    The sources of one beam in one group see one spectrum. Their joint
    line shape (one centre, each source its own strength, the group's
    width; from the sources 10 dB above the noise level or more) gives
    beam_v_los, the velocity drift_velocity fits, and each such source's
    weight, its Fisher information about that centre: a source near the
    noise says little about the centre alone, its estimate being a ratio
    of noisy powers, but its lines add their information to its beam's.

    Per source: source_group (index of its group in the input, from 0),
    block, recording, time, frequency, gate, range, the beam's polarization,
    zenith and recorded azimuth, doppler (Hz), snr (dB), v_los = -c f_D /
    (2 f) (m/s, positive away), the unit vector k_east, k_north, k_up
    (azimuth plus `declination`, degrees, so that a magnetic azimuth becomes
    a geographic one), the skymap position x_east = R sin z sin a and
    y_north = R sin z cos a (km), and `outermost`, set where the estimate
    lies at or beyond the centre of the beam's outermost line (possibly
    aliased), beam_v_los (m/s) and weight ((m/s)^-2, 0 for the sources
    outside the joint fit). Along `group`, every input group's time, block,
    frequency and recording, so that drift_velocity gives a row also to
    groups without a source, and group_noise, the mean noise power N (dB)
    the fits take: fitted to the strongest channels of the group's cells
    below 9 dB above its noise level (the strongest of m channels of noise
    alone averages N (1 + 1/2 + ... + 1/m)), it scatters about a third as
    much as the noise level, a whole amplitude."""
    ranges = _check_options(snr, ranges, polarization, declination, width)
    snr = float(snr)
    parts, tables, offset = [], [], 0
    for arrays in _batches(dataset):
        found = _batch_sources(arrays, offset, snr, ranges, polarization, width)
        if found is not None:
            parts.append(found)
        tables.append({key: arrays[key] for key in GROUP_TABLE})
        offset += arrays["block"].size
    if len(parts) == 1:
        sources = parts[0]  # one batch: its arrays are this call's own already
    elif parts:
        sources = {key: np.concatenate([part[key] for part in parts]) for key in parts[0]}
    else:
        sources = {key: np.zeros(0, dtype) for key, dtype in EMPTY_SOURCES.items()}
    table = {key: np.concatenate([t[key] for t in tables]) if tables else
             np.zeros(0, dtype) for key, dtype in GROUP_TABLE.items()}
    return _sources_dataset(sources, table, snr, ranges, polarization, declination, width)


def _sources_dataset(sources, table, snr, ranges, polarization, declination, width):
    # In place where the arrays are this call's own: the fewer arrays at
    # once, the fewer fresh pages.
    zenith = np.radians(sources["zenith"].astype(np.float64))
    sin_zenith = np.sin(zenith)
    k_up = np.cos(zenith, out=zenith)
    azimuth = sources["azimuth"].astype(np.float64)
    azimuth += declination
    np.radians(azimuth, out=azimuth)
    k_east = np.sin(azimuth)
    k_east *= sin_zenith
    k_north = np.cos(azimuth, out=azimuth)
    k_north *= sin_zenith
    del sin_zenith
    twice_hz = sources["frequency"].astype(np.float64)
    twice_hz *= 2.0
    twice_hz *= 1e6
    v_los = np.multiply(-LIGHT_SPEED, sources["doppler"])
    v_los /= twice_hz
    v_los_std = sources["doppler_std"]
    v_los_std *= LIGHT_SPEED
    v_los_std /= twice_hz
    beam_v_los = np.multiply(-LIGHT_SPEED, sources["beam_doppler"])
    beam_v_los /= twice_hz
    # Information about a velocity: (2 f / c)^2 times that about a Doppler
    # shift.
    weight = sources["information"]
    twice_hz /= LIGHT_SPEED
    twice_hz *= twice_hz
    weight *= twice_hz
    del twice_hz
    ranges_km = sources["range"].astype(np.float64)
    # The sources' arrays are this call's own: no copies of those that have
    # their type already.
    source = ("source",)
    data = {
        "doppler": (source, sources["doppler"]),
        "snr": (source, sources["snr"]),
        "v_los": (source, v_los),
        "v_los_std": (source, v_los_std),
        "beam_v_los": (source, beam_v_los),
        "weight": (source, weight),
        "k_east": (source, k_east), "k_north": (source, k_north), "k_up": (source, k_up),
        "x_east": (source, np.multiply(ranges_km, k_east)),
        "y_north": (source, np.multiply(ranges_km, k_north, out=ranges_km)),
        "outermost": (source, sources["outermost"].astype(np.int8, copy=False)),
        "group_time": (("group",), table["time"].astype("datetime64[ns]")),
        "group_block": (("group",), table["block"].astype(np.int64)),
        "group_frequency": (("group",), table["frequency"].astype(np.float32)),
        "group_noise": (("group",), (10.0 * np.log10(table["noise_power"])).astype(np.float32)),
    }
    coords = {
        "source_group": (source, sources["group"].astype(np.int64, copy=False)),
        "block": (source, sources["block"].astype(np.int64, copy=False)),
        "recording": (source, sources["recording"].astype(object, copy=False)),
        "time": (source, sources["time"].astype("datetime64[ns]", copy=False)),
        "frequency": (source, sources["frequency"].astype(np.float32, copy=False)),
        "gate": (source, sources["gate"].astype(np.int32, copy=False)),
        "range": (source, sources["range"].astype(np.float32, copy=False)),
        "polarization": (source, sources["polarization"].astype(np.float32, copy=False)),
        "zenith": (source, sources["zenith"].astype(np.float32, copy=False)),
        "azimuth": (source, sources["azimuth"].astype(np.float32, copy=False)),
        "group": (("group",), np.arange(table["block"].size, dtype=np.int64)),
        "group_recording": (("group",), table["recording"].astype(object)),
    }
    attrs = {
        "Conventions": "CF-1.8",
        "title": "Drift sources of Digisonde 256 16-channel recordings",
        "software": "digisonde16c", "software_version": __version__,
        "velocity_convention": "v_los = -c f_D / (2 f), positive away from the sounder",
        "direction_convention": "k = (sin z sin a, sin z cos a, cos z) in (east, north, up), "
                                "a clockwise from north",
        "snr_threshold_db": snr,
        "declination": float(declination),
        "polarization": "all" if polarization is None else int(polarization),
    }
    if ranges is not None:
        attrs["range_window_km"] = np.array(ranges, dtype=np.float64)
    if width is not None:
        attrs["assumed_width_hz"] = float(width)
    dataset = xr.Dataset(data, coords, attrs)
    for key, value in SOURCE_ATTRIBUTES.items():
        if key in dataset:
            dataset[key].attrs.update(value)
    dataset["time"].encoding.update(TIME_ENCODING)
    dataset["group_time"].encoding.update(TIME_ENCODING)
    return dataset


NORMAL_QUANTILE = 1.959963984540054  # two-sided 95%


def _student_quantile(dof):
    """The two-sided 95% quantile of Student's t with `dof` degrees of
    freedom: the Cornish-Fisher expansion in 1/dof about the normal one
    (Abramowitz and Stegun 26.7.5; within 0.3% from 3 degrees of freedom)."""
    z = NORMAL_QUANTILE
    g1 = (z ** 3 + z) / 4.0
    g2 = (5 * z ** 5 + 16 * z ** 3 + 3 * z) / 96.0
    g3 = (3 * z ** 7 + 19 * z ** 5 + 17 * z ** 3 - 15 * z) / 384.0
    g4 = (79 * z ** 9 + 776 * z ** 7 + 1482 * z ** 5 - 1920 * z ** 3 - 945 * z) / 92160.0
    return z + g1 / dof + g2 / dof ** 2 + g3 / dof ** 3 + g4 / dof ** 4


def _unique_inverse(keys):
    """np.unique(keys, return_inverse=True), the inverse flat: by one pass
    where the keys come sorted (sources come by group, and mostly by beam
    within it), by a sort otherwise."""
    if keys.size and np.all(keys[1:] >= keys[:-1]):
        changed = np.empty(keys.size, dtype=bool)
        changed[0] = True
        np.not_equal(keys[1:], keys[:-1], out=changed[1:])
        inverse = np.cumsum(changed) - 1
        return keys[changed], inverse
    uniques, inverse = np.unique(keys, return_inverse=True)
    return uniques, np.asarray(inverse).reshape(-1)


def _row_sums(row, rows, weights):
    return np.bincount(row, weights=weights, minlength=rows)


def _row_medians(row, rows, values, weights):
    """Weighted median of `values` per row (NaN for a row without any)."""
    # By row, then by value within it; the weights summed within each row
    # alone, in its order, so that a row's median does not depend on the
    # other rows (nor on which rows are fitted together).
    medians = np.full(rows, np.nan)
    if row.size == 0:
        return medians
    counts = np.bincount(row, minlength=rows)
    width = int(counts.max())
    # Each source's place within its row, in the order of the sources.
    if np.all(row[1:] >= row[:-1]):
        column = np.arange(row.size) - (np.cumsum(counts) - counts)[row]
    else:
        order = np.argsort(row, kind="stable")
        column = np.empty(row.size, dtype=np.int64)
        column[order] = np.arange(row.size) - (np.cumsum(counts) - counts)[row[order]]
    if rows * width <= 4 * row.size + 4096:
        return _table_medians(row, column, rows, width, values, weights)
    compact = np.empty(rows, dtype=np.int64)
    present = np.flatnonzero(counts)
    if present.size * width <= 4 * row.size + 4096:
        # Few rows hold sources (those a clipping pass fits again): a table
        # of those rows alone.
        compact[present] = np.arange(present.size)
        medians[present] = _table_medians(compact[row], column, present.size, width, values,
                                          weights)
        return medians
    # Rows of very different counts: a table per class of counts (up to a
    # power of two), so that no table holds more than twice its sources.
    classes = np.ceil(np.log2(np.maximum(counts, 1))).astype(np.int64)
    for size in np.unique(classes[counts > 0]):
        members = np.flatnonzero((classes == size) & (counts > 0))
        compact.fill(-1)
        compact[members] = np.arange(members.size)
        at = np.flatnonzero(compact[row] >= 0)
        medians[members] = _table_medians(compact[row[at]], column[at], members.size,
                                          int(counts[members].max()), values[at], weights[at])
    return medians


def _table_medians(row, column, rows, width, values, weights):
    """_row_medians of the sources at (row, column) of a table of rows."""
    # Values by row: a table of a row each, padded with infinity of no
    # weight, sorted along its rows.
    table = np.full((rows, width), np.inf)
    table_weight = np.zeros((rows, width))
    table[row, column] = values
    table_weight[row, column] = weights
    order = np.argsort(table, axis=1, kind="stable")
    # Flat indices: np.take gathers faster than take_along_axis. Each
    # table is let go once sorted, and the weights summed in place: the
    # fewer large arrays at once, the fewer fresh pages.
    order += (np.arange(rows) * width)[:, None]
    table = np.take(table, order)
    cumulative = np.take(table_weight, order)
    del table_weight, order
    np.cumsum(cumulative, axis=1, out=cumulative)
    totals = cumulative[:, -1]
    at = np.minimum((cumulative < 0.5 * totals[:, None]).sum(axis=1), width - 1)
    medians = table[np.arange(rows), at]
    medians[totals <= 0] = np.nan
    return medians


def _inverse2(matrix):
    """Inverses of 2 x 2 matrices, with the reciprocal condition number of
    each scaled to unit diagonal (0 where singular)."""
    a, b, c = matrix[:, 0, 0], matrix[:, 0, 1], matrix[:, 1, 1]
    with np.errstate(invalid="ignore", divide="ignore"):
        correlation = np.abs(b) / np.sqrt(a * c)
        reciprocal = np.where((a > 0) & (c > 0), (1 - correlation) / (1 + correlation), 0.0)
        determinant = a * c - b * b
        inverse = np.stack([np.stack([c, -b], -1), np.stack([-b, a], -1)], -2)
        inverse /= determinant[:, None, None]
    return inverse, np.nan_to_num(reciprocal)


def _solve(row, rows, group, groups, group_row, k, weight, value, vertical, shrink):
    """One pass of the fit: per row the horizontal velocity V and the mean
    vertical velocity w, per group its own vertical velocity u_g = w + e_g,
    the horizontal common to the row's groups. `shrink` (groups,) is
    lambda_g = 1 / (1 + omega_g tau^2) of a random vertical wander e_g of
    variance tau^2 (omega_g = a_g / s^2 the precision of the group's own
    vertical): 1 holds every u_g at w (one velocity for the whole row, the
    plain three-component fit), near 0 leaves each group its own. With
    a = sum w k_up^2, c = sum w k_up k_h, d = sum w k_up v per group and u_g
    eliminated, the normal equations of (V, w) are
        [sum w k_h k_h' - sum (1 - lambda) c c' / a] V + [sum lambda c] w
            = sum w k_h v - sum (1 - lambda) c d / a,
        [sum lambda c'] V + [sum lambda a] w = sum lambda d,
    and u_g = (1 - lambda) (d - c . V) / a + lambda w. In one group this is
    the plain three-component fit whatever lambda. Returns the velocities
    (rows, 3), u (groups,), the per-group sums a, c, d, the inverse of the
    reduced horizontal normal matrix, the coupling terms (sum lambda c,
    sum lambda a) and the ill-conditioned rows."""
    horizontal, up = k[:, :2], k[:, 2]
    a = np.bincount(group, weights=weight * up * up, minlength=groups)
    c = np.stack([np.bincount(group, weights=weight * up * horizontal[:, i], minlength=groups)
                  for i in range(2)], axis=1)
    d = np.bincount(group, weights=weight * up * value, minlength=groups)
    with np.errstate(invalid="ignore", divide="ignore"):
        share = np.where(a > 0, 1.0 / a, 0.0)
    free = (1.0 - shrink) * share
    coupling = np.stack([np.bincount(group_row, weights=shrink * c[:, i], minlength=rows)
                         for i in range(2)], axis=1)
    total = np.bincount(group_row, weights=shrink * a, minlength=rows)
    mean_right = np.bincount(group_row, weights=shrink * d, minlength=rows)
    with np.errstate(invalid="ignore", divide="ignore"):
        reach = np.where(total > 0, 1.0 / total, 0.0)
    normal = np.empty((rows, 2, 2))
    right = np.empty((rows, 2))
    for i in range(2):
        right[:, i] = (_row_sums(row, rows, weight * horizontal[:, i] * value)
                       - np.bincount(group_row, weights=c[:, i] * d * free, minlength=rows)
                       - coupling[:, i] * mean_right * reach)
        for j in range(i, 2):
            normal[:, i, j] = normal[:, j, i] = (
                _row_sums(row, rows, weight * horizontal[:, i] * horizontal[:, j])
                - np.bincount(group_row, weights=c[:, i] * c[:, j] * free, minlength=rows)
                - coupling[:, i] * coupling[:, j] * reach)
    inverse, reciprocal = _inverse2(normal)
    ill = ~vertical & (reciprocal < MIN_RECIPROCAL_CONDITION)
    velocity = np.full((rows, 3), np.nan)
    solved = ~vertical & ~ill
    velocity[solved, :2] = np.einsum("rij,rj->ri", inverse[solved], right[solved])
    shift = np.where(vertical, 0.0, np.nan_to_num(velocity[:, :2]).T).T
    with np.errstate(invalid="ignore", divide="ignore"):
        velocity[:, 2] = (mean_right - np.einsum("ri,ri->r", coupling, shift)) / total
        own = (d - np.einsum("gi,gi->g", c, shift[group_row])) * share
        u = (1.0 - shrink) * own + shrink * velocity[group_row, 2]
    velocity[ill] = np.nan
    ill |= total <= 0
    return velocity, u, a, c, d, inverse, coupling, total, ill


def _wander(row, rows, group, groups, group_row, a, u, residual, weight, unit_index,
            units, held):
    """lambda_g of _solve from a fit that leaves each group its own vertical
    velocity u_g: tau^2, the variance of the groups' verticals beyond their
    errors, by the method of moments of DerSimonian and Laird (1986,
    Control. Clin. Trials 7, 177), each u_g's error variance s^2 / a_g with
    s^2 the weighted residual variance of one residual per unit (a beam in
    a group: its sources share one spectrum). Rows of one group, or whose
    s^2 is not determined, keep each group's own (lambda 0)."""
    unit_weight = np.bincount(unit_index, weights=weight, minlength=units)
    with np.errstate(invalid="ignore", divide="ignore"):
        unit_residual = np.bincount(unit_index, weights=weight * residual,
                                    minlength=units) / unit_weight
    unit_row = np.zeros(units, dtype=np.int64)
    unit_row[unit_index] = row
    used = unit_weight > 0
    unit_count = np.bincount(unit_row[used], minlength=rows)
    with np.errstate(invalid="ignore", divide="ignore"):
        scale = np.bincount(unit_row[used], weights=(unit_weight * unit_residual ** 2)[used],
                            minlength=rows) / (unit_count - 2.0 - held)
        omega = np.where(a > 0, a / scale[group_row], 0.0)
        sum_omega = np.bincount(group_row, weights=omega, minlength=rows)
        centre = np.bincount(group_row, weights=omega * np.nan_to_num(u),
                             minlength=rows) / sum_omega
        q = np.bincount(group_row, weights=omega * (np.nan_to_num(u) - centre[group_row]) ** 2,
                        minlength=rows)
        spread = (q - (held - 1.0)) / (
            sum_omega - np.bincount(group_row, weights=omega * omega, minlength=rows) / sum_omega)
        spread = np.maximum(spread, 0.0)
        shrink = 1.0 / (1.0 + omega * spread[group_row])
    undetermined = ~np.isfinite(spread) | (unit_count <= 2.0 + held) | (held < 2)
    shrink = np.where(undetermined[group_row] | ~np.isfinite(shrink), MIN_SHRINK, shrink)
    return np.maximum(shrink, MIN_SHRINK)


def _fit_rows(row, rows, columns, vertical, clip):
    """_fit over chunks of whole rows of about FIT_SOURCES sources each,
    from the sources' `columns` (k_east, k_north, k_up, value, snr,
    polarization, zenith, azimuth, group, and weight where given, else the
    power over the noise held at WEIGHT_CAP): the rows are fitted
    independently of one another, so a chunk's results are those of the
    whole fit, and the arrays of every step, the fit's inputs among them,
    stay small (the heap they come from is reused chunk after chunk, not
    faulted in afresh)."""
    velocity, covariance = np.empty((rows, 3)), np.empty((rows, 3, 3))
    ill, count, rms = np.empty(rows, dtype=bool), np.empty(rows, dtype=np.int64), np.empty(rows)
    # Whether any row holds several groups (sources of one group are in one
    # row), which chooses the fit's path for every row: rows of one group
    # each have the plain fit whatever lambda.
    cluster = columns["group"]
    if cluster.size and np.all(cluster[1:] >= cluster[:-1]):
        groups = int(np.count_nonzero(cluster[1:] != cluster[:-1])) + 1
    else:
        groups = np.unique(cluster).size
    several = groups > np.count_nonzero(np.bincount(row, minlength=rows))
    ends = np.cumsum(np.bincount(row, minlength=rows))
    # Sources by row (each row's in their own order): where they come so
    # already, a chunk's are a slice, views without copies.
    by_row = None if row.size == 0 or np.all(row[1:] >= row[:-1]) else np.argsort(
        row, kind="stable")
    low = 0
    while True:
        before = int(ends[low - 1]) if low > 0 else 0
        high = min(max(low + 1, int(np.searchsorted(ends, before + FIT_SOURCES, "right"))),
                   rows)
        part = slice(before, int(ends[high - 1]) if high > 0 else 0)
        if by_row is not None:
            part = by_row[part]
        chunk = {key: value[part] for key, value in columns.items()}
        k = np.stack([chunk["k_east"], chunk["k_north"], chunk["k_up"]], axis=1)
        weight = chunk["weight"] if "weight" in chunk else np.minimum(
            10.0 ** (chunk["snr"] / 10.0), WEIGHT_CAP)
        unit = chunk["group"] * 64 + _beam_code(chunk["polarization"], chunk["zenith"],
                                                chunk["azimuth"])
        found = _fit(row[part] - low, high - low, k, chunk["value"], weight, unit,
                     chunk["group"], vertical[low:high], clip, several)
        for whole, result in zip((velocity, covariance, ill, count, rms), found):
            whole[low:high] = result
        low = high
        if low >= rows:
            return velocity, covariance, ill, count, rms


def _fit(row, rows, k, value, weight, unit, cluster, vertical, clip, several, iterations=10):
    """Weighted least squares per row with iterative clipping (_solve); the
    covariance allows for errors shared by the sources of one unit (a beam
    in a group) or, where a row holds 4 groups or more, by those of one
    group (cluster-robust over the groups, as resampling the groups would).
    `several`: whether a row of the whole fit holds several groups."""
    active = np.ones(row.size, dtype=bool)
    if cluster.size and np.all(cluster[1:] >= cluster[:-1]):  # sources come by group
        group_all = np.cumsum(np.concatenate([[0], cluster[1:] != cluster[:-1]]))
        groups = int(group_all[-1]) + 1
    else:
        groups_of, group_all = np.unique(cluster, return_inverse=True)
        group_all = np.asarray(group_all).reshape(-1)
        groups = groups_of.size
    group_row = np.zeros(groups, dtype=np.int64)
    group_row[group_all] = row
    shrink = np.ones(groups)
    if several:
        all_units, unit_all = _unique_inverse(unit)
    # Only the rows that lost sources are fitted again: the others' active
    # sources, and so their solutions, stay as they were.
    pending = np.ones(rows, dtype=bool)
    mine = np.arange(row.size)  # the sources of the pending rows
    residual = np.zeros(row.size)
    spread = np.zeros(rows)
    solution = None
    for _ in range(iterations):
        now = mine[active[mine]]
        if now.size == row.size:  # every source: the arrays themselves, no copies
            r, kk, w, v, g = row, k, weight, value, group_all
        else:
            r, kk, w, v, g = row[now], k[now], weight[now], value[now], group_all[now]
        # Each group its own vertical first; then the wander its verticals
        # show beyond their errors decides how far they are drawn together.
        held = np.bincount(group_row, weights=(np.bincount(g, minlength=groups) > 0)
                           .astype(np.float64), minlength=rows)
        if several:
            first = _solve(r, rows, g, groups, group_row, kk, w, v, vertical,
                           np.full(groups, MIN_SHRINK))
            fitted = np.einsum("ij,ij->i", kk[:, :2], np.nan_to_num(first[0][r, :2]))
            shrink = np.where(pending[group_row], _wander(
                r, rows, g, groups, group_row, first[2], first[1],
                v - fitted - kk[:, 2] * first[1][g], w, unit_all[now], all_units.size, held),
                shrink)
        update = _solve(r, rows, g, groups, group_row, kk, w, v, vertical, shrink)
        if solution is None:
            solution = list(update)
        else:
            # Per row: velocity, inverse, coupling, total, ill; per group: u,
            # a, c, d.
            for index, rowwise in enumerate((True, False, False, False, False, True, True,
                                             True, True)):
                where = pending if rowwise else pending[group_row]
                solution[index][where] = update[index][where]
        velocity, u = solution[0], solution[1]
        every = mine.size == row.size
        mine_row, k_mine = (row, k) if every else (row[mine], k[mine])
        # k_east v_east + k_north v_north, summed from zero as a dot product
        # is (so that a sum of two -0.0 is 0.0).
        shift = np.nan_to_num(velocity[:, :2])
        fitted = k_mine[:, 0] * shift[mine_row, 0]
        fitted += 0.0
        fitted += k_mine[:, 1] * shift[mine_row, 1]
        if every:
            residual[:] = value - fitted - k[:, 2] * u[group_all]
        else:
            residual[mine] = value[mine] - fitted - k_mine[:, 2] * u[group_all[mine]]
        spread[pending] = np.maximum(
            1.4826 * _row_medians(r, rows, np.abs(residual[now]), w), MIN_SPREAD)[pending]
        limit = clip * spread[r]
        with np.errstate(invalid="ignore"):
            outlier = now[(np.abs(residual[now]) > limit) & (spread[r] > 0)]
        if outlier.size == 0:
            break
        active[outlier] = False
        pending = np.bincount(row[outlier], minlength=rows) > 0
        mine = np.flatnonzero(pending[row])
    velocity, u, a, c, d, inverse, coupling, total, ill = solution
    r, kk, w, res, g = row[active], k[active], weight[active], residual[active], group_all[active]
    count = np.bincount(r, minlength=rows)
    weight_sum = _row_sums(r, rows, w)
    with np.errstate(invalid="ignore", divide="ignore"):
        rms = np.sqrt(_row_sums(r, rows, w * res * res) / weight_sum)
    held = np.bincount(group_row, weights=(a > 0).astype(np.float64), minlength=rows)

    # Model covariance: s^2 (A^T W A)^-1 of the three-component fit, s^2 from
    # one residual per unit (the weighted mean of its sources') over their
    # number less the unknowns (two horizontal, one vertical per group).
    normal = np.empty((rows, 3, 3))
    for i in range(3):
        for j in range(i, 3):
            normal[:, i, j] = normal[:, j, i] = _row_sums(r, rows, w * kk[:, i] * kk[:, j])
    full = np.full((rows, 3, 3), np.nan)
    up_only = vertical & (normal[:, 2, 2] > 0)
    full[up_only, 2, 2] = 1.0 / normal[up_only, 2, 2]
    solvable = ~vertical & ~ill
    if solvable.any():
        full[solvable] = np.linalg.pinv(normal[solvable])
    unit_index = _unique_inverse(unit[active])[1]
    unit_weight = np.bincount(unit_index, weights=w)
    unit_residual = np.bincount(unit_index, weights=w * res) / unit_weight
    unit_row = np.zeros(unit_weight.size, dtype=np.int64)
    unit_row[unit_index] = r
    unit_count = np.bincount(unit_row, minlength=rows)
    unknowns = np.where(vertical, 0, 2) + held
    with np.errstate(invalid="ignore", divide="ignore"):
        variance = (_row_sums(unit_row, rows, unit_weight * unit_residual ** 2)
                    / (unit_count - unknowns))
    variance[unit_count <= unknowns] = np.nan
    covariance = variance[:, None, None] * full

    # Cluster-robust over groups: each group's influence on (v_east,
    # v_north, v_up), the inverse normal matrix of _solve times the group's
    # score (its terms of the normal equations less their share of the
    # solution); their outer products summed, times G/(G-1).
    robust_rows = held >= 4
    if robust_rows.any():
        with np.errstate(invalid="ignore", divide="ignore"):
            share = np.where(a > 0, 1.0 / a, 0.0)
            reach = np.where(total > 0, 1.0 / total, 0.0)
        shift = np.where(vertical, 0.0, np.nan_to_num(velocity[:, :2]).T).T
        own = (d - np.einsum("gi,gi->g", c, shift[group_row])) * share
        score = np.stack([np.bincount(g, weights=w * res * kk[:, i], minlength=groups)
                          for i in range(2)] + [shrink * a * (own - np.nan_to_num(
                              velocity[group_row, 2]))], axis=1)
        horizontal_inverse = np.where(vertical[:, None, None], 0.0, np.nan_to_num(inverse))
        phi = np.einsum("gij,gj->gi", horizontal_inverse[group_row],
                        score[:, :2] - coupling[group_row] * (score[:, 2] * reach[group_row])
                        [:, None])
        psi = (score[:, 2] - np.einsum("gi,gi->g", coupling[group_row], phi)) * reach[group_row]
        influence = np.concatenate([phi, psi[:, None]], axis=1)
        influence[a <= 0] = 0.0
        meat = np.zeros((rows, 3, 3))
        for i in range(3):
            for j in range(3):
                meat[:, i, j] = np.bincount(group_row, weights=influence[:, i] * influence[:, j],
                                            minlength=rows)
        # Small-sample correction: G / (G - 1), and the ratio of the
        # Student-t quantile with G - 1 degrees of freedom to the normal one
        # (two-sided 95%), squared, so that an interval of two standard
        # deviations covers as the t interval does over so few groups.
        factor = held / np.maximum(held - 1.0, 1.0) * (
            _student_quantile(np.maximum(held - 1.0, 1.0)) / NORMAL_QUANTILE) ** 2
        robust = factor[:, None, None] * meat
        robust[vertical, :2, :] = np.nan
        robust[vertical, :, :2] = np.nan
        # Errors a beam keeps from group to group (a steady drift gives
        # every group the same spectra): one residual per beam over the
        # window, their variance over their number less three, spread
        # through the fit as errors common to each beam's sources. The
        # larger of the two covariances (by trace) is reported.
        beam_keys, beam_index = _unique_inverse(r * 64 + unit[active] % 64)
        beam_row = beam_keys // 64
        beam_weight = np.bincount(beam_index, weights=w)
        beam_residual = np.bincount(beam_index, weights=w * res) / beam_weight
        beam_k = np.zeros((beam_keys.size, 3))
        beam_k[beam_index] = kk
        beams = np.bincount(beam_row, minlength=rows)
        with np.errstate(invalid="ignore", divide="ignore"):
            spread = np.bincount(beam_row, weights=beam_residual ** 2, minlength=rows) / (
                beams - 3.0)
        common = np.zeros((rows, 3, 3))
        for i in range(3):
            for j in range(3):
                common[:, i, j] = np.bincount(
                    beam_row, weights=beam_weight ** 2 * beam_k[:, i] * beam_k[:, j],
                    minlength=rows)
        steady = spread[:, None, None] * (full @ common @ full)
        usable = (beams > 3) & ~vertical
        larger = (np.trace(steady, axis1=1, axis2=2) > np.trace(robust, axis1=1, axis2=2)) \
            & usable
        robust_diagonal = np.einsum("rii->ri", robust)
        steady_diagonal = np.einsum("rii->ri", steady)
        robust[larger] = steady[larger]
        # Each component's variance the larger of the two; correlations
        # those of the larger covariance.
        with np.errstate(invalid="ignore", divide="ignore"):
            scale = np.sqrt(np.fmax(robust_diagonal, steady_diagonal)
                            / np.einsum("rii->ri", robust))
        scale[~usable] = 1.0
        robust *= scale[:, :, None] * scale[:, None, :]
        covariance[robust_rows] = robust[robust_rows]
    return velocity, covariance, ill, count, rms


def drift_velocity(dataset_or_sources, *, interval=None, snr=6.0, ranges=None,
                   polarization=None, declination=0.0, width=None, clip=3.0,
                   min_sources=4, detection=15.0):
    """The bulk drift velocity per group, or per time window of `interval`
    seconds (windows aligned to whole multiples of it since 1970), as an
    xarray.Dataset along `time`.

    `dataset_or_sources` is what drift_sources takes (the options snr,
    ranges, polarization, declination and width then select the sources as
    there), or what it gives. Per row, a weighted least-squares fit of
    V = (v_east, v_north, v_up) to v_los = k . V over the row's sources in
    their beams' joint line shapes (those 10 dB above the noise level or
    more), each with its beam's velocity beam_v_los and its weight, its
    Fisher information about it: the weights follow the sources' powers
    above the noise, as the information of a line's power does, and a
    beam's whole weight is that of its joint line shape. (A source table
    without beam_v_los, from an earlier version, is fitted source by
    source: v_los weighted by the linear power over the noise level, held
    at 30 dB.)
    In a window the horizontal velocity is common to its groups; the
    vertical one of each group is drawn towards the window's mean v_up as
    far as the groups' own verticals agree within their errors (a random
    wander of variance tau^2, estimated by the method of moments of
    DerSimonian and Laird 1986: a steady drift gives one velocity for the
    window, the plain three-component fit, a wandering one each group its
    own vertical; in one group this is the plain fit whatever tau).
    Sources beyond `clip` robust standard deviations (1.4826 times the
    weighted median absolute residual, at least 1 m/s) are dropped and the
    fit repeated until none is. The covariance is
    s^2 (A^T W A)^-1 with s^2 the weighted residual variance of one
    residual per beam and group (their sources share one spectrum, so their
    errors are not independent) over their number less the unknowns; where
    a row holds 4 groups or more, the cluster-robust (sandwich) covariance
    over its groups (each group's influence on the three components, times
    G / (G - 1) and the squared ratio of Student's t 95% quantile with G - 1
    degrees of freedom to the normal one) replaces it, so that a drift that
    wanders from group to group widens the uncertainty as it should (the
    analytic counterpart of resampling the groups); each component's
    variance is then held at least
    at that of errors each beam keeps over the window (one residual per
    beam), which a steady drift, giving every group the same spectra, has.

    flag: 0 ok; 1 vertical only (only vertical beams: v_up alone, the
    horizontal components NaN); 2 too few sources (fewer than
    `min_sources`: every component NaN); 3 ill-conditioned (the beams do not
    determine the three components, e.g. the vertical and one oblique beam:
    every component NaN); 4 no echo (no source of the row stands `detection`
    dB above the noise level: at a low `snr`, noise alone passes the
    threshold in many of a group's cells, but not by 15 dB; every component
    NaN). Standard deviations are NaN where a row holds no more beams
    than unknowns and fewer than 4 groups."""
    if isinstance(dataset_or_sources, xr.Dataset) and "v_los" in dataset_or_sources:
        sources = dataset_or_sources
    else:
        sources = drift_sources(dataset_or_sources, snr=snr, ranges=ranges,
                                polarization=polarization, declination=declination,
                                width=width)
    if interval is not None and not (isinstance(interval, numbers.Real)
                                     and not isinstance(interval, bool) and interval > 0):
        raise ValueError(f"interval must be a positive number of seconds or None, "
                         f"not {interval!r}")
    group_of = sources["source_group"].values
    if interval is None:
        rows = sources.sizes["group"]
        row = group_of
        row_coords = {
            "time": ("time", sources["group_time"].values),
            "group": ("time", sources["group"].values),
            "block": ("time", sources["group_block"].values),
            "frequency": ("time", sources["group_frequency"].values),
            "group_recording": ("time", sources["group_recording"].values),
        }
    else:
        step = np.int64(round(float(interval) * 1e9))
        times = sources["group_time"].values.astype("datetime64[ns]").view(np.int64)
        valid = sources["group_time"].values == sources["group_time"].values
        window = np.where(valid, times // step, np.iinfo(np.int64).min)
        starts, group_window = np.unique(window[valid], return_inverse=True)
        window_of_group = np.full(times.size, -1)
        window_of_group[np.flatnonzero(valid)] = np.asarray(group_window).reshape(-1)
        rows = starts.size
        row = window_of_group[group_of]
        row_coords = {
            "time": ("time", (starts * step).astype("datetime64[ns]")),
            "time_end": ("time", ((starts + 1) * step).astype("datetime64[ns]")),
        }
    keep = row >= 0
    joint = "beam_v_los" in sources and "weight" in sources
    if joint:
        # The sources of the beams' joint line shapes, each with its beam's
        # velocity and its own information as weight.
        with np.errstate(invalid="ignore"):
            keep &= (sources["weight"].values > 0) & np.isfinite(sources["beam_v_los"].values)
    every = bool(keep.all())
    # The mask's indices once: a gather by them is faster than a mask per
    # array.
    chosen = None if every else np.flatnonzero(keep)

    def kept(values):
        """The values of the sources in a row (without a copy where all are)."""
        return values if every else np.take(values, chosen)

    row = kept(row)
    columns = {name: kept(sources[name].values) for name in
               ("k_east", "k_north", "k_up", "snr", "polarization", "zenith", "azimuth")}
    if joint:
        columns["value"] = kept(sources["beam_v_los"].values)
        columns["weight"] = kept(sources["weight"].values)
    else:
        # Sources without their beams' joint fit (a source table of an
        # older version): each its own velocity, weighted by its power.
        columns["value"] = kept(sources["v_los"].values)
    columns["group"] = kept(group_of)
    # Rows without an oblique source, and rows without a source `detection`
    # dB above the noise: counted over the sources that are.
    vertical_row = np.bincount(row[columns["zenith"] > 0], minlength=rows) == 0
    velocity, covariance, ill, count, rms = _fit_rows(row, rows, columns, vertical_row,
                                                      float(clip))
    flag = np.where(vertical_row, FLAG_VERTICAL_ONLY, FLAG_OK).astype(np.int8)
    flag[ill & ~vertical_row] = FLAG_ILL_CONDITIONED
    undetected = np.bincount(row[columns["snr"] >= detection], minlength=rows) == 0
    flag[(flag != FLAG_ILL_CONDITIONED) & undetected] = FLAG_NO_ECHO
    flag[count < min_sources] = FLAG_TOO_FEW
    velocity[flag >= FLAG_TOO_FEW] = np.nan
    covariance[flag >= FLAG_TOO_FEW] = np.nan
    velocity[flag == FLAG_VERTICAL_ONLY, :2] = np.nan
    covariance[flag == FLAG_VERTICAL_ONLY, :2, :] = np.nan
    covariance[flag == FLAG_VERTICAL_ONLY, :, :2] = np.nan
    rms[flag >= FLAG_TOO_FEW] = np.nan
    return _velocity_dataset(velocity, covariance, flag, count, rms, row_coords, sources,
                             interval)


def _velocity_dataset(velocity, covariance, flag, count, rms, row_coords, sources, interval):
    time = ("time",)
    std = np.sqrt(np.einsum("rii->ri", covariance))
    data = {
        "v_east": (time, velocity[:, 0]), "v_north": (time, velocity[:, 1]),
        "v_up": (time, velocity[:, 2]),
        "v_east_std": (time, std[:, 0]), "v_north_std": (time, std[:, 1]),
        "v_up_std": (time, std[:, 2]),
        "covariance": (("time", "component", "component_2"), covariance),
        "speed": (time, np.hypot(velocity[:, 0], velocity[:, 1])),
        "direction": (time, np.degrees(np.arctan2(velocity[:, 0], velocity[:, 1])) % 360.0),
        "sources": (time, count.astype(np.int32)),
        "residual_rms": (time, rms),
        "flag": (time, flag),
    }
    coords = dict(row_coords)
    coords["component"] = ("component", list(COMPONENTS))
    coords["component_2"] = ("component_2", list(COMPONENTS))
    attrs = {key: sources.attrs[key] for key in
             ("velocity_convention", "direction_convention", "snr_threshold_db",
              "declination", "polarization", "range_window_km", "assumed_width_hz")
             if key in sources.attrs}
    attrs.update({
        "Conventions": "CF-1.8",
        "title": "Drift velocities of Digisonde 256 16-channel recordings",
        "software": "digisonde16c", "software_version": __version__,
        "interval": "group" if interval is None else f"{float(interval):g} s",
        "method": "weighted least squares of v_los = k . V "
                  + ("over the beams' joint line shapes (one velocity per beam and group, "
                     "each source weighted by its Fisher information) "
                     if "beam_v_los" in sources else "")
                  + "with iterative 3-sigma clipping (Reinisch, Scali and Haines 1998; "
                    "Scali et al. 1995)",
        "note": "Doppler velocities are apparent, phase-path velocities; the fit assumes a "
                "uniform flow over the beams' footprint",
    })
    dataset = xr.Dataset(data, coords, attrs)
    for key, value in VELOCITY_ATTRIBUTES.items():
        dataset[key].attrs.update(value)
    dataset["time"].attrs.update({"long_name": "time of the group" if interval is None
                                  else "start of the window", "standard_name": "time"})
    dataset["time"].encoding.update(TIME_ENCODING)
    if "time_end" in dataset:
        dataset["time_end"].attrs["long_name"] = "end of the window"
        dataset["time_end"].encoding.update(TIME_ENCODING)
    return dataset


def drift_recording(dataset, **options):
    """drift_velocity of one recording's dataset, for the archive command
    (a module-level function, so that Dask workers can import it)."""
    return drift_velocity(dataset, **options)
