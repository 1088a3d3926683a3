#include "decoder/group_decode.h"

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
