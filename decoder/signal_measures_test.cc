#include "decoder/signal_measures.h"

#include <gtest/gtest.h>

#include <memory>

namespace digisonde16c {

namespace {

// Sample arrays on the heap: 16 KiB each.
struct Samples {
  float v[kChannels][kMaxGates];
};

TEST(MeasureNoiseLevel, MostPopulatedBin) {
  // Sample (g, c) is `a` when c <= a_channels and g <= a_gates, else `b`.
  static const struct {
    const char* what;
    float a;
    int a_channels;
    int a_gates;
    float b;
    int gate_count;
    float expected;
  } kCases[] = {
      {"all 37.9", 37.9f, 16, 256, 0.0f, 128, 37.0f},
      {"all zero", 0.0f, 16, 256, 0.0f, 128, 0.0f},
      {"tie 30 and 20 goes lower", 30.2f, 8, 256, 20.5f, 128, 20.0f},
      {"tie 20 and 30 goes lower", 20.5f, 8, 256, 30.2f, 128, 20.0f},
      {"30 by one channel", 30.2f, 9, 256, 20.5f, 128, 30.0f},
      {"all 121", 121.0f, 16, 256, 0.0f, 128, 120.0f},
      {"all 1e9", 1e9f, 16, 256, 0.0f, 128, 120.0f},
      {"all 120.5", 120.5f, 16, 256, 0.0f, 128, 120.0f},
      {"all 119.99", 119.99f, 16, 256, 0.0f, 128, 119.0f},
      {"121 outnumbers 120.0", 121.0f, 9, 256, 119.0f, 128, 120.0f},
      {"-0.9 counts in bin 0", -0.9f, 9, 256, 5.0f, 128, 0.0f},
      {"-30 counts in bin 0", -30.0f, 9, 256, 5.0f, 128, 0.0f},
      {"0.999 is bin 0", 0.999f, 9, 256, 1.0f, 128, 0.0f},
      {"only gates up to gate_count", 10.0f, 16, 100, 70.0f, 128, 10.0f},
      {"all gates of 256", 10.0f, 16, 100, 70.0f, 256, 70.0f},
      {"gate_count 0", 50.0f, 16, 256, 50.0f, 0, 0.0f},
      {"256-gate group", 50.0f, 8, 256, 0.0f, 256, 0.0f},
  };
  auto amplitude = std::make_unique<Samples>();
  for (const auto& row : kCases) {
    SCOPED_TRACE(row.what);
    for (int c = 1; c <= kChannels; ++c) {
      for (int g = 1; g <= kMaxGates; ++g) {
        amplitude->v[c - 1][g - 1] = (c <= row.a_channels && g <= row.a_gates) ? row.a : row.b;
      }
    }
    EXPECT_EQ(measure_noise_level(amplitude->v, row.gate_count), row.expected);
  }
}

TEST(SortIndex, AscendingKeys) {
  static const struct {
    const char* what;
    int n;
    float keys[16];
    int expected[16];  // entries beyond n stay 0
  } kCases[] = {
      {"two in order", 2, {1, 2}, {1, 2}},
      {"two reversed", 2, {2, 1}, {2, 1}},
      {"two equal", 2, {7, 7}, {2, 1}},
      {"three negative", 3, {-1, -3, -2}, {2, 3, 1}},
      {"five", 5, {3, 1, 4, 2, 5}, {2, 4, 1, 3, 5}},
      {"wide magnitudes", 6, {0.5f, -0.5f, 100, -100, 1e30f, -1e30f}, {6, 4, 2, 1, 3, 5}},
      {"sixteen equal", 16, {}, {2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 1}},
      {"sixteen decreasing", 16,
       {16, 15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1},
       {16, 15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1}},
      {"sixteen shuffled", 16,
       {9, 2, 14, 7, 16, 1, 11, 5, 13, 3, 8, 15, 4, 12, 6, 10},
       {6, 2, 10, 13, 8, 15, 4, 11, 1, 16, 7, 14, 9, 3, 12, 5}},
  };
  for (const auto& row : kCases) {
    SCOPED_TRACE(row.what);
    int index[16] = {};
    sort_index(row.n, row.keys, index);
    for (int i = 0; i < 16; ++i) EXPECT_EQ(index[i], row.expected[i]) << "place " << i + 1;
  }
}

const float kFive[16] = {5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5};
const float kZero[16] = {};
const float kMinus90[16] = {-90, -90, -90, -90, -90, -90, -90, -90,
                            -90, -90, -90, -90, -90, -90, -90, -90};
const float kUp[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
const float kDown[16] = {16, 15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1};
const float kDopplerLines[16] = {3.125f,  6.25f,   9.375f,   12.5f,  15.625f,  18.75f,
                                 21.875f, 25.0f,   -3.125f,  -6.25f, -9.375f,  -12.5f,
                                 -15.625f, -18.75f, -21.875f, -25.0f};
// Channel 1: 4910 -> 4910003.5 -> 4910003712; channel 2: 4910 -> 4910003.0
// (3.25 rounds to even) -> 4910003200, although 4910003250 + 330 would
// round to 4910003712 in one step. Channels 3..16 are far above.
const float kRoundingDoppler[16] = {3.4f, 3.25f, 30, 40, 50, 60, 70, 80,
                                    90, 100, 110, 120, 130, 140, 150, 160};
const float kRoundingAzimuth[16] = {0, 330};
// Each step is one rounding of an exact double sum. Channel 1: 4910005.5 x
// 1000 + 100 = 4910005600 -> 4910005760; channel 2: 4910005300 ->
// 4910005248. Rounding the product first (float arithmetic) would give
// 4910005248 + 100 -> 4910005248 and 4910005248 + 300 -> 4910005760.
const float kProductDoppler[16] = {5.5f, 5.0f, 30, 40, 50, 60, 70, 80,
                                   90, 100, 110, 120, 130, 140, 150, 160};
const float kProductAzimuth[16] = {100, 300};

TEST(OrderChannels, PrintOrder) {
  static const struct {
    const char* what;
    const float* frequency;
    const float* polarization;
    const float* doppler;
    const float* azimuth;
    const float* zenith;
    int key_count;
    int expected[16];
  } kCases[] = {
      {"equal keys", kFive, kMinus90, kZero, kZero, kZero, 5,
       {2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 1}},
      {"increasing", kUp, kZero, kZero, kZero, kZero, 1,
       {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16}},
      {"decreasing", kDown, kZero, kZero, kZero, kZero, 1,
       {16, 15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1}},
      {"5 MHz lines", kFive, kMinus90, kDopplerLines, kZero, kZero, 5,
       {16, 15, 14, 13, 12, 11, 10, 9, 1, 2, 3, 4, 5, 6, 7, 8}},
      {"key count 0", kDown, kZero, kZero, kZero, kZero, 0,
       {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16}},
      {"key count 6", kDown, kZero, kZero, kZero, kZero, 6,
       {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16}},
      {"key count -1", kDown, kDown, kDown, kDown, kDown, -1,
       {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16}},
      {"polarization level", kZero, kDown, kZero, kZero, kZero, 2,
       {16, 15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1}},
      {"polarization beyond key count", kZero, kDown, kZero, kZero, kZero, 1,
       {2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 1}},
      {"doppler level", kZero, kZero, kDown, kZero, kZero, 3,
       {16, 15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1}},
      {"azimuth level", kZero, kZero, kZero, kDown, kZero, 4,
       {16, 15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1}},
      {"zenith level", kZero, kZero, kZero, kZero, kDown, 5,
       {16, 15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1}},
      {"zenith beyond key count", kZero, kZero, kZero, kZero, kDown, 4,
       {2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 1}},
      {"frequency outweighs the rest", kUp, kDown, kDown, kDown, kDown, 5,
       {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16}},
      {"rounded after every level", kFive, kMinus90, kRoundingDoppler, kRoundingAzimuth,
       kZero, 4, {2, 1, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16}},
      {"one rounding per level", kFive, kMinus90, kProductDoppler, kProductAzimuth,
       kZero, 4, {2, 1, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16}},
  };
  for (const auto& row : kCases) {
    SCOPED_TRACE(row.what);
    int order[16];
    for (int& o : order) o = -1;
    order_channels(row.frequency, row.polarization, row.doppler, row.azimuth, row.zenith,
                   row.key_count, order);
    for (int i = 0; i < 16; ++i) EXPECT_EQ(order[i], row.expected[i]) << "place " << i + 1;
  }
}

TEST(CorrectPhaseByRange, SecondGate) {
  static const struct {
    float range1;
    float range2;
    float phase;
    float expected;
    int gate_count = 2;
  } kCases[] = {
      {10.0f, 12.5f, 100.0f, 10.0f},     // 1450 - 4 * 360
      {10.0f, 10.0f, -30.0f, -30.0f},
      {10.0f, 10.0f, -400.0f, -40.0f},
      {10.0f, 10.0f, 400.0f, 40.0f},
      {10.0f, 10.0f, 359.0f, 359.0f},
      {10.0f, 10.0f, 360.0f, 0.0f},
      {10.0f, 10.0f, -720.0f, 0.0f},
      {0.0f, 1.0f, 0.0f, 180.0f},        // 540 - 360
      {10.0f, 12.5f, -1450.0f, -100.0f}, // -100 stays negative
      {10.0f, 12.5f, -1000.0f, 350.0f},  // v = 350
      // v = 7560 - 2^-40 divides to just under 21 turns, but times the
      // double nearest 1/360 it rounds to 21.
      {0.0f, 14.0f, -0x1p-40f, 360.0f},
      {60.0f, 10.0f, 0.0f, 0.0f},        // -27000 = -75 turns
      {60.0f, 40.0f, 0.0f, 0.0f},        // -10800 = -30 turns
      {60.0f, 59.5f, 0.0f, -270.0f},     // -270
      // 1e12 is 999999995904 in single precision: 2777777766 turns and 144
      {10.0f, 10.0f, 1e12f, 144.0f},
      {10.0f, 10.0f, -1e12f, -144.0f},
      // Fewer than two gates change nothing.
      {10.0f, 12.5f, 100.0f, 100.0f, 1},
      {10.0f, 12.5f, 100.0f, 100.0f, 0},
  };
  float gate_range[kMaxGates] = {};
  auto phase = std::make_unique<Samples>();
  for (const auto& row : kCases) {
    SCOPED_TRACE(testing::Message() << "ranges " << row.range1 << ", " << row.range2
                                    << " phase " << row.phase << " gates " << row.gate_count);
    gate_range[0] = row.range1;
    gate_range[1] = row.range2;
    for (int c = 0; c < kChannels; ++c) {
      phase->v[c][0] = 400.0f;
      phase->v[c][1] = row.phase;
      phase->v[c][2] = 123.0f;
    }
    correct_phase_by_range(gate_range, phase->v, row.gate_count);
    for (int c = 0; c < kChannels; ++c) {
      EXPECT_EQ(phase->v[c][1], row.expected) << "channel " << c + 1;
      EXPECT_EQ(phase->v[c][0], 400.0f) << "gate 1 of channel " << c + 1;
      EXPECT_EQ(phase->v[c][2], 123.0f) << "gate 3 of channel " << c + 1;
    }
  }
}

TEST(CorrectPhaseByRange, EveryGateAgainstTheFirst) {
  // Ranges 10, 12.5, 15, ... : gate g is advanced by (g - 1) * 1350 degrees,
  // which wraps to (g - 1) * 270 modulo 360: 270, 180, 90, 0, ...
  static const struct {
    int gate;
    float expected;  // from phase 0
  } kCases[] = {{2, 270.0f}, {3, 180.0f}, {4, 90.0f}, {5, 0.0f}, {6, 270.0f}, {128, 90.0f}};
  float gate_range[kMaxGates] = {};
  for (int g = 1; g <= 128; ++g) gate_range[g - 1] = 10.0f + (g - 1) * 2.5f;
  auto phase = std::make_unique<Samples>();
  for (int c = 0; c < kChannels; ++c) phase->v[c][128] = 77.0f;
  correct_phase_by_range(gate_range, phase->v, 128);
  for (const auto& row : kCases) {
    for (int c = 0; c < kChannels; ++c) {
      EXPECT_EQ(phase->v[c][row.gate - 1], row.expected)
          << "gate " << row.gate << " channel " << c + 1;
    }
  }
  for (int c = 0; c < kChannels; ++c) {
    EXPECT_EQ(phase->v[c][0], 0.0f);
    EXPECT_EQ(phase->v[c][128], 77.0f) << "gate 129 is beyond gate_count";
  }
}

}  // namespace

}  // namespace digisonde16c
