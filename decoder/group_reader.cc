#include "decoder/group_reader.h"

#include <cstring>

#include "decoder/preface.h"

namespace {

// Digit 46 selects the amplitude scale: above 7 the fine one.
constexpr int kScaleDigit = 46;
constexpr int kCoarseScaleDigitMax = 7;
constexpr double kFineScale = 0.25;
constexpr double kCoarseScale = 0.375;
// Digit 53 adds 6 to every amplitude per step (6 dB of receiver gain).
constexpr int kGainDigit = 53;
constexpr double kGainStep = 6.0;
// A phase code counts 256ths of a full turn.
constexpr double kDegreesPerPhaseCode = 360.0 / 256.0;

// Bit 0 of the four bytes at offset..offset+3, the first byte the lowest bit.
int low_bit_nibble(const uint8_t* block, int offset) {
  return (block[offset] & 1) | (block[offset + 1] & 1) << 1 |
         (block[offset + 2] & 1) << 2 | (block[offset + 3] & 1) << 3;
}

}  // namespace

int block_kind(const uint8_t* block) {
  const int kind = block[0] & 0x0F;
  bool passes = false;
  switch (kind) {
    case 8:
    case 9:
      passes = block[2] == 0;
      break;
    case 10:
    case 12:
    case 13:
      passes = low_bit_nibble(block, 0) == kind;
      break;
    case 15:
      passes = block[3] == 0xCC && block[4] == 0xCC;
      break;
    default:
      break;
  }
  return passes ? kind : 0;
}

void extract_preface(const uint8_t* block, uint8_t* preface) {
  for (int k = 1; k <= kPrefaceDigits; ++k) {
    // Digits 32 on skip the 128 phase codes of channel 1.
    const int offset = k <= 31 ? 4 * k : 4 * k + 128;
    preface[k - 1] = static_cast<uint8_t>(low_bit_nibble(block, offset));
  }
}

int read_group(const uint8_t* block, GroupRecord* group, TextSink* messages) {
  std::memset(group->time_text, ' ', sizeof group->time_text);
  group->frequency = 0.0f;
  std::memset(group->amplitude, 0, sizeof group->amplitude);
  std::memset(group->phase, 0, sizeof group->phase);
  std::memset(group->gate_range, 0, sizeof group->gate_range);
  group->gate_count = 0;

  const int kind = block_kind(block);
  if (kind != 12 && kind != 13) return 0;

  extract_preface(block, group->preface);
  group_time_text(group->preface, group->time_text);
  group->frequency = group_frequency(group->preface);
  range_gates(group->preface, &group->gate_count, group->gate_range, messages);

  const int channel_count = sample_channel_count(group->gate_count);
  const double scale =
      digit(group->preface, kScaleDigit) > kCoarseScaleDigitMax ? kFineScale : kCoarseScale;
  const double gain = kGainStep * digit(group->preface, kGainDigit);
  // A 256-gate group is read with the 128-gate offsets: gates above 128 run
  // on into the phase codes and the next channel's amplitude codes.
  for (int g = 1; g <= group->gate_count; ++g) {
    for (int c = 1; c <= channel_count; ++c) {
      const int amplitude_code = block[256 * (c - 1) + (g - 1)];
      const int phase_code = block[256 * (c - 1) + 128 + (g - 1)];
      group->amplitude[c - 1][g - 1] =
          static_cast<float>(scale * amplitude_code + gain);
      group->phase[c - 1][g - 1] = static_cast<float>(kDegreesPerPhaseCode * phase_code);
    }
  }
  return 1;
}
