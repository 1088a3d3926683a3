"""Scaled ionograms against the layers built into synthesized recordings.

The expected characteristics come from the synthesizer's layer model
(tools/synthesizer.h): parabolic layers, the X trace where the O trace is at
f - fH/2 (or at sqrt(f^2 - f fH) with --exact-x), virtual heights from the
group delay formulas below; never from the scaler."""

import csv
import math
import os
import subprocess
import sys

import numpy as np
import pytest
import xarray as xr

import digisonde16c
from conftest import synthesize

# 53 steps of 0.25 MHz from 1 to 14 MHz, 2 s apart.
GRID = ("--frequencies", "53", "--first", "1", "--last", "14", "--step", "2")
FREQUENCIES = np.round(np.linspace(1, 14, 53), 4)
STEP = 0.25


def layer_height(fo, hm, ym, x):
    return hm - ym + ym * 0.5 * x * math.log((1 + x) / (1 - x))


def ordinary_height(layers, f):
    """The O virtual height of the model at f, None where it has no echo."""
    fo_e, hm_e, ym_e = layers.get("E", (0, 0, 0))
    fo_f, hm_f, ym_f = layers["F"]
    if fo_e and f < fo_e:
        return layer_height(fo_e, hm_e, ym_e, f / fo_e)
    if f >= fo_f or f == fo_e:
        return None
    height = layer_height(fo_f, hm_f, ym_f, f / fo_f)
    if fo_e:
        x = f / fo_e
        height += ym_e * (x * math.log((x + 1) / (x - 1)) - 2)
    return height


def truth(layers, gyro, exact=False):
    fo_e = layers.get("E", (math.nan,))[0]
    fo_f = layers["F"][0]
    heights = {"E": [], "F": []}
    for f in FREQUENCIES:
        height = ordinary_height(layers, f)
        if height is not None:
            heights["E" if f < fo_e else "F"].append(height)
    fx = gyro / 2 + math.sqrt(fo_f ** 2 + gyro ** 2 / 4) if exact else fo_f + gyro / 2
    return {"foF2": fo_f, "fxF2": fx, "foE": fo_e,
            "hpF": min(heights["F"]), "hpE": min(heights["E"], default=math.nan)}


# What each characteristic may miss by: a step for critical frequencies
# (foF2 at most 0.15 MHz), two for fxF2, 10 km for heights.
TOLERANCE = {"foF2": 0.15, "fxF2": 2 * STEP, "foE": STEP, "hpF": 10.0, "hpE": 10.0}

CASES = [
    ("E and F layers", ["--foE", "3", "--hmE", "110", "--ymE", "15", "--foF2", "7.5",
                        "--hmF2", "300", "--ymF2", "80", "--gyro", "1.4"],
     {"E": (3, 110, 15), "F": (7.5, 300, 80)}, 1.4, False),
    ("no E, O in the -90 channels, spread F and a second hop",
     ["--foE", "0", "--foF2", "5.2", "--hmF2", "250", "--ymF2", "50", "--gyro", "0.9",
      "--ordinary", "-90", "--spread-f", "40", "--second-hop", "8", "--spread", "9"],
     {"F": (5.2, 250, 50)}, 0.9, False),
    ("high foF2, exact X condition, interference, strong noise",
     ["--foE", "3.6", "--hmE", "115", "--ymE", "18", "--foF2", "11.3", "--hmF2", "360",
      "--ymF2", "100", "--gyro", "1.6", "--exact-x", "1", "--interference", "3",
      "--noise", "35", "--seed", "5"],
     {"E": (3.6, 115, 18), "F": (11.3, 360, 100)}, 1.6, True),
]


@pytest.mark.parametrize("name, options, layers, gyro, exact", CASES,
                         ids=[case[0] for case in CASES])
def test_known_layers_are_recovered_in_every_sweep(tmp_path, name, options, layers, gyro,
                                                   exact):
    path = tmp_path / "rec.16c"
    synthesize(path, *GRID, "--sweeps", "2", "--start", "2024 100 10:00:00", *options)
    result = digisonde16c.scale(digisonde16c.open_dataset(path))
    # Two sweeps of 53 groups, 2 s apart: the second starts 106 s later.
    assert result.sizes["sweep"] == 2
    np.testing.assert_array_equal(
        result["time"].values, np.array(["2024-04-09T10:00:00", "2024-04-09T10:01:46"],
                                        dtype="datetime64[ns]"))
    expected = truth(layers, gyro, exact)
    for key, value in expected.items():
        scaled = result[key].values
        confidence = result[f"{key}_confidence"].values
        if math.isnan(value):
            assert np.isnan(scaled).all() and (confidence == 0).all(), (name, key, scaled)
            assert np.isnan(result[f"{key}_uncertainty"].values).all()
        else:
            assert (np.abs(scaled - value) <= TOLERANCE[key]).all(), (name, key, scaled, value)
            assert (confidence >= 50).all(), (name, key, confidence)
    assert (result["ordinary_polarization"].values ==
            (-90 if "-90" in options else 90)).all()


