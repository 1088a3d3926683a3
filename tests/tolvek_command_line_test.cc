// Whole-program tests of tolvek's command line, exit statuses and messages.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tools/block_builder.h"
#include "tests/support/program_output.h"
#include "tests/support/run_program.h"

using namespace digisonde16c;

namespace {

const char kUsage[] =
    "  useage: tolvek {-vapsh} {-f #} filename\n"
    "  \n"
    "    Decode 16 channel data from a Digisonde 256 16C file\n"
    "  Filename must be provided on the command line.\n"
    "  Command line options:\n"
    "   -v  Verbose.  Prints the status on stdout\n"
    "   -f  <freq>  extract data for <frequency>\n"
    "   -c  Correct phase based on range gate\n"
    "   -a  Write Amplitude Table\n"
    "   -p  Write Phase Table\n"
    "   -s  Write data for gnuplot splot command\n"
    "   -t  <val> Threshold Detect, <val> above noise\n"
    "       output format set to -s\n"
    "  \n"
    "  Returns exit status as follows:\n"
    "   0:  No Problems\n"
    "  -1:  File unreadable or nonexistent\n";

// One valid 128-gate group at 2.5025 MHz whose preface draws no message.
std::string quiet_group() {
  BlockDraft draft;
  set_default_preface(&draft);
  set_digit(&draft, 45, 1);  // L = 1: PZA bytes used as the table gives them
  return block_bytes(draft);
}

ProgramResult tolvek_in(const TempDir& dir, const std::string& args) {
  return run_shell("cd '" + dir.path() + "' && tolvek " + args);
}

TEST(TolvekCommandLine, NoArgumentIsAnErrorWithStatus255) {
  ProgramResult r = run_program("tolvek", {});
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, " tolvek-> ERROR: Input file must be specified\n");
  EXPECT_EQ(r.status, 255);
}

TEST(TolvekCommandLine, HelpPrintsTheUsageAndOpensNothing) {
  TempDir dir;
  dir.write("rec", quiet_group());
  for (const char* args : {"-h", "rec -h", "missing -h", "-s -f 2.5 -h rec", "-h -f"}) {
    SCOPED_TRACE(args);
    ProgramResult r = tolvek_in(dir, args);
    EXPECT_EQ(r.out, kUsage);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
  }
}

TEST(TolvekCommandLine, TheRecordingIsTheLastArgumentThatIsNoOptionWord) {
  TempDir dir;
  dir.write("rec", quiet_group());
  static const struct {
    const char* args;
    int status;
    bool writes_table;
  } cases[] = {
      {"-a -f 2.5 rec", 0, true},   // the value is examined again, then replaced
      {"-a rec -f 2.5", 255, false},  // looks for a file named 2.5
      {"-ap rec", 0, false},        // -ap is no option word
      {"-v rec", 0, false},         // no output mode
      {"rec", 0, false},
      {"-a", 255, false},           // looks for "error"
      {"-a missing", 255, false},
      {"'' ", 255, false},          // an empty name exists nowhere
      {"-a 'rec  '", 0, true},      // trailing blanks are not part of the name
      {"'-a ' rec", 0, true},       // nor of an option word
      {"-A rec", 0, false},         // option words are case-sensitive
      {"-A", 255, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args);
    ProgramResult r = tolvek_in(dir, c.args);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(!r.out.empty(), c.writes_table) << r.out;
  }
}

TEST(TolvekCommandLine, OnlyOptionsLookForAFileNamedError) {
  TempDir dir;
  dir.write("error", quiet_group());
  dir.write("rec", quiet_group());
  ProgramResult by_default = tolvek_in(dir, "-a");
  ProgramResult named = tolvek_in(dir, "-a rec");
  EXPECT_EQ(by_default.status, 0);
  EXPECT_FALSE(by_default.out.empty());
  EXPECT_EQ(by_default.out, named.out);
}

TEST(TolvekCommandLine, UnreadableOptionValuesStopBeforeAnyFileIsLookedFor) {
  TempDir dir;
  static const struct {
    const char* args;
    const char* err;
  } cases[] = {
      {"rec -f", " tolvek-> ERROR: option -f needs a number\n"},
      {"-t", " tolvek-> ERROR: option -t needs a number\n"},
      {"-f abc rec", " tolvek-> ERROR: option -f: cannot read \"abc\" as a number\n"},
      {"-t 3x rec", " tolvek-> ERROR: option -t: cannot read \"3x\" as a number\n"},
      {"-f -h rec", " tolvek-> ERROR: option -f: cannot read \"-h\" as a number\n"},
      {"-f 1e99 rec", " tolvek-> ERROR: option -f: cannot read \"1e99\" as a number\n"},
      {"-f . rec", " tolvek-> ERROR: option -f: cannot read \".\" as a number\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args);
    ProgramResult r = tolvek_in(dir, c.args);
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, c.err);
  }
}

TEST(TolvekCommandLine, ValuesReadAsFreeFormReals) {
  TempDir dir;
  dir.write("rec", quiet_group());  // 2.5025 MHz
  // Each value selects the group (within 0.02 MHz) or not.
  static const struct {
    const char* value;
    bool selects;
  } cases[] = {
      {"2.5", true},     {"2.5025", true},   {"+2.51", true},   {"25.025E-1", true},
      {"2.5d0", true},   {"0.25D+1", true},  {"'  2.5'", true}, {"'2.5,junk'", true},
      {"'2.5 junk'", true}, {"2.48", false}, {"2.53", false},   {"-2.5", false},
      {"5", false},      {".25e1", true},    {"2.", false},     {"3", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value);
    ProgramResult r = tolvek_in(dir, std::string("-a -f ") + c.value + " rec");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(!r.out.empty(), c.selects);
  }
}

TEST(TolvekCommandLine, AnEmptyRecordingWritesNothing) {
  TempDir dir;
  dir.write("empty", "");
  for (const char* args : {"-s empty", "-a -p empty", "-t 3 empty", "empty"}) {
    ProgramResult r = tolvek_in(dir, args);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
  }
}

TEST(TolvekCommandLine, ADirectoryIsAFailedOpen) {
  TempDir dir;
  ProgramResult r = run_program("tolvek", {"-a", dir.path()});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, open_failure("Is a directory", 5, dir.path()));
  // After an option value was read, the latest transfer was that read.
  r = run_program("tolvek", {"-f", "2.5", dir.path()});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.err, open_failure("Is a directory", 5, dir.path(), "reading sequential formatted"));
}

TEST(TolvekCommandLine, InvalidRangeGateCodesAreReportedOncePerGroup) {
  TempDir dir;
  BlockDraft draft;
  set_default_preface(&draft);
  set_digit(&draft, 45, 1);
  set_digit(&draft, 55, 0);  // E = 0
  std::string bytes = block_bytes(draft);
  set_digit(&draft, 44, 8);  // the Doppler table row that suits 256 gates
  set_digit(&draft, 54, 9);
  set_digit(&draft, 55, 6);
  bytes += block_bytes(draft);
  std::string path = dir.write("rec", bytes);
  ProgramResult r = run_program("tolvek", {path});
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, " UNDEFIEND RANGE GATES H= 0 E= 0\n UNDEFIEND RANGE GATES H= 9 E= 6\n");
  EXPECT_EQ(r.status, 0);
}

}  // namespace
