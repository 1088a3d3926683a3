#include "blockio/block_file.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace digisonde16c {

namespace {

struct Connection {
  bool open;
  BlockReader reader;  // the read side
  bool regular;
  // Write side: pending holds the bytes for pending_offset onwards.
  unsigned char* pending;
  off_t pending_offset;
  size_t pending_fill;
  off_t written_end;  // end of the last block written
  int write_error;
};

Connection connections[kMaxUnit + 1];
long long reader_counter = 0;
long long writer_counter = 0;

bool valid_unit(int unit) { return unit >= 0 && unit <= kMaxUnit; }

// Reads up to `count` bytes at `offset`: positioned for files that allow
// it, else the next bytes of the stream, which read_block has checked to be
// those at `offset`. Returns the bytes read, 0 at the end of the file, -1
// with errno on failure.
ssize_t read_at(BlockReader* r, unsigned char* into, size_t count, off_t offset) {
  for (;;) {
    ssize_t got = r->seekable ? ::pread(r->fd, into, count, offset) : ::read(r->fd, into, count);
    if (got < 0 && errno == EINTR) continue;
    return got;
  }
}

// Makes chunk hold the byte at `offset`. Returns 1 when it does, 0 at the
// end of the file, -1 on failure (errno kept in read_error).
int load_chunk(BlockReader* r, off_t offset) {
  if (offset >= r->chunk_offset &&
      offset < r->chunk_offset + static_cast<off_t>(r->chunk_fill)) {
    return 1;
  }
  ssize_t got = read_at(r, r->chunk, kChunkSize, offset);
  r->chunk_offset = offset;
  r->chunk_fill = got > 0 ? static_cast<size_t>(got) : 0;
  if (got < 0) {
    r->read_error = errno;
    return -1;
  }
  return got > 0 ? 1 : 0;
}

// Whether reads of `fd` can be positioned: regular files and block devices.
bool positioned_reads(int fd, const struct stat& info) {
  return ::lseek(fd, 0, SEEK_CUR) >= 0 && (S_ISREG(info.st_mode) || S_ISBLK(info.st_mode));
}

int write_all_at(Connection* c, const unsigned char* bytes, size_t count, off_t offset) {
  const int fd = c->reader.fd;
  while (count > 0) {
    ssize_t put = c->reader.seekable ? ::pwrite(fd, bytes, count, offset)
                                     : ::write(fd, bytes, count);
    if (put < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (put == 0) return EIO;
    bytes += put;
    count -= static_cast<size_t>(put);
    offset += put;
  }
  return 0;
}

int flush_pending(Connection* c) {
  if (c->pending_fill > 0 && c->write_error == 0) {
    c->write_error = write_all_at(c, c->pending, c->pending_fill, c->pending_offset);
  }
  c->pending_offset += static_cast<off_t>(c->pending_fill);
  c->pending_fill = 0;
  return c->write_error;
}

void release(Connection* c) {
  delete[] c->reader.chunk;
  delete[] c->pending;
  std::memset(c, 0, sizeof *c);
}

// The descriptor that a name such as /dev/stdout, /dev/fd/3 or
// /proc/self/fd/3 stands for, when it is open in this process; else -1.
int inherited_descriptor(const std::string& path) {
  int fd = -1;
  if (path == "/dev/stdout") {
    fd = 1;
  } else if (path == "/dev/stderr") {
    fd = 2;
  } else {
    for (const char* prefix : {"/dev/fd/", "/proc/self/fd/"}) {
      size_t length = std::strlen(prefix);
      if (path.compare(0, length, prefix) != 0 || path.size() == length ||
          path.size() > length + 6) {
        continue;
      }
      fd = 0;
      for (size_t i = length; i < path.size(); ++i) {
        if (path[i] < '0' || path[i] > '9') return -1;
        fd = fd * 10 + (path[i] - '0');
      }
    }
  }
  if (fd < 0 || ::fcntl(fd, F_GETFD) < 0) return -1;
  return fd;
}

}  // namespace

size_t trimmed_length(const char* name) {
  size_t length = std::strlen(name);
  while (length > 0 && name[length - 1] == ' ') --length;
  return length;
}

int open_block_reader(const char* path, unsigned char* chunk, BlockReader* reader) {
  std::memset(reader, 0, sizeof *reader);
  reader->fd = -1;
  struct stat info;
  if (::stat(path, &info) != 0) return errno;
  // Inputs are only ever read.
  int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno;
  if (::fstat(fd, &info) != 0 || S_ISDIR(info.st_mode)) {
    int error = S_ISDIR(info.st_mode) ? EISDIR : errno;
    ::close(fd);
    return error;
  }
  reader->fd = fd;
  reader->seekable = positioned_reads(fd, info);
  reader->chunk = chunk;
  reader->next_block = 1;
  return 0;
}

bool read_block(BlockReader* reader, long long n, unsigned char* block) {
  BlockReader* r = reader;
  if (r->fd < 0 || r->at_end || r->read_error != 0 || n < 1) {
    std::memset(block, 0, kBlockSize);
    return true;
  }
  if (!r->seekable && n != r->next_block) {
    r->read_error = ESPIPE;
    std::memset(block, 0, kBlockSize);
    return true;
  }

  off_t offset = static_cast<off_t>(n - 1) * kBlockSize;
  size_t done = 0;
  while (done < static_cast<size_t>(kBlockSize)) {
    off_t at = offset + static_cast<off_t>(done);
    int loaded = load_chunk(r, at);
    if (loaded <= 0) {
      // Whatever the block did not receive is zero.
      std::memset(block + done, 0, kBlockSize - done);
      if (loaded < 0) return true;
      // The end of the file: before the first byte it ends the recording.
      r->at_end = true;
      r->next_block = n + 1;
      return done == 0;
    }
    size_t from = static_cast<size_t>(at - r->chunk_offset);
    size_t part = r->chunk_fill - from;
    if (part > kBlockSize - done) part = kBlockSize - done;
    std::memcpy(block + done, r->chunk + from, part);
    done += part;
  }
  r->next_block = n + 1;
  return false;
}

int close_block_reader(BlockReader* reader) {
  int error = 0;
  if (reader->fd >= 0 && ::close(reader->fd) != 0 && errno != EINTR) error = errno;
  reader->fd = -1;
  return error;
}

int open_block_file(int unit, const char* name, OpenStatus status) {
  if (!valid_unit(unit)) return EBADF;
  Connection* c = &connections[unit];
  if (c->open) close_block_file(unit, false);

  std::string path(name, trimmed_length(name));
  if (path.empty()) return kNullFileName;

  if (status == OpenStatus::kOld) {
    unsigned char* chunk = new unsigned char[kChunkSize];
    int error = open_block_reader(path.c_str(), chunk, &c->reader);
    if (error != 0) {
      delete[] chunk;
      return error;
    }
    c->open = true;
    return 0;
  }

  int fd;
  bool stream_output = false;
  if ((fd = inherited_descriptor(path)) >= 0) {
    // The output is a stream the program was given (e.g. /dev/stdout): the
    // copy goes on at its position, so `>> file` appends rather than
    // overwriting and cutting the file.
    fd = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
    stream_output = true;
  } else {
    // An existing output is updated in place from its first byte.
    fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
  }
  if (fd < 0) return errno;

  struct stat info;
  if (::fstat(fd, &info) != 0) {
    int error = errno;
    ::close(fd);
    return error;
  }
  if (S_ISDIR(info.st_mode)) {
    ::close(fd);
    return EISDIR;
  }
  c->open = true;
  c->reader.fd = fd;
  c->regular = S_ISREG(info.st_mode) && !stream_output;
  c->reader.seekable = !stream_output && positioned_reads(fd, info);
  c->reader.chunk = new unsigned char[kChunkSize];
  c->reader.next_block = 1;
  c->pending = new unsigned char[kChunkSize];
  return 0;
}

void write_open_diagnostic(TextSink* err, int error, int unit, const char* name,
                           bool after_formatted_read) {
  std::string text = "open: ";
  text += error == kNullFileName ? "null file name" : std::strerror(error);
  text += "\napparent state: unit ";
  text += std::to_string(unit);
  text += " named ";
  text.append(name, trimmed_length(name));
  text += after_formatted_read ? "\nlately reading sequential formatted external IO\n"
                               : "\nlately writing direct unformatted external IO\n";
  append_sink(err, text.data(), text.size());
}

bool read4kb(int unit, unsigned char* block) {
  long long n = ++reader_counter;
  if (!valid_unit(unit) || !connections[unit].open) {
    std::memset(block, 0, kBlockSize);
    return true;
  }
  return read_block(&connections[unit].reader, n, block);
}

int block_read_error(int unit) {
  return valid_unit(unit) ? connections[unit].reader.read_error : EBADF;
}

bool write4kb(int unit, const unsigned char* block) {
  long long n = ++writer_counter;
  if (!valid_unit(unit) || !connections[unit].open) return true;
  Connection* c = &connections[unit];
  if (c->write_error != 0) return true;

  off_t offset = static_cast<off_t>(n - 1) * kBlockSize;
  bool follows = offset == c->pending_offset + static_cast<off_t>(c->pending_fill);
  if (!follows || c->pending_fill + kBlockSize > kChunkSize) {
    if (flush_pending(c) != 0) return true;
    if (!c->reader.seekable && offset != c->pending_offset) {
      c->write_error = ESPIPE;
      return true;
    }
    c->pending_offset = offset;
  }
  std::memcpy(c->pending + c->pending_fill, block, kBlockSize);
  c->pending_fill += kBlockSize;
  if (offset + kBlockSize > c->written_end) c->written_end = offset + kBlockSize;
  return false;
}

int block_write_error(int unit) {
  return valid_unit(unit) ? connections[unit].write_error : EBADF;
}

int close_block_file(int unit, bool truncate_to_written) {
  if (!valid_unit(unit) || !connections[unit].open) return 0;
  Connection* c = &connections[unit];
  int error = flush_pending(c);
  if (error == 0 && truncate_to_written && c->regular) {
    struct stat info;
    if (::fstat(c->reader.fd, &info) != 0) {
      error = errno;
    } else if (info.st_size > c->written_end &&
               ::ftruncate(c->reader.fd, c->written_end) != 0) {
      error = errno;
    }
  }
  int close_error = close_block_reader(&c->reader);
  if (error == 0) error = close_error;
  release(c);
  return error;
}

void reset_block_files() {
  for (int unit = 0; unit <= kMaxUnit; ++unit) close_block_file(unit, false);
  reader_counter = 0;
  writer_counter = 0;
}

}  // namespace digisonde16c
