// The column-format engine on arbitrary items: every format the programs
// use, formats parsed from the input, and the field writers checked against
// the field rules (digits from the C library, layout from the rules).
//
// Input: a selector byte, then (for a parsed format) a length byte and the
// format text, then items: a kind byte and its payload each.
#include <cinttypes>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "blockio/column_format.h"
#include "blockio/line_layout.h"
#include "fuzz/fuzz_support.h"

using namespace digisonde16c;

namespace {

const char* const kProgramFormats[] = {
    "('Read-> ',20(1X,Z2.2))",
    "(I4.4,1X,3I1,1X,2I1,':',2I1,':',2I1)",
    "('#',A16,10A10)",
    "(A17,F10.4,10F10.3)",
    ("('# ',A17,F7.4,1X,11Z1,1X,8Z1,1X,6Z1,1X,7Z1,1X,5Z1,1X,3Z1,1X,3Z1,1X,4Z1,"
     "1X,3Z1,1X,3Z1,1X,4Z1)"),
    "('#',A15,64F8.4)",
    "('#',A15,64F8.3)",
    "('#',A15,64F8.2)",
    "(F8.4,F8.1,32F8.1)",
};
constexpr int kProgramFormatCount = sizeof kProgramFormats / sizeof kProgramFormats[0];

constexpr int kMaxItems = 300;
constexpr int kMaxTextLength = 1500;

// Reals a fuzzer rarely builds from random bits.
const float kSpecialReals[] = {
    NAN, -NAN, INFINITY, -INFINITY, 0.0f, -0.0f, 1e-45f, -1e-45f, 1.17549421e-38f,
    3.40282347e38f, -3.40282347e38f, 0.55f, -0.5f, 0.05f, 99999.99f, 1e8f,
};

char text_pool[kMaxTextLength];
char out_storage[1 << 20];

Item read_item(InputReader* in) {
  uint8_t kind = in->byte();
  switch (kind % 5) {
    case 0:
      return byte_item(static_cast<int8_t>(in->byte()));
    case 1: {
      uint8_t pick = in->byte();
      int32_t v = static_cast<int32_t>(in->u32());
      if (pick % 4 == 0) v = pick & 4 ? INT32_MIN : INT32_MAX;
      return integer_item(v);
    }
    case 2:
      return real_item(in->real());
    case 3:
      return real_item(kSpecialReals[in->byte() % (sizeof kSpecialReals / sizeof(float))]);
    default: {
      int length = static_cast<int>((in->byte() | (in->byte() << 8)) % (kMaxTextLength + 1));
      return text_item(text_pool, length);
    }
  }
}

// The Iw.m rule for an integer.
std::string expected_integer(int64_t v, int w, int m) {
  bool negative = v < 0;
  char digits[32];
  std::snprintf(digits, sizeof digits, "%" PRIu64,
                negative ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v));
  int k = static_cast<int>(std::strlen(digits));
  int s = negative ? 1 : 0;
  if (k + s > w || (m >= 0 && m + s > w)) return std::string(w, '*');
  if (m == 0 && v == 0) return std::string(w, ' ');
  int shown = m > k ? m : k;
  return std::string(w - shown - s, ' ') + (negative ? "-" : "") +
         std::string(m > k ? m - k : 0, '0') + digits;
}

// The Zw.m rule.
std::string expected_hex(uint32_t v, int w, int m) {
  char digits[16];
  std::snprintf(digits, sizeof digits, "%" PRIX32, v);
  int e = static_cast<int>(std::strlen(digits));
  if (e > w) return std::string(w, '*');
  if (m < 0) m = 0;
  int shown = m > e ? m : e;
  return std::string(w - shown, ' ') + std::string(m > e ? m - e : 0, '0') + digits;
}

// The Fw.d rule for a finite real; the C library gives the exactly rounded
// digits (ties to even on the exact value).
std::string expected_real(float x, int w, int d) {
  double wide = x;
  bool negative = wide < 0;
  static char digits[kMaxFieldWidth + 400];
  std::snprintf(digits, sizeof digits, "%.*f", d, std::fabs(wide));
  std::string text = digits;
  if (d == 0) text += ".";  // the point is always written
  if (negative && text.find_first_of("123456789") == std::string::npos) negative = false;
  int n = static_cast<int>(text.size()) + (negative ? 1 : 0);
  if (n > w) {
    if (text[0] == '0' && n - 1 == w) {
      text.erase(0, 1);
      n = w;
    } else {
      return std::string(w, '*');
    }
  }
  return std::string(w - n, ' ') + (negative ? "-" : "") + text;
}

