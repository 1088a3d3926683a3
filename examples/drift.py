"""Drift velocities of a recording with matplotlib: the three components
against time with their standard deviations as error bars, and the skymap
of the sources (their place on the ground plan) coloured by line-of-sight
velocity.

    PYTHONPATH=build/python/site /usr/bin/python3 examples/drift.py \\
        [RECORDING [VELOCITY_PICTURE [SKYMAP_PICTURE [WIDTH_HZ]]]]

Sources: strongest line 15 dB above the noise level. RECORDING defaults to
examples/drift.16c, the pictures to
build/drift-velocity.png and build/drift-skymap.png; WIDTH_HZ, the spectral
width assumed for beams of two Doppler lines, to 2 (the width drift.16c was
made with).
"""

import os
import sys

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402

import digisonde16c  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))


def draw_velocity(rows, window, picture, title):
    ok = rows["flag"].values == 0
    times = rows["time"].values[ok]
    figure, axes = plt.subplots(3, 1, figsize=(10.5, 7.5), sharex=True)
    for axis, name, colour in zip(axes, ("east", "north", "up"),
                                  ("tab:blue", "tab:green", "tab:red")):
        axis.errorbar(times, rows[f"v_{name}"].values[ok], yerr=rows[f"v_{name}_std"].values[ok],
                      fmt="o", ms=3, color=colour, ecolor=colour, elinewidth=1, capsize=2,
                      label="per group, ± 1 standard deviation")
        value = float(window[f"v_{name}"][0])
        spread = float(window[f"v_{name}_std"][0])
        axis.axhline(value, color="0.3", lw=1, ls="--",
                     label=f"whole recording: {value:.1f} ± {spread:.1f} m/s")
        axis.set_ylabel(f"v_{name} (m/s)")
        axis.grid(alpha=0.3)
        # Beside the panel, where it hides no point.
        axis.legend(loc="upper left", bbox_to_anchor=(1.01, 1.0), fontsize=8)
    axes[0].set_title(title)
    axes[-1].set_xlabel("time (UTC)")
    figure.autofmt_xdate()
    figure.tight_layout()
    figure.savefig(picture, dpi=100)
    plt.close(figure)


def draw_skymap(sources, window, picture, title):
    figure, axis = plt.subplots(figsize=(7, 6.2))
    v_los = sources["v_los"].values
    limit = max(np.nanpercentile(np.abs(v_los), 98), 1.0) if v_los.size else 1.0
    # The sources of one beam lie on a short radial line (their ranges):
    # the weakest drawn first, so that the strongest stay on top.
    order = np.argsort(sources["snr"].values)
    dots = axis.scatter(sources["x_east"].values[order], sources["y_north"].values[order],
                        c=v_los[order], cmap="RdBu_r", vmin=-limit, vmax=limit, s=18,
                        edgecolors="0.4", linewidths=0.3, zorder=3)
    colourbar = figure.colorbar(dots, ax=axis)
    colourbar.set_label("line-of-sight velocity v_los (m/s, positive away)")
    reach = max(np.nanmax(np.hypot(sources["x_east"], sources["y_north"])), 10.0) * 1.25
    # The horizontal drift of the whole recording, as an arrow from the
    # sounder (its length on the scale of the map's radius for 200 m/s).
    east, north = float(window["v_east"][0]), float(window["v_north"][0])
    if np.isfinite(east) and np.isfinite(north):
        scale = reach / 200.0
        axis.annotate("", xy=(east * scale, north * scale), xytext=(0, 0),
                      arrowprops={"arrowstyle": "-|>", "color": "k", "lw": 1.5})
        axis.text(east * scale, north * scale,
                  f"  {float(window['speed'][0]):.0f} m/s towards "
                  f"{float(window['direction'][0]):.0f}°", fontsize=9, va="center")
    # The sounder, under the sources of the vertical beam.
    axis.plot(0, 0, marker="+", color="0.5", ms=16, zorder=1)
    axis.set_xlim(-reach, reach)
    axis.set_ylim(-reach, reach)
    axis.set_aspect("equal")
    axis.set_xlabel("east of the sounder (km)")
    axis.set_ylabel("north of the sounder (km)")
    axis.grid(alpha=0.3)
    axis.set_title(title)
    figure.tight_layout()
    figure.savefig(picture, dpi=100)
    plt.close(figure)


def main():
    recording = sys.argv[1] if len(sys.argv) > 1 else os.path.join(HERE, "drift.16c")
    velocity = sys.argv[2] if len(sys.argv) > 2 else os.path.join("build", "drift-velocity.png")
    skymap = sys.argv[3] if len(sys.argv) > 3 else os.path.join("build", "drift-skymap.png")
    width = float(sys.argv[4]) if len(sys.argv) > 4 else 2.0
    dataset = digisonde16c.open_dataset(recording)
    # 15 dB: noise, which passes a lower threshold in many cells (and which
    # the fit mostly clips), stays off the skymap.
    sources = digisonde16c.drift_sources(dataset, width=width, snr=15)
    rows = digisonde16c.drift_velocity(sources)
    window = digisonde16c.drift_velocity(sources, interval=86400)
    name = os.path.basename(recording)
    draw_velocity(rows, window, velocity, f"Drift velocity of {name}")
    # Sources of the fits only: those of the groups with a velocity.
    fitted = np.isin(sources["source_group"].values,
                     rows["group"].values[rows["flag"].values == 0])
    draw_skymap(sources.isel(source=np.flatnonzero(fitted)), window, skymap,
                f"Skymap of {name}: {int(fitted.sum())} sources")
    print(f"The drift velocity of {recording} is in {velocity}, its skymap in {skymap}")


if __name__ == "__main__":
    main()
