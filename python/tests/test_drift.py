"""Drift velocities against the truth built into synthesized drift
recordings (synth16c drift): the velocity and layout come from the command
line, never from the code under test."""

import numpy as np
import pytest
import xarray as xr

import digisonde16c
from digisonde16c import drift

from conftest import synthesize

LIGHT_SPEED = 299792458.0


def drift_recording(folder, name, *options):
    path = folder / f"{name}.16c"
    synthesize(path, "drift", *options)
    return path


@pytest.mark.parametrize("lines, options, fit", [
    # Vertical and six oblique beams, 2 lines: the width must be assumed.
    ("2", ("--east", "-120", "--north", "85", "--up", "-25", "--width", "2"),
     {"width": 2.0}),
    # Vertical and two oblique beams 30 degrees apart, turning per group.
    ("4", ("--east", "140", "--north", "-60", "--up", "35", "--azimuths", "0,90,180,270",
           "--width", "1", "--height", "300"), {}),
    # Vertical and one oblique beam: only a window of groups holds the three
    # directions.
    ("8", ("--east", "-40", "--north", "-150", "--up", "5", "--azimuths", "0,120,240",
           "--width", "0.6", "--height", "200", "--noise", "30"), {}),
])
def test_known_velocity_per_layout(tmp_path, lines, options, fit):
    path = drift_recording(tmp_path, f"lines{lines}", "--lines", lines, "--groups", "12",
                           *options)
    truth = {name: float(options[options.index(f"--{name}") + 1])
             for name in ("east", "north", "up")}
    window = digisonde16c.drift_velocity(digisonde16c.open_dataset(path), interval=3600,
                                         **fit)
    assert window.sizes["time"] == 1
    assert int(window["flag"][0]) == 0
    for name, tolerance in (("east", 10.0), ("north", 10.0), ("up", 2.0)):
        assert abs(float(window[f"v_{name}"][0]) - truth[name]) < tolerance, name
    if lines == "2":
        # Without an assumed width, beams of two lines give no source.
        assert digisonde16c.drift_sources(digisonde16c.open_dataset(path)).sizes["source"] == 0


def test_rising_layer_vertical_only(tmp_path):
    # The +90 beams of the 2-line layout are vertical only; the layer rises.
    path = drift_recording(tmp_path, "rising", "--groups", "4", "--east", "80",
                           "--north", "0", "--up", "20", "--width", "2", "--cross-loss", "0")
    dataset = digisonde16c.open_dataset(path)
    sources = digisonde16c.drift_sources(dataset, polarization=90, width=2.0, snr=10)
    assert sources.sizes["source"] > 0
    assert np.all(sources["zenith"] == 0)
    # A rising layer: negative Doppler shift, positive v_los (away).
    assert np.all(sources["doppler"] < 0) and np.all(sources["v_los"] > 0)
    # A source table without the beams' joint fits (an earlier version's)
    # is fitted source by source.
    for table in (sources, sources.drop_vars(["beam_v_los", "weight"])):
        rows = digisonde16c.drift_velocity(table)
        assert np.all(rows["flag"] == drift.FLAG_VERTICAL_ONLY)
        assert np.all(np.abs(rows["v_up"] - 20.0) < 2.0)
        assert np.all(np.isnan(rows["v_east"])) and np.all(np.isnan(rows["v_north"]))


def test_no_velocity_without_echo_or_geometry(tmp_path):
    noise = digisonde16c.open_dataset(drift_recording(tmp_path, "noise", "--groups", "6",
                                                      "--power", "-50"))
    for options in ({}, {"interval": 3600}, {"snr": 30}):
        rows = digisonde16c.drift_velocity(noise, width=2.0, **options)
        assert np.all(np.isin(rows["flag"], [drift.FLAG_TOO_FEW, drift.FLAG_NO_ECHO]))
        assert np.all(np.isnan(rows["v_up"])) and np.all(np.isnan(rows["v_east_std"]))
    assert np.all(digisonde16c.drift_velocity(noise, snr=30)["flag"] == drift.FLAG_TOO_FEW)
    # The vertical and one oblique beam per group: no horizontal direction
    # is determined by a group alone.
    pair = drift_recording(tmp_path, "pair", "--lines", "8", "--groups", "3")
    rows = digisonde16c.drift_velocity(digisonde16c.open_dataset(pair))
    assert np.all(rows["flag"] == drift.FLAG_ILL_CONDITIONED)
    assert np.all(np.isnan(rows["v_up"]))


def test_line_shape_estimate_is_not_pulled_to_the_lines(tmp_path):
    # A vertical drift of 0.4 line steps (1.5625 Hz) with a spectrum 0.5
    # steps wide: a power-weighted mean of the line centres lands near the
    # +1 line, the Gaussian's centre does not.
    step, frequency = 1.5625, 4.0
    shift = 0.4 * step
    up = -shift * LIGHT_SPEED / (2 * frequency * 1e6)
    path = drift_recording(tmp_path, "narrow", "--lines", "4", "--groups", "3",
                           "--east", "0", "--north", "0", "--up", repr(up),
                           "--width", repr(0.5 * step))
    dataset = digisonde16c.open_dataset(path)
    sources = digisonde16c.drift_sources(dataset, snr=25)
    assert sources.sizes["source"] >= 10
    assert abs(float(sources["doppler"].median()) - shift) < 0.03 * step
    # The plain mean over the same cells, for contrast: off by more, every
    # one of them.
    first = dataset.isel(group=0)
    vertical = ((first["zenith"] == 0) & (first["polarization"] == -90)).values
    cells = sources.where((sources["source_group"] == 0) & (sources["zenith"] == 0),
                          drop=True)
    power = 10.0 ** (first["amplitude"].values[vertical][:, cells["gate"].values - 1] / 10)
    plain = (first["doppler"].values[vertical] @ power) / power.sum(axis=0)
    assert np.all(np.abs(plain - shift) > 0.15 * step)


