// kesp: prints the first 20 bytes of every block of a recording in
// hexadecimal, one line per block.
#include <cstdint>

#include "blockio/block_file.h"
#include "blockio/column_format.h"
#include "blockio/exit_status.h"
#include "blockio/text_sink.h"

namespace {

constexpr int kUnit = 1;
constexpr int kShownBytes = 20;

// Writes one line per block until the end of the recording. Returns the
// errno of a read failure, or 0 at the plain end.
int dump_blocks(const FormatPlan& line, TextSink* out) {
  unsigned char block[kBlockSize];
  Item items[kShownBytes];
  while (!read4kb(kUnit, block)) {
    for (int i = 0; i < kShownBytes; ++i) {
      items[i] = byte_item(static_cast<int8_t>(block[i]));
    }
    write_formatted(out, line, items, kShownBytes);
  }
  return block_read_error(kUnit);
}

}  // namespace

int main(int argc, char** argv) {
  const char* name = argc > 1 ? argv[1] : "";
  FormatPlan line;
  parse_format("('Read-> ',20(1X,Z2.2))", &line);

  int status = kExitSuccess;
  int error = open_block_file(kUnit, name, OpenStatus::kOld);
  if (error != 0) {
    write_open_diagnostic(standard_error(), error, kUnit, name, false);
    status = kExitFailure;
  } else {
    error = dump_blocks(line, standard_output());
    if (error != 0) {
      write_transfer_error(standard_error(), "kesp", "read", name, error);
      status = kExitFailure;
    }
    close_block_file(kUnit, false);
  }
  if (flush_standard_sinks() != 0 && status == kExitSuccess) {
    write_transfer_error(standard_error(), "kesp", "write", "standard output",
                         standard_output()->error);
    flush_sink(standard_error());
    status = kExitFailure;
  }
  return status;
}
