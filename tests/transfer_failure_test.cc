// Transfers that fail after a good open are reported and end with status 2:
// a read is never taken for the end of the recording, and output that did
// not reach its destination is never reported as success.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tools/block_builder.h"
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

TEST(WriteFailure, StandardOutputOnAFullDeviceIsReported) {
  TempDir dir;
  BlockDraft group;
  set_default_preface(&group);
  set_digit(&group, 45, 1);
  std::string path = dir.write("rec.16c", block_bytes(group));
  static const struct {
    const char* command;
    const char* err;
  } cases[] = {
      {"kesp ", " kesp-> ERROR: cannot write standard output: No space left on device\n"},
      {"tolvek -s ",
       " tolvek-> ERROR: cannot write standard output: No space left on device\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.command);
    ProgramResult r = run_shell(c.command + path + " > /dev/full");
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(r.status, 2);
  }
}

}  // namespace