def test_a_sweep_of_noise_gives_no_characteristic(tmp_path):
    path = tmp_path / "noise.16c"
    synthesize(path, *GRID, "--power", "0")
    dataset = digisonde16c.open_dataset(path)
    ionograms = digisonde16c.ionograms(dataset)
    assert ionograms.attrs["ordinary_confidence"] == 0
    result = digisonde16c.scale(ionograms)
    for key in ("foF2", "fxF2", "foE", "fmin", "hpF", "hpE"):
        assert np.isnan(result[key].values).all(), key
        assert np.isnan(result[f"{key}_uncertainty"].values).all(), key
        assert (result[f"{key}_confidence"].values == 0).all(), key
    assert np.isnan(result["ordinary_trace"].values).all()


def test_ordinary_polarization_from_the_data_or_given(tmp_path):
    path = tmp_path / "minus.16c"
    synthesize(path, *GRID, "--ordinary", "-90", "--gyro", "1.0", "--sweeps", "2")
    dataset = digisonde16c.open_dataset(path)

    def strongest(sign):
        # Per group and gate, over the channels of that polarization.
        values = dataset["amplitude"].where(dataset["polarization"] == sign).max("channel")
        return values.values.reshape(2, 53, -1)

    decided = digisonde16c.ionograms(dataset)
    assert decided.attrs["ordinary_polarization"] == -90
    assert decided.attrs["ordinary_determination"] == "from the data"
    assert decided.attrs["ordinary_confidence"] >= 80
    np.testing.assert_array_equal(decided["amplitude_ordinary"].values, strongest(-90))
    np.testing.assert_array_equal(decided["amplitude_extraordinary"].values, strongest(90))

    given = digisonde16c.ionograms(dataset, ordinary=+90)
    assert given.attrs["ordinary_determination"] == "given"
    np.testing.assert_array_equal(given["amplitude_ordinary"].values, strongest(90))
    with pytest.raises(ValueError):
        digisonde16c.ionograms(dataset, ordinary=45)


@pytest.mark.dask
@pytest.mark.slow
def test_scale_command_agrees_with_the_dataset_route(tmp_path, dask_client):
    folder = tmp_path / "archive"
    os.makedirs(folder / "day2")
    synthesize(folder / "day1.16c", *GRID, "--vary", "1", "--sweeps", "3", "--seed", "4")
    synthesize(folder / "day2" / "rec.16c", "--sweeps", "2", "--ordinary", "-90")
    names = ["day1.16c", "day2/rec.16c"]
    output, table = tmp_path / "scaled.nc", tmp_path / "scaled.csv"
    done = subprocess.run([sys.executable, "-m", "digisonde16c", "scale", folder, output,
                           "--csv", table, "--scheduler", dask_client.scheduler.address],
                          capture_output=True, text=True, check=False)
    assert done.returncode == 0, done.stderr
    assert sorted(os.listdir(tmp_path)) == ["archive", "scaled.csv", "scaled.nc"]
    scaled = xr.open_dataset(output).load()
    assert list(scaled["recording"].values) == [names[0]] * 3 + [names[1]] * 2
    for name in names:
        alone = digisonde16c.scale(digisonde16c.open_dataset(folder / name))
        part = scaled.isel(sweep=scaled["recording"].values == name)
        for key, variable in alone.data_vars.items():
            steps = variable.sizes.get("step", 0)
            got = part[key].values[..., :steps] if steps else part[key].values
            np.testing.assert_array_equal(got, variable.values, err_msg=f"{name} {key}")
            if steps:  # the shorter recording is padded with NaN
                assert np.isnan(part[key].values[..., steps:]).all()

    with open(table, newline="") as rows:
        head, *body = list(csv.reader(rows))
    assert head[:6] == ["recording", "sweep", "time", "foF2", "foF2_uncertainty",
                        "foF2_confidence"]
    assert {"h'F", "h'E", "fxF2", "foE", "fmin"} <= set(head)
    assert [row[0] for row in body] == list(scaled["recording"].values)
    for column, key in (("foF2", "foF2"), ("h'F", "hpF"), ("foE", "foE")):
        texts = [row[head.index(column)] for row in body]
        values = scaled[key].values
        assert [math.nan if text == "" else np.float32(text) for text in texts] == \
            pytest.approx(list(values), nan_ok=True, abs=0), column
