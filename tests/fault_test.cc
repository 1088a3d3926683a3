// Whole-program tests of the three programs on faulty inputs, outputs and
// arguments: named pipes, files that shrink after the open, partial last
// blocks, full and missing outputs, in-place repair, long and odd names.
// Each case states what the user sees and that no byte is lost or invented.
#include <sys/stat.h>

#include <cstdio>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tools/block_builder.h"
#include "tests/support/program_output.h"
#include "tests/support/run_program.h"

using namespace digisonde16c;

namespace {

// A group that tolvek decodes without messages (L = 1), with `tag` in
// amplitude codes so that groups differ.
std::string group_block(uint8_t tag) {
  BlockDraft draft;
  set_default_preface(&draft);
  set_digit(&draft, 45, 1);
  for (int g = 1; g <= 128; ++g) {
    for (int c = 1; c <= 16; ++c) {
      set_amplitude_code(&draft, g, c, static_cast<uint8_t>(tag + g + c));
      set_phase_code(&draft, g, c, static_cast<uint8_t>(g * c));
    }
  }
  return block_bytes(draft);
}

// The text as one shell word (the tests' names hold no apostrophe).
std::string shell_word(const std::string& text) { return "'" + text + "'"; }

TEST(Fault, NamedPipesAreReadLikeFiles) {
  TempDir dir;
  std::string bytes = group_block(1) + group_block(2) + std::string(100, '\x0C');
  std::string file = dir.write("rec.16c", bytes);
  ProgramResult decoded = run_program("tolvek", {"-a", file});
  ASSERT_EQ(decoded.status, 0);
  ASSERT_NE(decoded.out, "");
  std::string fifo = dir.path() + "/fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  std::string copy = dir.path() + "/copy.16c";

  static const struct {
    const char* command;
    const char* what;
  } cases[] = {
      {"kesp FIFO", "dump"},
      {"tolvek -a FIFO", "decode"},
      {"brovik FIFO COPY", "repair"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.command);
    std::string command = c.command;
    command.replace(command.find("FIFO"), 4, shell_word(fifo));
    if (command.find("COPY") != std::string::npos) {
      command.replace(command.find("COPY"), 4, shell_word(copy));
    }
    ProgramResult r =
        run_shell("cat " + shell_word(file) + " > " + shell_word(fifo) + " & " + command +
                  "; wait");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    std::string what = c.what;
    if (what == "dump") {
      EXPECT_EQ(r.out, dump_lines(bytes));
    } else if (what == "decode") {
      EXPECT_EQ(r.out, decoded.out);
    } else {
      EXPECT_EQ(r.out, "");
      EXPECT_EQ(read_file(copy), repaired(bytes));
    }
  }

  // A writer that sends nothing: an empty recording.
  ProgramResult r =
      run_shell(": > " + shell_word(fifo) + " & kesp " + shell_word(fifo) + "; wait");
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.status, 0);
}

// The start of a command line that runs a program with the file faults of
// `settings` (tests/support/file_faults.cc) on the file `path`. A sanitizer
// build's runtime is told to accept the preloaded library before it.
std::string with_faults(const std::string& path, const std::string& settings) {
  return std::string("LD_PRELOAD=") + FILE_FAULTS_LIBRARY +
         " ASAN_OPTIONS=verify_asan_link_order=0 FAULT_PATH=" + shell_word(path) + " " +
         settings + " ";
}

// The file is cut to `size` bytes after the program has opened it and before
// its first read: the programs read what is left, padded to a whole block,
// and end normally.
TEST(Fault, AFileThatShrinksAfterTheOpenIsReadAsItIsLeft) {
  static const size_t kSizes[] = {0, 1, 4096, 4096 + 10, 2 * 4096 + 4095};
  std::string bytes = group_block(1) + group_block(2) + group_block(3);
  for (size_t size : kSizes) {
    SCOPED_TRACE("shrunk to " + std::to_string(size));
    TempDir dir;
    std::string left = bytes.substr(0, size);
    std::string reference = dir.write("left.16c", left);
    ProgramResult decoded = run_program("tolvek", {"-a", reference});
    ASSERT_EQ(decoded.status, 0);

    std::string rec = dir.path() + "/rec.16c";
    std::string copy = dir.path() + "/copy.16c";
    std::string preload = with_faults(rec, "SHRINK_SIZE=" + std::to_string(size));
    dir.write("rec.16c", bytes);
    ProgramResult dump = run_shell(preload + "kesp " + shell_word(rec));
    EXPECT_EQ(dump.out, dump_lines(left));
    EXPECT_EQ(dump.err, "");
    EXPECT_EQ(dump.status, 0);

    dir.write("rec.16c", bytes);
    ProgramResult decode = run_shell(preload + "tolvek -a " + shell_word(rec));
    EXPECT_EQ(decode.out, decoded.out);
    EXPECT_EQ(decode.err, decoded.err);
    EXPECT_EQ(decode.status, 0);

    dir.write("rec.16c", bytes);
    ProgramResult repair =
        run_shell(preload + "brovik " + shell_word(rec) + " " + shell_word(copy));
    EXPECT_EQ(repair.out, "");
    EXPECT_EQ(repair.err, "");
    EXPECT_EQ(repair.status, 0);
    EXPECT_EQ(read_file(copy), repaired(left));
  }
}

