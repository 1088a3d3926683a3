// Whole-program golden tests of tolvek's output modes. Expected text is
// derived from the decoding rules: literal lines written out by hand, and
// rows assembled with the C library's printf from hand-derived values.
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tools/block_builder.h"
#include "tests/support/run_program.h"

using namespace digisonde16c;

namespace {

const char kPlotHeader[] =
    "#            Time      Freq     Range  Polarize     Noise   Doppler        Az"
    "        Zn  Ampltude     Phase\n";

std::string fixed(const char* format, double value) {
  char field[64];
  std::snprintf(field, sizeof field, format, value);
  return field;
}

// What a group decodes to, stated by hand for each test recording.
struct Expected {
  std::string time = "2001 123 04:55:30";
  float frequency = 2.5025f;
  int gates = 128;
  std::vector<float> ranges;
  int order[16];            // channel printed in place k
  float doppler[16];        // by channel - 1
  float polarization = -90.0f;
  float noise = 0.0f;
  std::vector<std::vector<float>> amplitude;  // [channel - 1][gate - 1]
  std::vector<std::vector<float>> phase;
};

std::string plot_row(const Expected& e, int g, int k) {
  int c = e.order[k] - 1;
  return e.time + fixed("%10.4f", e.frequency) + fixed("%10.3f", e.ranges[g]) +
         fixed("%10.3f", e.polarization) + fixed("%10.3f", e.noise) +
         fixed("%10.3f", e.doppler[c]) + "     0.000     0.000" +
         fixed("%10.3f", e.amplitude[c][g]) + fixed("%10.3f", e.phase[c][g]) + "\n";
}

std::string plot_rows(const Expected& e) {
  std::string text = kPlotHeader;
  for (int g = 0; g < e.gates; ++g) {
    for (int k = 0; k < 16; ++k) text += plot_row(e, g, k);
    text += " \n";
  }
  return text + " \n";
}

std::string threshold_rows(const Expected& e, double threshold) {
  std::string text = kPlotHeader;
  for (int g = 0; g < e.gates; ++g) {
    for (int k = 0; k < 16; ++k) {
      int c = e.order[k] - 1;
      if (e.amplitude[c][g] > e.noise + threshold) text += plot_row(e, g, k);
    }
  }
  return text;
}

std::string channel_header(const char* label, const char* format,
                           const std::vector<float>& by_print_position, int copies) {
  std::string line = "#";
  char padded[32];
  std::snprintf(padded, sizeof padded, "%15s", label);
  line += padded;
  for (int copy = 0; copy < copies; ++copy) {
    for (float v : by_print_position) line += fixed(format, v);
  }
  return line + "\n";
}

// Table modes: 'a' amplitudes, 'p' phases, 'b' both.
std::string tables(const Expected& e, const std::string& group_header, char mode) {
  int copies = mode == 'b' ? 2 : 1;
  std::vector<float> frequency(16, e.frequency), polarization(16, e.polarization),
      zero(16, 0.0f), doppler;
  for (int k = 0; k < 16; ++k) doppler.push_back(e.doppler[e.order[k] - 1]);
  std::string text = group_header;
  text += channel_header("Frequency", "%8.4f", frequency, copies);
  text += channel_header("Polarize", "%8.2f", polarization, copies);
  text += channel_header("Doppler", "%8.3f", doppler, copies);
  text += channel_header("Azimuth", "%8.2f", zero, copies);
  text += channel_header("Zenith", "%8.2f", zero, copies);
  for (int g = 0; g < e.gates; ++g) {
    text += fixed("%8.4f", e.frequency) + fixed("%8.1f", e.ranges[g]);
    for (int half = 0; half < copies; ++half) {
      bool amplitudes = mode == 'a' || (mode == 'b' && half == 0);
      for (int k = 0; k < 16; ++k) {
        int c = e.order[k] - 1;
        text += fixed("%8.1f", amplitudes ? e.amplitude[c][g] : e.phase[c][g]);
      }
    }
    text += "\n";
  }
  return text + " \n";
}

// The quiet 128-gate group: 2.5025 MHz, H = 0, E = 1, L = 1 (no warnings),
// PZA bytes 0x20 (polarization -90, azimuth and zenith 0), 16 Doppler lines
// of 12.5 Hz (PRF 50, d48 = 0: N = 1 x 2 x 1, step 50 / 4), amplitude
// codes 100 with a few stronger samples, phase codes (g + 3c) mod 256.
struct QuietGroup {
  BlockDraft draft;
  Expected expected;
};

// The 128-gate samples of the built block (bit 0 of the preface carriers
// and the kind in byte 0 included): amplitude 0.375 x code, phase 1.40625 x code.
void take_samples(const BlockDraft& draft, Expected* e) {
  uint8_t block[4096];
  build_block(draft, block);
  e->amplitude.assign(16, std::vector<float>(256, 0.0f));
  e->phase.assign(16, std::vector<float>(256, 0.0f));
  for (int c = 0; c < 16; ++c) {
    for (int g = 0; g < 128; ++g) {
      e->amplitude[c][g] = 0.375f * block[256 * c + g];
      e->phase[c][g] = 1.40625f * block[256 * c + 128 + g];
    }
  }
}

QuietGroup quiet_group() {
  QuietGroup q;
  set_default_preface(&q.draft);
  set_digit(&q.draft, 45, 1);
  for (int c = 1; c <= 16; ++c) {
    for (int g = 1; g <= 128; ++g) {
      set_amplitude_code(&q.draft, g, c, 100);
      set_phase_code(&q.draft, g, c, static_cast<uint8_t>((g + 3 * c) % 256));
    }
  }
  set_amplitude_code(&q.draft, 1, 3, 200);    // 75.0
  set_amplitude_code(&q.draft, 2, 16, 110);   // 41.25
  set_amplitude_code(&q.draft, 128, 8, 255);  // 95.625
  set_amplitude_code(&q.draft, 5, 9, 0);      // 0.0

  Expected& e = q.expected;
  for (int i = 0; i < 128; ++i) e.ranges.push_back(10.0f + 2.5f * i);
  // Keys differ by Doppler alone: the most negative line first.
  const int order[16] = {16, 15, 14, 13, 12, 11, 10, 9, 1, 2, 3, 4, 5, 6, 7, 8};
  for (int k = 0; k < 16; ++k) e.order[k] = order[k];
  for (int c = 1; c <= 8; ++c) e.doppler[c - 1] = 12.5f * c;
  for (int c = 9; c <= 16; ++c) e.doppler[c - 1] = -12.5f * (c - 8);
  // Codes 100 (bit 0 of the preface carriers may make them 101) fill bin 37.
  e.noise = 37.0f;
  take_samples(q.draft, &e);
  return q;
}

const char kQuietGroupHeader[] =
    "# 2001 123 04:55:30 2.5025 01123045530 00000000 025000 0000000 00000 000 000"
    " 0100 000 000 0100\n";

// The phases after -c: every gate's phase turned by 540 degrees per km of
// range beyond the first gate, folded into 0..360 in double.
void correct_phases(Expected* e) {
  for (int c = 0; c < 16; ++c) {
    for (int g = 1; g < e->gates; ++g) {
      double v = e->phase[c][g] + (e->ranges[g] - e->ranges[0]) * 540.0;
      e->phase[c][g] = static_cast<float>(std::fmod(v, 360.0));
    }
  }
}

ProgramResult decode(const TempDir& dir, const std::string& bytes,
                     std::vector<std::string> options) {
  options.push_back(dir.write("rec.16c", bytes));
  return run_program("tolvek", options);
}

TEST(TolvekOutput, PlotRowsHoldEveryGateAndChannelInPrintOrder) {
  TempDir dir;
  QuietGroup q = quiet_group();
  ProgramResult r = decode(dir, block_bytes(q.draft), {"-s"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out, plot_rows(q.expected));
  // Plot rows win over the tables and over an earlier -t.
  EXPECT_EQ(decode(dir, block_bytes(q.draft), {"-a", "-p", "-s"}).out, r.out);
  EXPECT_EQ(decode(dir, block_bytes(q.draft), {"-t", "3", "-s"}).out, r.out);
}

TEST(TolvekOutput, ThresholdRowsKeepSamplesStrictlyAboveNoisePlusThreshold) {
  TempDir dir;
  QuietGroup q = quiet_group();
  static const struct {
    const char* threshold;
    double value;
    size_t rows;
  } cases[] = {
      // above 40: 75.0, 41.25, 95.625 and 40.5 (byte 0 carries the kind: 0x6C)
      {"3", 3.0, 4},
      {"38", 38.0, 1},        // above 75: 95.625 alone, not 75.0 itself
      {"0", 0.0, 2047},       // above 37: all but the zero sample
      {"-37", -37.0, 2047},   // above 0: the same
      {"-37.5", -37.5, 2048}, // above -0.5: every sample
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.threshold);
    ProgramResult r = decode(dir, block_bytes(q.draft), {"-s", "-t", c.threshold});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, threshold_rows(q.expected, c.value));
    size_t lines = 0;
    for (char ch : r.out) lines += ch == '\n';
    EXPECT_EQ(lines, 1 + c.rows);
  }
}

