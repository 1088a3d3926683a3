#include "blockio/line_layout.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "blockio/column_format.h"
#include "tests/support/text_capture.h"

namespace digisonde16c {

namespace {

TEST(LineLayout, CompileLayout) {
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

// An item of `kind`: values the programs' lines meet, and some that overflow
// their fields.
Item item_of_kind(std::mt19937_64& random, ItemKind kind) {
  static const char kText[] = "Ampltude Doppler Polarize";
  switch (kind) {
    case ItemKind::kByte:
      return byte_item(static_cast<int8_t>(random() & 0xFF));
    case ItemKind::kInteger:
      return integer_item(static_cast<int32_t>(random() % 40000) - 20000);
    case ItemKind::kReal:
      if (random() % 4 == 0) {
        uint32_t bits = static_cast<uint32_t>(random());
        float x;
        std::memcpy(&x, &bits, sizeof x);
        return real_item(x);
      }
      return real_item(static_cast<float>(static_cast<int32_t>(random() % 4000000) - 2000000) /
                       32.0f);
    case ItemKind::kText:
    default:
      return text_item(kText + random() % 10, static_cast<int>(random() % 16));
  }
}

TEST(LineLayout, WritesMatchTheWalk) {
  // The programs' formats, with items of the kinds they take, as many as
  // they take, fewer and more (several lines, which do not compile), and
  // some of other kinds.
  static const struct {
    const char* format;
    ItemKind lead;  // kind of the first `lead_count` items
    int lead_count;
    ItemKind rest;
    int counts[4];
  } kCases[] = {
      {"('Read-> ',20(1X,Z2.2))", ItemKind::kByte, 0, ItemKind::kByte, {20, 3, 41, 0}},
      {"('#',A16,10A10)", ItemKind::kText, 0, ItemKind::kText, {10, 11, 4, 0}},
      {"(A17,F10.4,10F10.3)", ItemKind::kText, 1, ItemKind::kReal, {10, 11, 12, 25}},
      {"('# ',A17,F7.4,1X,11Z1,1X,8Z1,1X,6Z1,1X,7Z1,1X,5Z1,1X,3Z1,1X,3Z1,1X,4Z1,"
       "1X,3Z1,1X,3Z1,1X,4Z1)",
       ItemKind::kText, 1, ItemKind::kByte, {59, 20, 60, 0}},
      {"('#',A15,64F8.4)", ItemKind::kText, 1, ItemKind::kReal, {17, 33, 66, 1}},
      {"('#',A15,64F8.3)", ItemKind::kText, 1, ItemKind::kReal, {17, 33, 2, 0}},
      {"('#',A15,64F8.2)", ItemKind::kText, 1, ItemKind::kReal, {17, 33, 70, 0}},
      {"(F8.4,F8.1,32F8.1)", ItemKind::kReal, 0, ItemKind::kReal, {18, 34, 35, 1}},
      {"(I4.4,1X,3I1,1X,2I1,':',2I1,':',2I1)", ItemKind::kInteger, 1, ItemKind::kByte,
       {10, 9, 11, 0}},
  };
  std::mt19937_64 random(99);
  int compiled = 0;
  for (int round = 0; round < 400; ++round) {
    for (const auto& c : kCases) {
      FormatPlan plan;
      ASSERT_TRUE(parse_format(c.format, &plan)) << c.format;
      for (int count : c.counts) {
        std::vector<Item> items;
        for (int i = 0; i < count; ++i) {
          // One item in four repeats the one before it, as the channels'
          // values often do, also across fields of other widths.
          if (i > 0 && random() % 4 == 0) {
            items.push_back(items.back());
            continue;
          }
          ItemKind kind = i < c.lead_count ? c.lead : c.rest;
          // One write in eight has an item of another kind somewhere.
          if (random() % 64 == 0) kind = static_cast<ItemKind>(random() % 4);
          items.push_back(item_of_kind(random, kind));
        }
        std::string walked = write_lines(plan, items);
        // A layout compiled once gives the same line.
        LineLayout layout;
        if (compile_layout(plan, count, &layout)) {
          ++compiled;
          std::vector<char> storage(1 << 16);
          TextSink sink = make_text_sink(-1, storage.data(), storage.size());
          write_layout(&sink, layout, items.data());
          ASSERT_EQ(std::string(sink.data, sink.length), walked)
              << c.format << " with " << count << " items, compiled layout";
          // Items all of one byte each can also be handed as raw bytes.
          std::vector<unsigned char> bytes;
          for (const Item& item : items) {
            if (item.kind == ItemKind::kByte) bytes.push_back(static_cast<unsigned char>(item.integer));
          }
          if (bytes.size() == items.size()) {
            sink.length = 0;
            write_layout_bytes(&sink, layout, bytes.data());
            ASSERT_EQ(std::string(sink.data, sink.length), walked)
                << c.format << " with " << count << " raw bytes";
          }
        }
      }
    }
  }
  EXPECT_GT(compiled, 400 * 15);
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

TEST(LineLayout, LayoutAndTextAgreeWithLineWriter) {
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
TEST(LineLayout, DamagedFormats) {
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

}  // namespace digisonde16c
