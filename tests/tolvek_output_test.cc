// Whole-program tests of tolvek's output modes: which lines each mode and
// option writes for groups built by hand, stated by counts derived from the
// rules and by relations between the outputs of different options. What a
// line holds is stated once, in the output writer's reference test
// (decoder/output_writer_test.cc), and the whole program's lines are
// regenerated from the decoded dataset by python/tests/test_regeneration.py.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tools/block_builder.h"
#include "tests/support/run_program.h"

using namespace digisonde16c;

namespace {

// The quiet 128-gate group: 2.5025 MHz, H = 0, E = 1, L = 1 (no warnings),
// amplitude codes 100 with a few stronger samples (noise level 37), phase
// codes (g + 3c) mod 256.
BlockDraft quiet_group() {
  BlockDraft draft;
  set_default_preface(&draft);
  set_digit(&draft, 45, 1);
  for (int c = 1; c <= 16; ++c) {
    for (int g = 1; g <= 128; ++g) {
      set_amplitude_code(&draft, g, c, 100);
      set_phase_code(&draft, g, c, static_cast<uint8_t>((g + 3 * c) % 256));
    }
  }
  set_amplitude_code(&draft, 1, 3, 200);    // 75.0
  set_amplitude_code(&draft, 2, 16, 110);   // 41.25
  set_amplitude_code(&draft, 128, 8, 255);  // 95.625
  set_amplitude_code(&draft, 5, 9, 0);      // 0.0
  return draft;
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  for (size_t at = 0; at < text.size();) {
    size_t end = text.find('\n', at);
    end = end == std::string::npos ? text.size() : end + 1;
    lines.push_back(text.substr(at, end - at));
    at = end;
  }
  return lines;
}

ProgramResult decode(const TempDir& dir, const std::string& bytes,
                     std::vector<std::string> options) {
  options.push_back(dir.write("rec.16c", bytes));
  return run_program("tolvek", options);
}

// Lines of one group: plot rows are a header, 17 lines a gate (16 rows and
// a blank line) and a blank line; tables a group header, five channel
// header lines, a line a gate and a blank line.
size_t plot_lines(size_t gates) { return 1 + 17 * gates + 1; }
size_t table_lines(size_t gates) { return 6 + gates + 1; }

TEST(TolvekOutput, EachModeWritesItsLinesAndTheLastDecidingOptionWins) {
  TempDir dir;
  const std::string bytes = block_bytes(quiet_group());
  const ProgramResult plot = decode(dir, bytes, {"-s"});
  EXPECT_EQ(plot.status, 0);
  EXPECT_EQ(plot.err, "");
  EXPECT_EQ(lines_of(plot.out).size(), plot_lines(128));
  const ProgramResult both = decode(dir, bytes, {"-a", "-p"});
  EXPECT_EQ(lines_of(both.out).size(), table_lines(128));
  // A gate line of both tables: frequency, range and 32 values of 8.
  EXPECT_EQ(lines_of(both.out)[6].size(), 272u + 1);
  static const struct {
    std::vector<std::string> options;
    const std::string* same_as;
  } kCases[] = {
      {{"-a", "-p", "-s"}, &plot.out},  // plot rows win over the tables
      {{"-t", "3", "-s"}, &plot.out},   // and over an earlier -t
      {{"-p", "-a", "-v"}, &both.out},  // the order of -a and -p does not matter
  };
  for (const auto& c : kCases) {
    EXPECT_EQ(decode(dir, bytes, c.options).out, *c.same_as) << c.options[0] << " ...";
  }
  EXPECT_EQ(lines_of(decode(dir, bytes, {"-a"}).out).size(), table_lines(128));
  EXPECT_EQ(lines_of(decode(dir, bytes, {"-p"}).out).size(), table_lines(128));
}

// Every threshold row is the plot row of its sample; the rows that pass
// are counted from the samples: noise level 37 (the codes 100, with bit 0
// of the preface carriers 37.5 or 37.875), 75.0, 41.25, 95.625, 0.0, and
// 40.5 in byte 0 (the block kind, 0x6C).
TEST(TolvekOutput, ThresholdRowsKeepSamplesStrictlyAboveNoisePlusThreshold) {
  TempDir dir;
  const std::string bytes = block_bytes(quiet_group());
  const std::vector<std::string> plot = lines_of(decode(dir, bytes, {"-s"}).out);
  static const struct {
    const char* threshold;
    size_t rows;
  } kCases[] = {
      {"3", 4},         // above 40: 75.0, 41.25, 95.625 and 40.5
      {"38", 1},        // above 75: 95.625 alone, not 75.0 itself
      {"0", 2047},      // above 37: all but the zero sample
      {"-37", 2047},    // above 0: the same
      {"-37.5", 2048},  // above -0.5: every sample
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.threshold);
    const ProgramResult r = decode(dir, bytes, {"-s", "-t", c.threshold});
    EXPECT_EQ(r.status, 0);
    const std::vector<std::string> rows = lines_of(r.out);
    ASSERT_EQ(rows.size(), 1 + c.rows);
    // The rows, in order, among the plot rows.
    size_t at = 0;
    for (const std::string& row : rows) {
      while (at < plot.size() && plot[at] != row) ++at;
      ASSERT_LT(at, plot.size()) << "not a plot row in order: " << row;
    }
  }
}

