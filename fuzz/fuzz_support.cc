#include "fuzz/fuzz_support.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace digisonde16c {

namespace {

char scratch_directory[64];
constexpr int kMaxScratchFiles = 8;
char scratch_files[kMaxScratchFiles][256];
int scratch_count = 0;

void remove_scratch() {
  for (int i = 0; i < scratch_count; ++i) unlink(scratch_files[i]);
  rmdir(scratch_directory);
}

}  // namespace

void open_memory_file(MemoryFile* file, const char* name) {
  if (scratch_directory[0] == '\0') {
    std::snprintf(scratch_directory, sizeof scratch_directory, "/dev/shm/fuzz16c.XXXXXX");
    if (mkdtemp(scratch_directory) == nullptr) {
      std::snprintf(scratch_directory, sizeof scratch_directory, "/tmp/fuzz16c.XXXXXX");
      FUZZ_CHECK(mkdtemp(scratch_directory) != nullptr);
    }
    std::atexit(remove_scratch);
  }
  FUZZ_CHECK(scratch_count < kMaxScratchFiles);
  std::snprintf(file->path, sizeof file->path, "%s/%s", scratch_directory, name);
  std::snprintf(scratch_files[scratch_count++], sizeof scratch_files[0], "%s", file->path);
  file->fd = open(file->path, O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  FUZZ_CHECK(file->fd >= 0);
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

}  // namespace digisonde16c
