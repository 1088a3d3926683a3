// brovik: copies a recording block by block and forces the first four bytes
// of every block so that it reads as a data block of kind 12.
#include "blockio/exit_status.h"
#include "blockio/text_sink.h"
#include "repair/brovik_run.h"

using namespace digisonde16c;

int main(int argc, char** argv) {
  return finish_run("brovik", run_brovik(argc, argv, standard_error()));
}
