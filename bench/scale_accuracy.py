"""Accuracy and speed of digisonde16c.scale on synthesized sweeps with known
layers, for `make bench` (bench/run_bench.sh).

    PYTHONPATH=BUILD/python/site /usr/bin/python3 bench/scale_accuracy.py \\
        BIN_DIR WORK_DIR [RECORDINGS [SWEEPS [RUNS]]]

synth16c --vary 1, and then --vary 2 (weaker echoes, more disturbances),
writes RECORDINGS recordings (default 20) of SWEEPS sweeps (default 12)
from 1 to 14 MHz in 0.25 MHz steps, each sweep with layers, gyrofrequency,
powers, spreads, second hop and interference of its own
(tools/synthesizer.h, sweep_model; the gyrofrequency one per recording),
half the recordings with the ordinary trace in the -90 channels. Each
recording is scaled with ordinary=None;
the truth comes only from the synthesizer's truth file (--truth), which the
scaler never sees: fxF2 by the model's X condition, h'F and h'E as the
lowest ordinary virtual height of the F and E traces over the sweep's
frequencies (the F trace behind a passed E layer carries its delay).

Prints per characteristic the error distribution over the sweeps where the
layer exists (median error, median and 95th percentile of |error|, the
share within the aims, the sweeps scaled), the ordinary decision per
sweep (each sweep's own vote) and per recording, the confidence of every
large error; then the speed on one core (one thread) over a recording of
200 sweeps already loaded in memory: first the headline, scale() of the
recording's dataset (its ionograms and their scaling, the route the archive
command takes), then its two steps, ionograms() and scale() of the
ionograms; runs interleaved, medians of wall and processor time.
"""

import os
import subprocess
import sys
import time

