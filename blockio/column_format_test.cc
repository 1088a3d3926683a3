#include "blockio/column_format.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <unistd.h>
#include <vector>

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

// Everything one write puts into a memory sink large enough never to flush.
std::string write_lines(const FormatPlan& plan, const std::vector<Item>& items) {
  static char storage[1 << 20];
  TextSink sink = make_text_sink(-1, storage, sizeof storage);
  write_formatted(&sink, plan, items.data(), static_cast<int>(items.size()));
  return std::string(sink.data, sink.length);
}

std::string write_lines(const char* format, const std::vector<Item>& items) {
  FormatPlan plan;
  EXPECT_TRUE(parse_format(format, &plan)) << format;
  return write_lines(plan, items);
}

std::string render(const char* format, const Item& item) {
  FormatPlan plan;
  EXPECT_TRUE(parse_format(format, &plan)) << format;
  const Descriptor& d = plan.descriptors[0];
  std::string out(static_cast<size_t>(d.width), '?');
  render_item(d, item, &out[0]);
  return out;
}

std::string repeat(const std::string& piece, int times) {
  std::string s;
  for (int i = 0; i < times; ++i) s += piece;
  return s;
}

TEST(ColumnFormat, ParsesDescriptorsGroupsAndReversion) {
  FormatPlan plan;
  ASSERT_TRUE(parse_format("('Read-> ',20(1X,Z2.2))", &plan));
  ASSERT_EQ(plan.count, 5);
  EXPECT_EQ(plan.descriptors[0].kind, DescriptorKind::kLiteral);
  EXPECT_EQ(std::string(plan.literals + plan.descriptors[0].literal_offset,
                        plan.descriptors[0].literal_length),
            "Read-> ");
  EXPECT_EQ(plan.descriptors[1].kind, DescriptorKind::kGroupOpen);
  EXPECT_EQ(plan.descriptors[1].repeat, 20);
  EXPECT_EQ(plan.descriptors[1].partner, 4);
  EXPECT_EQ(plan.descriptors[2].kind, DescriptorKind::kSkip);
  EXPECT_EQ(plan.descriptors[2].width, 1);
  EXPECT_EQ(plan.descriptors[3].kind, DescriptorKind::kHex);
  EXPECT_EQ(plan.descriptors[3].width, 2);
  EXPECT_EQ(plan.descriptors[3].digits, 2);
  EXPECT_EQ(plan.descriptors[4].kind, DescriptorKind::kGroupClose);
  EXPECT_EQ(plan.descriptors[4].partner, 1);
  EXPECT_EQ(plan.reversion, 1);

  // Blanks vanish outside literals and stay inside; lower-case letters.
  ASSERT_TRUE(parse_format(" ( ' a b ' , 1 2 i 5 . 3 , f 8 . 0 ) ", &plan));
  ASSERT_EQ(plan.count, 3);
  EXPECT_EQ(std::string(plan.literals, plan.descriptors[0].literal_length),
            " a b ");
  EXPECT_EQ(plan.descriptors[1].kind, DescriptorKind::kInteger);
  EXPECT_EQ(plan.descriptors[1].repeat, 12);
  EXPECT_EQ(plan.descriptors[1].width, 5);
  EXPECT_EQ(plan.descriptors[1].digits, 3);
  EXPECT_EQ(plan.descriptors[2].kind, DescriptorKind::kReal);
  EXPECT_EQ(plan.descriptors[2].digits, 0);
  EXPECT_EQ(plan.reversion, 0);

  // The rightmost group directly inside the outer parentheses.
  ASSERT_TRUE(parse_format("(I1,2(I1,3(I1)),'x',4(A1),I2)", &plan));
  EXPECT_EQ(plan.descriptors[plan.reversion].kind, DescriptorKind::kGroupOpen);
  EXPECT_EQ(plan.descriptors[plan.reversion].repeat, 4);
}

