#include "decoder/group_decode.h"

#include <cmath>
#include <cstdint>

#include "decoder/channels.h"
#include "decoder/signal_measures.h"

namespace digisonde16c {

namespace {

// All five channel columns form the print order's key.
constexpr int kKeyCount = 5;

// Error-free difference: a - b == *high + *low exactly.
void exact_difference(double a, double b, double* high, double* low) {
  double s = a - b;
  double bb = s - a;
  *high = s;
  *low = (a - (s - bb)) + (-b - bb);
}

// After the phases were corrected for range: the phase codes turned with
// them, when every gate is advanced by a whole number of code steps, 0 or
// more (the value of code + n steps, wrapped into one turn, is that of code
// + n mod 256, exactly); otherwise the phases have no codes.
void turn_phase_codes(GroupRecord* group) {
  const int gates = group->gate_count;
  const double step = group->phase_scale.step;
  int turn[kMaxGates] = {};
  for (int g = 1; g < gates; ++g) {
    const double correction =
        (static_cast<double>(group->gate_range[g]) - group->gate_range[0]) * 540.0;
    const double steps = std::trunc(correction / step);
    if (!(steps >= 0.0 && steps < 2147483648.0) || steps * step != correction) {
      group->phases_coded = false;
      return;
    }
    turn[g] = static_cast<int>(static_cast<int64_t>(steps) % kCodeCount);
  }
  for (int c = 0; c < sample_channel_count(gates); ++c) {
    uint8_t* codes = group->phase_code[c];
    for (int g = 1; g < gates; ++g) codes[g] = static_cast<uint8_t>(codes[g] + turn[g]);
  }
}

}  // namespace

bool frequency_selected(float frequency, float selected) {
  const double limit = 0.02f;
  double high, low;
  exact_difference(frequency, selected, &high, &low);
  if (high < 0) {
    high = -high;
    low = -low;
  }
  if (high > 2 * limit) return false;
  if (high < limit / 2) return true;
  // Here high - limit is exact, and the sign of the exact sum below is
  // the sign of its rounded value.
  double excess = (high - limit) + low;
  return !(excess > 0);
}

void decode_group_channels(bool correct_phase, GroupRecord* group, ChannelTable* channels,
                           TextSink* messages) {
  if (correct_phase) {
    correct_phase_by_range(group->gate_range, group->phase, group->gate_count);
    turn_phase_codes(group);
  }
  int doppler_line_count = 0;
  decode_channels(group->preface, channels, &doppler_line_count, messages);
  order_channels(channels->channel_frequency, channels->polarization, channels->doppler,
                 channels->azimuth, channels->zenith, kKeyCount, channels->channel_order);
}

float decode_group(bool correct_phase, GroupRecord* group, ChannelTable* channels,
                   TextSink* messages) {
  decode_group_channels(correct_phase, group, channels, messages);
  return measure_noise_level(group->amplitude, group->gate_count);
}

}  // namespace digisonde16c