// Reads fail from block 71 on, after more blocks than one transfer chunk:
// every block before the bad spot is delivered, then the failure is
// reported and the run fails; brovik's copy keeps those 70 blocks.
TEST(Fault, AReadFailureInsideTheRecordingKeepsEverythingBeforeIt) {
  TempDir dir;
  constexpr size_t kGoodBlocks = 70;
  std::string bytes;
  for (int b = 0; b < 100; ++b) bytes += group_block(static_cast<uint8_t>(b));
  std::string good = bytes.substr(0, kGoodBlocks * 4096);
  std::string rec = dir.write("rec.16c", bytes);
  ProgramResult decoded = run_program("tolvek", {"-a", dir.write("good.16c", good)});
  ASSERT_EQ(decoded.status, 0);
  std::string faults = with_faults(rec, "FAIL_OFFSET=" + std::to_string(kGoodBlocks * 4096));
  std::string failure = "-> ERROR: cannot read " + rec + ": Input/output error\n";

  ProgramResult dump = run_shell(faults + "kesp " + shell_word(rec));
  EXPECT_EQ(dump.out, dump_lines(good));
  EXPECT_EQ(dump.err, " kesp" + failure);
  EXPECT_EQ(dump.status, 2);
  // The 70 lines wait in the output buffer; when they cannot be written at
  // the end, that is reported after the read failure.
  dump = run_shell(faults + "kesp " + shell_word(rec) + " > /dev/full");
  EXPECT_EQ(dump.err, " kesp" + failure +
                          " kesp-> ERROR: cannot write standard output: No space left on device\n");
  EXPECT_EQ(dump.status, 2);

  ProgramResult decode = run_shell(faults + "tolvek -a " + shell_word(rec));
  EXPECT_EQ(decode.out, decoded.out);
  EXPECT_EQ(decode.err, " tolvek" + failure);
  EXPECT_EQ(decode.status, 2);

  std::string copy = dir.path() + "/copy.16c";
  ProgramResult repair = run_shell(faults + "brovik " + shell_word(rec) + " " + shell_word(copy));
  EXPECT_EQ(repair.out, "");
  EXPECT_EQ(repair.err, " brovik" + failure);
  EXPECT_EQ(repair.status, 2);
  EXPECT_EQ(read_file(copy), repaired(good));
}

TEST(Fault, PartialLastBlocksOfOneAndOfAllButOneByte) {
  for (size_t tail : {size_t{1}, size_t{4095}}) {
    SCOPED_TRACE("last block of " + std::to_string(tail) + " bytes");
    TempDir dir;
    std::string second = group_block(9);
    second[4095] = '\0';  // the byte the partial block lacks reads as 0
    std::string whole = group_block(5) + second;
    std::string bytes = whole.substr(0, 4096 + tail);
    std::string rec = dir.write("rec.16c", bytes);

    ProgramResult dump = run_program("kesp", {rec});
    EXPECT_EQ(dump.out, dump_lines(bytes));
    EXPECT_EQ(dump.err, "");
    EXPECT_EQ(dump.status, 0);

    std::string copy = dir.path() + "/copy.16c";
    ProgramResult repair = run_program("brovik", {rec, copy});
    EXPECT_EQ(repair.out + repair.err, "");
    EXPECT_EQ(repair.status, 0);
    EXPECT_EQ(read_file(copy), repaired(bytes));
    EXPECT_EQ(read_file(copy).size(), 2u * 4096);

    // One byte of a group is no group (its kind marker is in bytes 1 to 3):
    // only the first group is written. All but the last byte is the whole
    // group, whose last byte the decoder does not read.
    std::string expected_source = tail == 1 ? group_block(5) : whole;
    ProgramResult expected =
        run_program("tolvek", {"-s", dir.write("ref.16c", expected_source)});
    ProgramResult decoded = run_program("tolvek", {"-s", rec});
    EXPECT_EQ(decoded.out, expected.out);
    EXPECT_EQ(decoded.err, "");
    EXPECT_EQ(decoded.status, 0);
  }
}

TEST(Fault, AFullStandardOutputIsReportedAndFails) {
  TempDir dir;
  std::string rec = dir.write("rec.16c", group_block(1) + group_block(2));
  std::string empty = dir.write("empty.16c", "");
  static const struct {
    const char* command;
    const char* err;
    int status;
  } cases[] = {
      {"kesp REC", " kesp-> ERROR: cannot write standard output: No space left on device\n", 2},
      {"tolvek -s REC",
       " tolvek-> ERROR: cannot write standard output: No space left on device\n", 2},
      {"tolvek -h", " tolvek-> ERROR: cannot write standard output: No space left on device\n",
       2},
      // Nothing to write, nothing lost.
      {"kesp EMPTY", "", 0},
      {"tolvek -s EMPTY", "", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.command);
    std::string command = c.command;
    if (command.find("REC") != std::string::npos) {
      command.replace(command.find("REC"), 3, shell_word(rec));
    }
    if (command.find("EMPTY") != std::string::npos) {
      command.replace(command.find("EMPTY"), 5, shell_word(empty));
    }
    ProgramResult r = run_shell(command + " > /dev/full");
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(r.status, c.status);
  }
}

