#include "decoder/recording_reader.h"

#include <sys/stat.h>

#include "decoder/group_decode.h"
#include "decoder/group_reader.h"

namespace digisonde16c {

namespace {

// Reads block walk->block_number + 1. Returns true at the end of the
// recording or on a failure, as read_block and read4kb do.
bool read_next_block(GroupWalk* walk) {
  if (walk->last_block > 0 && walk->block_number >= walk->last_block) return true;
  const bool ended = walk->blocks != nullptr
                         ? read_block(walk->blocks, walk->block_number + 1, walk->block)
                         : read4kb(walk->unit, walk->block);
  if (!ended) ++walk->block_number;
  return ended;
}

}  // namespace

void start_walk(const RecordingOptions& options, BlockReader* blocks, int unit,
                TextSink* messages, GroupWalk* walk) {
  walk->options = options;
  walk->blocks = blocks;
  walk->unit = unit;
  walk->block_number = 0;
  walk->last_block = 0;
  walk->messages = messages;
  walk->group_messages = false;
  walk->noise_level = 0.0f;
}

bool next_group(GroupWalk* walk) {
  const RecordingOptions& options = walk->options;
  GroupRecord* group = &walk->group;
  for (;;) {
    // Lines raised by a block that is passed over belong to no group.
    if (walk->group_messages) walk->messages->length = 0;
    if (read_next_block(walk)) return false;
    if (read_group_header(walk->block, group, walk->messages) == 0) continue;
    if (options.select_frequency &&
        !frequency_selected(group->frequency, options.selected_frequency)) {
      continue;
    }
    if (!options.decode_samples) return true;
    read_group_samples(walk->block, group);
    if (options.measure_noise) {
      walk->noise_level = decode_group(options.correct_phase, group, &walk->channels,
                                       walk->messages);
    } else {
      decode_group_channels(options.correct_phase, group, &walk->channels, walk->messages);
    }
    return true;
  }
}

int open_recording(const char* path, const RecordingOptions& options,
                   RecordingReader* reader) {
  reader->file_blocks = 0;
  reader->messages =
      make_text_sink(-1, reader->message_storage, sizeof reader->message_storage);
  start_walk(options, &reader->blocks, -1, &reader->messages, &reader->walk);
  reader->walk.group_messages = true;
  int error = open_block_reader(path, reader->chunk, &reader->blocks);
  if (error != 0) return error;
  struct stat info;
  if (::fstat(reader->blocks.fd, &info) == 0 && S_ISREG(info.st_mode)) {
    reader->file_blocks = (static_cast<long long>(info.st_size) + kBlockSize - 1) / kBlockSize;
  }
  return 0;
}

void set_block_range(RecordingReader* reader, long long first_block, long long last_block) {
  reader->walk.block_number = first_block - 1;
  reader->walk.last_block = last_block;
}

int close_recording(RecordingReader* reader) { return close_block_reader(&reader->blocks); }

}  // namespace digisonde16c
