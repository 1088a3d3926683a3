// tolvek: decodes every group of a 16C recording and prints plot rows,
// threshold rows, amplitude and phase tables.
#include "blockio/exit_status.h"
#include "blockio/text_sink.h"
#include "decoder/decoder_run.h"

using namespace digisonde16c;

int main(int argc, char** argv) {
  return finish_run("tolvek", run_tolvek(argc, argv, standard_output(), standard_error()));
}
