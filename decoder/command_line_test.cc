#include "decoder/command_line.h"

#include <string>

#include <gtest/gtest.h>

#include "tests/support/text_capture.h"

namespace digisonde16c {

namespace {

// Option words and values are read within the first 120 characters of an
// argument; what follows is not seen.
TEST(ReadCommandLine, OptionWordsAndValuesEndWithTheirField) {
  std::string program = "tolvek";
  std::string word = "-a" + std::string(118, ' ') + "x";  // the field is "-a"
  std::string option = "-f";
  std::string value = std::string(119, '0') + "2.5";  // the field reads as 2
  std::string name = "rec";
  char* argv[] = {&program[0], &word[0], &option[0], &value[0], &name[0]};
  Capture out, err;
  RunOptions options;
  ASSERT_EQ(read_command_line(5, argv, &options, &out.sink, &err.sink),
            CommandLineAction::kRun);
  EXPECT_TRUE(options.amplitude_table);
  EXPECT_TRUE(options.select_frequency);
  EXPECT_EQ(options.selected_frequency, 2.0f);
  EXPECT_STREQ(options.file_name, "rec");
  EXPECT_EQ(out.text() + err.text(), "");
}

}  // namespace

}  // namespace digisonde16c
