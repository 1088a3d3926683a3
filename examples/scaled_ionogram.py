"""Scaled ionograms with matplotlib, from digisonde16c.ionograms and
digisonde16c.scale: one sweep with its ordinary (O) and extraordinary (X)
echoes in two colours, the scaled traces and the characteristics marked; or
foF2 and h'F against time over a recording of several sweeps.

    PYTHONPATH=build/python/site /usr/bin/python3 examples/scaled_ionogram.py \\
        [--sweep N] RECORDING PICTURE
    PYTHONPATH=build/python/site /usr/bin/python3 examples/scaled_ionogram.py \\
        --series RECORDING PICTURE
"""

import argparse
import os

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402
from matplotlib import dates  # noqa: E402
from matplotlib.collections import PolyCollection  # noqa: E402

import digisonde16c  # noqa: E402

O_COLOUR, X_COLOUR, UNSURE_COLOUR = "#c0392b", "#2471a3", "#a0a0a0"


def value_text(scaled, name, ursi, units, digits):
    value = float(scaled[name])
    if np.isnan(value):
        return f"{ursi} absent"
    return (f"{ursi} {value:.{digits}f} ± {float(scaled[name + '_uncertainty']):.{digits}f} "
            f"{units} ({int(scaled[name + '_confidence'])}%)")


def draw_sweep(recording, picture, sweep):
    ionograms = digisonde16c.ionograms(digisonde16c.open_dataset(recording))
    if ionograms.sizes["sweep"] <= sweep:
        raise SystemExit(f"{recording} has {ionograms.sizes['sweep']} sweeps, no sweep {sweep}")
    scaled = digisonde16c.scale(ionograms).isel(sweep=sweep)
    one = ionograms.isel(sweep=sweep)
    label = one["echo_label"].values
    frequency = np.broadcast_to(one["frequency"].values[:, None], label.shape)
    ranges = one["gate_range"].values
    strongest = np.fmax(one["amplitude_ordinary"].values, one["amplitude_extraordinary"].values)
    above = strongest - one["noise_floor"].values[:, None]

    figure, axes = plt.subplots(figsize=(11, 6.5), dpi=100)
    steps = scaled["frequency"].values
    width = 0.8 * np.nanmin(np.diff(steps)) if steps.size > 1 else 0.1
    for code, colour, name in ((3, UNSURE_COLOUR, "unsure echo"), (2, X_COLOUR, "X echo"),
                               (1, O_COLOUR, "O echo")):
        cells = label == code
        # A box per echo, the stronger the more opaque.
        f, r = frequency[cells], ranges[cells]
        height = np.nanmin(np.diff(ranges, axis=1)) if ranges.shape[1] > 1 else 5.0
        boxes = np.stack([np.stack([f - width / 2, r - height / 2], 1),
                          np.stack([f + width / 2, r - height / 2], 1),
                          np.stack([f + width / 2, r + height / 2], 1),
                          np.stack([f - width / 2, r + height / 2], 1)], 1)
        colours = np.tile(matplotlib.colors.to_rgba(colour), (f.size, 1))
        colours[:, 3] = 0.2 + 0.8 * np.clip(above[cells] / 40, 0, 1)
        axes.add_collection(PolyCollection(boxes, facecolors=colours, edgecolors="none"))
        axes.fill_between([], [], color=colour, label=name)
    axes.plot(steps, scaled["ordinary_trace"].values, "-o", color="black", markersize=3,
              linewidth=1.5, label="scaled O trace (E and F)")
    top = np.nanmax(ranges)
    marks = [("foF2", "foF2", O_COLOUR), ("fxF2", "fxF2", X_COLOUR), ("foE", "foE", O_COLOUR)]
    for name, ursi, colour in marks:
        value = float(scaled[name])
        if np.isfinite(value):
            axes.axvline(value, color=colour, linestyle="--", linewidth=1.2)
            axes.annotate(f"{ursi} {value:.2f} MHz", (value, top), xytext=(3, -4),
                          textcoords="offset points", rotation=90, va="top", ha="left",
                          color=colour, fontsize=9)
    for name, ursi in (("hpF", "h'F"), ("hpE", "h'E")):
        value = float(scaled[name])
        if np.isfinite(value):
            axes.axhline(value, color="black", linestyle=":", linewidth=1.2)
            axes.annotate(f"{ursi} {value:.0f} km", (np.nanmax(steps) + 0.2, value),
                          xytext=(-3, 3), textcoords="offset points", ha="right", fontsize=9)
    summary = "\n".join(value_text(scaled, name, ursi, units, digits) for name, ursi, units,
                        digits in (("foF2", "foF2", "MHz", 2), ("fxF2", "fxF2", "MHz", 2),
                                   ("foE", "foE", "MHz", 2), ("fmin", "fmin", "MHz", 2),
                                   ("hpF", "h'F", "km", 0), ("hpE", "h'E", "km", 0)))
    figure.text(0.77, 0.5, "Scaled (confidence)\n\n" + summary, ha="left", va="center",
                fontsize=9, family="monospace")
    when = str(scaled["time"].values.astype("datetime64[s]")).replace("T", " ")
    polarization = int(scaled["ordinary_polarization"])
    axes.set_title(f"Scaled ionogram, {os.path.basename(recording)} sweep {sweep}, {when} UT\n"
                   f"ordinary polarization {polarization:+d}° "
                   f"({ionograms.attrs['ordinary_determination']}, "
                   f"{ionograms.attrs['ordinary_confidence']}%)", fontsize=11)
    axes.set_xlabel("Frequency (MHz)")
    axes.set_ylabel("Virtual height (km)")
    axes.set_xlim(np.nanmin(steps) - 0.2, np.nanmax(steps) + 0.2)
    axes.set_ylim(np.nanmin(ranges), top)
    axes.legend(loc="upper right", fontsize=8.5)
    axes.grid(alpha=0.3)
    save(figure, picture, right=0.75)
    print(f"The scaled ionogram of {recording} (sweep {sweep}) is in {picture}")


