// The fast routes of the column-format engine against its general routes:
// the same characters for every field and every write.
#include "blockio/column_format.h"

#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

// An Fw.d field of x written by render_real or by its general route.
std::string real_field(float x, int w, int d, bool general) {
  std::string out(static_cast<size_t>(w), '?');
  if (general) {
    render_real_general(x, w, d, &out[0]);
  } else {
    render_real(x, w, d, &out[0]);
  }
  return out;
}

// Values that reach every branch of an Fw.d field: any bit pattern, values
// of a few significant bits, exact ties at d decimals (odd multiples of
// 2^-(d+1)), negatives that round to zero, and values at the edge of the
// field's width.
float interesting_value(std::mt19937_64& random, int w, int d) {
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  double sign = (random() & 1) ? -1.0 : 1.0;
  switch (random() % 7) {
    case 0: {
      uint32_t bits = static_cast<uint32_t>(random());
      float x;
      std::memcpy(&x, &bits, sizeof x);
      return x;
    }
    case 1:  // magnitudes the field can show
      return static_cast<float>(sign * std::pow(10.0, unit(random) * (w - d)) *
                                unit(random));
    case 2: {  // ties
      double odd = static_cast<double>(2 * (random() % 200000) + 1);
      return static_cast<float>(sign * odd / std::ldexp(1.0, d + 1));
    }
    case 3:  // below half a unit in the last place: rounds to zero
      return static_cast<float>(-unit(random) * 0.5 * std::pow(10.0, -d));
    case 4: {  // around the largest magnitude that fits
      double edge = std::pow(10.0, w - d - 1) - 0.5 * std::pow(10.0, -d);
      float x = static_cast<float>(sign * edge);
      for (int steps = static_cast<int>(random() % 5); steps > 0; --steps) {
        x = std::nextafter(x, (random() & 1) ? 1e30f : -1e30f);
      }
      return x;
    }
    case 5:  // at and beyond the integer route's limit
      return static_cast<float>(sign * (1e9 + (unit(random) - 0.5) * 1e3));
    default:  // on a grid of 1/32, as amplitudes and phases are
      return static_cast<float>(sign * static_cast<double>(random() % 20000) / 32.0);
  }
}

TEST(FastFormat, RealFieldsMatchTheGeneralRoute) {
  // The programs' F descriptors first, then narrow fields where a leading
  // zero is dropped or asterisks are due.
  static const struct {
    int width;
    int decimals;
    int values;
  } kFields[] = {
      {10, 4, 400000}, {10, 3, 600000}, {8, 1, 400000}, {8, 2, 200000},
      {8, 3, 200000},  {8, 4, 200000},  {7, 4, 200000}, {1, 0, 50000},
      {3, 1, 100000},  {4, 2, 100000},  {5, 4, 100000}, {6, 3, 100000},
      {12, 0, 100000}, {15, 4, 100000}, {9, 5, 50000},
  };
  std::mt19937_64 random(1604);
  for (const auto& f : kFields) {
    int shown = 0;
    for (int i = 0; i < f.values; ++i) {
      float x = interesting_value(random, f.width, f.decimals);
      std::string fast = real_field(x, f.width, f.decimals, false);
      std::string general = real_field(x, f.width, f.decimals, true);
      ASSERT_EQ(fast, general) << "F" << f.width << "." << f.decimals << " of "
                               << std::hexfloat << x;
      if (fast.find('*') == std::string::npos) ++shown;
    }
    // Many values must have shown digits rather than asterisks.
    EXPECT_GT(shown, f.values / 5) << "F" << f.width << "." << f.decimals;
  }
}

std::string written(const FormatPlan& plan, const std::vector<Item>& items) {
  std::vector<char> storage(1 << 16);
  TextSink sink = make_text_sink(-1, storage.data(), storage.size());
  write_formatted(&sink, plan, items.data(), static_cast<int>(items.size()));
  EXPECT_EQ(sink.discarded, 0u);
  return std::string(sink.data, sink.length);
}

Item random_item(std::mt19937_64& random, ItemKind kind) {
  static const char kText[] = "Ampltude Doppler Polarize";
  switch (kind) {
    case ItemKind::kByte:
      return byte_item(static_cast<int8_t>(random() & 0xFF));
    case ItemKind::kInteger:
      return integer_item(static_cast<int32_t>(random() % 40000) - 20000);
    case ItemKind::kReal:
      return real_item(interesting_value(random, 8, static_cast<int>(random() % 5)));
    case ItemKind::kText:
    default:
      return text_item(kText + random() % 10, static_cast<int>(random() % 16));
  }
}

TEST(FastFormat, LayoutWritesMatchTheWalk) {
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
          ItemKind kind = i < c.lead_count ? c.lead : c.rest;
          // One write in eight has an item of another kind somewhere.
          if (random() % 64 == 0) kind = static_cast<ItemKind>(random() % 4);
          items.push_back(random_item(random, kind));
        }
        std::string walked = written(plan, items);
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

}  // namespace
