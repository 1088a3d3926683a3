// Whole-program tests of kesp: the bytes it writes and how it ends.
#include <cstdio>
#include <string>

#include <gtest/gtest.h>

#include "tests/support/run_program.h"

namespace {

// A recording whose byte i is (i * 7 + i / 4096) mod 256, so that every block
// starts differently.
std::string patterned_bytes(size_t size) {
  std::string bytes(size, '\0');
  for (size_t i = 0; i < size; ++i) {
    bytes[i] = static_cast<char>((i * 7 + i / 4096) % 256);
  }
  return bytes;
}

// The expected dump line, formed independently with printf-style hex.
std::string expected_line(const std::string& file, size_t block_start) {
  std::string line = "Read-> ";
  for (size_t i = 0; i < 20; ++i) {
    unsigned value = block_start + i < file.size()
                         ? static_cast<unsigned char>(file[block_start + i])
                         : 0u;
    char field[4];
    std::snprintf(field, sizeof field, "%02X", value);
    line += " ";
    line += field;
  }
  return line + "\n";
}

std::string open_failure(const std::string& message, int unit, const std::string& name) {
  return "open: " + message + "\napparent state: unit " + std::to_string(unit) +
         " named " + name + "\nlately writing direct unformatted external IO\n";
}

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
    std::string expected;
    for (int b = 0; b < c.lines; ++b) expected += expected_line(bytes, 4096u * b);
    EXPECT_EQ(r.out, expected);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
  }
}

TEST(Kesp, LinesAreSixtySevenCharactersWithTwoBlanksAfterTheArrow) {
  TempDir dir;
  std::string bytes(4096, '\0');
  bytes[0] = '\x0C';
  bytes[1] = '\x00';
  bytes[2] = '\x01';
  bytes[3] = '\xFF';
  ProgramResult r = run_program("kesp", {dir.write("r", bytes)});
  EXPECT_EQ(r.out,
            "Read->  0C 00 01 FF 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00\n");
  EXPECT_EQ(r.out.size(), 68u);
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
  std::string expected = expected_line(bytes, 0) + expected_line(bytes, 4096);
  for (const std::string& arg : {path, path + "   "}) {
    ProgramResult r = run_program("kesp", {arg, "ignored"});
    EXPECT_EQ(r.out, expected);
    EXPECT_EQ(r.status, 0);
  }
}

TEST(Kesp, PipesGiveTheSameLinesAsTheFile) {
  TempDir dir;
  std::string bytes = patterned_bytes(3 * 4096 + 100);
  std::string path = dir.write("rec.16c", bytes);
  ProgramResult from_file = run_program("kesp", {path});
  ASSERT_EQ(from_file.status, 0);
  ProgramResult from_stdin = run_program("kesp", {"/dev/stdin"}, &bytes);
  EXPECT_EQ(from_stdin.out, from_file.out);
  EXPECT_EQ(from_stdin.status, 0);
  ProgramResult from_cat = run_shell("cat '" + path + "' | kesp /dev/stdin");
  EXPECT_EQ(from_cat.out, from_file.out);
  ProgramResult substituted = run_shell("kesp <(cat '" + path + "')");
  EXPECT_EQ(substituted.out, from_file.out);
  EXPECT_EQ(substituted.status, 0);
}

}  // namespace
