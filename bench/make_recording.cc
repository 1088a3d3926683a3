// Writes a recording of 128- or 256-gate groups for the benchmarks, built
// from preface digits and sample codes with the tests' block builder.
//   make_recording <file> <blocks> <gates: 128|256> [seed]
// Every block is a valid quiet group whose time advances by ten seconds per
// block, whose frequency steps through a sweep, and whose codes look like a
// sounding: noise codes near a floor, a few echo gates, phases at random.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "tools/block_builder.h"

using namespace digisonde16c;

namespace {

// xorshift64*: fast, deterministic across runs and machines.
struct Random {
  uint64_t state;
  uint32_t next() {
    state ^= state >> 12;
    state ^= state << 25;
    state ^= state >> 27;
    return static_cast<uint32_t>((state * 0x2545F4914F6CDD1Dull) >> 32);
  }
  int below(int n) { return static_cast<int>(next() % static_cast<uint32_t>(n)); }
};

void set_time(BlockDraft* draft, long seconds_of_day, int day) {
  char digits[32];
  long h = seconds_of_day / 3600, m = seconds_of_day / 60 % 60, s = seconds_of_day % 60;
  std::snprintf(digits, sizeof digits, "24%03d%02ld%02ld%02ld", day, h, m, s);
  set_digits(draft, 1, digits);
}

void set_frequency(BlockDraft* draft, int step) {
  // 1.000 to 15.950 MHz in 50 kHz steps: digits 20-25 "0ddddd".
  int khz10 = 100 + 5 * (step % 300);  // in units of 10 kHz
  char digits[32];
  std::snprintf(digits, sizeof digits, "%02d%02d00", khz10 / 100, khz10 % 100);
  set_digits(draft, 20, digits);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: make_recording <file> <blocks> <128|256> [seed]\n");
    return 2;
  }
  const char* path = argv[1];
  long blocks = std::atol(argv[2]);
  int gates = std::atoi(argv[3]);
  uint64_t seed = argc > 4 ? std::strtoull(argv[4], nullptr, 10) : 1;
  if (blocks < 0 || (gates != 128 && gates != 256)) {
    std::fprintf(stderr, "make_recording: bad block count or gate count\n");
    return 2;
  }
  std::FILE* file = std::fopen(path, "wb");
  if (file == nullptr) {
    std::perror(path);
    return 1;
  }
  Random random{seed * 0x9E3779B97F4A7C15ull + 1};
  for (long b = 0; b < blocks; ++b) {
    BlockDraft draft;
    set_default_preface(&draft);
    set_digit(&draft, 45, 1);
    if (gates == 256) {
      set_digit(&draft, 54, 8);
      set_digit(&draft, 44, 8);
    }
    set_time(&draft, (4 * 3600 + 10 * b) % 86400, static_cast<int>(123 + (4 * 3600 + 10 * b) / 86400) % 366);
    set_frequency(&draft, static_cast<int>(b));
    set_digit(&draft, 53, random.below(3));  // gain 0, 6 or 12 dB
    set_digit(&draft, 46, random.below(2) * 8);  // either amplitude scale
    int floor = 20 + random.below(40);
    for (int g = 1; g <= 128; ++g) {
      bool echo = random.below(16) == 0;
      for (int c = 1; c <= 16; ++c) {
        int code = floor + random.below(12) + (echo ? 60 + random.below(120) : 0);
        set_amplitude_code(&draft, g, c, static_cast<uint8_t>(code > 255 ? 255 : code));
        set_phase_code(&draft, g, c, static_cast<uint8_t>(random.below(256)));
      }
    }
    std::string bytes = block_bytes(draft);
    if (std::fwrite(bytes.data(), 1, bytes.size(), file) != bytes.size()) {
      std::perror(path);
      return 1;
    }
  }
  if (std::fclose(file) != 0) {
    std::perror(path);
    return 1;
  }
  return 0;
}