TEST(ColumnFormat, RejectsMalformedFormats) {
  std::string too_many = "(";
  for (int i = 0; i < kMaxDescriptors + 1; ++i) too_many += i ? ",I1" : "I1";
  too_many += ")";
  std::string long_literal = "('" + std::string(kMaxLiteralChars + 1, 'x') + "')";
  std::string deep = std::string(kMaxDescriptors, '(') + "I1" +
                     std::string(kMaxDescriptors, ')');
  static const struct {
    std::string format;
  } kCases[] = {
      {""},          {"I5"},         {"(I5"},       {"(I5))"},
      {"(I5)x"},     {"(Q5)"},       {"(I)"},       {"(I0)"},
      {"(F5)"},      {"(F5.)"},      {"(A5.2)"},    {"(A)"},
      {"('abc)"},    {"('abc''"},    {"(I1025)"},   {"(F8.1025)"},
      {"(0A5)"},     {"(65536A1)"},  {"(0X)"},      {"(1025X)"},
      {"(I5,)"},     {"(,I5)"},      {"(I5 I5)"},   {"(3'ab')"},
      {"(I5.6)"},    {"(Z2.3)"},     {"(2())"},     {"(2(I1)"},
      {"((I1),)"},   {"(I5.-1)"},    {"(-1I5)"},    {"(99999999999I1)"},
      {too_many},    {long_literal}, {deep},
  };
  for (const auto& c : kCases) {
    FormatPlan plan;
    EXPECT_FALSE(parse_format(c.format.c_str(), &plan)) << c.format;
  }
  FormatPlan plan;
  EXPECT_FALSE(parse_format(nullptr, &plan));
}

TEST(ColumnFormat, IntegerFields) {
  static const struct {
    int64_t value;
    int width;
    int min_digits;  // -1: Iw
    const char* expected;
  } kCases[] = {
      {10, 1, -1, "*"},
      {-1, 1, -1, "*"},
      {9, 1, -1, "9"},
      {0, 3, -1, "  0"},
      {-12, 3, -1, "-12"},
      {-123, 3, -1, "***"},
      {123, 3, -1, "123"},
      {7, 4, 4, "0007"},
      {12345, 4, 4, "****"},
      {-5, 4, 2, " -05"},
      {-5, 3, 3, "***"},  // the sign leaves no room for three digits
      {-5, 4, 3, "-005"},
      {0, 4, 2, "  00"},
      {0, 5, 0, "     "},
      {0, 3, 1, "  0"},
      {5, 3, 0, "  5"},
      {-5, 2, 0, "-5"},
      {123, 5, 2, "  123"},
      {std::numeric_limits<int64_t>::min(), 20, -1, "-9223372036854775808"},
      {std::numeric_limits<int64_t>::min(), 19, -1, "*******************"},
      {std::numeric_limits<int64_t>::max(), 20, -1, " 9223372036854775807"},
  };
  for (const auto& c : kCases) {
    std::string out(static_cast<size_t>(c.width), '?');
    render_integer(c.value, c.width, c.min_digits, &out[0]);
    EXPECT_EQ(out, c.expected) << "I" << c.width << "." << c.min_digits
                               << " of " << c.value;
  }
}

TEST(ColumnFormat, IntegerDescriptorsOnItems) {
  static const struct {
    const char* format;
    Item item;
    const char* expected;
  } kCases[] = {
      {"(I1)", integer_item(10), "*"},
      {"(I1)", integer_item(-1), "*"},
      {"(I4.4)", integer_item(7), "0007"},
      {"(I4.4)", integer_item(54321), "****"},
      {"(I3.0)", integer_item(0), "   "},
      {"(I4)", byte_item(-128), "-128"},
      {"(I3)", byte_item(127), "127"},
      {"(I11)", integer_item(std::numeric_limits<int32_t>::min()),
       "-2147483648"},
  };
  for (const auto& c : kCases) {
    EXPECT_EQ(render(c.format, c.item), c.expected) << c.format;
  }
}

