#include "repair/brovik_run.h"

#include "blockio/block_file.h"
#include "blockio/exit_status.h"
#include "blockio/free_form.h"

namespace digisonde16c {

namespace {

int fail_transfer(TextSink* err, const char* verb, const char* name, int error) {
  write_transfer_error(err, "brovik", verb, name, error);
  return kExitFailure;
}

// Copies every block of the input to the output. Returns the exit status.
int copy_recording(const char* input, const char* output, TextSink* err) {
  unsigned char block[kBlockSize];
  int write_error = 0;
  while (!read4kb(kInputUnit, block)) {
    repair_block_header(block);
    if (write4kb(kOutputUnit, block)) {
      write_error = block_write_error(kOutputUnit);
      break;
    }
  }
  int read_error = write_error != 0 ? 0 : block_read_error(kInputUnit);
  close_block_file(kInputUnit, false);
  // The blocks copied before a failure are kept; the output ends with the
  // copy, so bytes of an older, longer file go.
  int close_error = close_block_file(kOutputUnit, true);
  if (write_error != 0) return fail_transfer(err, "write", output, write_error);
  if (close_error != 0) return fail_transfer(err, "write", output, close_error);
  if (read_error != 0) return fail_transfer(err, "read", input, read_error);
  return kExitSuccess;
}

}  // namespace

void repair_block_header(unsigned char* block) {
  block[0] = static_cast<unsigned char>((block[0] & 0xF0) | 0x0C);
  block[1] = static_cast<unsigned char>(block[1] & 0xFE);
  block[2] = static_cast<unsigned char>(block[2] | 0x01);
  block[3] = static_cast<unsigned char>(block[3] | 0x01);
}

int run_brovik(int argc, char** argv, TextSink* err) {
  if (argc < 3) {
    FreeItem items[] = {free_text("brovik-> ERROR: Input & Output files "),
                        free_text("must be specified")};
    write_free_form(err, items, 2);
    return kExitMissing;
  }
  const char* input = argv[1];
  const char* output = argv[2];
  if (int error = open_block_file(kInputUnit, input, OpenStatus::kOld)) {
    write_open_diagnostic(err, error, kInputUnit, input, false);
    return kExitFailure;
  }
  if (int error = open_block_file(kOutputUnit, output, OpenStatus::kNone)) {
    write_open_diagnostic(err, error, kOutputUnit, output, false);
    close_block_file(kInputUnit, false);
    return kExitFailure;
  }
  return copy_recording(input, output, err);
}

}  // namespace digisonde16c
