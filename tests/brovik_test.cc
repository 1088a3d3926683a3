// Whole-program tests of brovik: the copy it writes and how it ends.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/program_output.h"
#include "tests/support/run_program.h"

namespace {

const char kMissingArguments[] = " brovik-> ERROR: Input & Output files must be specified\n";

std::string block_with_header(unsigned char b1, unsigned char b2, unsigned char b3,
                              unsigned char b4) {
  std::string block(4096, '\x5A');
  block[0] = static_cast<char>(b1);
  block[1] = static_cast<char>(b2);
  block[2] = static_cast<char>(b3);
  block[3] = static_cast<char>(b4);
  return block;
}

TEST(Brovik, ForcesKindTwelveIntoEveryBlockHeader) {
  static const struct {
    unsigned char in[4];
    unsigned char out[4];
  } cases[] = {
      {{0x00, 0x01, 0x00, 0x00}, {0x0C, 0x00, 0x01, 0x01}},
      {{0x0C, 0xFE, 0x01, 0x01}, {0x0C, 0xFE, 0x01, 0x01}},
      {{0x3F, 0xFF, 0xFE, 0x80}, {0x3C, 0xFE, 0xFF, 0x81}},
      {{0xF1, 0x00, 0xFF, 0xFF}, {0xFC, 0x00, 0xFF, 0xFF}},
  };
  TempDir dir;
  std::string input, expected;
  for (const auto& c : cases) {
    input += block_with_header(c.in[0], c.in[1], c.in[2], c.in[3]);
    expected += block_with_header(c.out[0], c.out[1], c.out[2], c.out[3]);
  }
  std::string in = dir.write("in.16c", input);
  std::string out = dir.path() + "/out.16c";
  ProgramResult r = run_program("brovik", {in, out, "ignored"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(read_file(out), expected);
  EXPECT_EQ(read_file(in), input) << "the input must stay as it was";

  // Repairing the repaired copy changes nothing.
  std::string again = dir.path() + "/again.16c";
  EXPECT_EQ(run_program("brovik", {out, again}).status, 0);
  EXPECT_EQ(read_file(again), expected);
}

TEST(Brovik, MissingArgumentsGiveTheMessageAndCreateNothing) {
  TempDir dir;
  std::string in = dir.write("in.16c", std::string(4096, '\0'));
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{}, std::vector<std::string>{in}}) {
    ProgramResult r = run_program("brovik", args);
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, kMissingArguments);
  }
  ProgramResult r = run_shell("cd '" + dir.path() + "' && brovik; ls");
  EXPECT_EQ(r.out, "in.16c\n");
}

TEST(Brovik, TheOutputHoldsExactlyTheCopy) {
  TempDir dir;
  std::string out = dir.path() + "/out.16c";
  static const struct {
    size_t input_size;
    size_t old_output_size;
  } cases[] = {{4096, 5 * 4096 + 17}, {0, 9000}, {8000, 0}, {0, 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.input_size) + " over " +
                 std::to_string(c.old_output_size));
    std::string in = dir.write("in.16c", std::string(c.input_size, '\x0C'));
    dir.write("out.16c", std::string(c.old_output_size, '\x33'));
    ProgramResult r = run_program("brovik", {in, out});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(read_file(out).size(), (c.input_size + 4095) / 4096 * 4096);
  }
}

TEST(Brovik, FailedOpensGiveTheDiagnosticAndCreateNoOutput) {
  TempDir dir;
  std::string missing = dir.path() + "/missing.16c";
  std::string out = dir.path() + "/out.16c";
  std::string in = dir.write("in.16c", std::string(4096, '\0'));
  std::string nowhere = dir.path() + "/no/such/dir/out.16c";
  const struct {
    std::string input, output;
    std::string err;
  } cases[] = {
      {missing, out, open_failure("No such file or directory", 10, missing)},
      {in, nowhere, open_failure("No such file or directory", 11, nowhere)},
      {dir.path(), out, open_failure("Is a directory", 10, dir.path())},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.input + " to " + c.output);
    ProgramResult r = run_program("brovik", {c.input, c.output});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, c.err);
    EXPECT_FALSE(file_exists(out));
  }
}

TEST(Brovik, AFailedWriteIsReportedAndEndsWithFailure) {
  TempDir dir;
  std::string in = dir.write("in.16c", std::string(3 * 4096, '\x0C'));
  ProgramResult r = run_program("brovik", {in, "/dev/full"});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.err, " brovik-> ERROR: cannot write /dev/full: No space left on device\n");
}

TEST(Brovik, CopiesFromAndToPipes) {
  TempDir dir;
  std::string input = std::string(4096, '\x10') + std::string(50, '\x11');
  std::string in = dir.write("in.16c", input);
  std::string expected = repaired(input);

  ProgramResult r = run_shell("cat '" + in + "' | brovik /dev/stdin /dev/stdout | cat > '" +
                              dir.path() + "/piped.16c'");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(read_file(dir.path() + "/piped.16c"), expected);

  // Standard output redirected to a file: `>` writes the copy, `>>` adds it
  // after what the file held.
  std::string target = dir.write("target.16c", "earlier bytes");
  r = run_shell("brovik '" + in + "' /dev/stdout > '" + target + "'");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(read_file(target), expected);
  r = run_shell("brovik '" + in + "' /dev/stdout >> '" + target + "'");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(read_file(target), expected + expected);
  r = run_shell("brovik '" + in + "' /dev/fd/3 3>> '" + target + "'");
  EXPECT_EQ(read_file(target), expected + expected + expected);
}

}  // namespace
