#include "decoder/group_reader.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "tests/support/text_capture.h"
#include "tools/block_builder.h"

namespace digisonde16c {

namespace {

// The record is large; keep it off the stack.
std::unique_ptr<GroupRecord> make_record() {
  auto group = std::make_unique<GroupRecord>();
  std::memset(group.get(), 0x55, sizeof(GroupRecord));
  return group;
}

void expect_cleared_samples(const GroupRecord& group) {
  for (int c = 0; c < kChannels; ++c) {
    for (int g = 0; g < kMaxGates; ++g) {
      ASSERT_EQ(group.amplitude[c][g], 0.0f) << "channel " << c + 1 << " gate " << g + 1;
      ASSERT_EQ(group.phase[c][g], 0.0f) << "channel " << c + 1 << " gate " << g + 1;
    }
  }
  for (int g = 0; g < kMaxGates; ++g) {
    ASSERT_EQ(group.gate_range[g], 0.0f) << "gate " << g + 1;
  }
}

// Builds the draft's block and reads it into `group`.
int read_draft(const BlockDraft& draft, GroupRecord* group, Capture* messages) {
  uint8_t block[kBuilderBlockSize];
  build_block(draft, block);
  return read_group(block, group, &messages->sink);
}

TEST(BlockKind, KindTestOfEachKind) {
  static const struct {
    const char* what;
    uint8_t bytes[5];  // offsets 0..4; the rest of the block is zero
    int expected;
  } kCases[] = {
      {"zero block", {0x00, 0x00, 0x00, 0x00, 0x00}, 0},
      {"12 with marker bits 0,1,1", {0x0C, 0x00, 0x01, 0x01, 0x00}, 12},
      {"12 with high bits elsewhere", {0xFC, 0xFE, 0x03, 0x81, 0x00}, 12},
      {"12 with marker 14", {0x0C, 0x01, 0x01, 0x01, 0x00}, 0},
      {"12 with marker 4", {0x0C, 0x00, 0x01, 0x00, 0x00}, 0},
      {"13 with matching marker", {0x0D, 0x00, 0x01, 0x01, 0x00}, 13},
      {"13 with marker 15", {0x0D, 0x01, 0x01, 0x01, 0x00}, 0},
      {"10 with matching marker", {0x0A, 0x01, 0x00, 0x01, 0x00}, 10},
      {"10 with marker 8", {0x0A, 0x00, 0x00, 0x01, 0x00}, 0},
      {"8 with byte 2 zero", {0x08, 0xFF, 0x00, 0xFF, 0x00}, 8},
      {"8 with byte 2 nonzero", {0x08, 0x00, 0x02, 0x00, 0x00}, 0},
      {"9 with byte 2 zero", {0x09, 0x00, 0x00, 0x00, 0x00}, 9},
      {"9 with byte 2 nonzero", {0x09, 0x00, 0x80, 0x00, 0x00}, 0},
      {"15 with 0xCC at 3 and 4", {0x0F, 0x00, 0x00, 0xCC, 0xCC}, 15},
      {"15 with 0xCD at 4", {0x0F, 0x00, 0x00, 0xCC, 0xCD}, 0},
      {"14 with marker 14", {0x0E, 0x01, 0x01, 0x01, 0x00}, 0},
      {"11 with marker 11", {0x0B, 0x01, 0x00, 0x01, 0x00}, 0},
      {"7 with byte 2 zero", {0x07, 0x01, 0x00, 0x00, 0x00}, 0},
      {"1 with marker 1", {0x01, 0x00, 0x00, 0x00, 0x00}, 0},
  };
  for (const auto& row : kCases) {
    SCOPED_TRACE(row.what);
    uint8_t block[kBuilderBlockSize] = {};
    std::memcpy(block, row.bytes, sizeof row.bytes);
    EXPECT_EQ(block_kind(block), row.expected);
  }
}

TEST(ExtractPreface, DigitPositions) {
  // Codes 1, 0, 0, 1 (read through bit 0 only) spell 9, low bit first.
  static const struct {
    int digit;
    int first_offset;
  } kCases[] = {{1, 4}, {2, 8}, {31, 124}, {32, 256}, {33, 260}, {57, 356}};
  for (const auto& row : kCases) {
    SCOPED_TRACE(row.digit);
    uint8_t block[kBuilderBlockSize] = {};
    block[row.first_offset] = 0x81;
    block[row.first_offset + 1] = 0xFE;
    block[row.first_offset + 2] = 0x02;
    block[row.first_offset + 3] = 0x03;
    uint8_t preface[kPrefaceDigits];
    std::memset(preface, 0xFF, sizeof preface);
    extract_preface(block, preface);
    for (int n = 1; n <= kPrefaceDigits; ++n) {
      EXPECT_EQ(preface[n - 1], n == row.digit ? 9 : 0) << "digit " << n;
    }
  }
}

TEST(ExtractPreface, IgnoresBytesBetweenTheTwoRuns) {
  // Offsets 128..255 (phase codes of channel 1) and 360 on carry no digit.
  uint8_t block[kBuilderBlockSize];
  std::memset(block, 0, sizeof block);
  std::memset(block + 128, 0xFF, 128);
  std::memset(block + 360, 0xFF, sizeof block - 360);
  std::memset(block, 0xFF, 4);  // kind marker
  uint8_t preface[kPrefaceDigits];
  extract_preface(block, preface);
  for (int n = 1; n <= kPrefaceDigits; ++n) EXPECT_EQ(preface[n - 1], 0) << "digit " << n;
}

TEST(ExtractPreface, PrefaceBitGatesAreTheCarryingOnes) {
  // Bit 0 of the last gate that preface_bit_gates counts, in channels 1 and
  // 2, carries a digit; that of the gate after it in channel 2 does not
  // (channel 1's next byte is a phase code); channels 3 on carry none.
  uint8_t block[kBuilderBlockSize];
  std::memset(block, 0, sizeof block);
  uint8_t before[kPrefaceDigits], after[kPrefaceDigits];
  extract_preface(block, before);
  for (int channel = 1; channel <= 2; ++channel) {
    const int last = 256 * (channel - 1) + preface_bit_gates(channel) - 1;
    block[last] ^= 1;
    extract_preface(block, after);
    EXPECT_NE(0, std::memcmp(before, after, sizeof before)) << "channel " << channel;
    block[last] ^= 1;
  }
  block[256 + preface_bit_gates(2)] ^= 1;
  extract_preface(block, after);
  EXPECT_EQ(0, std::memcmp(before, after, sizeof before));
  EXPECT_EQ(0, preface_bit_gates(3));
}

TEST(ReadGroup, OnlyKinds12And13HoldAGroup) {
  // A valid group block whose first bytes are then altered to pass the test
  // of another kind.
  static const struct {
    const char* what;
    int kind;
    uint8_t bytes[5];
    int expected;
  } kCases[] = {
      {"kind 12", 12, {0x0C, 0x00, 0x01, 0x01, 0x00}, 1},
      {"kind 13", 13, {0x0D, 0x00, 0x01, 0x01, 0x00}, 1},
      {"kind 10", 10, {0x0A, 0x01, 0x00, 0x01, 0x00}, 0},
      {"kind 8", 8, {0x08, 0x00, 0x00, 0x01, 0x00}, 0},
      {"kind 9", 9, {0x09, 0x00, 0x00, 0x00, 0x00}, 0},
      {"kind 15", 15, {0x0F, 0x00, 0x00, 0xCC, 0xCC}, 0},
      {"kind 12, marker 14", 0, {0x0C, 0x01, 0x01, 0x01, 0x00}, 0},
  };
  for (const auto& row : kCases) {
    SCOPED_TRACE(row.what);
    BlockDraft draft;
    set_default_preface(&draft);
    set_amplitude_code(&draft, 10, 5, 40);
    uint8_t block[kBuilderBlockSize];
    build_block(draft, block);
    // Bytes 0..4 hold only the kind, the marker and bit 0 of digit 1 (0).
    std::memcpy(block, row.bytes, sizeof row.bytes);
    if (row.kind != 0) {
      ASSERT_EQ(block_kind(block), row.kind);
    }

    auto group = make_record();
    Capture messages;
    EXPECT_EQ(read_group(block, group.get(), &messages.sink), row.expected);
    EXPECT_EQ(messages.text(), "");
    if (row.expected == 1) {
      EXPECT_EQ(group->gate_count, 128);
      EXPECT_EQ(group->amplitude[4][9], 15.0f);
    } else {
      EXPECT_EQ(std::string(group->time_text, kTimeTextLength), std::string(17, ' '));
      EXPECT_EQ(group->frequency, 0.0f);
      EXPECT_EQ(group->gate_count, 0);
      expect_cleared_samples(*group);
    }
  }
}

TEST(ReadGroup, TimeFrequencyAndRangesOfTheDefaultGroup) {
  BlockDraft draft;
  set_default_preface(&draft);
  auto group = make_record();
  Capture messages;
  ASSERT_EQ(read_draft(draft, group.get(), &messages), 1);
  EXPECT_EQ(std::string(group->time_text, kTimeTextLength), "2001 123 04:55:30");
  EXPECT_EQ(group->frequency, 2.5025f);
  EXPECT_EQ(group->gate_count, 128);
  EXPECT_EQ(group->gate_range[0], 10.0f);
  EXPECT_EQ(group->gate_range[127], 327.5f);
  EXPECT_EQ(group->gate_range[128], 0.0f);
  for (int n = 1; n <= kPrefaceDigits; ++n) {
    EXPECT_EQ(group->preface[n - 1], draft.preface[n - 1]) << "digit " << n;
  }
}

TEST(ReadGroup, AmplitudeScaleAndGain) {
  static const struct {
    int d46;
    int d53;
    uint8_t code;
    float expected;
  } kCases[] = {
      {7, 15, 255, 185.625f},  // 0.375 * 255 + 90
      {8, 15, 255, 153.75f},   // 0.25 * 255 + 90
      {7, 0, 1, 0.375f},
      {8, 0, 1, 0.25f},
      {0, 0, 0, 0.0f},
      {15, 1, 0, 6.0f},
      {0, 2, 200, 87.0f},      // 75 + 12
      {12, 3, 128, 50.0f},     // 32 + 18
  };
  for (const auto& row : kCases) {
    SCOPED_TRACE(testing::Message() << "d46 " << row.d46 << " d53 " << row.d53
                                    << " code " << int(row.code));
    BlockDraft draft;
    set_default_preface(&draft);
    set_digit(&draft, 46, row.d46);
    set_digit(&draft, 53, row.d53);
    set_amplitude_code(&draft, 77, 6, row.code);
    auto group = make_record();
    Capture messages;
    ASSERT_EQ(read_draft(draft, group.get(), &messages), 1);
    EXPECT_EQ(group->amplitude[5][76], row.expected);
    // A zero code gives the gain term alone.
    EXPECT_EQ(group->amplitude[5][75], 6.0f * row.d53);
  }
}

TEST(ReadGroup, SamplesOf128GateGroup) {
  // Positions away from the bytes that carry the preface, so the codes are
  // read whole; scale 0.375 and no gain.
  static const struct {
    int gate;
    int channel;
    uint8_t amplitude_code;
    uint8_t phase_code;
    float amplitude;
    float phase;
  } kCases[] = {
      {1, 3, 8, 128, 3.0f, 180.0f},
      {128, 16, 255, 255, 95.625f, 358.59375f},
      {105, 2, 16, 1, 6.0f, 1.40625f},
      {64, 9, 100, 64, 37.5f, 90.0f},
      {1, 16, 2, 192, 0.75f, 270.0f},
      {128, 3, 4, 0, 1.5f, 0.0f},
  };
  BlockDraft draft;
  set_default_preface(&draft);
  for (const auto& row : kCases) {
    set_amplitude_code(&draft, row.gate, row.channel, row.amplitude_code);
    set_phase_code(&draft, row.gate, row.channel, row.phase_code);
  }
  set_phase_code(&draft, 1, 1, 128);  // phases of channel 1 carry no preface
  auto group = make_record();
  Capture messages;
  ASSERT_EQ(read_draft(draft, group.get(), &messages), 1);
  ASSERT_EQ(group->gate_count, 128);
  for (const auto& row : kCases) {
    SCOPED_TRACE(testing::Message() << "gate " << row.gate << " channel " << row.channel);
    EXPECT_EQ(group->amplitude[row.channel - 1][row.gate - 1], row.amplitude);
    EXPECT_EQ(group->phase[row.channel - 1][row.gate - 1], row.phase);
  }
  EXPECT_EQ(group->phase[0][0], 180.0f);
  // The whole carrying code counts in the amplitude: offset 4 holds bit 0 of
  // digit 1 (0), offset 2 bit 2 of the kind marker 12 (1).
  EXPECT_EQ(group->amplitude[0][4], 0.0f);
  EXPECT_EQ(group->amplitude[0][2], 0.375f);
  for (int g = 128; g < kMaxGates; ++g) {
    ASSERT_EQ(group->amplitude[0][g], 0.0f) << "gate " << g + 1;
    ASSERT_EQ(group->phase[15][g], 0.0f) << "gate " << g + 1;
  }
}

TEST(ReadGroup, Overlapping256GateReading) {
  // Gates above 128 of channel c read, as amplitude code, the phase code of
  // gate g - 128 of channel c and, as phase code, the amplitude code of
  // gate g - 128 of channel c + 1.
  BlockDraft draft;
  set_default_preface(&draft);
  set_digit(&draft, 54, 8);  // 256 gates, spacing 2.5
  set_phase_code(&draft, 1, 1, 40);        // amplitude of gate 129, channel 1
  set_amplitude_code(&draft, 72, 4, 64);   // phase of gate 200, channel 3
  set_phase_code(&draft, 128, 8, 200);     // amplitude of gate 256, channel 8
  set_amplitude_code(&draft, 128, 9, 255); // phase of gate 256, channel 8
  set_amplitude_code(&draft, 1, 9, 10);    // phase of gate 129, channel 8
  set_amplitude_code(&draft, 1, 10, 99);   // offset 2304: not read
  set_phase_code(&draft, 5, 16, 99);       // not read
  auto group = make_record();
  Capture messages;
  ASSERT_EQ(read_draft(draft, group.get(), &messages), 1);
  ASSERT_EQ(group->gate_count, 256);

  static const struct {
    int gate;
    int channel;
    float amplitude;
    float phase;
  } kCases[] = {
      {129, 1, 15.0f, -1.0f},
      {200, 3, -1.0f, 90.0f},
      {256, 8, 75.0f, 358.59375f},
      {129, 8, -1.0f, 14.0625f},
      {1, 1, 4.5f, 56.25f},  // byte 0 is 0x0C, the kind itself
  };
  for (const auto& row : kCases) {
    SCOPED_TRACE(testing::Message() << "gate " << row.gate << " channel " << row.channel);
    if (row.amplitude >= 0) {
      EXPECT_EQ(group->amplitude[row.channel - 1][row.gate - 1], row.amplitude);
    }
    if (row.phase >= 0) {
      EXPECT_EQ(group->phase[row.channel - 1][row.gate - 1], row.phase);
    }
  }
  for (int c = 9; c <= kChannels; ++c) {
    for (int g = 1; g <= kMaxGates; ++g) {
      ASSERT_EQ(group->amplitude[c - 1][g - 1], 0.0f) << "channel " << c << " gate " << g;
      ASSERT_EQ(group->phase[c - 1][g - 1], 0.0f) << "channel " << c << " gate " << g;
    }
  }
  EXPECT_EQ(group->gate_range[255], 10.0f + 255 * 2.5f);
}

TEST(ReadGroup, InvalidStartRangeKeepsTimeAndFrequency) {
  BlockDraft draft;
  set_default_preface(&draft);
  set_digit(&draft, 54, 2);
  set_digit(&draft, 55, 0);
  set_amplitude_code(&draft, 10, 5, 40);
  auto group = make_record();
  Capture messages;
  EXPECT_EQ(read_draft(draft, group.get(), &messages), 1);
  EXPECT_EQ(messages.text(), " UNDEFIEND RANGE GATES H= 2 E= 0\n");
  EXPECT_EQ(group->gate_count, 0);
  EXPECT_EQ(std::string(group->time_text, kTimeTextLength), "2001 123 04:55:30");
  EXPECT_EQ(group->frequency, 2.5025f);
  EXPECT_EQ(group->preface[54], 0);
  expect_cleared_samples(*group);
}

TEST(ReadGroup, NoGroupAfterGroupKeepsOnlyThePreface) {
  BlockDraft draft;
  set_default_preface(&draft);
  set_digit(&draft, 54, 8);
  set_digit(&draft, 40, 7);
  set_phase_code(&draft, 3, 7, 50);
  set_amplitude_code(&draft, 3, 7, 50);
  auto group = make_record();
  Capture messages;
  ASSERT_EQ(read_draft(draft, group.get(), &messages), 1);
  ASSERT_NE(group->amplitude[6][2], 0.0f);

  // An all-zero block holds no group.
  uint8_t empty[kBuilderBlockSize] = {};
  EXPECT_EQ(read_group(empty, group.get(), &messages.sink), 0);
  EXPECT_EQ(messages.text(), "");
  for (int n = 1; n <= kPrefaceDigits; ++n) {
    EXPECT_EQ(group->preface[n - 1], draft.preface[n - 1]) << "digit " << n;
  }
  EXPECT_EQ(std::string(group->time_text, kTimeTextLength), std::string(17, ' '));
  EXPECT_EQ(group->frequency, 0.0f);
  EXPECT_EQ(group->gate_count, 0);
  expect_cleared_samples(*group);
}

TEST(ReadGroup, ShorterGroupClearsGatesOfLongerOne) {
  BlockDraft draft;
  set_default_preface(&draft);
  set_digit(&draft, 54, 9);
  std::memset(draft.block, 0x80, sizeof draft.block);
  auto group = make_record();
  Capture messages;
  ASSERT_EQ(read_draft(draft, group.get(), &messages), 1);
  ASSERT_EQ(group->gate_count, 256);
  ASSERT_EQ(group->phase[7][255], 180.0f);

  set_digit(&draft, 54, 1);
  ASSERT_EQ(read_draft(draft, group.get(), &messages), 1);
  ASSERT_EQ(group->gate_count, 128);
  EXPECT_EQ(group->phase[15][127], 180.0f);
  for (int c = 0; c < kChannels; ++c) {
    for (int g = 128; g < kMaxGates; ++g) {
      ASSERT_EQ(group->amplitude[c][g], 0.0f) << "channel " << c + 1 << " gate " << g + 1;
      ASSERT_EQ(group->phase[c][g], 0.0f) << "channel " << c + 1 << " gate " << g + 1;
      ASSERT_EQ(group->gate_range[g], 0.0f) << "gate " << g + 1;
    }
  }
}

}  // namespace

}  // namespace digisonde16c
