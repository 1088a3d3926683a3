"""Accuracy and speed of the drift velocities, for `make bench`
(bench/run_bench.sh).

    PYTHONPATH=BUILD/python/site /usr/bin/python3 bench/drift_bench.py \\
        BIN_DIR WORK_DIR [RUNS] [DRAWS]

- Accuracy: DRAWS (default 720) drift recordings made by `synth16c drift`
  with velocities drawn at random (horizontal components within +-150 m/s,
  vertical within +-40 m/s), each Doppler-line layout (2, 4, 8 lines),
  reflection heights 150-400 km, spectral widths, noise levels, frequencies
  3-5 MHz, half of them with a random velocity added per group (jitter).
  One velocity per recording (12 groups) from drift_velocity, never told
  the truth (beams of two lines are given the width they were made with, as
  a user states the width to assume). The truth is the mean of the
  groups' velocities that `synth16c drift --truth` writes (the command
  line's velocity plus each group's random one), what a window's velocity
  measures. Per component: median and 95th percentile of |error|, the
  share within 2 and 10 m/s, and the share within two reported standard
  deviations (coverage). The closing lines set these against the aims:
  accuracy on the draws of a known, steady velocity (where both truths
  agree), coverage on the wandering ones, about the known velocity of the
  command line and about the mean of the groups' own.
- The line-shape Doppler estimate (each source's, and its beam's joint one)
  against the plain power-weighted mean of the line centres, on
  synthesized spectra (vertical drifts, 8 lines).
- Speed: drift_sources plus drift_velocity over LARGE (make_recording, 40 MB,
  decoded and loaded beforehand) in MB/s of recording, wall and processor,
  and the page faults of each run;
  the `drift` archive route (one task per recording on a LocalCluster of
  one worker, started beforehand) against a plain loop of open_dataset and
  drift_velocity over the same 16 recordings; runs
  interleaved, medians and the median of the per-round ratios.
"""

import os
import resource
import statistics
import subprocess
import sys
import time

import numpy as np

import digisonde16c
from digisonde16c import _archive, drift

LIGHT_SPEED = 299792458.0
GROUPS = 12
# Per layout: line spacing (Hz) with the default integration, and the
# spectral widths (Hz) to draw from.
LAYOUTS = {"2": (3.125, (1.8, 3.0)), "4": (1.5625, (0.7, 2.0)), "8": (0.78125, (0.5, 1.6))}


def synthesize(bin_dir, path, options):
    subprocess.run([os.path.join(bin_dir, "synth16c"), "drift", *options, path], check=True)


def draw_options(generator, lines):
    east, north = generator.uniform(-150, 150, 2)
    up = generator.uniform(-40, 40)
    jitter = 0.0 if generator.random() < 0.5 else generator.uniform(5, 20)
    width = generator.uniform(*LAYOUTS[lines][1])
    start = int(generator.integers(0, 12)) * 30
    if lines == "2":
        azimuths = [start % 60]
    elif lines == "4":
        azimuths = [(start + 90 * i) % 360 for i in range(4)]
    else:
        azimuths = [(start + 120 * i) % 360 for i in range(3)]
    options = ["--lines", lines, "--groups", str(GROUPS), "--step", "5",
               "--frequency", f"{generator.uniform(3, 5):.4f}",
               "--east", f"{east:.3f}", "--north", f"{north:.3f}", "--up", f"{up:.3f}",
               "--jitter", f"{jitter:.3f}", "--width", f"{width:.4f}",
               "--height", f"{generator.uniform(150, 400):.1f}",
               "--noise", str(int(generator.choice([20, 30, 40]))),
               "--azimuths", ",".join(map(str, azimuths)),
               "--seed", str(int(generator.integers(1, 1 << 40)))]
    return options, np.array([east, north, up]), jitter, width


def accuracy(bin_dir, work, draws):
    generator = np.random.default_rng(19)
    path = os.path.join(work, "drift-draw.16c")
    truth_path = os.path.join(work, "drift-draw.truth")
    rows = []
    for index in range(draws):
        lines = "248"[index % 3]
        options, known, jitter, width = draw_options(generator, lines)
        synthesize(bin_dir, path, options + ["--truth", truth_path])
        # The velocity the recording holds: the mean of its groups' own (the
        # command line's plus each group's random velocity).
        truth = np.loadtxt(truth_path, skiprows=1, ndmin=2)[:, 2:5].mean(axis=0)
        sources = digisonde16c.drift_sources(digisonde16c.open_dataset(path),
                                             width=width if lines == "2" else None)
        fit = digisonde16c.drift_velocity(sources, interval=86400)
        estimate = np.array([float(fit[f"v_{c}"][0]) for c in ("east", "north", "up")])
        std = np.array([float(fit[f"v_{c}_std"][0]) for c in ("east", "north", "up")])
        # Oblique sources the fit uses (those of the beams' joint fits).
        oblique = int(((sources["zenith"] > 0) & (sources["weight"] > 0)).sum())
        noise = int(options[options.index("--noise") + 1])
        rows.append((lines, jitter > 0, int(fit["flag"][0]), oblique, estimate - truth, std,
                     noise, estimate - known))
    os.unlink(path)
    os.unlink(truth_path)
    return rows


