// Whole-program tests of kesp: the bytes it writes and how it ends.
#include <algorithm>
#include <string>

#include <gtest/gtest.h>

#include "tests/support/program_output.h"
#include "tests/support/run_program.h"

namespace {

TEST(Kesp, DumpsTheFirstTwentyBytesOfEveryBlockIncludingAPartialOne) {
  TempDir dir;
  static const struct {
    size_t size;
    int lines;
  } cases[] = {{0, 0}, {1, 1}, {4096, 1}, {4097, 2}, {8192 + 10, 3}, {10000, 3}};
  for (const auto& c : cases) {
    SCOPED_TRACE("size " + std::to_string(c.size));
    std::string bytes = patterned_bytes(c.size);
    std::string path = dir.write("rec.16c", bytes);
    ProgramResult r = run_program("kesp", {path});
    EXPECT_EQ(r.out, dump_lines(bytes));
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), c.lines);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
  }
}

TEST(Kesp, FailedOpensGiveTheThreeLineDiagnosticAndFailureStatus) {
  TempDir dir;
  std::string missing = dir.path() + "/missing.16c";
  struct Case {
    std::vector<std::string> args;
    std::string err;
  };
  const Case cases[] = {
      {{}, open_failure("null file name", 1, "")},
      {{"   "}, open_failure("null file name", 1, "")},
      {{missing}, open_failure("No such file or directory", 1, missing)},
      {{missing + "  "}, open_failure("No such file or directory", 1, missing)},
      {{dir.path()}, open_failure("Is a directory", 1, dir.path())},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args.empty() ? "(no argument)" : "'" + c.args[0] + "'");
    ProgramResult r = run_program("kesp", c.args);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(r.status, 2);
  }
}

TEST(Kesp, NamesAreUsedWholeAndWithoutTrailingBlanks) {
  TempDir dir;
  // A name far longer than 120 characters must not be cut.
  std::string long_name(150, 'n');
  std::string bytes = patterned_bytes(5000);
  std::string path = dir.write(long_name, bytes);
  for (const std::string& arg : {path, path + "   "}) {
    ProgramResult r = run_program("kesp", {arg, "ignored"});
    EXPECT_EQ(r.out, dump_lines(bytes));
    EXPECT_EQ(r.status, 0);
  }
}

}  // namespace
