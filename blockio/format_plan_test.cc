#include "blockio/format_plan.h"

#include <gtest/gtest.h>

#include <string>

namespace digisonde16c {

namespace {

TEST(FormatPlan, ParsesDescriptorsGroupsAndReversion) {
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

TEST(FormatPlan, RejectsMalformedFormats) {
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

}  // namespace

}  // namespace digisonde16c
