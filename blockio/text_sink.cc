#include "blockio/text_sink.h"

#include <cerrno>
#include <cstring>
#include <unistd.h>

namespace {

// Standard output is written in large chunks; messages on standard error are
// few and short.
char standard_output_storage[1 << 18];
char standard_error_storage[1 << 14];
TextSink standard_output_sink = {1, standard_output_storage,
                                 sizeof standard_output_storage, 0, 0, 0};
TextSink standard_error_sink = {2, standard_error_storage,
                                sizeof standard_error_storage, 0, 0, 0};

// Writes all `count` bytes, retrying short writes and interrupted calls.
int write_all(int fd, const char* bytes, size_t count) {
  while (count > 0) {
    ssize_t written = ::write(fd, bytes, count);
    if (written < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    bytes += written;
    count -= static_cast<size_t>(written);
  }
  return 0;
}

}  // namespace

TextSink make_text_sink(int fd, char* storage, size_t capacity) {
  return TextSink{fd, storage, capacity, 0, 0, 0};
}

TextSink* standard_output() { return &standard_output_sink; }
TextSink* standard_error() { return &standard_error_sink; }

int flush_sink(TextSink* sink) {
  if (sink->length == 0) return sink->error;
  if (sink->fd < 0) {
    sink->discarded += sink->length;
  } else if (sink->error == 0) {
    sink->error = write_all(sink->fd, sink->data, sink->length);
  }
  // After a failure nothing more is written; the text is dropped so that
  // the writers never stall, and the caller reports the error.
  sink->length = 0;
  return sink->error;
}

int flush_standard_sinks() {
  int error_of_error = flush_sink(&standard_error_sink);
  int error_of_output = flush_sink(&standard_output_sink);
  return error_of_output != 0 ? error_of_output : error_of_error;
}

char* reserve_sink(TextSink* sink, size_t count) {
  if (sink->capacity - sink->length < count) flush_sink(sink);
  return sink->data + sink->length;
}

void append_sink(TextSink* sink, const char* bytes, size_t count) {
  while (count > 0) {
    if (sink->length == sink->capacity) flush_sink(sink);
    size_t room = sink->capacity - sink->length;
    size_t part = count < room ? count : room;
    std::memcpy(sink->data + sink->length, bytes, part);
    sink->length += part;
    bytes += part;
    count -= part;
  }
}
