// A preload library for fault tests: the first open() of the file named by
// SHRINK_PATH truncates that file to SHRINK_SIZE bytes just after it has
// been opened, so that a program sees a file shrink between its existence
// check (and open) and its first read.
//   LD_PRELOAD=libshrink_after_open.so SHRINK_PATH=rec SHRINK_SIZE=4106 kesp rec
#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdlib>
#include <cstring>

namespace {

bool done = false;

void shrink_if_named(const char* path, int fd) {
  const char* target = std::getenv("SHRINK_PATH");
  const char* size = std::getenv("SHRINK_SIZE");
  if (fd < 0 || done || target == nullptr || size == nullptr) return;
  if (std::strcmp(path, target) != 0) return;
  done = true;
  if (::truncate(path, std::strtoll(size, nullptr, 10)) != 0) std::abort();
}

using OpenFunction = int (*)(const char*, int, ...);

int forward(const char* name, const char* path, int flags, mode_t mode) {
  static OpenFunction real_open = nullptr;
  static OpenFunction real_open64 = nullptr;
  OpenFunction* real = std::strcmp(name, "open") == 0 ? &real_open : &real_open64;
  if (*real == nullptr) *real = reinterpret_cast<OpenFunction>(dlsym(RTLD_NEXT, name));
  int fd = (*real)(path, flags, mode);
  shrink_if_named(path, fd);
  return fd;
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
  return forward("open", path, flags, mode);
}

extern "C" int open64(const char* path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  mode_t mode = mode_argument(flags, args);
  va_end(args);
  return forward("open64", path, flags, mode);
}
