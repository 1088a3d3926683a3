// The decoder's pipeline on one arbitrary data block: read_group, phase
// correction, decode_channels, order_channels, measure_noise_level and
// write_group in the output mode that the input picks, into memory.
//
// Input: 4096 block bytes (zero-padded when shorter), then a selector byte
// (bit 0: correct phases; bits 1-7: the output mode, modulo 6) and the
// threshold of the threshold rows as the four bytes of a single-precision
// real.
#include <cmath>
#include <cstdint>
#include <cstring>

#include "blockio/block_file.h"
#include "decoder/decoder_run.h"
#include "decoder/group_decode.h"
#include "decoder/group_reader.h"
#include "decoder/group_record.h"
#include "decoder/output_writer.h"
#include "fuzz/fuzz_support.h"

using namespace digisonde16c;

namespace {

// Output of one group in one mode; 16 channels x 256 gates of plot rows fit.
char out_storage[1 << 20];
char err_storage[1 << 16];

void check_group(int result, const GroupRecord& group) {
  FUZZ_CHECK(result == 0 || result == 1);
  FUZZ_CHECK(group.gate_count == 0 || group.gate_count == 128 || group.gate_count == 256);
  if (result == 0) {
    FUZZ_CHECK(group.gate_count == 0);
    FUZZ_CHECK(group.frequency == 0);
    for (char c : group.time_text) FUZZ_CHECK(c == ' ');
  }
  for (uint8_t d : group.preface) FUZZ_CHECK(result == 0 || d <= 15);
  // Samples beyond the group's gates and channels stay 0.
  int channels = group.gate_count == 256 ? 8 : 16;
  for (int c = 0; c < kChannels; ++c) {
    for (int g = 0; g < kMaxGates; ++g) {
      bool inside = c < channels && g < group.gate_count;
      float a = group.amplitude[c][g];
      float p = group.phase[c][g];
      FUZZ_CHECK(std::isfinite(a) && std::isfinite(p));
      if (!inside) FUZZ_CHECK(a == 0 && p == 0);
      if (inside) FUZZ_CHECK(p >= 0 && p < 360);
    }
  }
}

void check_order(const int* order) {
  bool seen[kChannels + 1] = {};
  for (int i = 0; i < kChannels; ++i) {
    FUZZ_CHECK(order[i] >= 1 && order[i] <= kChannels);
    FUZZ_CHECK(!seen[order[i]]);
    seen[order[i]] = true;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The decoder's state for the whole fuzzing run, prepared once.
  static DecoderState* state = [] {
    DecoderState* s = new DecoderState;
    FUZZ_CHECK(prepare_output(&s->output));
    return s;
  }();
  unsigned char* block = state->walk.block;
  GroupRecord& group = state->walk.group;
  ChannelTable& channels = state->walk.channels;
  const size_t block_size = sizeof state->walk.block;
  std::memset(block, 0, block_size);
  std::memcpy(block, data, size < block_size ? size : block_size);
  InputReader extra{data, size, block_size};
  uint8_t selector = extra.byte();
  float threshold = extra.real();

  TextSink err = memory_sink(err_storage, sizeof err_storage);
  int result = read_group(block, &group, &err);
  check_group(result, group);
  if (result == 0) {
    FUZZ_CHECK(sink_total(err) == 0);
    return 0;
  }

  float noise_level = decode_group(selector & 1, &group, &channels, &err);
  if (selector & 1) {
    for (int c = 0; c < kChannels; ++c) {
      for (int g = 0; g < kMaxGates; ++g) {
        FUZZ_CHECK(std::fabs(group.phase[c][g]) <= 360);
      }
    }
  }
  check_order(channels.channel_order);
  FUZZ_CHECK(noise_level >= 0 && noise_level <= 120 && noise_level == std::floor(noise_level));
  FUZZ_CHECK(is_plain_text(err));

  // The output modes: plot rows, threshold rows, both tables, amplitude
  // table, phase table, none. One mode a run keeps the runs fast.
  static const OutputKind kKinds[] = {
      OutputKind::kPlotRows,       OutputKind::kThresholdRows, OutputKind::kBothTables,
      OutputKind::kAmplitudeTable, OutputKind::kPhaseTable,    OutputKind::kNothing,
  };
  {
    const OutputMode mode{kKinds[(selector >> 1) % 6], threshold};
    TextSink out = memory_sink(out_storage, sizeof out_storage);
    write_group(mode, group, channels, noise_level, &state->output, &out);
    FUZZ_CHECK(out.discarded == 0);
    FUZZ_CHECK(is_plain_text(out));
    FUZZ_CHECK((mode.kind != OutputKind::kNothing) == (out.length > 0));
  }
  return 0;
}
