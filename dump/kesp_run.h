// kesp's run: one line with the first 20 bytes of every block of a recording.
#ifndef DUMP_KESP_RUN_H_
#define DUMP_KESP_RUN_H_

#include "blockio/text_sink.h"

namespace digisonde16c {

// The unit on which the recording is opened.
constexpr int kDumpUnit = 1;

// Opens the recording named by argv[1] (all blanks when there is none) and
// writes "('Read-> ',20(1X,Z2.2))" lines to `out`, messages to `err`.
// Stops early once `out` has failed. Returns the exit status; the caller
// flushes the sinks and reports a failure of standard output.
int run_kesp(int argc, char** argv, TextSink* out, TextSink* err);

}  // namespace digisonde16c

#endif  // DUMP_KESP_RUN_H_