# One thread: the figure is for one core (numpy's own loops use one; this
# keeps any threaded library numpy was built with to one as well).
for _name in ("OMP_NUM_THREADS", "OPENBLAS_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ.setdefault(_name, "1")

import numpy as np  # noqa: E402

import digisonde16c  # noqa: E402

STEP = 0.25  # MHz
GRID = ("--frequencies", "53", "--first", "1", "--last", "14")
# name: (truth column, aim on |error| where the layer exists, aim text)
AIMS = {
    "foF2": ("foF2", min(STEP, 0.15), "<= 1 step and 0.15 MHz"),
    "fxF2": ("fxF2", 2 * STEP, "<= 2 steps"),
    "foE": ("foE", STEP, "<= 1 step"),
    "hpF": ("hpF", 10.0, "<= 10 km"),
    "hpE": ("hpE", 10.0, "<= 10 km"),
    "fmin": ("fmin", STEP, "<= 1 step"),
}
LARGE = {"foF2": 0.5, "hpF": 30.0}
SPEED_SWEEPS = 200
SPEED_AIM = 1000  # sweeps per second on one core


def synthesize(bin_dir, work, index, sweeps, vary):
    path = os.path.join(work, f"accuracy{vary}-{index}.16c")
    truth = path + ".truth"
    ordinary = "90" if index % 2 == 0 else "-90"
    subprocess.run([os.path.join(bin_dir, "synth16c"), *GRID, "--vary", str(vary), "--sweeps",
                    str(sweeps), "--seed", str(1000 * vary + index), "--ordinary", ordinary,
                    "--truth", truth, path], check=True)
    return path, truth, int(ordinary)


def read_truth(path):
    with open(path) as lines:
        head = lines.readline().split()
        rows = [line.split() for line in lines]
    return {name: np.array([float(row[i]) for row in rows]) for i, name in enumerate(head)}


def main():
    bin_dir, work = sys.argv[1:3]
    count = int(sys.argv[3]) if len(sys.argv) > 3 else 20
    sweeps = int(sys.argv[4]) if len(sys.argv) > 4 else 12
    runs = int(sys.argv[5]) if len(sys.argv) > 5 else 5
    for vary, title in ((1, "standard"), (2, "hard: weaker echoes, more disturbances")):
        print(f"-- --vary {vary} ({title})")
        study(bin_dir, work, count, sweeps, vary)
        print()
    speed(bin_dir, work, runs)


def study(bin_dir, work, count, sweeps, vary):
    truths, scaled, decided = [], [], []
    for index in range(count):
        path, truth_path, ordinary = synthesize(bin_dir, work, index, sweeps, vary)
        result = digisonde16c.scale(digisonde16c.open_dataset(path))
        truth = read_truth(truth_path)
        truth["ordinary"] = np.full(sweeps, ordinary)
        truths.append(truth)
        scaled.append(result)
        decided.append((ordinary, int(result["ordinary_polarization"][0]),
                        int(result["ordinary_confidence"][0])))
        os.unlink(path)
        os.unlink(truth_path)
    truth = {key: np.concatenate([t[key] for t in truths]) for key in truths[0]}
    result = {name: np.concatenate([s[name].values for s in scaled])
              for name in scaled[0].data_vars if scaled[0][name].dims == ("sweep",)}
    total = truth["foF2"].size
    print(f"{total} sweeps in {count} recordings; {int(np.sum(~np.isnan(truth['foE'])))} "
          f"with an E layer, {int(np.sum(truth['spread_f'] > 0))} with spread F, "
          f"{int(np.sum(truth['second_hop_loss'] > 0))} with a second hop, "
          f"{int(np.sum(truth['interference'] > 0))} with interference")
    print(f"{'':6} {'aim':>24} {'layers':>6} {'scaled':>6} {'median':>8} {'med|e|':>8} "
          f"{'p95|e|':>8} {'in aim':>7} {'false':>5}")
    for name, (column, aim, text) in AIMS.items():
        true = truth[column]
        value = result[name]
        exists = np.isfinite(true)
        got = exists & np.isfinite(value)
        error = (value - true)[got]
        magnitude = np.abs(error)
        within = np.sum(magnitude <= aim + 1e-6)
        false = int(np.sum(~exists & np.isfinite(value)))
        share = 100.0 * within / max(int(exists.sum()), 1)
        print(f"{name:6} {text:>24} {int(exists.sum()):6d} {int(got.sum()):6d} "
              f"{np.median(error) if error.size else np.nan:8.3f} "
              f"{np.median(magnitude) if error.size else np.nan:8.3f} "
              f"{np.percentile(magnitude, 95) if error.size else np.nan:8.3f} "
              f"{share:6.1f}% {false:5d}")
    print("(in aim: share of the sweeps where the layer exists, a sweep not scaled "
          "counting as a miss; false: a value where the layer does not exist)")

    votes = result["ordinary_vote"]
    right = np.sum(votes == truth["ordinary"])
    print(f"ordinary decision: each sweep's own vote right in {right} of {total} "
          f"({100.0 * right / total:.1f}%), wrong in {int(np.sum(votes == -truth['ordinary']))},"
          f" no evidence in {int(np.sum(votes == 0))}; per recording right in "
          f"{sum(t == d for t, d, _ in decided)} of {len(decided)} (confidence "
          f"{', '.join(str(c) for _, _, c in decided)})")
    for name, limit in LARGE.items():
        column = AIMS[name][0]
        error = result[name] - truth[column]
        large = np.flatnonzero(np.abs(error) > limit)
        confidences = result[f"{name}_confidence"][large]
        print(f"{name} errors above {limit:g}: {large.size}; confidences "
              f"{sorted(int(c) for c in confidences)}; below 50: "
              f"{int(np.sum(confidences < 50))}")
    missed = np.isnan(result["foF2"]) & np.isfinite(truth["foF2"])
    print(f"foF2 not scaled in {int(missed.sum())} sweeps")


def speed(bin_dir, work, runs):
    """Speed on one core: a recording of SPEED_SWEEPS varied sweeps, loaded
    in memory; the three routes interleaved run by run."""
    path = os.path.join(work, "speed.16c")
    subprocess.run([os.path.join(bin_dir, "synth16c"), *GRID, "--vary", "1", "--sweeps",
                    str(SPEED_SWEEPS), "--seed", "77", path], check=True)
    dataset = digisonde16c.open_dataset(path).load()
    ionograms = digisonde16c.ionograms(dataset)
    routes = {"scale(dataset)": lambda: digisonde16c.scale(dataset),
              "ionograms(dataset)": lambda: digisonde16c.ionograms(dataset),
              "scale(ionograms)": lambda: digisonde16c.scale(ionograms)}
    # Wall time, and the process's processor time, which on a shared
    # machine tells what one core of its own would do.
    times = {name: ([], []) for name in routes}
    for _ in range(runs):
        for name, route in routes.items():
            start, start_cpu = time.perf_counter(), time.process_time()
            route()
            times[name][0].append(time.perf_counter() - start)
            times[name][1].append(time.process_time() - start_cpu)
    print(f"speed on one core, {SPEED_SWEEPS} sweeps of 53 steps x 128 gates x 16 channels "
          f"loaded in memory, median of {runs} interleaved runs "
          f"(load {os.getloadavg()[0]:.1f}):")
    for name, (wall, cpu) in times.items():
        wall, cpu = float(np.median(wall)), float(np.median(cpu))
        print(f"  {name:20} wall {wall:6.3f} s {SPEED_SWEEPS / wall:6.0f} sweeps/s   "
              f"processor {cpu:6.3f} s {SPEED_SWEEPS / cpu:6.0f} sweeps/s "
              f"({cpu / SPEED_SWEEPS * 1e3:.2f} ms a sweep)")
        if name == "scale(dataset)":
            print(f"  {'':20} (the headline: ionograms and scaling; aim {SPEED_AIM} "
                  f"sweeps/s or more)")
    os.unlink(path)


if __name__ == "__main__":
    main()
