// Block access to recording files: 4096-byte blocks numbered from 1.
#ifndef BLOCKIO_BLOCK_FILE_H_
#define BLOCKIO_BLOCK_FILE_H_

#include <cstddef>
#include <cstdint>

#include "blockio/text_sink.h"

namespace digisonde16c {

constexpr int kBlockSize = 4096;
constexpr int kMaxUnit = 99;

// Error number returned by open_block_file for a name that is empty after
// trailing blanks are removed.
constexpr int kNullFileName = -1;

enum class OpenStatus {
  kOld,   // the file must exist; it is opened for reading only
  kNone,  // created when missing, else opened for update without truncation
};

// Length of `name` without its trailing blanks.
size_t trimmed_length(const char* name);

// Blocks are moved to and from the system in chunks of this many bytes.
constexpr size_t kChunkSize = 64 * kBlockSize;

// The read side of an open recording: blocks by number from one descriptor,
// through a chunk of kChunkSize bytes of caller-owned storage. It holds no
// process-wide state, so a library can read several recordings at once.
struct BlockReader {
  int fd;                 // -1 when closed
  bool seekable;          // positioned reads; a stream is read in order
  unsigned char* chunk;   // chunk[0] is the file's byte at chunk_offset
  int64_t chunk_offset;
  size_t chunk_fill;
  long long next_block;   // the only block a stream can deliver next
  bool at_end;
  int read_error;         // errno of the failed read, 0 while none failed
};

// Opens the file at `path` (used as it stands) for reading only. Returns 0,
// or the errno of the failure; a directory fails with EISDIR.
int open_block_reader(const char* path, unsigned char* chunk, BlockReader* reader);

// Reads block n (from 1) into `block`. Returns false when the block was
// delivered (a final partial block padded with zeros) and true at the end
// of the file or on a failure (read_error). A stream that is asked for any
// block but the one after the last delivered fails with ESPIPE.
bool read_block(BlockReader* reader, long long n, unsigned char* block);

// Closes the descriptor; returns 0 or the errno of the close.
int close_block_reader(BlockReader* reader);

// Connects `unit` (0 to 99) to the file `name` (trailing blanks ignored).
// Any earlier connection of the unit is dropped first (standard input is
// never closed). Returns 0, kNullFileName, or the errno of the failure; a
// directory fails with EISDIR.
int open_block_file(int unit, const char* name, OpenStatus status);

// The three-line diagnostic of a failed open on standard error:
//   open: <system message | null file name>
//   apparent state: unit <unit> named <name>
//   lately <reading|writing> <sequential|direct> <formatted|unformatted> external IO
// `after_formatted_read` tells whether the most recent transfer was a
// formatted sequential read (an option value) rather than none.
void write_open_diagnostic(TextSink* err, int error, int unit, const char* name,
                           bool after_formatted_read);

// Reads the next block (the process-wide reader counter, incremented first,
// names it) into `block`. Returns false when the block was delivered (a
// final partial block is zero-padded) and true at the end of the file or
// on a failure; block_read_error() tells the two apart.
bool read4kb(int unit, unsigned char* block);

// errno of the read failure behind the last true result of read4kb on the
// unit, or 0 when that result was the plain end of the file.
int block_read_error(int unit);

// Writes `block` as the next block of the unit (the writer's own counter).
// Returns false when the block was accepted and true when it could not be
// positioned or a write of the unit has failed; block_write_error() gives
// the errno.
bool write4kb(int unit, const unsigned char* block);
int block_write_error(int unit);

// Flushes and closes the unit. With `truncate_to_written`, a regular file is
// cut to the blocks written on it, so that no bytes of an older, longer file
// remain. Returns 0 or the errno of a failed flush, truncate or close.
int close_block_file(int unit, bool truncate_to_written);

// Closes every unit and sets both block counters back to 0, as at process
// start. Only for running a program's procedure several times in one process
// (tests and fuzzing); the programs themselves never call it.
void reset_block_files();

}  // namespace digisonde16c

#endif  // BLOCKIO_BLOCK_FILE_H_
