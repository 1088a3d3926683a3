#include "blockio/field_render.h"

#include <cmath>
#include <cstdio>

namespace digisonde16c {

namespace {

// Decimals up to which |x| * 10^d is exact in double for every float x: the
// 24-bit significand times 5^12 stays below 2^53.
constexpr int kMaxExactDecimals = 12;
// Below this, the rounded |x| * 10^d fits a 64-bit integer.
constexpr double kMaxScaled = 4611686018427387904.0;  // 2^62

constexpr double kPow10[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                             1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                             1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
constexpr uint64_t kPow10Integer[] = {1ull,
                                      10ull,
                                      100ull,
                                      1000ull,
                                      10000ull,
                                      100000ull,
                                      1000000ull,
                                      10000000ull,
                                      100000000ull,
                                      1000000000ull,
                                      10000000000ull,
                                      100000000000ull,
                                      1000000000000ull};

constexpr char kHexDigits[] = "0123456789ABCDEF";

// "00", "01", ... "99": two decimal digits per lookup.
struct DigitPairs {
  char pairs[200];
  constexpr DigitPairs() : pairs() {
    for (int i = 0; i < 100; ++i) {
      pairs[2 * i] = static_cast<char>('0' + i / 10);
      pairs[2 * i + 1] = static_cast<char>('0' + i % 10);
    }
  }
};
constexpr DigitPairs kDigitPairs;

// The integer route of F fields: up to this many decimals and magnitudes
// below kSmallFixedLimit, |x| * 10^d has at most 24 + 4 * 2.33 significant
// bits and stays far below 2^52, so the product is exact in double and the
// rounding trick below applies.
constexpr int kMaxSmallFixedDecimals = 4;
constexpr double kSmallFixedLimit = 1e9;
constexpr double kTwoTo52 = 4503599627370496.0;

inline void fill(char* out, int count, char c) {
  if (count > 0) std::memset(out, c, static_cast<size_t>(count));
}

inline void asterisks(char* out, int width) { fill(out, width, '*'); }

// Writes the decimal digits of `value` so that they end at `end`; returns
// their number (1 for 0).
inline int decimal_digits(uint64_t value, char* end) {
  int count = 0;
  do {
    *--end = static_cast<char>('0' + value % 10);
    value /= 10;
    ++count;
  } while (value != 0);
  return count;
}

// Places a word such as "NaN" right-justified, or asterisks when it does not
// fit.
void render_word(const char* word, int width, char* out) {
  int length = static_cast<int>(std::strlen(word));
  if (length > width) {
    asterisks(out, width);
    return;
  }
  fill(out, width - length, ' ');
  std::memcpy(out + width - length, word, static_cast<size_t>(length));
}

// Lays out a fixed-point text whose digits are already exact: the integer
// digits, the point, `fraction_length` digits and then `zero_tail` zeros.
void place_fixed(bool negative, const char* integer, int integer_length,
                 const char* fraction, int fraction_length, int zero_tail,
                 int width, char* out) {
  int64_t n = int64_t{integer_length} + 1 + fraction_length + zero_tail +
              (negative ? 1 : 0);
  bool drop_zero = false;
  if (n > width) {
    // A magnitude below 1 gives up its leading "0" when that alone makes the
    // field fit.
    if (integer_length == 1 && integer[0] == '0' && n - 1 == width) {
      drop_zero = true;
      --n;
    } else {
      asterisks(out, width);
      return;
    }
  }
  int blanks = width - static_cast<int>(n);
  fill(out, blanks, ' ');
  out += blanks;
  if (negative) *out++ = '-';
  if (!drop_zero) {
    std::memcpy(out, integer, static_cast<size_t>(integer_length));
    out += integer_length;
  }
  *out++ = '.';
  if (fraction_length > 0) {
    std::memcpy(out, fraction, static_cast<size_t>(fraction_length));
    out += fraction_length;
  }
  fill(out, zero_tail, '0');
}

// Fixed point for d <= kMaxSmallFixedDecimals and magnitude below
// kSmallFixedLimit. Returns false, having written nothing, when the text
// does not fit the field as it is; the general route then decides between a
// dropped leading zero and asterisks.
bool render_small_fixed(bool negative, double magnitude, int width, int d,
                        char* out) {
  double scaled = magnitude * kPow10[d];  // exact
  // Adding and taking away 2^52 leaves the integer nearest to `scaled` in
  // the current rounding mode (to nearest, ties to even) for 0 <= scaled
  // < 2^52.
  double rounded = (scaled + kTwoTo52) - kTwoTo52;
  uint64_t q = static_cast<uint64_t>(rounded);
  if (q == 0) negative = false;
  char text[32];
  char* end = text + sizeof text;
  char* p = end;
  for (int i = 0; i < d; ++i) {
    *--p = static_cast<char>('0' + q % 10);
    q /= 10;
  }
  *--p = '.';
  while (q >= 100) {
    p -= 2;
    std::memcpy(p, kDigitPairs.pairs + 2 * (q % 100), 2);
    q /= 100;
  }
  if (q >= 10) {
    p -= 2;
    std::memcpy(p, kDigitPairs.pairs + 2 * q, 2);
  } else {
    *--p = static_cast<char>('0' + q);
  }
  if (negative) *--p = '-';
  int n = static_cast<int>(end - p);
  if (n > width) return false;
  fill(out, width - n, ' ');
  std::memcpy(out + width - n, p, static_cast<size_t>(n));
  return true;
}

// Exact conversion for magnitudes or decimals beyond the integer routes. The
// C library's fixed notation of a double is exact and rounds ties to even; a
// float has no nonzero decimal beyond the 149th, so deeper places are zeros.
void render_real_slow(bool negative, double magnitude, int width, int decimals,
                      char* out) {
  if (width < static_cast<int>(sizeof kPow10 / sizeof kPow10[0]) &&
      magnitude >= kPow10[width]) {
    // More integer digits than the field has columns.
    asterisks(out, width);
    return;
  }
  constexpr int kMaxExactPlaces = 150;
  int places = decimals < kMaxExactPlaces ? decimals : kMaxExactPlaces;
  char text[64 + kMaxExactPlaces];
  int length = std::snprintf(text, sizeof text, "%.*f", places, magnitude);
  if (length <= 0 || length >= static_cast<int>(sizeof text)) {
    asterisks(out, width);
    return;
  }
  int integer_length = places > 0 ? length - places - 1 : length;
  const char* fraction = text + integer_length + 1;
  if (negative) {
    negative = false;
    for (int i = 0; i < length; ++i) {
      if (text[i] >= '1' && text[i] <= '9') negative = true;
    }
  }
  place_fixed(negative, text, integer_length, fraction, places,
              decimals - places, width, out);
}

// The integer an I field shows for an item, false when it has none.
bool integer_value(const Item& item, int64_t* value) {
  switch (item.kind) {
    case ItemKind::kByte:
      *value = static_cast<int8_t>(item.integer);
      return true;
    case ItemKind::kInteger:
      *value = item.integer;
      return true;
    case ItemKind::kReal: {
      double x = std::trunc(static_cast<double>(item.real));
      // NaN fails both comparisons.
      if (!(x > -9223372036854775808.0 && x < 9223372036854775808.0)) {
        return false;
      }
      *value = static_cast<int64_t>(x);
      return true;
    }
    case ItemKind::kText:
      break;
  }
  return false;
}

}  // namespace

void render_integer(int64_t value, int width, int min_digits, char* out) {
  if (width <= 0) return;
  char buffer[20];
  char* end = buffer + sizeof buffer;
  bool negative = value < 0;
  uint64_t magnitude = negative ? 0 - static_cast<uint64_t>(value)
                                : static_cast<uint64_t>(value);
  int k = decimal_digits(magnitude, end);
  int s = negative ? 1 : 0;
  int m = min_digits;
  if (k + s > width || (m >= 0 && m + s > width)) {
    asterisks(out, width);
    return;
  }
  if (m == 0 && magnitude == 0) {
    fill(out, width, ' ');
    return;
  }
  int shown = k > m ? k : m;
  int blanks = width - shown - s;
  fill(out, blanks, ' ');
  out += blanks;
  if (negative) *out++ = '-';
  fill(out, shown - k, '0');
  std::memcpy(out + shown - k, end - k, static_cast<size_t>(k));
}

void render_real(float value, int width, int decimals, char* out) {
  if (width > 0 && decimals <= kMaxSmallFixedDecimals) {
    double magnitude = std::fabs(static_cast<double>(value));  // NaN fails below
    if (magnitude < kSmallFixedLimit &&
        render_small_fixed(value < 0, magnitude, width, decimals < 0 ? 0 : decimals,
                           out)) {
      return;
    }
  }
  render_real_general(value, width, decimals, out);
}

void render_real_general(float value, int width, int decimals, char* out) {
  if (width <= 0) return;
  int d = decimals < 0 ? 0 : decimals;
  if (std::isnan(value)) {
    render_word("NaN", width, out);
    return;
  }
  if (std::isinf(value)) {
    if (value > 0) {
      render_word(width >= 8 ? "Infinity" : "Inf", width, out);
    } else {
      render_word(width >= 9 ? "-Infinity" : "-Inf", width, out);
    }
    return;
  }
  // The text has at least one digit before the point and d after it, and
  // may drop only that one digit.
  if (d >= width) {
    asterisks(out, width);
    return;
  }
  double x = value;  // exact
  bool negative = x < 0;  // -0 counts as +0
  double magnitude = std::fabs(x);  // also drops the sign of -0
  if (d <= kMaxExactDecimals) {
    double scaled = magnitude * kPow10[d];  // exact, see kMaxExactDecimals
    if (scaled < kMaxScaled) {
      double whole = std::floor(scaled);
      double rest = scaled - whole;  // exact
      uint64_t q = static_cast<uint64_t>(whole);
      if (rest > 0.5 || (rest == 0.5 && (q & 1) != 0)) ++q;
      if (q == 0) negative = false;
      uint64_t unit = kPow10Integer[d];
      char integer[20];
      char* integer_end = integer + sizeof integer;
      int integer_length = decimal_digits(q / unit, integer_end);
      char fraction[kMaxExactDecimals];
      uint64_t f = q % unit;
      for (int i = d - 1; i >= 0; --i) {
        fraction[i] = static_cast<char>('0' + f % 10);
        f /= 10;
      }
      place_fixed(negative, integer_end - integer_length, integer_length,
                  fraction, d, 0, width, out);
      return;
    }
  }
  render_real_slow(negative, magnitude, width, d, out);
}

void render_hex(uint32_t value, int width, int min_digits, char* out) {
  const unsigned char bytes[4] = {
      static_cast<unsigned char>(value), static_cast<unsigned char>(value >> 8),
      static_cast<unsigned char>(value >> 16), static_cast<unsigned char>(value >> 24)};
  render_hex_bytes(bytes, 4, width, min_digits, out);
}

void render_hex_bytes(const unsigned char* bytes, int count, int width,
                      int min_digits, char* out) {
  if (width <= 0) return;
  int top = count - 1;
  while (top >= 0 && bytes[top] == 0) --top;
  int64_t digits = top < 0 ? 1 : int64_t{2} * top + (bytes[top] >= 16 ? 2 : 1);
  if (digits > width) {
    asterisks(out, width);
    return;
  }
  int e = static_cast<int>(digits);
  int m = min_digits < 0 ? 0 : (min_digits > width ? width : min_digits);
  int shown = e > m ? e : m;
  fill(out, width - shown, ' ');
  fill(out + width - shown, shown - e, '0');
  if (top < 0) {
    out[width - 1] = '0';
    return;
  }
  char* p = out + width;
  for (int i = 0; i < e; ++i) {
    unsigned byte = bytes[i / 2];
    *--p = kHexDigits[(i % 2 == 0) ? (byte & 15) : (byte >> 4)];
  }
}

void render_text(const char* text, int length, int width, char* out) {
  if (width <= 0) return;
  if (text == nullptr || length < 0) length = 0;
  if (width > length) {
    fill(out, width - length, ' ');
    if (length > 0) {
      std::memcpy(out + width - length, text, static_cast<size_t>(length));
    }
  } else {
    std::memcpy(out, text, static_cast<size_t>(width));
  }
}

void render_item(const Descriptor& d, const Item& item, char* out) {
  int width = d.width;
  if (width <= 0 || !is_data(d.kind)) return;
  switch (d.kind) {
    case DescriptorKind::kInteger: {
      int64_t value;
      if (integer_value(item, &value)) {
        render_integer(value, width, d.digits, out);
      } else {
        asterisks(out, width);
      }
      return;
    }
    case DescriptorKind::kReal:
      switch (item.kind) {
        case ItemKind::kReal:
          render_real(item.real, width, d.digits, out);
          return;
        case ItemKind::kByte:
          render_real(static_cast<int8_t>(item.integer), width, d.digits, out);
          return;
        case ItemKind::kInteger:
          render_real(static_cast<float>(item.integer), width, d.digits, out);
          return;
        case ItemKind::kText:
          break;
      }
      asterisks(out, width);
      return;
    case DescriptorKind::kHex:
      switch (item.kind) {
        case ItemKind::kByte: {
          const unsigned char byte = static_cast<uint8_t>(item.integer);
          render_hex_bytes(&byte, 1, width, d.digits, out);
          return;
        }
        case ItemKind::kInteger:
          render_hex(static_cast<uint32_t>(item.integer), width, d.digits,
                     out);
          return;
        case ItemKind::kReal: {
          uint32_t bits;
          std::memcpy(&bits, &item.real, sizeof bits);
          render_hex(bits, width, d.digits, out);
          return;
        }
        case ItemKind::kText:
          render_hex_bytes(reinterpret_cast<const unsigned char*>(item.text),
                           item.text == nullptr ? 0 : item.length, width,
                           d.digits, out);
          return;
      }
      asterisks(out, width);
      return;
    case DescriptorKind::kText:
      if (item.kind == ItemKind::kText) {
        render_text(item.text, item.length, width, out);
      } else {
        asterisks(out, width);
      }
      return;
    default:
      return;
  }
}

}  // namespace digisonde16c