// Columns that one pass over descriptors [from, to) of the plan can write,
// at most (data fields, moves and literals, groups times their repeats).
double pass_columns(const FormatPlan& plan, int from, int to) {
  double columns = 0;
  for (int i = from; i < to; ++i) {
    const Descriptor& d = plan.descriptors[i];
    switch (d.kind) {
      case DescriptorKind::kGroupOpen:
        columns += d.repeat * pass_columns(plan, i + 1, d.partner);
        i = d.partner;
        break;
      case DescriptorKind::kLiteral:
        columns += d.literal_length;
        break;
      case DescriptorKind::kGroupClose:
        break;
      default:
        columns += static_cast<double>(d.repeat) * d.width;
    }
  }
  return columns;
}

// A parsed format may nest repeated groups into lines of billions of
// columns, all of which the engine writes as told; such formats are passed
// over so that a run stays short.
constexpr double kMaxPassColumns = 1e5;

void check_fields(InputReader* in) {
  static char field[kMaxFieldWidth + 1];
  int w = 1 + in->byte() % 40;
  if (in->byte() == 0xFF) w = kMaxFieldWidth;
  uint8_t m_byte = in->byte();
  int m = m_byte == 0xFF ? -1 : m_byte % (w + 1);
  int d = in->byte() % w;

  int64_t v = static_cast<int32_t>(in->u32());
  render_integer(v, w, m, field);
  FUZZ_CHECK(std::string(field, w) == expected_integer(v, w, m));

  uint32_t h = in->u32();
  render_hex(h, w, m, field);
  FUZZ_CHECK(std::string(field, w) == expected_hex(h, w, m));

  float x = in->real();
  render_real(x, w, d, field);
  if (std::isfinite(x)) {
    FUZZ_CHECK(std::string(field, w) == expected_real(x, w, d));
  } else {
    for (int i = 0; i < w; ++i) {
      FUZZ_CHECK(field[i] >= 0x20 && field[i] <= 0x7E);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  InputReader in{data, size};
  // Texts are the input's bytes over and over.
  for (int i = 0; i < kMaxTextLength; ++i) {
    text_pool[i] = size > 0 ? static_cast<char>(data[static_cast<size_t>(i) % size]) : 'x';
  }
  uint8_t selector = in.byte();

  FormatPlan plan;
  if (selector % 2 == 0) {
    FUZZ_CHECK(parse_format(kProgramFormats[(selector / 2) % kProgramFormatCount], &plan));
  } else {
    char text[256];
    size_t length = in.byte();
    for (size_t i = 0; i < length; ++i) text[i] = static_cast<char>(in.byte());
    text[length] = '\0';
    if (std::strlen(text) != length || !parse_format(text, &plan) ||
        pass_columns(plan, 0, plan.count) > kMaxPassColumns) {
      check_fields(&in);
      return 0;
    }
  }

  static Item items[kMaxItems];
  int count = in.byte() + (selector & 0x80 ? in.byte() % 45 : 0);
  for (int i = 0; i < count; ++i) items[i] = read_item(&in);

  TextSink out = memory_sink(out_storage, sizeof out_storage);
  write_formatted(&out, plan, items, count);
  // Parsed formats can repeat moves and literals into lines of megabytes;
  // what does not fit the sink is counted, and the last line end is kept.
  FUZZ_CHECK(out.length > 0 && out.data[out.length - 1] == '\n');

  char text[64];
  format_into_text(plan, items, count, text, sizeof text);

  // A compiled layout gives the same line as the plan, field by field and
  // through write_layout.
  static LineLayout layout;
  if (count <= kMaxLayoutItems && compile_layout(plan, count, &layout)) {
    FUZZ_CHECK(out.discarded == 0);
    static char line[kMaxLayoutChars + 1];
    std::memcpy(line, layout.skeleton, static_cast<size_t>(layout.width));
    for (int i = 0; i < count; ++i) {
      render_item(layout.slots[i].descriptor, items[i], line + layout.slots[i].column);
    }
    line[layout.width] = '\n';
    FUZZ_CHECK(out.length == static_cast<size_t>(layout.width) + 1);
    FUZZ_CHECK(std::memcmp(out.data, line, out.length) == 0);

    // write_layout gives that line too.
    static char layout_storage[kMaxLayoutChars + 1];
    TextSink layout_out = memory_sink(layout_storage, sizeof layout_storage);
    write_layout(&layout_out, layout, items);
    FUZZ_CHECK(layout_out.discarded == 0);
    FUZZ_CHECK(layout_out.length == out.length);
    FUZZ_CHECK(std::memcmp(layout_out.data, out.data, out.length) == 0);
  }
  check_fields(&in);
  return 0;
}
