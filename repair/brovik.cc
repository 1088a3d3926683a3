// brovik: copies a recording block by block and forces the first four bytes
// of every block so that it reads as a data block of kind 12.
#include <cstdint>

#include "blockio/block_file.h"
#include "blockio/exit_status.h"
#include "blockio/free_form.h"
#include "blockio/text_sink.h"

namespace {

constexpr int kInputUnit = 10;
constexpr int kOutputUnit = 11;

// Kind 12 in the low four bits of byte 1 and the matching kind marker in
// bit 0 of bytes 1 to 4 (0, 0, 1, 1); every other bit is kept.
void repair_block_header(unsigned char* block) {
  block[0] = static_cast<unsigned char>((block[0] & 0xF0) | 0x0C);
  block[1] = static_cast<unsigned char>(block[1] & 0xFE);
  block[2] = static_cast<unsigned char>(block[2] | 0x01);
  block[3] = static_cast<unsigned char>(block[3] | 0x01);
}

int fail_transfer(const char* verb, const char* name, int error) {
  write_transfer_error(standard_error(), "brovik", verb, name, error);
  return kExitFailure;
}

// Copies every block of the input to the output. Returns the exit status.
int copy_recording(const char* input, const char* output) {
  unsigned char block[kBlockSize];
  while (!read4kb(kInputUnit, block)) {
    repair_block_header(block);
    if (write4kb(kOutputUnit, block)) {
      return fail_transfer("write", output, block_write_error(kOutputUnit));
    }
  }
  if (int error = block_read_error(kInputUnit)) return fail_transfer("read", input, error);
  close_block_file(kInputUnit, false);
  // The output ends with the copy: bytes of an older, longer file go.
  if (int error = close_block_file(kOutputUnit, true)) {
    return fail_transfer("write", output, error);
  }
  return kExitSuccess;
}

int run(int argc, char** argv) {
  if (argc < 3) {
    FreeItem items[] = {free_text("brovik-> ERROR: Input & Output files "),
                        free_text("must be specified")};
    write_free_form(standard_error(), items, 2);
    return kExitMissing;
  }
  const char* input = argv[1];
  const char* output = argv[2];
  if (int error = open_block_file(kInputUnit, input, OpenStatus::kOld)) {
    write_open_diagnostic(standard_error(), error, kInputUnit, input, false);
    return kExitFailure;
  }
  if (int error = open_block_file(kOutputUnit, output, OpenStatus::kNone)) {
    write_open_diagnostic(standard_error(), error, kOutputUnit, output, false);
    return kExitFailure;
  }
  return copy_recording(input, output);
}

}  // namespace

int main(int argc, char** argv) {
  int status = run(argc, argv);
  flush_standard_sinks();
  return status;
}
