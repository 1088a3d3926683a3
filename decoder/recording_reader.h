// The walk over a recording's blocks, the one procedure through which
// tolvek and the library read groups: the next block, its test, the
// frequency selection and the decode of the group. A library reader holds
// its own open recording and keeps each group's messages with the group;
// it holds no process-wide state, so several recordings (or several shares
// of one) can be read at once, one reader per thread.
#ifndef DECODER_RECORDING_READER_H_
#define DECODER_RECORDING_READER_H_

#include <cstddef>
#include <cstdint>

#include "blockio/block_file.h"
#include "blockio/text_sink.h"
#include "decoder/group_record.h"

namespace digisonde16c {

// The choices of tolvek's -f and -c, and how much of an accepted group the
// walk decodes.
struct RecordingOptions {
  bool select_frequency;
  float selected_frequency;  // MHz; a group within 0.02 MHz is accepted
  bool correct_phase;
  // false: only the group's header (preface, time, frequency, gate count
  // and ranges and their messages), enough for an index of the groups; the
  // samples, channel table and noise level are left as they were.
  bool decode_samples;
  // With decode_samples: false leaves noise_level at 0.
  bool measure_noise;
};

// The walk's state. `blocks` names where the blocks come from: a reader by
// block number (it can start at any block and stop at last_block), or, when
// null, the programs' block file on `unit` (read4kb: blocks 1, 2, 3, ... in
// order, as its counter gives them).
struct GroupWalk {
  RecordingOptions options;
  BlockReader* blocks;
  int unit;
  long long block_number;  // the last block read: the current group's block, from 1
  long long last_block;    // the last block to read; 0: to the end of the file
  TextSink* messages;      // every message line of the groups
  bool group_messages;     // messages holds the current group's lines alone
  unsigned char block[kBlockSize];
  GroupRecord group;       // the current group, decoded
  ChannelTable channels;
  float noise_level;
};

// Sets up a walk from block 1 to the end of the recording.
void start_walk(const RecordingOptions& options, BlockReader* blocks, int unit,
                TextSink* messages, GroupWalk* walk);

// Reads on to the next group that the frequency selection accepts and
// decodes it as the options ask. Returns true when a group is ready; false
// at the end of the recording or when a read failed (the block reader's or
// the unit's read error then tells which).
bool next_group(GroupWalk* walk);

// Room for the messages of one group. The most a group can raise is one
// range gate line, one Doppler table line, one PRF line and sixteen each of
// the L, PZA and zenith lines: under 1,800 characters.
constexpr size_t kGroupMessageCapacity = 4096;

// A recording opened for library use, with the storage its walk needs,
// owned by the caller (about 300 KiB: allocate it once per recording, not
// on a small stack). walk.messages is `messages`, which holds the current
// group's lines, each ending in '\n'.
struct RecordingReader {
  GroupWalk walk;
  BlockReader blocks;
  unsigned char chunk[kChunkSize];
  long long file_blocks;  // blocks in the file when it was opened (0 for a stream)
  char message_storage[kGroupMessageCapacity];
  TextSink messages;
};

// Opens the recording at `path` for reading and starts its walk. Returns 0,
// or the errno of the failure (ENOENT, EACCES, EISDIR for a directory, ...).
int open_recording(const char* path, const RecordingOptions& options,
                   RecordingReader* reader);

// Makes the walk go on from block `first_block` (from 1) and end after
// block `last_block` (0: at the end of the file): several readers can each
// decode one share of a recording's blocks, and [n, n] decodes block n.
void set_block_range(RecordingReader* reader, long long first_block, long long last_block);

// Closes the recording; returns 0 or the errno of the close.
int close_recording(RecordingReader* reader);

}  // namespace digisonde16c

#endif  // DECODER_RECORDING_READER_H_