def test_no_doppler_bias_from_the_preface_bits(tmp_path):
    # No drift: every beam's spectrum is centred on zero. The amplitude
    # codes of channels 1 and 2 (in this layout the +1 line of both oblique
    # beams) carry the preface's bits in their lowest bit; read as they
    # stand they would put the oblique centres 0.009 Hz below zero.
    path = drift_recording(tmp_path, "still", "--lines", "4", "--groups", "40",
                           "--east", "0", "--north", "0", "--up", "0", "--width", "1",
                           "--azimuths", "0,90,180,270", "--seed", "5")
    sources = digisonde16c.drift_sources(digisonde16c.open_dataset(path))
    fitted = sources.where(sources["weight"] > 0, drop=True)
    for oblique in (False, True):
        beams = fitted.where((fitted["zenith"] > 0) == oblique, drop=True)
        doppler = -beams["beam_v_los"] * 2 * 4e6 / LIGHT_SPEED
        assert abs(float(np.average(doppler, weights=beams["weight"]))) < 0.005


@pytest.mark.parametrize("noise", ["20", "40"])
def test_group_noise_is_the_recordings_noise_power(tmp_path, noise):
    # The mean noise power the line-shape fits take, against the one the
    # recording was made with: the decoder's noise level (a whole amplitude)
    # scatters by half a unit and more about it.
    path = drift_recording(tmp_path, "noise", "--lines", "4", "--groups", "40",
                           "--noise", noise, "--seed", "3")
    fitted = digisonde16c.drift_sources(digisonde16c.open_dataset(path))["group_noise"].values
    assert fitted.size == 40
    assert abs(fitted.mean() - float(noise)) < 0.1
    assert fitted.std() < 0.25


@pytest.mark.dask
@pytest.mark.slow
def test_dataset_groups_and_archive_agree(tmp_path, dask_client, monkeypatch):
    from digisonde16c.__main__ import main

    path = drift_recording(tmp_path, "wander", "--lines", "4", "--groups", "9",
                           "--jitter", "15", "--azimuths", "0,150")
    options = {"interval": 20.0, "snr": 8.0, "ranges": (150.0, 400.0)}
    whole = digisonde16c.drift_velocity(digisonde16c.open_dataset(path), **options)
    assert np.all(whole["flag"] == 0) and whole.sizes["time"] >= 3
    # Groups joined in batches of 4, as iter_groups' groups come, and their
    # cells fitted in chunks of a few groups (a group's sources share their
    # line-shape width, so no chunk may split one); the velocities fitted
    # over chunks of a few windows (no chunk may split a window).
    monkeypatch.setattr(drift, "BATCH_GROUPS", 4)
    monkeypatch.setattr(drift, "CHUNK_CELLS", 64)
    monkeypatch.setattr(drift, "FIT_SOURCES", 40)
    for data in (digisonde16c.iter_groups(path), digisonde16c.open_dataset(path)):
        xr.testing.assert_identical(whole, digisonde16c.drift_velocity(data, **options))
    # The archive command on the running cluster, through its NetCDF file.
    output = tmp_path / "drift.nc"
    assert main(["drift", str(path), str(output), "--interval", "20", "--snr", "8",
                 "--ranges", "150", "400", "--scheduler",
                 dask_client.scheduler.address]) == 0
    with xr.open_dataset(output) as archived:
        assert list(archived["recording"].values) == ["wander.16c"] * whole.sizes["time"]
        xr.testing.assert_equal(whole, archived.drop_vars("recording").load())


@pytest.mark.parametrize("counts, shuffled", [
    ([3, 1, 4, 1, 5, 0, 2] * 20, False),  # one table of every row
    ([900] + [1, 2, 3] * 100, False),  # counts far apart: a table per class of counts
    ([900] + [1, 2, 3] * 100, True),  # the same, rows out of order
    ([0] * 5000 + [7, 1, 4], True),  # few rows hold values among many
])
def test_row_medians_are_each_rows_weighted_median(counts, shuffled):
    # The clipping's robust spread: per row, the first value in ascending
    # order (ties in the sources' order) at which the running weight reaches
    # half the row's total; a row without values has none.
    generator = np.random.default_rng(len(counts))
    row = np.repeat(np.arange(len(counts)), counts)
    if shuffled:
        generator.shuffle(row)
    values = np.round(generator.normal(size=row.size), 1)  # with ties
    weights = generator.uniform(0.1, 1000.0, row.size)
    medians = drift._row_medians(row, len(counts), values, weights)
    for index, count in enumerate(counts):
        if count == 0:
            assert np.isnan(medians[index])
            continue
        mine = np.flatnonzero(row == index)
        order = mine[np.argsort(values[mine], kind="stable")]
        running = np.cumsum(weights[order])
        assert medians[index] == values[order][np.argmax(running >= 0.5 * running[-1])]
