#include "fuzz/fuzz_support.h"

#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

void open_memory_file(MemoryFile* file, const char* name) {
  file->fd = memfd_create(name, 0);
  FUZZ_CHECK(file->fd >= 0);
  std::snprintf(file->path, sizeof file->path, "/proc/self/fd/%d", file->fd);
}

void fill_memory_file(const MemoryFile& file, const uint8_t* data, size_t size) {
  FUZZ_CHECK(ftruncate(file.fd, 0) == 0);
  size_t done = 0;
  while (done < size) {
    ssize_t put = pwrite(file.fd, data + done, size - done, static_cast<off_t>(done));
    FUZZ_CHECK(put > 0);
    done += static_cast<size_t>(put);
  }
}

size_t read_memory_file(const MemoryFile& file, uint8_t* into, size_t capacity) {
  struct stat info;
  FUZZ_CHECK(fstat(file.fd, &info) == 0);
  size_t size = static_cast<size_t>(info.st_size);
  size_t want = size < capacity ? size : capacity;
  size_t done = 0;
  while (done < want) {
    ssize_t got = pread(file.fd, into + done, want - done, static_cast<off_t>(done));
    FUZZ_CHECK(got > 0);
    done += static_cast<size_t>(got);
  }
  return size;
}
