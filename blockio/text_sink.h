// Buffered text output shared by the column-format and free-form writers.
#ifndef BLOCKIO_TEXT_SINK_H_
#define BLOCKIO_TEXT_SINK_H_

#include <cstddef>

namespace digisonde16c {

// A byte buffer in front of a file descriptor. Text is appended to `data` and
// handed to write(2) in large chunks. With fd < 0 the sink is memory only:
// flushing discards what is buffered and adds its size to `discarded`.
struct TextSink {
  int fd;
  char* data;
  size_t capacity;
  size_t length;
  size_t discarded;
  int error;  // errno of the first failed write, 0 while none failed
  // The buffer is handed on once it holds `limit` bytes (at most capacity).
  // When fd is a pipe that the sink paces (pipe_size > 0), the limit is the
  // room the pipe had after the last write, so that a write fits without
  // waiting and the reader keeps reading while the next chunk is composed.
  size_t limit;
  int pipe_size;  // bytes the pipe holds; 0: not paced; -1: not looked at yet
};

// Makes a sink over caller-owned storage of `capacity` bytes, never paced.
TextSink make_text_sink(int fd, char* storage, size_t capacity);

// Process-wide sinks for standard output (written in chunks of up to
// 256 KiB; a pipe is enlarged as far as the system allows and paced as
// above) and standard error; both are flushed by flush_standard_sinks().
TextSink* standard_output();
TextSink* standard_error();

// Writes out everything buffered; returns the sink's error (0 when all
// bytes reached the descriptor so far).
int flush_sink(TextSink* sink);
int flush_standard_sinks();

// Returns a pointer to room for `count` more bytes, flushing first when the
// buffer lacks it; the caller writes there and then calls commit_sink.
// `count` must not exceed the capacity.
inline char* reserve_sink(TextSink* sink, size_t count) {
  if (sink->length + count > sink->limit) flush_sink(sink);
  return sink->data + sink->length;
}
inline void commit_sink(TextSink* sink, size_t count) { sink->length += count; }

// Appends bytes of any length.
void append_sink(TextSink* sink, const char* bytes, size_t count);

}  // namespace digisonde16c

#endif  // BLOCKIO_TEXT_SINK_H_
