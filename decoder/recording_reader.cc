#include "decoder/recording_reader.h"

#include <sys/stat.h>

#include "decoder/decoder_run.h"
#include "decoder/group_decode.h"
#include "decoder/group_reader.h"

int open_recording(const char* path, const RecordingOptions& options,
                   RecordingReader* reader) {
  reader->options = options;
  reader->block_number = 0;
  reader->last_block = 0;
  reader->file_blocks = 0;
  reader->noise_level = 0.0f;
  reader->messages =
      make_text_sink(-1, reader->message_storage, sizeof reader->message_storage);
  int error = open_block_reader(path, reader->chunk, &reader->blocks);
  if (error != 0) return error;
  struct stat info;
  if (::fstat(reader->blocks.fd, &info) == 0 && S_ISREG(info.st_mode)) {
    reader->file_blocks = (static_cast<long long>(info.st_size) + kBlockSize - 1) / kBlockSize;
  }
  return 0;
}

bool next_group(RecordingReader* reader) {
  for (;;) {
    // Lines raised by a block that is passed over belong to no group.
    reader->messages.length = 0;
    if (reader->last_block > 0 && reader->block_number >= reader->last_block) return false;
    if (read_block(&reader->blocks, reader->block_number + 1, reader->block)) return false;
    ++reader->block_number;
    if (read_group(reader->block, &reader->group, &reader->messages) == 0) continue;
    const RecordingOptions& options = reader->options;
    if (options.select_frequency &&
        !frequency_selected(reader->group.frequency, options.selected_frequency)) {
      continue;
    }
    reader->noise_level = decode_group(options.correct_phase, &reader->group,
                                       &reader->channels, &reader->messages);
    return true;
  }
}

void set_block_range(RecordingReader* reader, long long first_block, long long last_block) {
  reader->block_number = first_block - 1;
  reader->last_block = last_block;
}

int close_recording(RecordingReader* reader) { return close_block_reader(&reader->blocks); }
