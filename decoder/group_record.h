// The decoded group and the channel table that the decoder fills per block.
#ifndef DECODER_GROUP_RECORD_H_
#define DECODER_GROUP_RECORD_H_

#include <cstdint>

namespace digisonde16c {

constexpr int kChannels = 16;
constexpr int kMaxGates = 256;
constexpr int kPrefaceDigits = 57;
constexpr int kTimeTextLength = 17;

// One group. Sample arrays are [channel - 1][gate - 1]: the gate index runs
// fastest. Entries beyond gate_count gates, and channels 9 to 16 of a
// 256-gate group, hold 0.
struct GroupRecord {
  char time_text[kTimeTextLength];  // "YYYY DDD HH:MM:SS"; blanks when no group
  uint8_t preface[kPrefaceDigits];  // digit N at preface[N - 1], each 0..15
  float frequency;                  // MHz; 0 when no group
  float amplitude[kChannels][kMaxGates];
  float phase[kChannels][kMaxGates];  // degrees
  float gate_range[kMaxGates];
  int gate_count;  // 128, 256, or 0 (no group or invalid range gate codes)
};

// The channels' attributes (by channel - 1) and their print order:
// channel_order[k - 1] is the channel (1..16) printed in place k.
struct ChannelTable {
  float channel_frequency[kChannels];
  float polarization[kChannels];
  float doppler[kChannels];
  float azimuth[kChannels];
  float zenith[kChannels];
  int channel_order[kChannels];
};

// Channels that hold samples: 8 in a 256-gate group, else 16.
inline int sample_channel_count(int gate_count) { return gate_count == 256 ? 8 : 16; }

// The samples of a group are linear in their codes (0..255): a value is
// code * step + offset, exact in single precision (at most 14 significant
// bits), so the same in any precision.
struct CodeScale {
  float step;
  float offset;
};
inline float code_value(int code, CodeScale scale) {
  return static_cast<float>(code) * scale.step + scale.offset;
}
constexpr int kCodeCount = 256;

// Preface digit n (1..57).
inline int digit(const uint8_t* preface, int n) { return preface[n - 1]; }

}  // namespace digisonde16c

#endif  // DECODER_GROUP_RECORD_H_