TEST(ColumnFormat, HexFields) {
  static const char kTwoBytes[] = {0x01, 0x02};
  static const char kZeroBytes[] = {0, 0, 0};
  static const char kHighBytes[] = {0x0F, 0x00, static_cast<char>(0xA0), 0x00};
  static const struct {
    const char* format;
    Item item;
    const char* expected;
  } kCases[] = {
      {"(Z2.2)", byte_item(0x05), "05"},
      {"(Z2.2)", byte_item(static_cast<int8_t>(0xAB)), "AB"},
      {"(Z2.2)", byte_item(0x00), "00"},
      {"(Z1)", byte_item(0x1F), "*"},
      {"(Z1)", byte_item(0x0C), "C"},
      {"(Z1)", byte_item(0x00), "0"},
      {"(Z3)", byte_item(-1), " FF"},
      {"(Z3.0)", byte_item(0), "  0"},
      {"(Z4.3)", byte_item(1), " 001"},
      {"(Z8)", integer_item(-1), "FFFFFFFF"},
      {"(Z9)", integer_item(-2), " FFFFFFFE"},
      {"(Z7)", integer_item(std::numeric_limits<int32_t>::min()), "*******"},
      {"(Z10.10)", integer_item(0x1234), "0000001234"},
      {"(Z8)", real_item(1.0f), "3F800000"},
      {"(Z8)", real_item(-2.0f), "C0000000"},
      // A text's bytes, the byte at the highest address most significant.
      {"(Z4)", text_item(kTwoBytes, 2), " 201"},
      {"(Z4.4)", text_item(kZeroBytes, 3), "0000"},
      {"(Z2)", text_item(kZeroBytes, 0), " 0"},
      {"(Z6)", text_item(kHighBytes, 4), "A0000F"},
      {"(Z5)", text_item(kHighBytes, 4), "*****"},
  };
  for (const auto& c : kCases) {
    EXPECT_EQ(render(c.format, c.item), c.expected) << c.format;
  }
}

TEST(ColumnFormat, HexRendererWithMinimumWiderThanField) {
  char out[3];
  render_hex(0xA, 3, 5, out);
  EXPECT_EQ(std::string(out, 3), "00A");
}

