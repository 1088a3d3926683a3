// kesp: prints the first 20 bytes of every block of a recording in
// hexadecimal, one line per block.
#include "blockio/block_file.h"
#include "blockio/exit_status.h"
#include "blockio/text_sink.h"
#include "dump/kesp_run.h"

int main(int argc, char** argv) {
  int status = run_kesp(argc, argv, standard_output(), standard_error());
  if (flush_standard_sinks() != 0 && standard_output()->error != 0 &&
      status == kExitSuccess) {
    write_transfer_error(standard_error(), "kesp", "write", "standard output",
                         standard_output()->error);
    flush_sink(standard_error());
    status = kExitFailure;
  }
  return status;
}
