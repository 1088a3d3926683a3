// A recording read group by group for library use: the same walk and the
// same procedures as tolvek's run, with each group's messages kept with the
// group instead of written to standard error. A reader holds no
// process-wide state, so several recordings can be read at once, one
// reader per thread.
#ifndef DECODER_RECORDING_READER_H_
#define DECODER_RECORDING_READER_H_

#include <cstddef>
#include <cstdint>

#include "blockio/block_file.h"
#include "blockio/text_sink.h"
#include "decoder/group_record.h"

// The choices of tolvek's -f and -c.
struct RecordingOptions {
  bool select_frequency;
  float selected_frequency;  // MHz; a group within 0.02 MHz is accepted
  bool correct_phase;
};

// Room for the messages of one group. The most a group can raise is one
// range gate line, one Doppler table line, one PRF line and sixteen each of
// the L, PZA and zenith lines: under 1,800 characters.
constexpr size_t kGroupMessageCapacity = 4096;

// Everything a reader needs, owned by the caller (about 300 KiB: allocate
// it once per recording, not on a small stack).
struct RecordingReader {
  RecordingOptions options;
  BlockReader blocks;
  unsigned char chunk[kChunkSize];
  unsigned char block[kBlockSize];
  long long file_blocks;   // blocks in the file when it was opened (0 for a stream)
  long long block_number;  // the block the current group came from, from 1
  long long last_block;    // the last block to read; 0: to the end of the file
  GroupRecord group;       // the current group, decoded
  ChannelTable channels;
  float noise_level;
  char message_storage[kGroupMessageCapacity];
  TextSink messages;       // the current group's lines, each ending in '\n'
};

// Opens the recording at `path` for reading. Returns 0, or the errno of the
// failure (ENOENT, EACCES, EISDIR for a directory, ...).
int open_recording(const char* path, const RecordingOptions& options,
                   RecordingReader* reader);

// Reads on to the next group that the frequency selection accepts and
// decodes it into group, channels, noise_level and messages. Returns true
// when a group is ready; false at the end of the recording or when a read
// failed, which blocks.read_error then tells (its errno, 0 at the end).
bool next_group(RecordingReader* reader);

// Makes the reader go on from block `first_block` (from 1) and end after
// block `last_block` (0: at the end of the file), so that several readers
// can each decode one share of a recording's blocks.
void set_block_range(RecordingReader* reader, long long first_block, long long last_block);

// Closes the recording; returns 0 or the errno of the close.
int close_recording(RecordingReader* reader);

#endif  // DECODER_RECORDING_READER_H_
