"""Ionogram of a recording with matplotlib, from the decoded dataset: virtual
range against sounding frequency, each range gate coloured by its strongest
amplitude over the 16 channels. The same picture as ionogram.gp draws from
tolvek's plot rows.

    PYTHONPATH=build/python/site /usr/bin/python3 examples/ionogram.py \\
        [RECORDING [PICTURE]]

RECORDING defaults to examples/sample.16c, PICTURE to build/ionogram-python.png.
"""

import os
import sys

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402
from matplotlib.collections import PolyCollection  # noqa: E402
from matplotlib.colors import LinearSegmentedColormap  # noqa: E402

import digisonde16c  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
# ionogram.gp's palette: dark blue through cyan and yellow to red.
PALETTE = LinearSegmentedColormap.from_list(
    "ionogram", ["#000020", "#1030a0", "#10a0a0", "#f0e020", "#ff3010"])


def smallest_rise(values, fallback):
    """The smallest step up from one value to the next along the last axis
    (NaN ignored), as the box size."""
    rises = np.diff(values).ravel()
    rises = rises[rises > 1e-5]
    return rises.min() if rises.size else fallback


def draw(recording, picture):
    dataset = digisonde16c.open_dataset(recording)
    # Strongest amplitude over the channels: (group, gate); NaN where no
    # channel holds a sample.
    strongest = dataset["amplitude"].max("channel").values
    ranges = dataset["gate_range"].values
    frequencies = np.broadcast_to(dataset["frequency"].values[:, None], ranges.shape)
    held = ~np.isnan(ranges)
    if not held.any():
        sys.exit(f"{recording}: no group with range gates to draw")
    f, r, a = frequencies[held], ranges[held], strongest[held]
    df = smallest_rise(dataset["frequency"].values, 0.1)
    dr = smallest_rise(ranges, 1.0)

    boxes = np.stack([np.stack([f - df / 2, r - dr / 2], axis=1),
                      np.stack([f + df / 2, r - dr / 2], axis=1),
                      np.stack([f + df / 2, r + dr / 2], axis=1),
                      np.stack([f - df / 2, r + dr / 2], axis=1)], axis=1)
    figure, axes = plt.subplots(figsize=(9, 6), dpi=100)
    # Colours from 0 dB to the strongest amplitude rounded up to 10 dB, as
    # gnuplot scales its colour box.
    top = 10 * np.ceil(np.nanmax(a) / 10) if np.isfinite(np.nanmax(a)) else 10
    collection = PolyCollection(boxes, array=np.nan_to_num(a), cmap=PALETTE,
                                edgecolors="none", clim=(0, top))
    axes.add_collection(collection)
    axes.set_xlim(f.min() - df / 2, f.max() + df / 2)
    axes.set_ylim(r.min() - dr / 2, r.max() + dr / 2)
    axes.set_title("Ionogram: strongest amplitude over the channels")
    axes.set_xlabel("Frequency (MHz)")
    axes.set_ylabel("Virtual range (km)")
    figure.colorbar(collection, ax=axes, label="Amplitude (dB)")
    os.makedirs(os.path.dirname(os.path.abspath(picture)), exist_ok=True)
    figure.savefig(picture)
    print(f"The ionogram of {recording} is in {picture}")


if __name__ == "__main__":
    recording = sys.argv[1] if len(sys.argv) > 1 else os.path.join(HERE, "sample.16c")
    picture = (sys.argv[2] if len(sys.argv) > 2
               else os.path.join(HERE, os.pardir, "build", "ionogram-python.png"))
    draw(recording, os.path.normpath(picture))
