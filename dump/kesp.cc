// kesp: prints the first 20 bytes of every block of a recording in
// hexadecimal, one line per block.
#include "blockio/exit_status.h"
#include "blockio/text_sink.h"
#include "dump/kesp_run.h"

using namespace digisonde16c;

int main(int argc, char** argv) {
  return finish_run("kesp", run_kesp(argc, argv, standard_output(), standard_error()));
}
