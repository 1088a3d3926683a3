// Whole-program tests of the recording synthesizer: the recordings it writes
// decode with tolvek to what it was asked for. Expected heights are worked
// out by hand from the layer formula, never taken from the synthesizer.
#include <cmath>
#include <cstdio>
#include <map>
#include <sstream>
#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/run_program.h"

#ifndef SOURCE_DIR
#error "SOURCE_DIR must name the project's source directory"
#endif

namespace {

// One plot row of tolvek -s, split at whitespace.
struct PlotRow {
  std::string time;
  double frequency, range, polarization, noise, doppler, amplitude, phase;
};

std::vector<PlotRow> plot_rows(const std::string& text) {
  std::vector<PlotRow> rows;
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    if (line.empty() || line[0] == '#' || line == " ") continue;
    std::istringstream fields(line);
    PlotRow row;
    std::string year, day, clock;
    double azimuth, zenith;
    fields >> year >> day >> clock >> row.frequency >> row.range >> row.polarization >>
        row.noise >> row.doppler >> azimuth >> zenith >> row.amplitude >> row.phase;
    if (!fields) ADD_FAILURE() << "unreadable plot row: " << line;
    row.time = year + " " + day + " " + clock;
    rows.push_back(row);
  }
  return rows;
}

// Range of the strongest sample of one polarization, by frequency; the
// first such range when several share the maximum.
std::map<double, double> strongest_ranges(const std::vector<PlotRow>& rows,
                                          double polarization) {
  std::map<double, double> best_amplitude, best_range;
  for (const PlotRow& row : rows) {
    if (row.polarization != polarization) continue;
    auto found = best_amplitude.find(row.frequency);
    if (found == best_amplitude.end() || row.amplitude > found->second) {
      best_amplitude[row.frequency] = row.amplitude;
      best_range[row.frequency] = row.range;
    }
  }
  return best_range;
}

ProgramResult synthesize(const TempDir& dir, const std::string& options) {
  return run_shell("synth16c " + options + " '" + dir.path() + "/rec.16c'");
}

TEST(Synth16c, sweepDecodesToTheAskedTimesFrequenciesAndGates) {
  static const struct {
    const char* options;
    std::vector<std::string> headers;  // "# ", time text, frequency F7.4
    double start, spacing;
    int doubling;  // first gate whose index doubles, 0 for none
  } kCases[] = {
      {"--frequencies 4 --first 2.5 --last 7 --start '1999 365 23:59:30' --step 15 "
       "--gates 0 --start-range 2",
       {"# 1999 365 23:59:30 2.5000", "# 1999 365 23:59:45 4.0000",
        "# 2000 001 00:00:00 5.5000", "# 2000 001 00:00:15 7.0000"},
       60.0, 2.5, 0},
      {"--frequencies 3 --first 1 --last 12",
       {"# 2024 172 12:00:00 1.0000", "# 2024 172 12:00:02 6.5000",
        "# 2024 172 12:00:0412.0000"},
       10.0, 5.0, 0},
      {"--frequencies 1 --first 9.9 --last 9.9 --start '2010 032 00:00:09' --gates 3",
       {"# 2010 032 00:00:09 9.9000"}, 10.0, 2.5, 41},
      {"--frequencies 2 --first 3.3 --last 3.35 --gates 2 --start-range 4 --step 600",
       {"# 2024 172 12:00:00 3.3000", "# 2024 172 12:10:00 3.3500"}, 380.0, 10.0, 0},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.options);
    TempDir dir;
    ProgramResult made = synthesize(dir, c.options);
    ASSERT_EQ(made.status, 0) << made.err;
    EXPECT_EQ(made.out, "");
    EXPECT_EQ(made.err, "");
    EXPECT_EQ(read_file(dir.path() + "/rec.16c").size(), 4096u * c.headers.size());

    ProgramResult decoded = run_program("tolvek", {"-a", dir.path() + "/rec.16c"});
    EXPECT_EQ(decoded.status, 0);
    EXPECT_EQ(decoded.err, "");
    std::vector<std::string> headers;
    std::vector<std::vector<double>> ranges;
    std::istringstream lines(decoded.out);
    std::string line;
    while (std::getline(lines, line)) {
      if (line.compare(0, 2, "# ") == 0 && line.size() == 94) {
        headers.push_back(line.substr(0, 26));
        ranges.emplace_back();
      } else if (!line.empty() && line[0] != '#' && line != " ") {
        ASSERT_FALSE(ranges.empty());
        ranges.back().push_back(std::stod(line.substr(8, 8)));
        EXPECT_EQ(line.substr(0, 8), " " + headers.back().substr(19));
      }
    }
    EXPECT_EQ(headers, c.headers);
    for (const auto& group : ranges) {
      ASSERT_EQ(group.size(), 128u);
      for (int g = 1; g <= 128; ++g) {
        int index = c.doubling != 0 && g >= c.doubling ? 2 * (g - 1) : g - 1;
        EXPECT_EQ(group[g - 1], c.start + index * c.spacing) << "gate " << g;
      }
    }
  }
}

