// The whole tolvek run in process: an arbitrary command line over an
// arbitrary recording of up to four blocks and a partial one.
//
// Input: an argument count byte, then one token per argument (an option
// word, the recording's path, a number, or a short text), then the
// recording's bytes.
#include <cstdint>
#include <cstring>
#include <string>

#include "blockio/block_file.h"
#include "blockio/exit_status.h"
#include "decoder/command_line.h"
#include "decoder/decoder_run.h"
#include "fuzz/fuzz_support.h"

using namespace digisonde16c;

namespace {

constexpr size_t kMaxRecording = 4 * 4096 + 4095;
constexpr int kMaxArguments = 9;

char out_storage[1 << 18];
char err_storage[1 << 16];
char scratch_storage[1 << 12];

const char* const kWords[] = {"-v", "-h", "-f", "-a", "-p", "-s", "-c", "-t"};
const char* const kNumbers[] = {"2.5", "2.5025", "5", "-3", "1E3", "0.02", "3D-1",
                                "1e39", "+.5", "7,", " 4", "1e", "-", "."};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static MemoryFile recording;
  if (recording.fd < 0) open_memory_file(&recording, "recording");

  InputReader in{data, size};
  int argc = 1 + in.byte() % kMaxArguments;
  std::string arguments[kMaxArguments + 1];
  arguments[0] = "tolvek";
  for (int i = 1; i < argc; ++i) {
    uint8_t token = in.byte();
    switch (token % 12) {
      case 8:
        arguments[i] = recording.path;
        break;
      case 9:
        arguments[i] = kNumbers[in.byte() % (sizeof kNumbers / sizeof kNumbers[0])];
        break;
      case 10: {
        // A short text; no '/' so that only names in the working directory
        // are looked for.
        int length = in.byte() % 130;
        for (int k = 0; k < length; ++k) {
          char c = static_cast<char>(in.byte());
          arguments[i] += c == '\0' ? ' ' : c == '/' ? '_' : c;
        }
        break;
      }
      case 11:
        arguments[i] = std::string(recording.path) + std::string(token % 5, ' ');
        break;
      default:
        arguments[i] = kWords[token % 8];
    }
  }
  char* argv[kMaxArguments + 1];
  for (int i = 0; i < argc; ++i) argv[i] = &arguments[i][0];
  argv[argc] = nullptr;

  size_t length = in.left() < kMaxRecording ? in.left() : kMaxRecording;
  fill_memory_file(recording, data + in.at, length);

  // What the command line asks for, read aside to know what to expect.
  TextSink scratch = memory_sink(scratch_storage, sizeof scratch_storage);
  RunOptions options;
  CommandLineAction action = read_command_line(argc, argv, &options, &scratch, &scratch);

  reset_block_files();
  TextSink out = memory_sink(out_storage, sizeof out_storage);
  TextSink err = memory_sink(err_storage, sizeof err_storage);
  int status = run_tolvek(argc, argv, &out, &err);
  switch (action) {
    case CommandLineAction::kUsage:
      FUZZ_CHECK(status == kExitSuccess && sink_total(err) == 0);
      break;
    case CommandLineAction::kNoArguments:
      FUZZ_CHECK(argc == 1 && sink_total(out) == 0);
      break;
    case CommandLineAction::kBadValue:
      FUZZ_CHECK(status == kExitFailure && sink_total(out) == 0 && sink_total(err) > 0);
      break;
    case CommandLineAction::kRun: {
      // A recording in memory is always opened and read to its end.
      std::string name(options.file_name, trimmed_length(options.file_name));
      if (name == recording.path) FUZZ_CHECK(status == kExitSuccess);
      break;
    }
  }
  FUZZ_CHECK(status == kExitSuccess || status == kExitFailure || status == kExitMissing);
  FUZZ_CHECK(is_plain_text(out));
  // A missing file is reported by the status alone.
  if (status == kExitMissing && argc > 1) FUZZ_CHECK(sink_total(out) + sink_total(err) == 0);
  return 0;
}