def print_accuracy(rows):
    print(f"accuracy: {len(rows)} drift recordings of {GROUPS} groups, one velocity each "
          "(error = estimate - truth, m/s)")
    fitted = [r for r in rows if r[2] == 0]
    print(f"  fitted (flag 0): {len(fitted)} of {len(rows)}; flags of the others: "
          + str(sorted({r[2] for r in rows if r[2] != 0})))
    header = (f"  {'subset':<26} {'n':>4} {'comp':<5} {'median|e|':>9} {'p95|e|':>8} "
              f"{'<=2':>6} {'<=10':>6} {'2-sigma':>8}")
    print(header)
    subsets = [("all", lambda r: True),
               ("steady (no jitter)", lambda r: not r[1]),
               ("wandering (jitter)", lambda r: r[1]),
               (">= 20 oblique sources", lambda r: r[3] >= 20)]
    subsets += [(f"{lines} lines", lambda r, lines=lines: r[0] == lines) for lines in "248"]
    subsets += [(f"{lines} lines, jitter", lambda r, lines=lines: r[0] == lines and r[1])
                for lines in "248"]
    # Peak echo 60 dB: noise 20, 30, 40 dB are 40, 30, 20 dB of signal to noise.
    subsets += [(f"noise {noise} dB, {kind}", lambda r, noise=noise, kind=kind: r[6] == noise
                 and r[1] == (kind == "wandering"))
                for kind in ("steady", "wandering") for noise in (20, 30, 40)]
    for label, keep in subsets:
        chosen = [r for r in fitted if keep(r)]
        if not chosen:
            continue
        errors = np.array([r[4] for r in chosen])
        stds = np.array([r[5] for r in chosen])
        for column, name in enumerate(("east", "north", "up")):
            e = np.abs(errors[:, column])
            covered = np.mean(e <= 2 * stds[:, column]) * 100
            print(f"  {label if column == 0 else '':<26} {len(chosen) if column == 0 else '':>4} "
                  f"{name:<5} {np.median(e):9.2f} {np.percentile(e, 95):8.2f} "
                  f"{np.mean(e <= 2) * 100:5.1f}% {np.mean(e <= 10) * 100:5.1f}% "
                  f"{covered:7.1f}%")
    # Against the aims: horizontal within 10 m/s and vertical within 2 m/s
    # in 95% of draws of a known velocity with 20 oblique sources or more;
    # coverage of two standard deviations within 85-99% where the drift
    # wanders from group to group.
    for label, keep in (("known velocity (steady), >= 20 oblique",
                         lambda r: not r[1] and r[3] >= 20),
                        ("every draw, >= 20 oblique", lambda r: r[3] >= 20)):
        chosen = [r for r in fitted if keep(r)]
        errors = np.abs(np.array([r[4] for r in chosen]))
        print(f"  aim, {label} ({len(chosen)}): within 10 m/s east "
              f"{np.mean(errors[:, 0] <= 10) * 100:.1f}%, north "
              f"{np.mean(errors[:, 1] <= 10) * 100:.1f}%, within 2 m/s up "
              f"{np.mean(errors[:, 2] <= 2) * 100:.1f}% (aim 95%)")
    # A wandering drift has two truths: the known velocity of the command
    # line, about which the groups' random velocities scatter, and the mean
    # of the groups' own velocities, which these few groups happened to have.
    chosen = [r for r in fitted if r[1]]
    stds = np.array([r[5] for r in chosen])
    for label, column in (("the known velocity", 7), ("the mean of the groups' own", 4)):
        errors = np.abs(np.array([r[column] for r in chosen]))
        print(f"  aim, wandering drifts ({len(chosen)}): coverage of two standard deviations "
              f"about {label}: "
              + ", ".join(f"{name} {np.mean(errors[:, i] <= 2 * stds[:, i]) * 100:.1f}%"
                          for i, name in enumerate(("east", "north", "up")))
              + " (aim 85-99%)")


