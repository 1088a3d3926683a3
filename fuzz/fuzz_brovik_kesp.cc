// brovik and kesp in process on an arbitrary recording, checked against
// what their output must be: kesp's lines hold the first 20 bytes of every
// block; brovik's copy is exactly the input padded to whole blocks with
// every header repaired, whatever the output file held before.
//
// Input: a selector byte (bits 0-1: brovik's argument count, 0 to 3; bit 2:
// repair in place; bits 3-7: the old output's length in blocks plus one
// byte), then the recording's bytes.
#include <cstdint>
#include <cstring>
#include <string>

#include "blockio/block_file.h"
#include "blockio/exit_status.h"
#include "dump/kesp_run.h"
#include "fuzz/fuzz_support.h"
#include "repair/brovik_run.h"
#include "tests/support/program_output.h"

using namespace digisonde16c;

namespace {

constexpr size_t kMaxRecording = 5 * 4096 + 4095;
constexpr size_t kMaxCopy = 64 * 4096;

char out_storage[1 << 18];
char err_storage[1 << 16];
uint8_t copy[kMaxCopy];

void check_kesp(const MemoryFile& recording, const std::string& bytes) {
  reset_block_files();
  char program[] = "kesp";
  char* argv[] = {program, const_cast<char*>(recording.path), nullptr};
  TextSink out = memory_sink(out_storage, sizeof out_storage);
  TextSink err = memory_sink(err_storage, sizeof err_storage);
  FUZZ_CHECK(run_kesp(2, argv, &out, &err) == kExitSuccess);
  FUZZ_CHECK(sink_total(err) == 0);
  FUZZ_CHECK(out.discarded == 0);
  FUZZ_CHECK(std::string(out.data, out.length) == dump_lines(bytes));
}

void check_brovik(const MemoryFile& recording, const MemoryFile& output, uint8_t selector,
                  const std::string& bytes) {
  int argc = 1 + selector % 4;
  bool in_place = selector & 4;
  size_t old_length = (selector >> 3) * 4096 / 3 + 1;
  if (!in_place) {
    std::memset(copy, 0x5A, old_length);
    fill_memory_file(output, copy, old_length);
  }

  reset_block_files();
  char program[] = "brovik";
  char extra[] = "ignored";
  char* argv[] = {program, const_cast<char*>(recording.path),
                  const_cast<char*>(in_place ? recording.path : output.path), extra,
                  nullptr};
  TextSink err = memory_sink(err_storage, sizeof err_storage);
  int status = run_brovik(argc, argv, &err);
  if (argc < 3) {
    FUZZ_CHECK(status == kExitMissing);
    FUZZ_CHECK(std::string(err.data, err.length) ==
               " brovik-> ERROR: Input & Output files must be specified\n");
    return;
  }
  FUZZ_CHECK(status == kExitSuccess);
  FUZZ_CHECK(sink_total(err) == 0);

  // The copy ends with its last block: an older, longer output is cut.
  const std::string expected = repaired(bytes);
  size_t size = read_memory_file(in_place ? recording : output, copy, sizeof copy);
  FUZZ_CHECK(size == expected.size());
  FUZZ_CHECK(std::memcmp(copy, expected.data(), size) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static MemoryFile recording, output;
  if (recording.fd < 0) {
    open_memory_file(&recording, "recording");
    open_memory_file(&output, "output");
  }
  InputReader in{data, size};
  uint8_t selector = in.byte();
  size_t length = in.left() < kMaxRecording ? in.left() : kMaxRecording;
  fill_memory_file(recording, data + in.at, length);
  const std::string bytes(reinterpret_cast<const char*>(data + in.at), length);

  check_kesp(recording, bytes);
  check_brovik(recording, output, selector, bytes);
  return 0;
}
