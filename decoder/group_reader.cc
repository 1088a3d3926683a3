#include "decoder/group_reader.h"

#include <cstring>

#include "decoder/preface.h"

namespace digisonde16c {

namespace {

// Digit 46 selects the amplitude scale: above 7 the fine one.
constexpr int kScaleDigit = 46;
constexpr int kCoarseScaleDigitMax = 7;
constexpr float kFineScale = 0.25f;
constexpr float kCoarseScale = 0.375f;
// Digit 53 adds 6 to every amplitude per step (6 dB of receiver gain).
constexpr int kGainDigit = 53;
constexpr float kGainStep = 6.0f;
// A phase code counts 256ths of a full turn.
constexpr float kDegreesPerPhaseCode = 360.0f / 256.0f;

// Channel 1 carries the first 31 preface digits, channel 2 the others.
constexpr int kChannelOneDigits = 31;

// Bit 0 of the four bytes at offset..offset+3, the first byte the lowest bit.
int low_bit_nibble(const uint8_t* block, int offset) {
  return (block[offset] & 1) | (block[offset + 1] & 1) << 1 |
         (block[offset + 2] & 1) << 2 | (block[offset + 3] & 1) << 3;
}

// Zeroes what a group of `gate_count` gates (0, 128 or 256) leaves
// unwritten: the gates beyond it and the channels beyond `channel_count`.
void clear_unwritten(GroupRecord* group, int gate_count, int channel_count) {
  const size_t tail = sizeof(float) * static_cast<size_t>(kMaxGates - gate_count);
  for (int c = 0; c < channel_count; ++c) {
    std::memset(group->amplitude[c] + gate_count, 0, tail);
    std::memset(group->phase[c] + gate_count, 0, tail);
  }
  if (channel_count < kChannels) {
    const size_t rest = sizeof group->amplitude[0] * static_cast<size_t>(kChannels - channel_count);
    std::memset(group->amplitude[channel_count], 0, rest);
    std::memset(group->phase[channel_count], 0, rest);
  }
  std::memset(group->gate_range + gate_count, 0, tail);
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
    const int offset = k <= kChannelOneDigits ? 4 * k : 4 * k + 128;
    preface[k - 1] = static_cast<uint8_t>(low_bit_nibble(block, offset));
  }
}

int preface_bit_gates(int channel) {
  // Channel 1: the kind marker, then digits 1 to 31, four gates each;
  // channel 2: the other digits from its gate 1.
  if (channel == 1) return 4 * (kChannelOneDigits + 1);
  if (channel == 2) return 4 * (kPrefaceDigits - kChannelOneDigits);
  return 0;
}

CodeScale amplitude_code_scale(const uint8_t* preface) {
  const float step = digit(preface, kScaleDigit) > kCoarseScaleDigitMax ? kFineScale : kCoarseScale;
  return CodeScale{step, kGainStep * static_cast<float>(digit(preface, kGainDigit))};
}

CodeScale phase_code_scale() { return CodeScale{kDegreesPerPhaseCode, 0.0f}; }

int read_group_header(const uint8_t* block, GroupRecord* group, TextSink* messages) {
  std::memset(group->time_text, ' ', sizeof group->time_text);
  group->frequency = 0.0f;
  group->gate_count = 0;

  const int kind = block_kind(block);
  if (kind != 12 && kind != 13) return 0;

  extract_preface(block, group->preface);
  group_time_text(group->preface, group->time_text);
  group->frequency = group_frequency(group->preface);
  range_gates(group->preface, &group->gate_count, group->gate_range, messages);
  return 1;
}

void read_group_samples(const uint8_t* block, GroupRecord* group) {
  const int gates = group->gate_count;
  const int channel_count = gates == 0 ? 0 : sample_channel_count(gates);
  const CodeScale amplitude_scale = amplitude_code_scale(group->preface);
  const CodeScale phase_scale = phase_code_scale();
  group->amplitude_scale = amplitude_scale;
  group->phase_scale = phase_scale;
  group->amplitudes_coded = true;
  group->phases_coded = true;
  // A channel's codes lie in one run of its area: the amplitude codes from
  // its start, the phase codes from 128 bytes on. A 256-gate group is read
  // with the same offsets, so its gates above 128 run on into the phase
  // codes and the next channel's amplitude codes.
  for (int c = 0; c < channel_count; ++c) {
    const uint8_t* amplitude_codes = block + 256 * c;
    const uint8_t* phase_codes = amplitude_codes + 128;
    std::memcpy(group->amplitude_code[c], amplitude_codes, static_cast<size_t>(gates));
    std::memcpy(group->phase_code[c], phase_codes, static_cast<size_t>(gates));
    float* amplitude = group->amplitude[c];
    float* phase = group->phase[c];
    for (int g = 0; g < gates; ++g) amplitude[g] = code_value(amplitude_codes[g], amplitude_scale);
    for (int g = 0; g < gates; ++g) phase[g] = code_value(phase_codes[g], phase_scale);
  }
  clear_unwritten(group, gates, channel_count);
}

int read_group(const uint8_t* block, GroupRecord* group, TextSink* messages) {
  const int result = read_group_header(block, group, messages);
  read_group_samples(block, group);
  return result;
}

}  // namespace digisonde16c
