// A preload library for fault tests. For the file named by FAULT_PATH:
// - with SHRINK_SIZE, the first open() truncates the file to that many bytes
//   just after opening it, so that a program sees the file shrink between
//   its existence check (and open) and its first read;
// - with FAIL_OFFSET, positioned reads of descriptors opened on it fail with
//   EIO from that byte offset on (a read that starts before it stops there),
//   as on a medium with a bad spot.
//   LD_PRELOAD=libfile_faults.so FAULT_PATH=rec SHRINK_SIZE=4106 kesp rec
#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>

namespace {

bool shrunk = false;
constexpr int kMaxDescriptors = 1024;
bool faulty[kMaxDescriptors];

long long setting(const char* name) {
  const char* text = std::getenv(name);
  return text == nullptr ? -1 : std::strtoll(text, nullptr, 10);
}

void after_open(const char* path, int fd) {
  const char* target = std::getenv("FAULT_PATH");
  if (fd < 0 || target == nullptr || std::strcmp(path, target) != 0) return;
  if (fd < kMaxDescriptors && setting("FAIL_OFFSET") >= 0) faulty[fd] = true;
  long long size = setting("SHRINK_SIZE");
  if (size >= 0 && !shrunk) {
    shrunk = true;
    if (::truncate(path, size) != 0) std::abort();
  }
}

using OpenFunction = int (*)(const char*, int, ...);
using PreadFunction = ssize_t (*)(int, void*, size_t, off_t);

int forward_open(const char* name, const char* path, int flags, mode_t mode) {
  static OpenFunction real_open = nullptr;
  static OpenFunction real_open64 = nullptr;
  OpenFunction* real = std::strcmp(name, "open") == 0 ? &real_open : &real_open64;
  if (*real == nullptr) *real = reinterpret_cast<OpenFunction>(dlsym(RTLD_NEXT, name));
  int fd = (*real)(path, flags, mode);
  after_open(path, fd);
  return fd;
}

ssize_t forward_pread(const char* name, int fd, void* into, size_t count, off_t offset) {
  static PreadFunction real_pread = nullptr;
  static PreadFunction real_pread64 = nullptr;
  PreadFunction* real = std::strcmp(name, "pread") == 0 ? &real_pread : &real_pread64;
  if (*real == nullptr) *real = reinterpret_cast<PreadFunction>(dlsym(RTLD_NEXT, name));
  if (fd >= 0 && fd < kMaxDescriptors && faulty[fd]) {
    off_t bad = static_cast<off_t>(setting("FAIL_OFFSET"));
    if (offset >= bad) {
      errno = EIO;
      return -1;
    }
    if (offset + static_cast<off_t>(count) > bad) count = static_cast<size_t>(bad - offset);
  }
  return (*real)(fd, into, count, offset);
}

mode_t mode_argument(int flags, va_list args) {
  return (flags & (O_CREAT | O_TMPFILE)) != 0 ? static_cast<mode_t>(va_arg(args, int)) : 0;
}

}  // namespace

extern "C" int open(const char* path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  mode_t mode = mode_argument(flags, args);
  va_end(args);
  return forward_open("open", path, flags, mode);
}

extern "C" int open64(const char* path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  mode_t mode = mode_argument(flags, args);
  va_end(args);
  return forward_open("open64", path, flags, mode);
}

extern "C" ssize_t pread(int fd, void* into, size_t count, off_t offset) {
  return forward_pread("pread", fd, into, count, offset);
}

extern "C" ssize_t pread64(int fd, void* into, size_t count, off_t offset) {
  return forward_pread("pread64", fd, into, count, offset);
}
