// tolvek: decodes every group of a 16C recording and prints plot rows,
// threshold rows, amplitude and phase tables.
#include "blockio/block_file.h"
#include "blockio/exit_status.h"
#include "blockio/text_sink.h"
#include "decoder/command_line.h"
#include "decoder/decoder_run.h"

int main(int argc, char** argv) {
  RunOptions options;
  int status;
  switch (read_command_line(argc, argv, &options, standard_output(), standard_error())) {
    case CommandLineAction::kUsage:
      status = kExitSuccess;
      break;
    case CommandLineAction::kNoArguments:
      status = kExitMissing;
      break;
    case CommandLineAction::kBadValue:
      status = kExitFailure;
      break;
    case CommandLineAction::kRun:
    default:
      status = run_decoder(options, standard_output(), standard_error());
      break;
  }
  if (flush_standard_sinks() != 0 && standard_output()->error != 0) {
    // Output that did not reach its destination is a failed run.
    write_transfer_error(standard_error(), "tolvek", "write", "standard output",
                         standard_output()->error);
    flush_sink(standard_error());
    if (status == kExitSuccess) status = kExitFailure;
  }
  return status;
}
