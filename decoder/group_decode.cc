#include "decoder/group_decode.h"

#include "decoder/channels.h"
#include "decoder/signal_measures.h"

namespace {

// All five channel columns form the print order's key.
constexpr int kKeyCount = 5;

}  // namespace

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
