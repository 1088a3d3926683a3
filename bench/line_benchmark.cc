// Cost of rendering one line with the column-format engine against printf
// writing the same characters, for lines whose programs spend most of their
// time elsewhere (kesp reads 4096 bytes for every 68-byte line).
#include <cstdio>
#include <random>
#include <vector>

#include <benchmark/benchmark.h>

#include "blockio/column_format.h"
#include "blockio/line_layout.h"
#include "blockio/text_sink.h"

using namespace digisonde16c;

namespace {

constexpr int kShownBytes = 20;

std::vector<unsigned char> random_blocks(int count) {
  std::mt19937 random(7);
  std::vector<unsigned char> bytes(static_cast<size_t>(count) * kShownBytes);
  for (auto& b : bytes) b = static_cast<unsigned char>(random());
  return bytes;
}

// /dev/null as a fully buffered stream, the buffer as large as the engine's
// sinks, so printf pays for formatting and not for system calls. One
// benchmark runs at a time, so they share the buffer.
std::FILE* open_null_stream() {
  static char buffer[1 << 18];
  std::FILE* out = std::fopen("/dev/null", "w");
  std::setvbuf(out, buffer, _IOFBF, sizeof buffer);
  return out;
}

// kesp's line through write_formatted.
void BM_KespLineEngine(benchmark::State& state) {
  FormatPlan line;
  parse_format("('Read-> ',20(1X,Z2.2))", &line);
  static char storage[1 << 18];
  TextSink sink = make_text_sink(-1, storage, sizeof storage);
  const int kLines = 1024;
  std::vector<unsigned char> bytes = random_blocks(kLines);
  int n = 0;
  for (auto _ : state) {
    const unsigned char* block = &bytes[static_cast<size_t>(n) * kShownBytes];
    Item items[kShownBytes];
    for (int i = 0; i < kShownBytes; ++i) items[i] = byte_item(static_cast<int8_t>(block[i]));
    write_formatted(&sink, line, items, kShownBytes);
    n = (n + 1) % kLines;
  }
  benchmark::DoNotOptimize(sink.discarded);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_KespLineEngine);

// kesp's line as kesp writes it: the block's bytes through the layout
// compiled once.
void BM_KespLineLayout(benchmark::State& state) {
  FormatPlan plan;
  parse_format("('Read-> ',20(1X,Z2.2))", &plan);
  static LineLayout line;
  compile_layout(plan, kShownBytes, &line);
  static char storage[1 << 18];
  TextSink sink = make_text_sink(-1, storage, sizeof storage);
  const int kLines = 1024;
  std::vector<unsigned char> bytes = random_blocks(kLines);
  int n = 0;
  for (auto _ : state) {
    const unsigned char* block = &bytes[static_cast<size_t>(n) * kShownBytes];
    write_layout_bytes(&sink, line, block);
    n = (n + 1) % kLines;
  }
  benchmark::DoNotOptimize(sink.discarded);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_KespLineLayout);

// The same line with one printf call per field.
void BM_KespLinePrintf(benchmark::State& state) {
  std::FILE* out = open_null_stream();
  const int kLines = 1024;
  std::vector<unsigned char> bytes = random_blocks(kLines);
  int n = 0;
  for (auto _ : state) {
    const unsigned char* block = &bytes[static_cast<size_t>(n) * kShownBytes];
    std::fputs("Read-> ", out);
    for (int i = 0; i < kShownBytes; ++i) std::fprintf(out, " %02X", block[i]);
    std::fputc('\n', out);
    n = (n + 1) % kLines;
  }
  std::fclose(out);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_KespLinePrintf);

// The same line with a single printf call.
void BM_KespLineOnePrintf(benchmark::State& state) {
  std::FILE* out = open_null_stream();
  const int kLines = 1024;
  std::vector<unsigned char> bytes = random_blocks(kLines);
  int n = 0;
  for (auto _ : state) {
    const unsigned char* b = &bytes[static_cast<size_t>(n) * kShownBytes];
    std::fprintf(out,
                 "Read->  %02X %02X %02X %02X %02X %02X %02X %02X %02X %02X"
                 " %02X %02X %02X %02X %02X %02X %02X %02X %02X %02X\n",
                 b[0], b[1], b[2], b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11],
                 b[12], b[13], b[14], b[15], b[16], b[17], b[18], b[19]);
    n = (n + 1) % kLines;
  }
  std::fclose(out);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_KespLineOnePrintf);

}  // namespace

BENCHMARK_MAIN();
