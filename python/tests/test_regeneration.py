"""tolvek's output regenerated from the dataset alone, byte for byte.

The lines are laid out here from the output rules of tolvek (plot rows, the
amplitude and phase tables), with Python's own float formatting for the
digits of every field; nothing goes through the project's column formatter.
"""

import math

import numpy as np
import pytest

from conftest import run_program
from digisonde16c._dataset import decode_dataset

PLOT_LABELS = ("Freq", "Range", "Polarize", "Noise", "Doppler", "Az", "Zn", "Ampltude",
               "Phase")
# Channel header lines of the tables: label, decimals, variable.
CHANNEL_HEADERS = (("Frequency", 4, "channel_frequency"), ("Polarize", 2, "polarization"),
                   ("Doppler", 3, "doppler"), ("Azimuth", 2, "azimuth"),
                   ("Zenith", 2, "zenith"))
# Preface digits of the group header line, in groups separated by a blank.
DIGIT_GROUPS = (11, 8, 6, 7, 5, 3, 3, 4, 3, 3, 4)
BLANK_LINE = " \n"


def fixed(value, width, decimals):
    """An Fw.d field. The digits are Python's ('%.*f' rounds the exact value
    of the widened single, halfway cases to even, as the programs do). Where
    the two differ, the layout follows the programs: a negative value that
    rounds to zero (and -0.0) keeps no minus sign, where '%.3f' gives
    '-0.000'; a field one too narrow drops the 0 before the point; a value
    that does not fit gives asterisks."""
    value = float(value)
    text = "%.*f" % (decimals, abs(value))
    if value < 0 and text.strip("0.") != "":
        text = "-" + text
    if len(text) > width and text.lstrip("-").startswith("0.") and len(text) - 1 == width:
        text = text.replace("0.", ".", 1)
    if len(text) > width:
        return "*" * width
    return text.rjust(width)


def sample_values(dataset, name, g, correct_phase):
    """amplitude or phase of group g as tolvek holds them: a (channel, gate)
    array where NaN (no sample) is 0. With -c, tolvek corrects the zero
    phase of a channel without samples as well: from the second gate on it
    is the range correction itself, (range - range of gate 1) x 540 degrees,
    wrapped into one turn (the ranges never fall, so it is never negative),
    stored in single precision."""
    values = dataset[name].values[g].astype(np.float64)
    empty = np.isnan(values)
    values[empty] = 0.0
    if name == "phase" and correct_phase:
        ranges = dataset["gate_range"].values[g].astype(np.float64)
        gate_count = int(dataset["gate_count"].values[g])
        for gate in range(1, gate_count):
            turn = math.fmod((ranges[gate] - ranges[0]) * 540.0, 360.0)
            column = empty[:, gate]
            values[column, gate] = float(np.float32(turn))
    return values


def plot_rows(dataset):
    header = "#" + "Time".rjust(16) + "".join(label.rjust(10) for label in PLOT_LABELS)
    lines = []
    for g in range(dataset.sizes["group"]):
        lines.append(header + "\n")
        time_text = dataset["time_text"].values[g]
        amplitude = sample_values(dataset, "amplitude", g, False)
        phase = sample_values(dataset, "phase", g, False)
        noise = dataset["noise_level"].values[g]
        for gate in range(int(dataset["gate_count"].values[g])):
            gate_range = dataset["gate_range"].values[g, gate]
            for c in dataset["channel_order"].values[g] - 1:
                fields = [fixed(dataset["channel_frequency"].values[g, c], 10, 4)]
                fields += [fixed(v, 10, 3) for v in (
                    gate_range, dataset["polarization"].values[g, c], noise,
                    dataset["doppler"].values[g, c], dataset["azimuth"].values[g, c],
                    dataset["zenith"].values[g, c], amplitude[c, gate], phase[c, gate])]
                lines.append(time_text + "".join(fields) + "\n")
            lines.append(BLANK_LINE)
        lines.append(BLANK_LINE)
    return "".join(lines)


def tables(dataset, correct_phase):
    """The amplitude and phase table (-a -p) when not correct_phase, else
    the phase table of the corrected phases (-c -p)."""
    lines = []
    for g in range(dataset.sizes["group"]):
        order = dataset["channel_order"].values[g] - 1
        frequency = dataset["frequency"].values[g]
        digits = iter("%X" % d for d in dataset["preface"].values[g])
        preface = "".join(" " + "".join(next(digits) for _ in range(n)) for n in DIGIT_GROUPS)
        lines.append("# " + dataset["time_text"].values[g] +
                     fixed(frequency, 7, 4) + preface + "\n")
        copies = 1 if correct_phase else 2
        for label, decimals, name in CHANNEL_HEADERS:
            values = dataset[name].values[g, order]
            lines.append("#" + label.rjust(15) +
                         "".join(fixed(v, 8, decimals) for v in values) * copies + "\n")
        phase = sample_values(dataset, "phase", g, correct_phase)
        amplitude = sample_values(dataset, "amplitude", g, False)
        for gate in range(int(dataset["gate_count"].values[g])):
            values = list(phase[order, gate])
            if not correct_phase:
                values = list(amplitude[order, gate]) + values
            lines.append(fixed(frequency, 8, 4) +
                         fixed(dataset["gate_range"].values[g, gate], 8, 1) +
                         "".join(fixed(v, 8, 1) for v in values) + "\n")
        lines.append(BLANK_LINE)
    return "".join(lines)


# Recording, frequency selection, and the shares the blocks are decoded in
# (0: as open_dataset does; more: shares that meet at groups of other gate
# counts, at the block without a group and at groups the selection leaves).
CASES = [("sample", False, 0), ("sample", True, 0), ("gates128", False, 0),
         ("gates128", True, 0), ("gates256", False, 0), ("gates256", True, 0),
         ("mixed", False, 0), ("mixed", True, 0), ("random", False, 0),
         ("mixed", False, 4), ("mixed", True, 5), ("random", False, 3)]


@pytest.mark.parametrize("name, select, shares", CASES)
def test_dataset_regenerates_tolvek_output(recordings, name, select, shares):
    path, frequency = recordings[name]
    options = ["-f", str(frequency)] if select else []
    frequency = frequency if select else None
    plain = decode_dataset(path, frequency, False, shares)
    corrected = decode_dataset(path, frequency, True, shares)
    assert plain.sizes["group"] > 0

    status, out, errors = run_program("tolvek", *options, "-s", path)
    assert status == 0
    assert plot_rows(plain) == out.decode("ascii"), "tolvek -s"
    if not select:
        # Every group is in the dataset, so its messages are all of them.
        lines = "".join(m + "\n" for m in plain["messages"].values if m)
        assert lines == errors.decode("ascii"), "messages"

    status, out, _ = run_program("tolvek", *options, "-a", "-p", path)
    assert status == 0
    assert tables(plain, False) == out.decode("ascii"), "tolvek -a -p"

    status, out, _ = run_program("tolvek", *options, "-c", "-p", path)
    assert status == 0
    assert tables(corrected, True) == out.decode("ascii"), "tolvek -c -p"