TEST(TolvekOutput, GroupsWithoutGatesWriteOnlyTheirHeaders) {
  TempDir dir;
  BlockDraft draft = quiet_group();
  const std::vector<std::string> gated = lines_of(decode(dir, block_bytes(draft), {"-a"}).out);
  set_digit(&draft, 55, 7);  // E = 7: no range gates
  const std::string bytes = block_bytes(draft);
  const ProgramResult plot = decode(dir, bytes, {"-s"});
  EXPECT_EQ(plot.err, " UNDEFIEND RANGE GATES H= 0 E= 7\n");
  EXPECT_EQ(lines_of(plot.out).size(), plot_lines(0));
  // The threshold rows' header alone, the plot rows' header line.
  EXPECT_EQ(decode(dir, bytes, {"-t", "-100"}).out, lines_of(plot.out)[0]);
  for (const char* mode : {"-a", "-p"}) {
    const std::vector<std::string> table = lines_of(decode(dir, bytes, {mode}).out);
    ASSERT_EQ(table.size(), table_lines(0)) << mode;
    // The channel header lines are those of the group with gates.
    for (size_t i = 1; i < 6; ++i) EXPECT_EQ(table[i], gated[i]) << mode;
  }
}

// -c turns the phases in every mode, and only them: the amplitude table is
// the same, and every other mode writes as many lines, some of them other.
TEST(TolvekOutput, PhaseCorrectionReachesEveryModeAndOnlyThePhases) {
  TempDir dir;
  const std::string bytes = block_bytes(quiet_group());
  for (std::vector<std::string> options :
       std::vector<std::vector<std::string>>{{"-s"}, {"-t", "0"}, {"-p"}, {"-a", "-p"}}) {
    const std::string plain = decode(dir, bytes, options).out;
    options.push_back("-c");
    const std::string corrected = decode(dir, bytes, options).out;
    EXPECT_NE(corrected, plain) << options[0];
    EXPECT_EQ(lines_of(corrected).size(), lines_of(plain).size()) << options[0];
  }
  EXPECT_EQ(decode(dir, bytes, {"-c", "-a"}).out, decode(dir, bytes, {"-a"}).out);
}

// A recording of a 2.5025 MHz group, an empty block, a 5.2995 MHz group and
// the first again: -f writes the groups within 0.02 MHz, as a recording of
// those alone would.
TEST(TolvekOutput, FrequencySelectionPassesOverOtherGroups) {
  TempDir dir;
  BlockDraft draft = quiet_group();
  const std::string at_2_5 = block_bytes(draft);
  set_digits(&draft, 20, "052970");  // 5.2970 + 0.0025 MHz
  const std::string at_5_3 = block_bytes(draft);
  const std::string bytes = at_2_5 + std::string(4096, '\0') + at_5_3 + at_2_5;
  const ProgramResult r = decode(dir, bytes, {"-f", "5.3", "-a"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, decode(dir, at_5_3, {"-a"}).out);
  EXPECT_EQ(decode(dir, bytes, {"-a", "-f", "2.5"}).out,
            decode(dir, at_2_5 + at_2_5, {"-a"}).out);
  EXPECT_EQ(decode(dir, bytes, {"-a", "-f", "4"}).out, "");
}

TEST(TolvekOutput, FrequenciesTooWideForTheirFieldsShowAsterisks) {
  TempDir dir;
  BlockDraft draft = quiet_group();
  set_digits(&draft, 20, "A00000");  // digit 20 = 10: 100.0025 MHz
  ProgramResult r = decode(dir, block_bytes(draft), {"-a"});
  EXPECT_EQ(r.out.substr(0, 35), "# 2001 123 04:55:30******* 01123045");
  EXPECT_EQ(r.out.find('\n'), 94u);
  // F10.4 and F8.4 still hold 100.0025.
  EXPECT_NE(r.out.find("#      Frequency100.0025100.0025"), std::string::npos);
}

// A 256-gate group (H = 8) writes all its gates. d44 = 0 with H = 8 draws
// the Doppler table message, after which the 16-line table applies.
TEST(TolvekOutput, TwoHundredFiftySixGateGroupsWriteEveryGate) {
  TempDir dir;
  BlockDraft draft = quiet_group();
  set_digit(&draft, 54, 8);
  const std::string bytes = block_bytes(draft);
  const ProgramResult r = decode(dir, bytes, {"-s"});
  EXPECT_EQ(r.err, " Doppler Table Error..\n");
  EXPECT_EQ(lines_of(r.out).size(), plot_lines(256));
  EXPECT_EQ(lines_of(decode(dir, bytes, {"-a", "-p"}).out).size(), table_lines(256));
}

}  // namespace