def line_shape_table(bin_dir, work):
    """Bias of the Doppler estimate, in line steps, on vertical drifts of
    8-line recordings: the line-shape fit against the power-weighted mean."""
    step, frequency = 0.78125, 4.0
    path = os.path.join(work, "drift-shape.16c")
    print("line-shape Doppler estimate against the plain power-weighted mean of the line "
          "centres (vertical beam, 8 lines of 0.78125 Hz, noise 20 dB, peak 60 dB; "
          "median over the sources of 4 groups; bias in line steps)")
    print(f"  {'shift/step':>10} {'width/step':>10} {'sources':>8} {'plain mean':>11} "
          f"{'line shape':>11} {'beam joint':>11}")
    for width in (0.4, 0.7, 1.0):
        for fraction in (0.1, 0.25, 0.5, 0.75):
            shift = fraction * step
            up = -shift * LIGHT_SPEED / (2 * frequency * 1e6)
            synthesize(bin_dir, path, ["--lines", "8", "--groups", "4", "--east", "0",
                                       "--north", "0", "--up", repr(up),
                                       "--width", repr(width * step), "--azimuths", "0"])
            dataset = digisonde16c.open_dataset(path)
            sources = digisonde16c.drift_sources(dataset, snr=20)
            sources = sources.isel(source=np.flatnonzero(sources["zenith"].values == 0))
            vertical = (dataset["zenith"].values[0] == 0)
            noise = 10.0 ** (dataset["noise_level"].values / 10.0)
            group = sources["source_group"].values
            gate = sources["gate"].values - 1
            power = 10.0 ** (dataset["amplitude"].values[group][:, vertical, :] / 10.0)
            power = np.take_along_axis(power, gate[:, None, None], axis=2)[:, :, 0]
            above = np.maximum(power - noise[group][:, None], 0.0)
            plain = above @ dataset["doppler"].values[0][vertical] / above.sum(axis=1)
            # The beams' joint line shapes: one centre per beam and group.
            fitted = sources["weight"].values > 0
            joint = -sources["beam_v_los"].values[fitted] * 2 * frequency * 1e6 / LIGHT_SPEED
            print(f"  {fraction:10.2f} {width:10.2f} {group.size:8d} "
                  f"{(np.median(plain) - shift) / step:+11.3f} "
                  f"{(np.median(sources['doppler'].values) - shift) / step:+11.3f} "
                  f"{(np.median(joint) - shift) / step:+11.3f}")
    os.unlink(path)


def seconds(action):
    start = time.perf_counter()
    action()
    return time.perf_counter() - start


def speed(bin_dir, work, runs):
    large = os.path.join(work, "large.16c")
    if not os.path.exists(large):
        subprocess.run([os.path.join(bin_dir, "make_recording"), large, "10000", "128", "2"],
                       check=True)
    megabytes = os.path.getsize(large) / 1e6
    # Decoded once beforehand: this measures the drift products, not the
    # decoder (bench/python_bench.py measures that).
    dataset = digisonde16c.open_dataset(large).load()
    times, processor, faults = [], [], []
    for _ in range(runs):
        start = time.process_time()
        first = resource.getrusage(resource.RUSAGE_SELF).ru_minflt
        times.append(seconds(lambda: digisonde16c.drift_velocity(
            digisonde16c.drift_sources(dataset))))
        processor.append(time.process_time() - start)
        faults.append(resource.getrusage(resource.RUSAGE_SELF).ru_minflt - first)
    median = statistics.median(times)
    print(f"drift_sources + drift_velocity over {os.path.basename(large)} ({megabytes:.1f} MB, "
          f"decoded and loaded): median {median:.3f} s = {megabytes / median:.0f} MB/s of "
          f"recording (processor {statistics.median(processor):.3f} s = "
          f"{megabytes / statistics.median(processor):.0f} MB/s); runs: "
          + " ".join(f"{t:.3f}" for t in times)
          # Fresh pages the allocator took from the system in each run (a
          # heap given back between runs is faulted in again).
          + "; page faults per run: " + " ".join(str(f) for f in faults))

    archive = os.path.join(work, "drift-archive")
    os.makedirs(archive, exist_ok=True)
    names = []
    for index in range(16):
        name = os.path.join(archive, f"rec{index:02}.16c")
        subprocess.run([os.path.join(bin_dir, "make_recording"), name, "1000", "128",
                        str(200 + index)], check=True)
        names.append(name)

    def plain():
        for name in names:
            digisonde16c.drift_velocity(digisonde16c.open_dataset(name))

    loop, tasks = [], []
    from dask.distributed import Client
    with _archive.local_cluster(1) as cluster, Client(cluster) as client:
        _archive.product_archive(client, archive, drift.drift_recording, {}, "time",
                                 report=lambda _: None)  # warm the worker
        for _ in range(runs):
            loop.append(seconds(plain))
            tasks.append(seconds(lambda: _archive.product_archive(
                client, archive, drift.drift_recording, {}, "time", report=lambda _: None)))
    ratios = [t / p for t, p in zip(tasks, loop)]
    print(f"drift over an archive of {len(names)} recordings of 4 MB: plain loop (open_dataset "
          f"+ drift_velocity) {statistics.median(loop) / len(names) * 1e3:.1f} ms/recording, "
          f"archive route on 1 worker {statistics.median(tasks) / len(names) * 1e3:.1f} "
          f"ms/recording; ratio median {statistics.median(ratios):.2f} (rounds: "
          + " ".join(f"{r:.2f}" for r in ratios) + ")")
    for name in names:
        os.unlink(name)


def main():
    bin_dir, work = sys.argv[1:3]
    runs = int(sys.argv[3]) if len(sys.argv) > 3 else 7
    draws = int(sys.argv[4]) if len(sys.argv) > 4 else 720
    what = os.environ.get("DRIFT_BENCH", "accuracy shape speed").split()
    if "accuracy" in what:
        print_accuracy(accuracy(bin_dir, work, draws))
    if "shape" in what:
        line_shape_table(bin_dir, work)
    if "speed" in what:
        speed(bin_dir, work, runs)


if __name__ == "__main__":
    main()
