#include "blockio/field_render.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

namespace digisonde16c {

namespace {

// The first descriptor of `format` applied to `item`.
std::string render(const char* format, const Item& item) {
  FormatPlan plan;
  EXPECT_TRUE(parse_format(format, &plan)) << format;
  const Descriptor& d = plan.descriptors[0];
  std::string out(static_cast<size_t>(d.width), '?');
  render_item(d, item, &out[0]);
  return out;
}

TEST(FieldRender, IntegerFields) {
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

TEST(FieldRender, IntegerDescriptorsOnItems) {
  static const struct {
    const char* format;
    Item item;
    const char* expected;
  } kCases[] = {
      {"(I4.4)", integer_item(7), "0007"},
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

TEST(FieldRender, HexFields) {
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

TEST(FieldRender, HexRendererWithMinimumWiderThanField) {
  char out[3];
  render_hex(0xA, 3, 5, out);
  EXPECT_EQ(std::string(out, 3), "00A");
}

TEST(FieldRender, RealFields) {
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

TEST(FieldRender, TextFields) {
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

TEST(FieldRender, ItemsOfAnotherKind) {
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

TEST(FieldRender, RealFieldsMatchExactReference) {
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
// The integer route of render_real against its general route.

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

TEST(FieldRender, RealFieldsMatchTheGeneralRoute) {
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

}  // namespace

}  // namespace digisonde16c
