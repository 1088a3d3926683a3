#include "blockio/text_sink.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace digisonde16c {

namespace {

// Standard output is written in large chunks; messages on standard error are
// few and short.
char standard_output_storage[1 << 18];
char standard_error_storage[1 << 14];
TextSink standard_output_sink = {1, standard_output_storage, sizeof standard_output_storage,
                                 0, 0, 0, sizeof standard_output_storage, -1};
TextSink standard_error_sink = {2, standard_error_storage, sizeof standard_error_storage,
                                0, 0, 0, sizeof standard_error_storage, 0};

// The smallest chunk a paced pipe is given: when the pipe is this full, the
// reader has plenty to read while the writer waits.
constexpr size_t kMinPipeChunk = 1 << 16;

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

// The largest pipe an unprivileged process may ask for, or 0.
int pipe_max_size() {
  std::FILE* file = std::fopen("/proc/sys/fs/pipe-max-size", "r");
  if (file == nullptr) return 0;
  int size = 0;
  if (std::fscanf(file, "%d", &size) != 1) size = 0;
  std::fclose(file);
  return size;
}

// When `fd` is a pipe: enlarges it as far as the system lets it and returns
// its size in bytes. Otherwise 0, and the sink writes as any other.
int pace_pipe(int fd) {
#if defined(F_SETPIPE_SZ) && defined(F_GETPIPE_SZ) && defined(FIONREAD)
  struct stat info;
  if (::fstat(fd, &info) != 0 || !S_ISFIFO(info.st_mode)) return 0;
  int size = ::fcntl(fd, F_GETPIPE_SZ);
  if (size <= 0) return 0;
  // Limits on the pages of all pipes of a user can refuse the largest size;
  // smaller ones are tried down to the present size.
  for (int wanted = pipe_max_size(); wanted > size; wanted /= 2) {
    int got = ::fcntl(fd, F_SETPIPE_SZ, wanted);
    if (got > 0) {
      size = got;
      break;
    }
  }
  return size;
#else
  (void)fd;
  return 0;
#endif
}

// After a write into a paced pipe: the next chunk may be as large as the
// room the pipe has now, since the reader only makes more.
void set_pipe_limit(TextSink* sink) {
  int unread = 0;
  size_t room = 0;
  if (::ioctl(sink->fd, FIONREAD, &unread) == 0 && unread >= 0 && unread < sink->pipe_size) {
    room = static_cast<size_t>(sink->pipe_size - unread);
  }
  if (room < kMinPipeChunk) room = kMinPipeChunk;
  sink->limit = room < sink->capacity ? room : sink->capacity;
}

}  // namespace

TextSink make_text_sink(int fd, char* storage, size_t capacity) {
  return TextSink{fd, storage, capacity, 0, 0, 0, capacity, 0};
}

TextSink* standard_output() { return &standard_output_sink; }
TextSink* standard_error() { return &standard_error_sink; }

int flush_sink(TextSink* sink) {
  // A sink set up field by field without a limit is handed on when full.
  if (sink->limit == 0 || sink->limit > sink->capacity) sink->limit = sink->capacity;
  if (sink->length == 0) return sink->error;
  if (sink->fd < 0) {
    sink->discarded += sink->length;
  } else if (sink->error == 0) {
    if (sink->pipe_size < 0) sink->pipe_size = pace_pipe(sink->fd);
    sink->error = write_all(sink->fd, sink->data, sink->length);
    if (sink->pipe_size > 0 && sink->error == 0) set_pipe_limit(sink);
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

void append_sink(TextSink* sink, const char* bytes, size_t count) {
  while (count > 0) {
    if (sink->length >= sink->limit) flush_sink(sink);
    size_t room = sink->limit - sink->length;
    size_t part = count < room ? count : room;
    std::memcpy(sink->data + sink->length, bytes, part);
    sink->length += part;
    bytes += part;
    count -= part;
  }
}

}  // namespace digisonde16c
