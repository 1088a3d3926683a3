// Helpers shared by the fuzz targets: memory sinks, checks that abort with a
// message (so that libFuzzer keeps the input), and an input reader.
#ifndef FUZZ_FUZZ_SUPPORT_H_
#define FUZZ_FUZZ_SUPPORT_H_

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "blockio/text_sink.h"

namespace digisonde16c {

// Stops the run with a message when a property of the output does not hold.
#define FUZZ_CHECK(condition)                                                  \
  do {                                                                         \
    if (!(condition)) {                                                        \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__,    \
                   #condition);                                                \
      std::abort();                                                            \
    }                                                                          \
  } while (0)

// A memory-only sink (fd -1) over `storage`; text that does not fit is
// counted in `discarded`.
inline TextSink memory_sink(char* storage, size_t capacity) {
  return make_text_sink(-1, storage, capacity);
}

// Everything a sink has received: kept plus discarded bytes.
inline size_t sink_total(const TextSink& sink) { return sink.discarded + sink.length; }

// True when the kept text holds only printable ASCII and line ends, and
// ends with a line end (or is empty). Eight bytes are tested at a time: only
// words holding a byte below 0x20 or above 0x7E are looked at bytewise.
__attribute__((no_sanitize("address"))) inline bool is_plain_text(const TextSink& sink) {
  constexpr uint64_t kOnes = 0x0101010101010101u;
  constexpr uint64_t kHighs = 0x8080808080808080u;
  size_t i = 0;
  for (; i + 8 <= sink.length; i += 8) {
    uint64_t w;
    std::memcpy(&w, sink.data + i, sizeof w);
    uint64_t below_blank = (w - 0x20 * kOnes) & ~w & kHighs;
    uint64_t x = w ^ (0x7F * kOnes);
    uint64_t is_delete = (x - kOnes) & ~x & kHighs;
    if (((w & kHighs) | below_blank | is_delete) == 0) continue;
    for (size_t k = i; k < i + 8; ++k) {
      unsigned char c = static_cast<unsigned char>(sink.data[k]);
      if (c != '\n' && (c < 0x20 || c > 0x7E)) return false;
    }
  }
  for (; i < sink.length; ++i) {
    unsigned char c = static_cast<unsigned char>(sink.data[i]);
    if (c != '\n' && (c < 0x20 || c > 0x7E)) return false;
  }
  return sink.length == 0 || sink.data[sink.length - 1] == '\n';
}

// Takes values from the front of the fuzz input; past its end every value
// is 0.
struct InputReader {
  const uint8_t* data;
  size_t size;
  size_t at = 0;

  uint8_t byte() { return at < size ? data[at++] : 0; }
  uint32_t u32() {
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v |= static_cast<uint32_t>(byte()) << (8 * i);
    return v;
  }
  float real() {
    uint32_t bits = u32();
    float v;
    std::memcpy(&v, &bits, sizeof v);
    return v;
  }
  size_t left() const { return at < size ? size - at : 0; }
};

// A scratch file that the programs open by its path, in a private directory
// on /dev/shm (or /tmp), removed at exit; the harness keeps `fd` open to
// fill and read it. Not a /proc/self/fd name: the block files take such
// names for descriptors the program was given.
struct MemoryFile {
  int fd = -1;
  char path[256] = {};
};
void open_memory_file(MemoryFile* file, const char* name);
void fill_memory_file(const MemoryFile& file, const uint8_t* data, size_t size);
// The whole content, up to `capacity` bytes; returns the file size.
size_t read_memory_file(const MemoryFile& file, uint8_t* into, size_t capacity);

}  // namespace digisonde16c

#endif  // FUZZ_FUZZ_SUPPORT_H_
