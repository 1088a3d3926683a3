#include "blockio/free_form.h"

#include <string>

#include <gtest/gtest.h>

namespace digisonde16c {

namespace {

std::string written(const FreeItem* items, int count) {
  char storage[512];
  TextSink sink = make_text_sink(-1, storage, sizeof storage);
  write_free_form(&sink, items, count);
  return std::string(sink.data, sink.length);
}

// A line ends before an item when the position (characters on the line, the
// leading blank included) plus the item's length, or its digit count, would
// reach 80; the sign and the blank of an integer do not count.
TEST(FreeForm, AnItemThatWouldReachColumn80StartsANewLine) {
  const std::string t74(74, 'a'), t70(70, 'b'), t75(75, 'c');
  const struct {
    const char* what;
    const std::string& first;
    bool second_is_text;
    const char* text;
    int value;
    std::string expected;
  } kCases[] = {
      {"75 then 10 characters", t75, true, "0123456789", 0,
       " " + t75 + "\n 0123456789\n"},
      {"70 then 8: column 79", t70, true, "01234567", 0, " " + t70 + "01234567\n"},
      {"70 then 9: column 80", t70, true, "012345678", 0, " " + t70 + "\n 012345678\n"},
      {"74 then 4 digits", t74, false, nullptr, 1234, " " + t74 + " 1234\n"},
      {"74 then 5 digits", t74, false, nullptr, 12345, " " + t74 + "\n 12345\n"},
      {"74 then a negative of 4 digits", t74, false, nullptr, -1234, " " + t74 + " -1234\n"},
  };
  for (const auto& row : kCases) {
    FreeItem items[2] = {free_text(row.first.c_str(), static_cast<int>(row.first.size())),
                         row.second_is_text ? free_text(row.text) : free_integer(row.value)};
    EXPECT_EQ(written(items, 2), row.expected) << row.what;
  }
}

}  // namespace

}  // namespace digisonde16c