TEST(TolvekOutput, TablesHoldTheHeadersAndOneLinePerGate) {
  TempDir dir;
  QuietGroup q = quiet_group();
  static const struct {
    std::vector<std::string> options;
    char mode;
  } cases[] = {
      {{"-a"}, 'a'}, {{"-p"}, 'p'}, {{"-a", "-p"}, 'b'}, {{"-p", "-a", "-v"}, 'b'},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.options[0] + (c.options.size() > 1 ? " " + c.options[1] : ""));
    ProgramResult r = decode(dir, block_bytes(q.draft), c.options);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, tables(q.expected, kQuietGroupHeader, c.mode));
  }
  // Line widths: 144 characters with 16 values, 272 with 32.
  std::string both = decode(dir, block_bytes(q.draft), {"-a", "-p"}).out;
  size_t second_line = both.find('\n') + 1;
  EXPECT_EQ(both.find('\n', second_line) - second_line, 272u);
}

TEST(TolvekOutput, GroupsWithoutGatesWriteOnlyTheirHeaders) {
  TempDir dir;
  QuietGroup q = quiet_group();
  set_digit(&q.draft, 55, 7);  // E = 7: no range gates
  Expected e = q.expected;
  e.gates = 0;
  std::string header = kQuietGroupHeader;
  header.replace(header.size() - 4, 1, "7");
  static const struct {
    std::vector<std::string> options;
    char mode;  // 's' plot rows, 't' threshold rows, or a table mode
  } cases[] = {{{"-s"}, 's'}, {{"-t", "-100"}, 't'}, {{"-a"}, 'a'}, {{"-p"}, 'p'},
               {{"-a", "-p"}, 'b'}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.mode);
    ProgramResult r = decode(dir, block_bytes(q.draft), c.options);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, " UNDEFIEND RANGE GATES H= 0 E= 7\n");
    // The noise level of a group without samples is 0.
    e.noise = 0.0f;
    std::string expected = c.mode == 's'   ? std::string(kPlotHeader) + " \n"
                           : c.mode == 't' ? std::string(kPlotHeader)
                                           : tables(e, header, c.mode);
    EXPECT_EQ(r.out, expected);
  }
}