// An F layer alone: foF2 8 MHz, hmF2 300 km, ymF2 100 km (base 200 km), so
// h'(f) = 200 + 100 (x/2) ln((1 + x)/(1 - x)) with x = f/8; the X trace at f
// is the O trace at f - 0.7 (gyrofrequency 1.4 MHz).
const char kFLayer[] =
    "--foE 0 --foF2 8 --hmF2 300 --ymF2 100 --gyro 1.4 --frequencies 6 --first 2 --last 7";

TEST(Synth16c, strongestEchoesSitAtTheVirtualHeightsOfTheLayer) {
  static const struct {
    double frequency;
    double ordinary;       // h'(f), km
    double extraordinary;  // h'(f - 0.7), km
  } kCases[] = {
      {2.0, 206.385, 202.664}, {3.0, 214.784, 208.505}, {4.0, 227.465, 218.093},
      {5.0, 245.823, 232.284}, {6.0, 272.972, 252.818}, {7.0, 318.477, 283.854},
  };
  TempDir dir;
  ProgramResult made = synthesize(dir, kFLayer);
  ASSERT_EQ(made.status, 0) << made.err;
  ProgramResult decoded = run_program("tolvek", {"-s", dir.path() + "/rec.16c"});
  ASSERT_EQ(decoded.status, 0);
  EXPECT_EQ(decoded.err, "");
  std::vector<PlotRow> rows = plot_rows(decoded.out);
  ASSERT_EQ(rows.size(), 6u * 128u * 16u);
  std::map<double, double> o = strongest_ranges(rows, 90.0);
  std::map<double, double> x = strongest_ranges(rows, -90.0);
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.frequency);
    // Gates lie 5 km apart; the strongest is the nearest or, where the
    // amplitude steps of 0.375 tie two gates, its neighbour.
    ASSERT_EQ(o.count(c.frequency), 1u);
    EXPECT_LE(std::fabs(o[c.frequency] - c.ordinary), 5.0) << o[c.frequency];
    EXPECT_LE(std::fabs(x[c.frequency] - c.extraordinary), 5.0) << x[c.frequency];
  }
}

// Phase difference folded into -180..180 degrees.
double phase_difference(double a, double b) {
  double d = std::fmod(a - b, 360.0);
  if (d > 180.0) d -= 360.0;
  if (d < -180.0) d += 360.0;
  return d;
}