TEST(ColumnFormat, RealFields) {
  const float kInf = std::numeric_limits<float>::infinity();
  const float kNaN = std::numeric_limits<float>::quiet_NaN();
  static const struct {
    float value;
    int width;
    int decimals;
    const char* expected;
  } kCases[] = {
      {0.04f, 6, 1, "   0.0"},
      {-0.04f, 6, 1, "   0.0"},
      {-0.5f, 5, 1, " -0.5"},
      {-0.5f, 4, 1, "-0.5"},
      {-0.5f, 3, 1, "-.5"},
      {-0.5f, 2, 1, "**"},
      {0.5f, 2, 1, ".5"},
      {0.55f, 3, 1, "0.6"},  // the float lies just above 0.55
      {100000000.0f, 8, 1, "********"},
      {12.5f, 7, 4, "12.5000"},
      {12.5f, 6, 4, "******"},
      {1.40625f, 10, 3, "     1.406"},  // 1406.25
      {0.25f, 8, 1, "     0.2"},       // tie, down to even
      {0.75f, 8, 1, "     0.8"},       // tie, up to even
      {-0.0001f, 10, 3, "     0.000"},
      {-0.0f, 5, 2, " 0.00"},
      {0.0f, 4, 2, "0.00"},
      {0.125f, 4, 2, "0.12"},
      {0.375f, 4, 2, "0.38"},
      {2.5f, 3, 0, " 2."},
      {3.5f, 3, 0, " 4."},
      {3.0f, 5, 0, "   3."},
      {-0.5f, 3, 0, " 0."},  // rounds to even 0 and loses its sign
      {-1.5f, 3, 0, "-2."},
      {0.4f, 2, 0, "0."},
      {0.4f, 1, 0, "."},
      {0.96f, 3, 1, "1.0"},
      {-0.96f, 3, 1, "***"},
      {9.96f, 4, 1, "10.0"},
      {99.96f, 4, 1, "****"},
      {0.5f, 3, 3, "***"},
      {0.5f, 4, 3, ".500"},
      {-123.456f, 9, 3, " -123.456"},
      {1e12f, 14, 1, "999999995904.0"},  // the float nearest 1e12
      {16777216.0f, 12, 3, "16777216.000"},
      {1e-45f, 8, 3, "   0.000"},
      // Decimals beyond the integer route.
      {0.1f, 20, 15, "   0.100000001490116"},
      {-0.1f, 20, 17, "-0.10000000149011612"},
      {-0.0f, 20, 17, " 0.00000000000000000"},
      {-1e-45f, 24, 20, "  0.00000000000000000000"},
      {1.0f / 1024, 24, 20, "  0.00097656250000000000"},
      {3.40282347e38f, 45, 4, " 340282346638528859811704183484516925440.0000"},
      {3.40282347e38f, 38, 0, "**************************************"},
      {-3.0e20f, 30, 1, "      -300000006012263202816.0"},
      {kNaN, 5, 2, "  NaN"},
      {kNaN, 3, 1, "NaN"},
      {kNaN, 2, 1, "**"},
      {kInf, 10, 3, "  Infinity"},
      {kInf, 8, 1, "Infinity"},
      {kInf, 7, 1, "    Inf"},
      {kInf, 2, 1, "**"},
      {-kInf, 10, 3, " -Infinity"},
      {-kInf, 8, 1, "    -Inf"},
      {-kInf, 3, 1, "***"},
  };
  for (const auto& c : kCases) {
    std::string out(static_cast<size_t>(c.width), '?');
    render_real(c.value, c.width, c.decimals, &out[0]);
    EXPECT_EQ(out, c.expected) << "F" << c.width << "." << c.decimals
                               << " of " << c.value;
  }
}

TEST(ColumnFormat, TextFields) {
  static const struct {
    const char* format;
    const char* text;
    int length;
    const char* expected;
  } kCases[] = {
      {"(A15)", "Doppler8", 8, "       Doppler8"},
      {"(A10)", "twelve-chars", 12, "twelve-cha"},
      {"(A3)", "abc", 3, "abc"},
      {"(A3)", "", 0, "   "},
      {"(A3)", "abc", -4, "   "},
      {"(A2)", nullptr, 5, "  "},
  };
  for (const auto& c : kCases) {
    EXPECT_EQ(render(c.format, text_item(c.text, c.length)), c.expected)
        << c.format << " of " << (c.text ? c.text : "null");
  }
}

