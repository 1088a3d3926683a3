// brovik: copies a recording block by block and forces the first four bytes
// of every block so that it reads as a data block of kind 12.
#include "blockio/text_sink.h"
#include "repair/brovik_run.h"

int main(int argc, char** argv) {
  int status = run_brovik(argc, argv, standard_error());
  flush_standard_sinks();
  return status;
}