TEST(Synth16c, echoPhasesTurnWithRangeAsTolvekCorrects) {
  // Gates 2.5 km apart (H = 0), where a turn of -540 degrees per km and one
  // of +540 differ: -1350 is 90 degrees a gate, +1350 is 270.
  TempDir dir;
  ASSERT_EQ(synthesize(dir, std::string(kFLayer) + " --gates 0").status, 0);
  std::map<double, double> phase, corrected;
  double peak = 0.0, peak_amplitude = -1.0;
  for (bool correct : {false, true}) {
    std::vector<std::string> args = {"-f", "5", "-s", dir.path() + "/rec.16c"};
    if (correct) args.insert(args.begin(), "-c");
    ProgramResult decoded = run_program("tolvek", args);
    ASSERT_EQ(decoded.status, 0);
    for (const PlotRow& row : plot_rows(decoded.out)) {
      // The strongest O channel: polarization +90, Doppler line +0.781 Hz.
      if (row.polarization != 90.0 || row.doppler != 0.781) continue;
      (correct ? corrected : phase)[row.range] = row.phase;
      if (row.amplitude > peak_amplitude) peak_amplitude = row.amplitude, peak = row.range;
    }
  }
  ASSERT_EQ(corrected.size(), 128u);
  ASSERT_GT(peak_amplitude, 50.0);
  // Along the echo (40 dB above the noise) the corrected phase stays put to
  // within the phase step of 1.4 degrees and a little noise; uncorrected, it
  // turns by -540 x 2.5 = -1350 degrees, i.e. +90, from gate to gate.
  for (double step : {-2.5, 2.5, 5.0}) {
    SCOPED_TRACE(step);
    double range = peak + step;
    EXPECT_LE(std::fabs(phase_difference(corrected[range], corrected[peak])), 4.0);
    double turn = -540.0 * step;
    EXPECT_LE(std::fabs(phase_difference(phase[range] - phase[peak], turn)), 4.0);
  }
}

TEST(Synth16c, unusableCommandLinesFailWithAReason) {
  static const struct {
    const char* args;
    const char* first_line;
  } kCases[] = {
      {"", "synth16c: no output file given\n"},
      {"--foE 9 out.16c", "synth16c: foE must be below foF2\n"},
      {"--gates 9 out.16c", "synth16c: bad value for --gates: 9\n"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.args);
    TempDir dir;
    ProgramResult result = run_shell("cd '" + dir.path() + "' && synth16c " + c.args);
    EXPECT_EQ(result.status, 2);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err.substr(0, result.err.find('\n') + 1), c.first_line);
    EXPECT_NE(result.err.find("usage: synth16c"), std::string::npos);
  }
  TempDir dir;
  ProgramResult unwritable = run_shell("synth16c '" + dir.path() + "/missing/out.16c'");
  EXPECT_EQ(unwritable.status, 1);
  EXPECT_EQ(unwritable.err,
            "synth16c: " + dir.path() + "/missing/out.16c: No such file or directory\n");
}

// The command that made examples/sample.16c, as examples/README.md and the
// Makefile's sample target give it.
const char kSampleCommand[] =
    "synth16c --frequencies 45 --first 1 --last 12 --foE 3 --hmE 110 --ymE 15 "
    "--foF2 7.5 --hmF2 300 --ymF2 80 --start '2024 172 12:00:00' --step 2 --seed 1 ";

// The samples come from the maths library's sines and exponentials, whose
// last bits may differ between versions: a sample code may then land one
// step over, which forcing its bit 0 for the preface can make two. The
// blocks' kinds and preface bits (bit 0 of bytes 0 to 127 and 256
// to 359) must agree exactly, and few codes may differ at all.
TEST(Synth16c, shippedSampleIsWhatItsCommandWrites) {
  TempDir dir;
  ProgramResult made = run_shell(kSampleCommand + ("'" + dir.path() + "/sample.16c'"));
  ASSERT_EQ(made.status, 0) << made.err;
  const std::string shipped = read_file(std::string(SOURCE_DIR) + "/examples/sample.16c");
  const std::string written = read_file(dir.path() + "/sample.16c");
  ASSERT_EQ(shipped.size(), 45u * 4096u);
  ASSERT_EQ(written.size(), shipped.size())
      << "examples/sample.16c differs from what its command writes; regenerate it "
         "with `make sample`";
  size_t differing = 0;
  for (size_t i = 0; i < shipped.size(); ++i) {
    const int a = static_cast<uint8_t>(shipped[i]);
    const int b = static_cast<uint8_t>(written[i]);
    const size_t at = i % 4096;
    const bool carrier = at < 128 || (at >= 256 && at < 360);
    ASSERT_FALSE((at == 0 && a != b) || (carrier && (a & 1) != (b & 1)) || std::abs(a - b) > 2)
        << "byte " << i << " is " << a << ", its command writes " << b
        << "; regenerate examples/sample.16c with `make sample`";
    differing += a != b;
  }
  EXPECT_LT(differing, shipped.size() / 1000) << "codes that differ by a step";
}

}  // namespace