TEST(ColumnFormat, ItemsOfAnotherKind) {
  static const struct {
    const char* format;
    Item item;
    const char* expected;
  } kCases[] = {
      {"(F5.1)", integer_item(3), "  3.0"},
      {"(F5.1)", byte_item(-7), " -7.0"},
      {"(F12.1)", integer_item(16777217), "  16777216.0"},  // as a float
      {"(I3)", real_item(-2.7f), " -2"},
      {"(I3)", real_item(2.7f), "  2"},
      {"(I3)", real_item(-0.7f), "  0"},
      {"(I3)", real_item(std::numeric_limits<float>::quiet_NaN()), "***"},
      {"(I5)", real_item(1e30f), "*****"},
      {"(I3)", text_item("12", 2), "***"},
      {"(F6.2)", text_item("12", 2), "******"},
      {"(A4)", integer_item(65), "****"},
      {"(A2)", real_item(1.0f), "**"},
  };
  for (const auto& c : kCases) {
    EXPECT_EQ(render(c.format, c.item), c.expected) << c.format;
  }
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

TEST(ColumnFormat, DumpLineIsSixtySevenCharacters) {
  std::vector<Item> items;
  for (int i = 0; i < 20; ++i) items.push_back(byte_item(static_cast<int8_t>(i * 13)));
  std::string line = write_lines("('Read-> ',20(1X,Z2.2))", items);
  EXPECT_EQ(line.size(), 68u);
  EXPECT_EQ(line.substr(0, 9), "Read->  0");
  EXPECT_EQ(line.back(), '\n');
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

TEST(ColumnFormat, GroupTimeText) {
  FormatPlan plan;
  ASSERT_TRUE(
      parse_format("(I4.4,1X,3I1,1X,2I1,':',2I1,':',2I1)", &plan));
  static const struct {
    int32_t year;
    int digits[9];
    int length;
    const char* expected;
  } kCases[] = {
      {2001, {1, 2, 3, 0, 4, 5, 5, 3, 0}, 17, "2001 123 04:55:30"},
      {2001, {1, 2, 3, 0, 4, 5, 5, 3, 12}, 17, "2001 123 04:55:3*"},
      {2001, {12, 2, 3, 0, 4, 5, 5, 3, 0}, 17, "2001 *23 04:55:30"},
      {7, {0, 0, 1, 2, 3, 0, 0, 0, 0}, 17, "0007 001 23:00:00"},
      {12345, {0, 0, 1, 2, 3, 0, 0, 0, 0}, 17, "**** 001 23:00:00"},
      {2001, {1, 2, 3, 0, 4, 5, 5, 3, 0}, 10, "2001 123 0"},
      {2001, {1, 2, 3, 0, 4, 5, 5, 3, 0}, 20, "2001 123 04:55:30   "},
  };
  for (const auto& c : kCases) {
    Item items[10];
    items[0] = integer_item(c.year);
    for (int i = 0; i < 9; ++i) items[i + 1] = byte_item(static_cast<int8_t>(c.digits[i]));
    std::string text(static_cast<size_t>(c.length), '?');
    format_into_text(plan, items, 10, &text[0], c.length);
    EXPECT_EQ(text, c.expected) << c.expected;
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

TEST(ColumnFormat, CompileLayout) {
  static const struct {
    const char* format;
    int items;
    bool compiles;
    int width;
    std::vector<int> columns;
    const char* skeleton;
  } kCases[] = {
      {"('Read-> ',20(1X,Z2.2))", 2, true, 13, {8, 11}, "Read->       "},
      {"('#',A16,10A10)", 3, true, 37, {1, 17, 27}, "#"},
      {"(I2,' m',I3,' s')", 1, true, 4, {0}, "   m"},
      {"(2X,'ab',1X)", 0, true, 4, {}, "  ab"},
      {"(I3)", 0, true, 0, {}, ""},
      {"(I2,'-',I2)", 3, false, 0, {}, ""},   // two lines
      {"('abc')", 1, false, 0, {}, ""},       // the item stays unused
      {"(3(A1000))", 3, false, 0, {}, ""},    // longer than a skeleton
      {"(I1)", -1, false, 0, {}, ""},
      {"(100I1)", kMaxLayoutItems + 1, false, 0, {}, ""},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(std::string(c.format) + " with " + std::to_string(c.items));
    FormatPlan plan;
    ASSERT_TRUE(parse_format(c.format, &plan));
    LineLayout layout;
    ASSERT_EQ(compile_layout(plan, c.items, &layout), c.compiles);
    if (!c.compiles) continue;
    EXPECT_EQ(layout.item_count, c.items);
    EXPECT_EQ(layout.width, c.width);
    for (size_t i = 0; i < c.columns.size(); ++i) {
      EXPECT_EQ(layout.slots[i].column, c.columns[i]) << "item " << i;
    }
    std::string skeleton(layout.skeleton, static_cast<size_t>(layout.width));
    std::string expected = c.skeleton;
    expected.resize(static_cast<size_t>(c.width), ' ');
    EXPECT_EQ(skeleton, expected);
  }
}

// ---------------------------------------------------------------------------
// Exact reference for Fw.d, by integer arithmetic on the float's significand
// and exponent, independent of floating-point rounding and the C library.

class Natural {
 public:
  explicit Natural(uint64_t v) {
    limbs_.push_back(static_cast<uint32_t>(v));
    limbs_.push_back(static_cast<uint32_t>(v >> 32));
  }
  void multiply(uint32_t factor) {
    uint64_t carry = 0;
    for (uint32_t& limb : limbs_) {
      uint64_t t = uint64_t{limb} * factor + carry;
      limb = static_cast<uint32_t>(t);
      carry = t >> 32;
    }
    if (carry) limbs_.push_back(static_cast<uint32_t>(carry));
  }
  void shift_left(int bits) {
    for (int i = 0; i < bits; ++i) multiply(2);
  }
  bool bit(int i) const {
    size_t limb = static_cast<size_t>(i / 32);
    return limb < limbs_.size() && ((limbs_[limb] >> (i % 32)) & 1) != 0;
  }
  bool any_bit_below(int i) const {
    for (int j = 0; j < i; ++j) {
      if (bit(j)) return true;
    }
    return false;
  }
  void shift_right(int bits) {
    for (int i = 0; i < bits; ++i) {
      uint32_t carry = 0;
      for (size_t j = limbs_.size(); j-- > 0;) {
        uint32_t next = limbs_[j] & 1;
        limbs_[j] = (limbs_[j] >> 1) | (carry << 31);
        carry = next;
      }
    }
  }
  void add_one() {
    for (uint32_t& limb : limbs_) {
      if (++limb != 0) return;
    }
    limbs_.push_back(1);
  }
  std::string decimal() const {
    std::vector<uint32_t> n = limbs_;
    std::string digits;
    for (;;) {
      bool zero = true;
      uint64_t rest = 0;
      for (size_t j = n.size(); j-- > 0;) {
        uint64_t t = (rest << 32) | n[j];
        n[j] = static_cast<uint32_t>(t / 10);
        rest = t % 10;
        if (n[j]) zero = false;
      }
      digits.insert(digits.begin(), static_cast<char>('0' + rest));
      if (zero) return digits;
    }
  }

 private:
  std::vector<uint32_t> limbs_;
};

// |x| with exactly d decimals, rounded to nearest, ties to even.
std::string exact_fixed(float x, int d) {
  uint32_t bits;
  std::memcpy(&bits, &x, sizeof bits);
  int biased = static_cast<int>((bits >> 23) & 0xFF);
  uint64_t significand = bits & 0x7FFFFF;
  int exponent = -149;
  if (biased != 0) {
    significand |= 0x800000;
    exponent = biased - 150;
  }
  Natural n(significand);
  for (int i = 0; i < d; ++i) n.multiply(10);
  if (exponent >= 0) {
    n.shift_left(exponent);
  } else {
    int k = -exponent;
    bool half = n.bit(k - 1);
    bool sticky = n.any_bit_below(k - 1);
    n.shift_right(k);
    if (half && (sticky || n.bit(0))) n.add_one();
  }
  std::string digits = n.decimal();
  if (digits.size() < static_cast<size_t>(d) + 1) {
    digits.insert(0, static_cast<size_t>(d) + 1 - digits.size(), '0');
  }
  digits.insert(digits.size() - static_cast<size_t>(d), ".");
  return digits;
}

// The field rules applied to the exact text.
std::string reference_field(float x, int w, int d) {
  bool negative = x < 0;
  std::string text = exact_fixed(x, d);
  if (text.find_first_not_of("0.") == std::string::npos) negative = false;
  size_t n = text.size() + (negative ? 1 : 0);
  size_t width = static_cast<size_t>(w);
  if (n > width) {
    if (text[0] == '0' && n - 1 == width) {
      text.erase(0, 1);
      --n;
    } else {
      return std::string(width, '*');
    }
  }
  return std::string(width - n, ' ') + (negative ? "-" : "") + text;
}

TEST(ColumnFormat, RealFieldsMatchExactReference) {
  std::mt19937_64 random(20240611);
  int checked = 0;
  int filled = 0;  // fields that show digits rather than asterisks
  auto check = [&](float x, int w, int d) {
    std::string out(static_cast<size_t>(w), '?');
    render_real(x, w, d, &out[0]);
    std::string expected = reference_field(x, w, d);
    ++checked;
    if (expected[0] != '*') ++filled;
    ASSERT_EQ(out, expected) << "F" << w << "." << d << " of "
                             << static_cast<double>(x) << " ("
                             << std::hexfloat << x << ")";
  };
  // Any bit pattern, any scale, fast and slower routes alike.
  for (int i = 0; i < 60000; ++i) {
    uint32_t bits = static_cast<uint32_t>(random());
    float x;
    std::memcpy(&x, &bits, sizeof x);
    if (!std::isfinite(x)) continue;
    int d = static_cast<int>(random() % 21);
    int w = 1 + static_cast<int>(random() % 60);
    check(x, w, d);
    if (HasFatalFailure()) return;
  }
  // Magnitudes the tables meet, fields that fit or overflow.
  std::uniform_real_distribution<double> exponent(-7.0, 9.0);
  for (int i = 0; i < 120000; ++i) {
    double magnitude = std::pow(10.0, exponent(random));
    float x = static_cast<float>((random() & 1) ? -magnitude : magnitude);
    int d = static_cast<int>(random() % 8);
    int w = 1 + static_cast<int>(random() % 16);
    check(x, w, d);
    if (HasFatalFailure()) return;
  }
  // Exact ties: m / 2^(d+1) with m odd is k + 1/2 units of the d-th place.
  for (int i = 0; i < 120000; ++i) {
    int d = static_cast<int>(random() % 13);
    uint32_t m = static_cast<uint32_t>(random() % (1u << 22)) | 1u;
    float x = std::ldexp(static_cast<float>(m), -(d + 1));
    if (random() & 1) x = -x;
    int w = 1 + static_cast<int>(random() % 24);
    check(x, w, d);
    if (HasFatalFailure()) return;
  }
  EXPECT_GT(checked, 290000);
  EXPECT_GT(filled, checked / 3);
}

// ---------------------------------------------------------------------------
// Random formats: the layout compiler, the fixed-text writer and the line
// writer walk the same way.

std::string random_list(std::mt19937_64& random, int depth);

std::string random_entry(std::mt19937_64& random, int depth) {
  auto pick = [&](int n) { return static_cast<int>(random() % static_cast<unsigned>(n)); };
  std::string repeat = pick(3) == 0 ? std::to_string(1 + pick(3)) : "";
  switch (pick(depth < 2 ? 8 : 7)) {
    case 0: {
      static const char* const kLiterals[] = {"'#'", "' '", "''''", "'ab'",
                                              "''", "':'"};
      return kLiterals[pick(6)];
    }
    case 1:
      return std::to_string(1 + pick(3)) + "X";
    case 2: {
      int w = 1 + pick(6);
      return repeat + "I" + std::to_string(w) +
             (pick(2) ? "." + std::to_string(pick(w < 3 ? w + 1 : 3)) : "");
    }
    case 3: {
      int w = 1 + pick(9);
      return repeat + "F" + std::to_string(w) + "." + std::to_string(pick(4));
    }
    case 4:
      return repeat + "Z" + std::to_string(1 + pick(4)) +
             (pick(2) ? ".1" : "");
    case 5:
    case 6:
      return repeat + "A" + std::to_string(1 + pick(6));
    default:
      return std::to_string(1 + pick(3)) + "(" + random_list(random, depth + 1) + ")";
  }
}

std::string random_list(std::mt19937_64& random, int depth) {
  int n = 1 + static_cast<int>(random() % 4);
  std::string list;
  for (int i = 0; i < n; ++i) {
    if (i) list += ",";
    list += random_entry(random, depth);
  }
  return list;
}

Item random_item(std::mt19937_64& random) {
  static const char kText[] = "Az09:#' ZZZZZZ";
  switch (random() % 4) {
    case 0:
      return byte_item(static_cast<int8_t>(random()));
    case 1:
      return integer_item(static_cast<int32_t>(random()) >> (random() % 32));
    case 2:
      return real_item(static_cast<float>(static_cast<int32_t>(random() % 200000) - 100000) /
                       static_cast<float>(1 << (random() % 12)));
    default:
      return text_item(kText, static_cast<int>(random() % 12));
  }
}

// Writes the items as lines, into a text and through a compiled layout, and
// checks that the three agree on the first line. Counts what it saw.
void check_writers_agree(const FormatPlan& plan, const std::vector<Item>& items,
                         int* compiled, int* several_lines) {
  int count = static_cast<int>(items.size());
  std::string lines = write_lines(plan, items);
  ASSERT_FALSE(lines.empty());
  ASSERT_EQ(lines.back(), '\n');
  std::string first = lines.substr(0, lines.find('\n'));
  if (first.size() + 1 != lines.size()) ++*several_lines;

  std::string text(first.size() + 3, '?');
  format_into_text(plan, items.data(), count, &text[0],
                   static_cast<int>(text.size()));
  EXPECT_EQ(text, first + "   ");

  LineLayout layout;
  if (!compile_layout(plan, count, &layout)) return;
  ++*compiled;
  ASSERT_EQ(first.size() + 1, lines.size()) << "compiled yet several lines";
  std::string line(layout.skeleton, static_cast<size_t>(layout.width));
  for (int i = 0; i < count; ++i) {
    const LayoutSlot& slot = layout.slots[i];
    render_item(slot.descriptor, items[static_cast<size_t>(i)],
                &line[static_cast<size_t>(slot.column)]);
  }
  ASSERT_EQ(line, first);
}

TEST(ColumnFormat, LayoutAndTextAgreeWithLineWriter) {
  std::mt19937_64 random(77);
  int compiled = 0;
  int several_lines = 0;
  for (int round = 0; round < 3000; ++round) {
    std::string format = "(" + random_list(random, 0) + ")";
    FormatPlan plan;
    ASSERT_TRUE(parse_format(format.c_str(), &plan)) << format;
    for (int count = 0; count <= 12; ++count) {
      SCOPED_TRACE(format + " with " + std::to_string(count) + " items");
      std::vector<Item> items;
      for (int i = 0; i < count; ++i) items.push_back(random_item(random));
      check_writers_agree(plan, items, &compiled, &several_lines);
      if (HasFatalFailure()) return;
    }
  }
  EXPECT_GT(compiled, 10000);
  EXPECT_GT(several_lines, 1000);
}

// Damaged formats are either refused or written like any other.
TEST(ColumnFormat, DamagedFormats) {
  static const char kAlphabet[] = "()',.0123XIFZAxifza ";
  std::mt19937_64 random(4242);
  int accepted = 0;
  int refused = 0;
  int compiled = 0;
  int several_lines = 0;
  for (int round = 0; round < 40000; ++round) {
    std::string format = "(" + random_list(random, 0) + ")";
    int edits = 1 + static_cast<int>(random() % 3);
    for (int e = 0; e < edits && !format.empty(); ++e) {
      size_t at = random() % format.size();
      char c = kAlphabet[random() % (sizeof kAlphabet - 1)];
      switch (random() % 3) {
        case 0: format.erase(at, 1); break;
        case 1: format.insert(at, 1, c); break;
        default: format[at] = c; break;
      }
    }
    FormatPlan plan;
    if (!parse_format(format.c_str(), &plan)) {
      ++refused;
      continue;
    }
    ++accepted;
    SCOPED_TRACE(format);
    std::vector<Item> items;
    int count = static_cast<int>(random() % 10);
    for (int i = 0; i < count; ++i) items.push_back(random_item(random));
    check_writers_agree(plan, items, &compiled, &several_lines);
    if (HasFatalFailure()) return;
  }
  EXPECT_GT(accepted, 2000);
  EXPECT_GT(refused, 2000);
}

}  // namespace
