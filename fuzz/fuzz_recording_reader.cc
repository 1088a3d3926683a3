// The library's recording reader on an arbitrary recording of up to six
// blocks and a partial one: every group laid into the rows of the Python
// module's arrays, and the same groups again when the blocks are read in
// shares by several readers.
//
// Input: a selector byte (bit 0: correct phases; bit 1: select a frequency;
// bits 2-3: shares - 1), the selected frequency as the four bytes of a
// single-precision real, then the recording's bytes.
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>

#include "decoder/group_record.h"
#include "decoder/recording_reader.h"
#include "fuzz/fuzz_support.h"
#include "python/module/recording_columns.h"

using namespace digisonde16c;

namespace {

constexpr size_t kMaxRecording = 6 * 4096 + 4095;
constexpr int kMaxGroups = 7;

// What a pass over the recording saw of each group.
struct Seen {
  int count = 0;
  long long blocks[kMaxGroups];
  std::string messages[kMaxGroups];
};

// One row of every array, of up to 256 gates.
struct Row {
  int64_t block, time;
  float frequency;
  int32_t gate_count;
  float noise_level;
  float amplitude[kChannels * kMaxGates], phase[kChannels * kMaxGates];
  float gate_range[kMaxGates];
  float channel_columns[5][kChannels];
  int32_t channel_order[kChannels];
  uint8_t preface[kPrefaceDigits];
  char time_text[kTimeTextLength];
};

void check_row(const RecordingReader& reader, const Row& row, int gates) {
  const GroupRecord& group = reader.walk.group;
  FUZZ_CHECK(row.block == reader.walk.block_number && row.gate_count == group.gate_count);
  FUZZ_CHECK(std::memcmp(row.time_text, group.time_text, kTimeTextLength) == 0);
  const int channels = sample_channel_count(group.gate_count);
  for (int c = 0; c < kChannels; ++c) {
    for (int g = 0; g < gates; ++g) {
      const bool held = c < channels && g < group.gate_count;
      const float a = row.amplitude[c * gates + g];
      const float p = row.phase[c * gates + g];
      FUZZ_CHECK(held ? a == group.amplitude[c][g] : std::isnan(a));
      FUZZ_CHECK(held ? p == group.phase[c][g] : std::isnan(p));
    }
  }
  for (int g = 0; g < gates; ++g) {
    FUZZ_CHECK(g < group.gate_count ? row.gate_range[g] == group.gate_range[g]
                                    : std::isnan(row.gate_range[g]));
  }
}

// Reads blocks first_block to last_block (0: the end) with one reader,
// adding each group to `seen`; with `row`, also lays each into it.
void read_share(const char* path, const RecordingOptions& options, long long first_block,
                long long last_block, Seen* seen, Row* row) {
  static RecordingReader reader;
  FUZZ_CHECK(open_recording(path, options, &reader) == 0);
  set_block_range(&reader, first_block, last_block);
  long long previous = first_block - 1;
  const GroupWalk& walk = reader.walk;
  while (next_group(&reader.walk)) {
    FUZZ_CHECK(walk.block_number > previous);
    FUZZ_CHECK(last_block == 0 || walk.block_number <= last_block);
    previous = walk.block_number;
    // The messages of a group always fit its sink.
    FUZZ_CHECK(reader.messages.discarded == 0 && is_plain_text(reader.messages));
    FUZZ_CHECK(seen->count < kMaxGroups);
    seen->blocks[seen->count] = walk.block_number;
    seen->messages[seen->count].assign(reader.messages.data, reader.messages.length);
    ++seen->count;
    if (row != nullptr) {
      const int gates = walk.group.gate_count > kSmallGates ? kMaxGates : kSmallGates;
      char* data[kColumnCount] = {
          reinterpret_cast<char*>(&row->block), reinterpret_cast<char*>(&row->time),
          reinterpret_cast<char*>(&row->frequency), reinterpret_cast<char*>(&row->gate_count),
          reinterpret_cast<char*>(&row->noise_level), reinterpret_cast<char*>(row->amplitude),
          reinterpret_cast<char*>(row->phase), reinterpret_cast<char*>(row->gate_range),
          reinterpret_cast<char*>(row->channel_columns[0]),
          reinterpret_cast<char*>(row->channel_columns[1]),
          reinterpret_cast<char*>(row->channel_columns[2]),
          reinterpret_cast<char*>(row->channel_columns[3]),
          reinterpret_cast<char*>(row->channel_columns[4]),
          reinterpret_cast<char*>(row->channel_order), reinterpret_cast<char*>(row->preface),
          row->time_text};
      std::string messages;
      store_group_row(reader, data, 0, gates, &messages);
      check_row(reader, *row, gates);
    }
  }
  FUZZ_CHECK(reader.blocks.read_error == 0);
  FUZZ_CHECK(close_recording(&reader) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static MemoryFile recording;
  static Row row;
  if (recording.fd < 0) open_memory_file(&recording, "recording");
  InputReader in{data, size};
  const uint8_t selector = in.byte();
  const float frequency = in.real();
  RecordingOptions options{(selector & 2) != 0, frequency, (selector & 1) != 0, true, true};
  size_t length = in.left() < kMaxRecording ? in.left() : kMaxRecording;
  fill_memory_file(recording, data + in.at, length);
  const long long blocks = static_cast<long long>((length + 4095) / 4096);

  Seen whole;
  read_share(recording.path, options, 1, 0, &whole, &row);
  // The same groups, in the same order, from readers that each take a
  // share of the blocks, at least one block each, as the module makes them.
  long long shares = 1 + (selector >> 2) % 4;
  if (shares > blocks) shares = blocks > 0 ? blocks : 1;
  Seen parts;
  for (long long k = 0; k < shares; ++k) {
    const long long first = k * blocks / shares + 1;
    const long long last = k + 1 == shares ? 0 : (k + 1) * blocks / shares;
    read_share(recording.path, options, first, last, &parts, nullptr);
  }
  FUZZ_CHECK(parts.count == whole.count);
  for (int i = 0; i < whole.count; ++i) {
    FUZZ_CHECK(parts.blocks[i] == whole.blocks[i] && parts.messages[i] == whole.messages[i]);
  }
  return 0;
}
