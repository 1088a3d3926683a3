// Exit statuses of the three programs, and the end of a run.
#ifndef BLOCKIO_EXIT_STATUS_H_
#define BLOCKIO_EXIT_STATUS_H_

namespace digisonde16c {

enum ExitStatus {
  kExitSuccess = 0,
  // A failed open, an unreadable option value, a read or write failure.
  kExitFailure = 2,
  // Missing arguments or a missing recording: -1 as the parent sees it.
  kExitMissing = 255,
};

// Flushes standard error and standard output at the end of `program`'s run.
// Output that did not reach standard output is reported there as
// " <program>-> ERROR: cannot write standard output: <reason>" and makes a
// successful run a failed one. Returns the status to exit with.
int finish_run(const char* program, int status);

}  // namespace digisonde16c

#endif  // BLOCKIO_EXIT_STATUS_H_
