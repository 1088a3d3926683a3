#include "dump/kesp_run.h"

#include <cstdint>

#include "blockio/block_file.h"
#include "blockio/exit_status.h"
#include "blockio/format_plan.h"
#include "blockio/free_form.h"
#include "blockio/line_layout.h"

namespace digisonde16c {

namespace {

constexpr int kShownBytes = 20;
constexpr char kDumpLineFormat[] = "('Read-> ',20(1X,Z2.2))";

// Writes one line per block until the end of the recording or a failure of
// `out`. Returns the errno of a read failure, or 0.
int dump_blocks(const LineLayout& line, TextSink* out) {
  unsigned char block[kBlockSize];
  while (!read4kb(kDumpUnit, block)) {
    write_layout_bytes(out, line, block);
    // Nothing more can reach a failed output; reading on would be wasted.
    if (out->error != 0) return 0;
  }
  return block_read_error(kDumpUnit);
}

}  // namespace

int run_kesp(int argc, char** argv, TextSink* out, TextSink* err) {
  const char* name = argc > 1 ? argv[1] : "";
  // The dump line's format, parsed and laid out once for 20 items. It is
  // fixed, so only a fault in the format engine fails here; the run then
  // fails before it writes anything, which every test of kesp's output
  // would catch.
  FormatPlan plan;
  LineLayout line;
  if (!parse_format(kDumpLineFormat, &plan) ||
      !compile_layout(plan, kShownBytes, &line)) {
    return kExitFailure;
  }

  int error = open_block_file(kDumpUnit, name, OpenStatus::kOld);
  if (error != 0) {
    write_open_diagnostic(err, error, kDumpUnit, name, false);
    return kExitFailure;
  }
  error = dump_blocks(line, out);
  close_block_file(kDumpUnit, false);
  if (error != 0) {
    write_transfer_error(err, "kesp", "read", name, error);
    return kExitFailure;
  }
  return kExitSuccess;
}

}  // namespace digisonde16c
