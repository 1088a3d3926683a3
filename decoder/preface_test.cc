#include "decoder/preface.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "decoder/group_record.h"
#include "tests/support/text_capture.h"
#include "tools/block_builder.h"

namespace digisonde16c {

namespace {

TEST(GroupTimeText, DigitsOneToEleven) {
  static const struct {
    const char* digits;  // digits 1..11
    const char* expected;
  } kCases[] = {
      {"01123045530", "2001 123 04:55:30"},
      {"81001000000", "2081 001 00:00:00"},
      {"82366235959", "1982 366 23:59:59"},
      {"99999999999", "1999 999 99:99:99"},
      {"00000000000", "2000 000 00:00:00"},
      {"01123C45530", "2001 123 *4:55:30"},
      {"01F23ABCDEF", "2001 *23 **:**:**"},
      {"7A123045530", "2080 123 04:55:30"},  // yy = 80
      {"8A123045530", "1990 123 04:55:30"},  // yy = 90
      {"FF123045530", "2065 123 04:55:30"},  // yy = 165
  };
  for (const auto& row : kCases) {
    SCOPED_TRACE(row.digits);
    BlockDraft draft;
    set_digits(&draft, 1, row.digits);
    char text[kTimeTextLength + 1];
    text[kTimeTextLength] = '#';
    group_time_text(draft.preface, text);
    EXPECT_EQ(std::string(text, kTimeTextLength), row.expected);
    EXPECT_EQ(text[kTimeTextLength], '#');
  }
}

TEST(GroupTimeSeconds, ValidTimesAndTheDigitsThatAreNone) {
  // Seconds since 1970-01-01 00:00:00 UTC of the calendar date that the
  // year and day of the year name (date -u -d "2001-05-03 04:55:30" +%s).
  static const struct {
    const char* digits;  // digits 1..11
    bool valid;
    int64_t seconds;
  } kCases[] = {
      {"01123045530", true, 988865730},   // 2001-05-03 04:55:30
      {"24172120000", true, 1718884800},  // 2024-06-20 12:00:00
      {"82001000000", true, 378691200},   // 1982-01-01, the first year
      {"81365235959", true, 3534451199},  // 2081-12-31 23:59:59, the last
      {"99365235959", true, 946684799},   // 1999-12-31 23:59:59
      {"00366235959", true, 978307199},   // 2000 is a leap year
      {"81366000000", false, 0},          // 2081 is not
      {"01000120000", false, 0},          // day 0
      {"01123240000", false, 0},          // hour 24
      {"01123236000", false, 0},          // minute 60
      {"01123235960", false, 0},          // second 60
      {"01123C45530", false, 0},          // a digit above 9 in the clock
      {"A1123045530", false, 0},          // and in the year
  };
  for (const auto& row : kCases) {
    SCOPED_TRACE(row.digits);
    BlockDraft draft;
    set_digits(&draft, 1, row.digits);
    int64_t seconds = -1;
    EXPECT_EQ(group_time_seconds(draft.preface, &seconds), row.valid);
    EXPECT_EQ(seconds, row.valid ? row.seconds : -1);
  }
}

TEST(GroupFrequency, DigitsAndOffsetModes) {
  static const struct {
    const char* digits;  // digits 20..25
    int mode;            // d56
    int step;            // d52
    float expected;
  } kCases[] = {
      {"025000", 0, 0, 2.5025f},
      {"025000", 1, 0, 2.5225f},   // 0.0225 in all
      {"025000", 1, 9, 2.5225f},   // the step plays no part
      {"025000", 2, 3, 2.5325f},   // 0.0025 + 0.03
      {"025000", 2, 15, 2.5025f},  // a step of 15 counts as 0
      {"025000", 3, 15, 2.5025f},
      {"025000", 3, 2, 2.5425f},   // 0.0025 + 0.04
      {"025000", 3, 14, 2.7825f},  // 0.0025 + 0.28
      {"025000", 7, 5, 2.5025f},
      {"025000", 15, 5, 2.5025f},
      {"123456", 0, 0, 12.3481f},
      {"299999", 0, 0, 30.0024f},
      {"0A0000", 0, 0, 10.0025f},  // a digit above 9 counts with its value
      {"F00001", 0, 0, 150.0026f},
      {"000000", 0, 0, 0.0025f},
      // Mode 1 alone: one unit in the last place below the nearest float of 0.0225.
      {"000000", 1, 0, std::nextafter(0.0225f, 0.0f)},
  };
  for (const auto& row : kCases) {
    SCOPED_TRACE(testing::Message() << row.digits << " mode " << row.mode
                                    << " step " << row.step);
    BlockDraft draft;
    set_digits(&draft, 20, row.digits);
    set_digit(&draft, 56, row.mode);
    set_digit(&draft, 52, row.step);
    EXPECT_EQ(group_frequency(draft.preface), row.expected);
  }
}

// range_gates on a preface holding only H (digit 54) and E (digit 55), into
// ranges that start as -1 so that writes past the count show; returns the
// messages.
std::string gates_of(int h, int e, int* gate_count, float* gate_range) {
  BlockDraft draft;
  set_digit(&draft, 54, h);
  set_digit(&draft, 55, e);
  for (int g = 0; g < kMaxGates; ++g) gate_range[g] = -1.0f;
  Capture messages;
  range_gates(draft.preface, gate_count, gate_range, &messages.sink);
  return messages.text();
}

TEST(RangeGates, GateCountAndRanges) {
  static const struct {
    int h;
    int e;
    int gate_count;
    struct {
      int gate;
      float range;
    } checks[5];
  } kCases[] = {
      {0, 1, 128, {{1, 10.0f}, {2, 12.5f}, {3, 15.0f}, {127, 325.0f}, {128, 327.5f}}},
      {1, 2, 128, {{1, 60.0f}, {2, 65.0f}, {64, 375.0f}, {127, 690.0f}, {128, 695.0f}}},
      {2, 1, 128, {{1, 10.0f}, {2, 20.0f}, {40, 400.0f}, {41, 410.0f}, {128, 1280.0f}}},
      {3, 1, 128, {{1, 10.0f}, {40, 107.5f}, {41, 210.0f}, {42, 215.0f}, {128, 645.0f}}},
      {5, 3, 128, {{1, 160.0f}, {2, 160.0f}, {41, 160.0f}, {127, 160.0f}, {128, 160.0f}}},
      {4, 4, 128, {{1, 380.0f}, {2, 380.0f}, {64, 380.0f}, {127, 380.0f}, {128, 380.0f}}},
      {7, 1, 128, {{1, 10.0f}, {2, 10.0f}, {64, 10.0f}, {127, 10.0f}, {128, 10.0f}}},
      {8, 1, 256, {{1, 10.0f}, {128, 327.5f}, {129, 330.0f}, {255, 645.0f}, {256, 647.5f}}},
      {9, 4, 256, {{1, 380.0f}, {2, 385.0f}, {129, 1020.0f}, {255, 1650.0f}, {256, 1655.0f}}},
      {10, 5, 256, {{1, 760.0f}, {2, 770.0f}, {128, 2030.0f}, {129, 2040.0f}, {256, 3310.0f}}},
      {11, 2, 256, {{1, 60.0f}, {128, 377.5f}, {129, 700.0f}, {130, 705.0f}, {256, 1335.0f}}},
      {12, 5, 256, {{1, 760.0f}, {128, 1395.0f}, {129, 2040.0f}, {130, 2050.0f}, {256, 3310.0f}}},
      {13, 2, 256, {{1, 60.0f}, {2, 60.0f}, {128, 60.0f}, {129, 60.0f}, {256, 60.0f}}},
      {15, 5, 256, {{1, 760.0f}, {2, 760.0f}, {128, 760.0f}, {129, 760.0f}, {256, 760.0f}}},
  };
  for (const auto& row : kCases) {
    SCOPED_TRACE(testing::Message() << "H " << row.h << " E " << row.e);
    float gate_range[kMaxGates];
    int gate_count = -7;
    EXPECT_EQ(gates_of(row.h, row.e, &gate_count, gate_range), "");
    ASSERT_EQ(gate_count, row.gate_count);
    for (const auto& check : row.checks) {
      EXPECT_EQ(gate_range[check.gate - 1], check.range) << "gate " << check.gate;
    }
    for (int g = gate_count + 1; g <= kMaxGates; ++g) {
      EXPECT_EQ(gate_range[g - 1], -1.0f) << "gate " << g << " was written";
    }
  }
}

TEST(RangeGates, SpacingBeforeAndAfterTheDoublingBoundary) {
  // Differences between neighbouring gates: `before` up to the boundary
  // gate b, a jump to gate b + 1, then twice the spacing.
  static const struct {
    int h;
    int gate_count;
    int boundary;  // 0: none
    float before;
    float jump;
    float after;
  } kCases[] = {
      {0, 128, 0, 2.5f, 0.0f, 0.0f},   {1, 128, 0, 5.0f, 0.0f, 0.0f},
      {2, 128, 0, 10.0f, 0.0f, 0.0f},  {3, 128, 40, 2.5f, 102.5f, 5.0f},
      {8, 256, 0, 2.5f, 0.0f, 0.0f},   {9, 256, 0, 5.0f, 0.0f, 0.0f},
      {10, 256, 0, 10.0f, 0.0f, 0.0f}, {11, 256, 128, 2.5f, 322.5f, 5.0f},
      {12, 256, 128, 5.0f, 645.0f, 10.0f},
  };
  for (const auto& row : kCases) {
    SCOPED_TRACE(testing::Message() << "H " << row.h);
    float gate_range[kMaxGates];
    int gate_count = 0;
    gates_of(row.h, 3, &gate_count, gate_range);
    ASSERT_EQ(gate_count, row.gate_count);
    EXPECT_EQ(gate_range[0], 160.0f);
    for (int g = 2; g <= gate_count; ++g) {
      float expected = row.before;
      if (row.boundary > 0 && g == row.boundary + 1) expected = row.jump;
      if (row.boundary > 0 && g > row.boundary + 1) expected = row.after;
      ASSERT_EQ(gate_range[g - 1] - gate_range[g - 2], expected) << "gate " << g;
    }
  }
}

TEST(RangeGates, InvalidStartRangeCode) {
  static const struct {
    int h;
    int e;
    const char* message;
  } kCases[] = {
      {2, 0, " UNDEFIEND RANGE GATES H= 2 E= 0\n"},
      {9, 6, " UNDEFIEND RANGE GATES H= 9 E= 6\n"},
      {0, 0, " UNDEFIEND RANGE GATES H= 0 E= 0\n"},
      {15, 15, " UNDEFIEND RANGE GATES H= 15 E= 15\n"},
      {11, 7, " UNDEFIEND RANGE GATES H= 11 E= 7\n"},
  };
  for (const auto& row : kCases) {
    SCOPED_TRACE(testing::Message() << "H " << row.h << " E " << row.e);
    float gate_range[kMaxGates];
    int gate_count = 128;
    EXPECT_EQ(gates_of(row.h, row.e, &gate_count, gate_range), row.message);
    EXPECT_EQ(gate_count, 0);
    for (int g = 1; g <= kMaxGates; ++g) {
      ASSERT_EQ(gate_range[g - 1], -1.0f) << "gate " << g << " was written";
    }
  }
}

}  // namespace

}  // namespace digisonde16c
