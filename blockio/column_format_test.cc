#include "blockio/column_format.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

#include "tests/support/text_capture.h"

namespace digisonde16c {

namespace {

std::vector<Item> ints(std::initializer_list<int32_t> values) {
  std::vector<Item> items;
  for (int32_t v : values) items.push_back(integer_item(v));
  return items;
}

std::vector<Item> bytes(std::initializer_list<int> values) {
  std::vector<Item> items;
  for (int v : values) items.push_back(byte_item(static_cast<int8_t>(v)));
  return items;
}

std::vector<Item> texts(const std::vector<const char*>& values) {
  std::vector<Item> items;
  for (const char* v : values) {
    items.push_back(text_item(v, static_cast<int>(std::strlen(v))));
  }
  return items;
}

std::string write_lines(const char* format, const std::vector<Item>& items) {
  FormatPlan plan;
  EXPECT_TRUE(parse_format(format, &plan)) << format;
  return digisonde16c::write_lines(plan, items);
}

std::string repeat(const std::string& piece, int times) {
  std::string s;
  for (int i = 0; i < times; ++i) s += piece;
  return s;
}

TEST(ColumnFormat, Writes) {
  static const char kDigits[] = "0123456789";
  static const struct {
    const char* format;
    std::vector<Item> items;
    const char* expected;
  } kCases[] = {
      // Dump line: literal ending in a blank, then blank + two digits each.
      {"('Read-> ',20(1X,Z2.2))",
       bytes({0x0C, 0x00, 0x01, 0xFF, 0x10, 0x11, 0x12, 0x13, 0x14, 0x15,
              0x16, 0x17, 0x18, 0x19, 0x1A, 0x1B, 0x1C, 0x1D, 0x1E, 0x1F}),
       "Read->  0C 00 01 FF 10 11 12 13 14 15 16 17 18 19 1A 1B 1C 1D 1E 1F\n"},
      // Three items: the group comes round again, its 1X is dropped.
      {"('Read-> ',20(1X,Z2.2))", bytes({0x0C, 0x00, 0x01}),
       "Read->  0C 00 01\n"},
      // Plot header: ten labels end after the ninth A10 field.
      {"('#',A16,10A10)",
       texts({"Time", "Freq", "Range", "Polarize", "Noise", "Doppler", "Az",
              "Zn", "Ampltude", "Phase"}),
       "#            Time      Freq     Range  Polarize     Noise   Doppler"
       "        Az        Zn  Ampltude     Phase\n"},
      {"('#',A16,10A10)", {}, "#\n"},
      {"(I3)", {}, "\n"},
      {"()", ints({}), "\n"},
      // Items end exactly at the end of the format: one line only.
      {"(I2,I2)", ints({1, 2}), " 1 2\n"},
      // No groups: every further line starts at the first descriptor.
      {"(I2,'-',I2)", ints({1, 2, 3, 4, 5}), " 1- 2\n 3- 4\n 5-\n"},
      // A repeated group: further lines restart it with its repeat count.
      {"('x',I1,2(1X,I1),'y')", ints({1, 2, 3, 4, 5, 6, 7}),
       "x1 2 3y\n 4 5y\n 6 7y\n"},
      {"('x',I1,2(1X,I1),'y')", ints({1, 2, 3, 4, 5, 6}),
       "x1 2 3y\n 4 5y\n 6\n"},
      {"(2(I1),'|',2(I2))", ints({1, 2, 3, 4, 5, 6, 7}),
       "12| 3 4\n 5 6\n 7\n"},
      {"(2('<',2(I1),'>'))", ints({1, 2, 3, 4}), "<12><34>\n"},
      {"(2('<',2(I1),'>'))", ints({1, 2, 3}), "<12><3\n"},
      {"(2('<',2(I1),'>'))", ints({1, 2, 3, 4, 5}), "<12><34>\n<5\n"},
      // Fewer items than fields: the literal after the last one is written.
      {"(I2,' m',I3,' s')", ints({5}), " 5 m\n"},
      {"(I2,' m',I3,' s')", ints({5, 7}), " 5 m  7 s\n"},
      {"('a',I1,' b',2X,'c',I1)", ints({1}), "a1 b  c\n"},
      // Moves become blanks only before a character.
      {"(I1,1X)", ints({7}), "7\n"},
      {"(I1,3X,'')", ints({7}), "7\n"},
      {"(2X,I1,2X,'.',1X)", ints({7}), "  7  .\n"},
      {"(I1,2(3X),I1)", ints({1, 2}), "1      2\n"},
      {"(I1,3(2(2X),1X),I1)", ints({1, 2}), "1               2\n"},
      {"(X,I1)", ints({4}), " 4\n"},
      // Apostrophes inside literals.
      {"('it''s',I2)", ints({9}), "it's 9\n"},
      {"('''',A1,'''')", texts({"q"}), "'q'\n"},
      {"('',I1)", ints({3}), "3\n"},
      // No item can ever be taken again: the write ends.
      {"('abc')", ints({1, 2}), "abc\n"},
      {"(I1,2(1X))", ints({1, 2, 3}), "1\n"},
      {"(I1,2('x'))", ints({1, 2}), "1xx\n"},
      {"(I1,'x')", ints({1, 2, 3}), "1x\n2x\n3x\n"},
      // Text of length 0 in a wide field.
      {"('[',A3,']')", {text_item(kDigits, 0)}, "[   ]\n"},
  };
  for (const auto& c : kCases) {
    EXPECT_EQ(write_lines(c.format, c.items), c.expected)
        << c.format << " with " << c.items.size() << " items";
  }
}

TEST(ColumnFormat, DecoderLines) {
  std::vector<Item> header = texts({"2001 123 04:55:30"});
  header.push_back(real_item(3.5f));
  for (int i = 1; i <= 57; ++i) header.push_back(byte_item(static_cast<int8_t>(i % 16)));
  std::string group = write_lines(
      "('# ',A17,F7.4,1X,11Z1,1X,8Z1,1X,6Z1,1X,7Z1,1X,5Z1,1X,3Z1,1X,3Z1,1X,"
      "4Z1,1X,3Z1,1X,3Z1,1X,4Z1)",
      header);
  EXPECT_EQ(group,
            "# 2001 123 04:55:30 3.5000 123456789AB CDEF0123 456789 ABCDEF0 "
            "12345 678 9AB CDEF 012 345 6789\n");
  EXPECT_EQ(group.size(), 95u);

  // A format of 64 value fields given 16 values ends after the sixteenth.
  std::vector<Item> channel = texts({"Frequency"});
  for (int i = 0; i < 16; ++i) channel.push_back(real_item(1.5f));
  std::string line = write_lines("('#',A15,64F8.4)", channel);
  EXPECT_EQ(line, "#      Frequency" + repeat("  1.5000", 16) + "\n");
  EXPECT_EQ(line.size(), 145u);
  for (int i = 0; i < 16; ++i) channel.push_back(real_item(-0.25f));
  line = write_lines("('#',A15,64F8.2)", channel);
  EXPECT_EQ(line, "#      Frequency" + repeat("    1.50", 16) +
                      repeat("   -0.25", 16) + "\n");
}

TEST(ColumnFormat, FormatIntoText) {
  static const char kFormat[] = "(I4.4,1X,3I1,1X,2I1,':',2I1,':',2I1)";
  static const struct {
    const char* format;
    std::vector<Item> items;
    int length;
    const char* expected;
  } kCases[] = {
      {kFormat, {}, 17, "                 "},
      {"('a',I3)", ints({5}), 6, "a  5  "},
      {"(I2)", ints({1, 2, 3}), 6, " 1    "},  // the text holds one line
      {"('abcdef',2X,I2)", ints({42}), 4, "abcd"},
      {"('abc',2X,I3)", ints({42}), 6, "abc   "},
      {"('ab',5X,'c')", {}, 4, "ab  "},  // moves that run past the end
      {"(A10,'x')", texts({"0123456789"}), 4, "0123"},
  };
  for (const auto& c : kCases) {
    FormatPlan plan;
    ASSERT_TRUE(parse_format(c.format, &plan)) << c.format;
    std::string text(static_cast<size_t>(c.length), '?');
    format_into_text(plan, c.items.data(), static_cast<int>(c.items.size()),
                     &text[0], c.length);
    EXPECT_EQ(text, c.expected) << c.format;
  }
}

TEST(ColumnFormat, LongLinesThroughASmallSink) {
  std::FILE* file = std::tmpfile();
  ASSERT_NE(file, nullptr);
  char storage[kMaxFieldWidth];
  TextSink sink = make_text_sink(fileno(file), storage, sizeof storage);
  std::string a(1000, 'a');
  std::string b(1024, 'b');
  FormatPlan plan;
  ASSERT_TRUE(parse_format("(A1000,'|',2(1000X),A1024)", &plan));
  Item items[] = {text_item(a.data(), 1000), text_item(b.data(), 1024),
                  text_item(b.data(), 3)};
  write_formatted(&sink, plan, items, 3);
  ASSERT_EQ(flush_sink(&sink), 0);
  // The second line starts again at the group of moves: 2000 blanks, then
  // "bbb" right-justified in 1024 columns.
  std::string expected = a + "|" + std::string(2000, ' ') + b + "\n" +
                         std::string(2000 + 1021, ' ') + "bbb\n";
  std::string written(expected.size() + 10, '\0');
  ssize_t n = pread(fileno(file), &written[0], written.size(), 0);
  std::fclose(file);
  ASSERT_EQ(n, static_cast<ssize_t>(expected.size()));
  written.resize(static_cast<size_t>(n));
  EXPECT_EQ(written, expected);
}

}  // namespace

}  // namespace digisonde16c
