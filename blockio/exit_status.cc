#include "blockio/exit_status.h"

#include "blockio/free_form.h"
#include "blockio/text_sink.h"

namespace digisonde16c {

int finish_run(const char* program, int status) {
  flush_standard_sinks();
  TextSink* out = standard_output();
  if (out->error != 0) {
    write_transfer_error(standard_error(), program, "write", "standard output", out->error);
    flush_sink(standard_error());
    if (status == kExitSuccess) status = kExitFailure;
  }
  return status;
}

}  // namespace digisonde16c