TEST(TolvekOutput, PhaseCorrectionAppliesToEveryMode) {
  TempDir dir;
  QuietGroup q = quiet_group();
  Expected e = q.expected;
  correct_phases(&e);
  EXPECT_EQ(decode(dir, block_bytes(q.draft), {"-c", "-s"}).out, plot_rows(e));
  EXPECT_EQ(decode(dir, block_bytes(q.draft), {"-t", "0", "-c"}).out, threshold_rows(e, 0));
  EXPECT_EQ(decode(dir, block_bytes(q.draft), {"-p", "-c"}).out,
            tables(e, kQuietGroupHeader, 'p'));
  EXPECT_EQ(decode(dir, block_bytes(q.draft), {"-c", "-a", "-p"}).out,
            tables(e, kQuietGroupHeader, 'b'));
  // Amplitudes are not touched by the correction.
  EXPECT_EQ(decode(dir, block_bytes(q.draft), {"-c", "-a"}).out,
            tables(q.expected, kQuietGroupHeader, 'a'));
}

TEST(TolvekOutput, FrequencySelectionPassesOverOtherGroups) {
  TempDir dir;
  QuietGroup q = quiet_group();
  std::string at_2_5 = block_bytes(q.draft);
  set_digits(&q.draft, 20, "052970");  // 5.2970 + 0.0025 MHz
  std::string at_5_3 = block_bytes(q.draft);
  std::string header_5_3 = kQuietGroupHeader;
  header_5_3.replace(19, 7, " 5.2995");
  header_5_3.replace(48, 6, "052970");
  Expected e = q.expected;
  e.frequency = 5.2995f;
  take_samples(q.draft, &e);
  std::string bytes = at_2_5 + std::string(4096, '\0') + at_5_3 + at_2_5;
  ProgramResult r = decode(dir, bytes, {"-f", "5.3", "-a"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, tables(e, header_5_3, 'a'));
  r = decode(dir, bytes, {"-a", "-f", "2.5"});
  EXPECT_EQ(r.out, tables(q.expected, kQuietGroupHeader, 'a') +
                       tables(q.expected, kQuietGroupHeader, 'a'));
  EXPECT_EQ(decode(dir, bytes, {"-a", "-f", "4"}).out, "");
}

TEST(TolvekOutput, FrequenciesTooWideForTheirFieldsShowAsterisks) {
  TempDir dir;
  QuietGroup q = quiet_group();
  set_digits(&q.draft, 20, "A00000");  // digit 20 = 10: 100.0025 MHz
  ProgramResult r = decode(dir, block_bytes(q.draft), {"-a"});
  EXPECT_EQ(r.out.substr(0, 35), "# 2001 123 04:55:30******* 01123045");
  EXPECT_EQ(r.out.find('\n'), 94u);
  // F10.4 and F8.4 still hold 100.0025.
  EXPECT_NE(r.out.find("#      Frequency100.0025100.0025"), std::string::npos);
}

// A 256-gate group (H = 8) fills channels 1 to 8; its gate g > 128 reads the
// bytes of gate g - 128's phase code (amplitude) and of the next channel's
// amplitude code (phase). d44 = 0 with H = 8 draws the Doppler table
// message, after which the 16-line table applies.
TEST(TolvekOutput, TwoHundredFiftySixGateGroupsPrintEmptyChannelsAsZeros) {
  TempDir dir;
  QuietGroup q = quiet_group();
  set_digit(&q.draft, 54, 8);
  uint8_t block[4096];
  build_block(q.draft, block);
  Expected e = q.expected;
  e.gates = 256;
  e.noise = 0.0f;
  e.ranges.clear();
  for (int i = 0; i < 256; ++i) e.ranges.push_back(10.0f + 2.5f * i);
  for (int c = 0; c < 16; ++c) {
    for (int g = 0; g < 256; ++g) {
      e.amplitude[c][g] = c < 8 ? 0.375f * block[256 * c + g] : 0.0f;
      e.phase[c][g] = c < 8 ? 1.40625f * block[256 * c + 128 + g] : 0.0f;
    }
  }
  std::string header = kQuietGroupHeader;
  header.replace(header.size() - 5, 1, "8");
  ProgramResult r = decode(dir, block_bytes(q.draft), {"-s"});
  EXPECT_EQ(r.err, " Doppler Table Error..\n");
  EXPECT_EQ(r.out, plot_rows(e));
  EXPECT_EQ(decode(dir, block_bytes(q.draft), {"-a", "-p"}).out, tables(e, header, 'b'));
  // After -c the empty channels show the wrapped correction of their zeros.
  correct_phases(&e);
  EXPECT_EQ(decode(dir, block_bytes(q.draft), {"-p", "-c"}).out, tables(e, header, 'p'));
}

}  // namespace