def draw_series(recording, picture):
    scaled = digisonde16c.scale(digisonde16c.open_dataset(recording))
    times = scaled["time"].values
    figure, (upper, lower) = plt.subplots(2, 1, figsize=(9, 6.5), dpi=100, sharex=True)
    for axes, names, units in ((upper, (("foF2", "foF2", O_COLOUR), ("fxF2", "fxF2", X_COLOUR),
                                        ("foE", "foE", "#7d3c98")), "MHz"),
                               (lower, (("hpF", "h'F", "black"), ("hpE", "h'E", "#7d3c98")),
                                "km")):
        for name, ursi, colour in names:
            value = scaled[name].values
            confidence = scaled[f"{name}_confidence"].values
            sure = confidence >= 50
            axes.errorbar(times[sure], value[sure], yerr=scaled[f"{name}_uncertainty"].values[sure],
                          fmt="o-", color=colour, markersize=3.5, linewidth=1, capsize=2,
                          label=ursi)
            if (~sure & np.isfinite(value)).any():
                axes.plot(times[~sure], value[~sure], "x", color=colour, markersize=6,
                          label=f"{ursi}, confidence below 50")
        axes.set_ylabel(units)
        axes.grid(alpha=0.3)
        axes.legend(loc="best", fontsize=8.5, ncol=3)
    upper.set_title(f"Scaled characteristics of {os.path.basename(recording)}: "
                    f"{scaled.sizes['sweep']} sweeps\n(error bars: uncertainty; absent "
                    "layers leave gaps)", fontsize=11)
    days = np.unique(times[~np.isnat(times)].astype("datetime64[D]"))
    lower.set_xlabel("Time (UT)" + (f", {days[0]}" if days.size == 1 else ""))
    lower.xaxis.set_major_formatter(dates.DateFormatter("%H:%M" if days.size == 1
                                                        else "%m-%d %H:%M"))
    save(figure, picture)
    print(f"foF2 and h'F of {recording} against time are in {picture}")


def save(figure, picture, right=1.0):
    os.makedirs(os.path.dirname(os.path.abspath(picture)), exist_ok=True)
    figure.tight_layout(rect=(0, 0, right, 1))
    figure.savefig(picture)
    plt.close(figure)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("recording")
    parser.add_argument("picture")
    parser.add_argument("--sweep", type=int, default=0, help="the sweep to draw, from 0")
    parser.add_argument("--series", action="store_true",
                        help="foF2 and h'F against time over every sweep")
    arguments = parser.parse_args()
    if arguments.series:
        draw_series(arguments.recording, arguments.picture)
    else:
        draw_sweep(arguments.recording, arguments.picture, arguments.sweep)


if __name__ == "__main__":
    main()