TEST(Fault, InPlaceRepairOfARecordingLargerThanTheTransferChunks) {
  TempDir dir;
  // 150 blocks and a partial one: more than one 64-block transfer each way.
  std::string bytes = patterned_bytes(150 * 4096 + 7);
  std::string rec = dir.write("rec.16c", bytes);
  mkdir((dir.path() + "/sub").c_str(), 0700);
  for (const std::string& output : {rec, dir.path() + "/sub/../rec.16c"}) {
    SCOPED_TRACE(output);
    dir.write("rec.16c", bytes);
    ProgramResult r = run_program("brovik", {rec, output});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(read_file(rec), repaired(bytes));
  }
}

TEST(Fault, NamesWithBlanksAndLeadingDashesAreFileNames) {
  TempDir dir;
  std::string bytes = group_block(3);
  dir.write("my rec.16c", bytes);
  dir.write("-rec.16c", bytes);
  std::string reference = dir.write("rec.16c", bytes);
  ProgramResult decoded = run_program("tolvek", {"-a", reference});
  ASSERT_NE(decoded.out, "");

  for (const char* name : {"my rec.16c", "-rec.16c"}) {
    SCOPED_TRACE(name);
    std::string in = std::string(" ") + shell_word(name);
    ProgramResult dump = run_shell("cd " + shell_word(dir.path()) + " && kesp" + in);
    EXPECT_EQ(dump.out, dump_lines(bytes));
    EXPECT_EQ(dump.status, 0);
    ProgramResult decode = run_shell("cd " + shell_word(dir.path()) + " && tolvek -a" + in);
    EXPECT_EQ(decode.out, decoded.out);
    EXPECT_EQ(decode.status, 0);
    std::string copy = std::string(name) + " copy";
    ProgramResult repair =
        run_shell("cd " + shell_word(dir.path()) + " && brovik" + in + " " + shell_word(copy));
    EXPECT_EQ(repair.status, 0);
    EXPECT_EQ(read_file(dir.path() + "/" + copy), repaired(bytes));
  }

  // "-" is a file name like any other, not standard input.
  ProgramResult r = run_shell("cd " + shell_word(dir.path()) + " && kesp - < rec.16c");
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, open_failure("No such file or directory", 1, "-"));
  EXPECT_EQ(r.status, 2);
  r = run_shell("cd " + shell_word(dir.path()) + " && tolvek -a - < rec.16c");
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.status, 255);
}

// A path of `length` characters under `root`, in components of at most 200
// characters; the directories are created.
std::string long_path(const std::string& root, size_t length) {
  std::string path = root;
  while (path.size() + 201 < length) {
    path += "/" + std::string(200, 'd');
    mkdir(path.c_str(), 0700);
  }
  path += "/";
  path += std::string(length - path.size(), 'f');
  return path;
}

TEST(Fault, PathsOfTheSystemLimitWorkAndLongerOnesFailToOpen) {
  TempDir dir;
  std::string bytes = group_block(4);
  // 4095 characters is the longest path the system takes.
  std::string longest = long_path(dir.path(), 4095);
  ASSERT_EQ(longest.size(), 4095u);
  {
    std::FILE* f = std::fopen(longest.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
  }
  ProgramResult dump = run_program("kesp", {longest});
  EXPECT_EQ(dump.out, dump_lines(bytes));
  EXPECT_EQ(dump.status, 0);
  ProgramResult decoded = run_program("tolvek", {"-a", dir.write("rec.16c", bytes)});
  ProgramResult decode = run_program("tolvek", {"-a", longest});
  EXPECT_EQ(decode.out, decoded.out);
  EXPECT_EQ(decode.status, 0);
  std::string copy = longest.substr(0, longest.size() - 1) + "c";
  EXPECT_EQ(run_program("brovik", {longest, copy}).status, 0);
  EXPECT_EQ(read_file(copy), repaired(bytes));

  // One character more is a name the system refuses.
  std::string too_long = longest + "x";
  ProgramResult r = run_program("kesp", {too_long});
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, open_failure("File name too long", 1, too_long));
  EXPECT_EQ(r.status, 2);
  r = run_program("brovik", {too_long, dir.path() + "/out.16c"});
  EXPECT_EQ(r.err, open_failure("File name too long", 10, too_long));
  EXPECT_EQ(r.status, 2);
  EXPECT_FALSE(file_exists(dir.path() + "/out.16c"));
  r = run_program("brovik", {longest, too_long});
  EXPECT_EQ(r.err, open_failure("File name too long", 11, too_long));
  EXPECT_EQ(r.status, 2);
  // tolvek looks for the file first; a name that names no file ends the
  // run with status 255 and no message.
  r = run_program("tolvek", {"-a", too_long});
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.status, 255);
}

}  // namespace
