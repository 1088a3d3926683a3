// Reads that fail after a good open are reported and end with status 2: a
// read is never taken for the end of the recording. (Output that does not
// reach standard output: Fault.AFullStandardOutputIsReportedAndFails.)
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/run_program.h"

namespace {

TEST(ReadFailure, EachProgramReportsItAndFails) {
  TempDir dir;
  const std::string source = "/proc/self/mem";
  const struct {
    const char* program;
    std::vector<std::string> args;
    const char* err;
  } cases[] = {
      {"kesp", {source}, " kesp-> ERROR: cannot read /proc/self/mem: Input/output error\n"},
      {"tolvek", {"-s", source},
       " tolvek-> ERROR: cannot read /proc/self/mem: Input/output error\n"},
      {"brovik", {source, dir.path() + "/copy.16c"},
       " brovik-> ERROR: cannot read /proc/self/mem: Input/output error\n"},
  };
  // Reading /proc/self/mem from offset 0 fails with EIO.
  for (const auto& c : cases) {
    SCOPED_TRACE(c.program);
    ProgramResult r = run_program(c.program, c.args);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(r.status, 2);
  }
}

}  // namespace
