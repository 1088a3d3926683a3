#include "blockio/column_format.h"

#include <cmath>
#include <cstdio>
#include <cstring>

namespace {

// Pending moves and the columns of X-only groups are held below this, so a
// format of nested repeated X moves cannot overflow the counters.
constexpr int64_t kMaxPending = int64_t{1} << 40;

// Decimals up to which |x| * 10^d is exact in double for every float x: the
// 24-bit significand times 5^12 stays below 2^53.
constexpr int kMaxExactDecimals = 12;
constexpr double kFastLimit = 4611686018427387904.0;  // 2^62

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

// "00" to "FF", upper case: a byte in two hexadecimal digits.
struct HexPairs {
  char pairs[512];
  constexpr HexPairs() : pairs() {
    for (int i = 0; i < 256; ++i) {
      pairs[2 * i] = "0123456789ABCDEF"[i >> 4];
      pairs[2 * i + 1] = "0123456789ABCDEF"[i & 15];
    }
  }
};
constexpr HexPairs kHexPairs;

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

inline int64_t add_capped(int64_t a, int64_t b) {
  int64_t sum = a + b;
  return sum > kMaxPending ? kMaxPending : sum;
}

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

// Exact conversion for magnitudes or decimals beyond the integer route. The
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

// The item's bytes as an unsigned number, the byte at the highest address
// most significant, in hexadecimal.
void render_hex_bytes(const unsigned char* bytes, int count, int width,
                      int min_digits, char* out) {
  int top = count - 1;
  while (top >= 0 && bytes[top] == 0) --top;
  if (top < 0) {
    render_hex(0, width, min_digits, out);
    return;
  }
  int64_t digits = int64_t{2} * top + (bytes[top] >= 16 ? 2 : 1);
  if (digits > width) {
    asterisks(out, width);
    return;
  }
  int e = static_cast<int>(digits);
  int m = min_digits < 0 ? 0 : (min_digits > width ? width : min_digits);
  int shown = e > m ? e : m;
  fill(out, width - shown, ' ');
  fill(out + width - shown, shown - e, '0');
  char* p = out + width;
  for (int i = 0; i < e; ++i) {
    unsigned byte = bytes[i / 2];
    *--p = kHexDigits[(i % 2 == 0) ? (byte & 15) : (byte >> 4)];
  }
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

inline bool is_data(DescriptorKind kind) {
  return kind == DescriptorKind::kInteger || kind == DescriptorKind::kReal ||
         kind == DescriptorKind::kHex || kind == DescriptorKind::kText;
}

// Whether the part of the format from `start` to its end takes an item, so
// that reverting there makes progress.
bool takes_items_from(const FormatPlan& plan, int start) {
  for (int i = start; i < plan.count; ++i) {
    if (is_data(plan.descriptors[i].kind)) return true;
  }
  return false;
}

// Walks the plan for `count` items and drives `out`:
//   blanks(n)           a pending move meets a following character
//   literal(chars, n)   a literal's characters
//   field(d, index)     descriptor d takes item `index`
//   end_line(last)      the line ends; with last false the walk goes on to
//                       a new line only if end_line returns true
// Shared by the line writer, the fixed-text writer and the layout compiler so
// that the three cannot disagree.
template <class Output>
void walk_plan(const FormatPlan& plan, int count, Output* out) {
  struct Frame {
    int open;
    int passes_left;
  };
  Frame stack[kMaxDescriptors];
  int depth = 0;
  int next_item = 0;
  int64_t pending = 0;
  int descriptor_count = plan.count < 0 ? 0
                         : plan.count > kMaxDescriptors ? kMaxDescriptors
                                                        : plan.count;
  int i = 0;
  for (;;) {
    if (i >= descriptor_count) {
      if (next_item >= count || !takes_items_from(plan, plan.reversion)) {
        out->end_line(true);
        return;
      }
      if (!out->end_line(false)) return;
      pending = 0;
      depth = 0;
      i = plan.reversion;
      continue;
    }
    const Descriptor& d = plan.descriptors[i];
    switch (d.kind) {
      case DescriptorKind::kLiteral:
        if (d.literal_length > 0) {
          if (pending > 0) out->blanks(pending);
          pending = 0;
          out->literal(plan.literals + d.literal_offset, d.literal_length);
        }
        ++i;
        break;
      case DescriptorKind::kSkip:
        pending = add_capped(pending, d.width);
        ++i;
        break;
      case DescriptorKind::kGroupOpen:
        if (d.width >= 0) {
          // Only X moves inside: all passes at once.
          pending = add_capped(pending, int64_t{d.repeat} * d.width);
          i = d.partner + 1;
        } else {
          stack[depth++] = Frame{i, d.repeat};
          ++i;
        }
        break;
      case DescriptorKind::kGroupClose:
        if (depth > 0 && --stack[depth - 1].passes_left > 0) {
          i = stack[depth - 1].open + 1;
        } else {
          if (depth > 0) --depth;
          ++i;
        }
        break;
      default:
        for (int r = 0; r < d.repeat; ++r) {
          if (next_item >= count) {
            out->end_line(true);
            return;
          }
          if (pending > 0) out->blanks(pending);
          pending = 0;
          out->field(d, next_item++);
        }
        ++i;
        break;
    }
  }
}

class SinkOutput {
 public:
  SinkOutput(TextSink* sink, const Item* items) : sink_(sink), items_(items) {}

  void blanks(int64_t n) {
    while (n > 0) {
      int part = n < kMaxFieldWidth ? static_cast<int>(n) : kMaxFieldWidth;
      char* p = reserve_sink(sink_, static_cast<size_t>(part));
      fill(p, part, ' ');
      commit_sink(sink_, static_cast<size_t>(part));
      n -= part;
    }
  }
  void literal(const char* chars, int n) {
    append_sink(sink_, chars, static_cast<size_t>(n));
  }
  void field(const Descriptor& d, int index) {
    char* p = reserve_sink(sink_, static_cast<size_t>(d.width));
    render_item(d, items_[index], p);
    commit_sink(sink_, static_cast<size_t>(d.width));
  }
  bool end_line(bool) {
    append_sink(sink_, "\n", 1);
    return true;
  }

 private:
  TextSink* sink_;
  const Item* items_;
};

class TextOutput {
 public:
  TextOutput(const Item* items, char* text, int length)
      : items_(items), text_(text), length_(length) {}

  void blanks(int64_t n) {
    int room = this->room();
    if (room > 0) fill(text_ + position_, n < room ? static_cast<int>(n) : room, ' ');
    position_ = add_capped(position_, n);
  }
  void literal(const char* chars, int n) {
    int room = this->room();
    if (room > 0) {
      std::memcpy(text_ + position_, chars,
                  static_cast<size_t>(n < room ? n : room));
    }
    position_ = add_capped(position_, n);
  }
  void field(const Descriptor& d, int index) {
    int room = this->room();
    if (d.width <= room) {
      render_item(d, items_[index], text_ + position_);
    } else if (room > 0 && d.width <= kMaxFieldWidth) {
      char scratch[kMaxFieldWidth];
      render_item(d, items_[index], scratch);
      std::memcpy(text_ + position_, scratch, static_cast<size_t>(room));
    }
    position_ = add_capped(position_, d.width);
  }
  // The text holds one line.
  bool end_line(bool) { return false; }

  // Blanks the part of the text that nothing reached.
  void finish() {
    int room = this->room();
    fill(text_ + length_ - room, room, ' ');
  }

 private:
  int room() const {
    return position_ >= length_ ? 0 : length_ - static_cast<int>(position_);
  }

  const Item* items_;
  char* text_;
  int length_;
  int64_t position_ = 0;
};

class LayoutOutput {
 public:
  explicit LayoutOutput(LineLayout* layout) : layout_(layout) {}

  void blanks(int64_t n) { advance(n); }
  void literal(const char* chars, int n) {
    int64_t column = column_;
    if (advance(n)) {
      std::memcpy(layout_->skeleton + column, chars, static_cast<size_t>(n));
    }
  }
  void field(const Descriptor& d, int index) {
    int64_t column = column_;
    if (!advance(d.width)) return;
    if (index != fields_ || index >= kMaxLayoutItems) {
      failed_ = true;
      return;
    }
    layout_->slots[index].column = static_cast<int>(column);
    layout_->slots[index].descriptor = d;
    ++fields_;
  }
  bool end_line(bool last) {
    if (!last) failed_ = true;
    return false;
  }

  bool failed() const { return failed_; }
  int fields() const { return fields_; }
  int width() const { return static_cast<int>(column_); }

 private:
  // Moves on `n` columns of the skeleton (already blank); false once the
  // line outgrows it.
  bool advance(int64_t n) {
    if (failed_ || column_ + n > kMaxLayoutChars) {
      failed_ = true;
      return false;
    }
    column_ += n;
    return true;
  }

  LineLayout* layout_;
  int64_t column_ = 0;
  int fields_ = 0;
  bool failed_ = false;
};

// Recursive-descent reader of a format text into a plan.
class FormatParser {
 public:
  FormatParser(const char* text, FormatPlan* plan) : p_(text), plan_(plan) {}

  bool parse() {
    plan_->count = 0;
    plan_->literal_chars = 0;
    plan_->reversion = 0;
    if (peek() != '(') return false;
    ++p_;
    if (peek() == ')') {
      ++p_;  // "()": a format that writes an empty line
    } else if (!list(0) || !expect(')')) {
      return false;
    }
    return peek() == '\0';
  }

 private:
  // The next character outside a literal, blanks passed over.
  char peek() {
    while (*p_ == ' ') ++p_;
    return *p_;
  }

  bool expect(char c) {
    if (peek() != c) return false;
    ++p_;
    return true;
  }

  static bool is_digit(char c) { return c >= '0' && c <= '9'; }

  // An unsigned number, blanks between its digits passed over; false when
  // there is no digit or it exceeds `limit`.
  bool number(int limit, int* value) {
    if (!is_digit(peek())) return false;
    int64_t v = 0;
    while (is_digit(peek())) {
      v = v * 10 + (*p_++ - '0');
      if (v > limit) return false;
    }
    *value = static_cast<int>(v);
    return true;
  }

  int add(DescriptorKind kind) {
    if (plan_->count >= kMaxDescriptors) return -1;
    int index = plan_->count++;
    plan_->descriptors[index] = Descriptor{kind, 1, 0, -1, 0, 0, -1};
    return index;
  }

  bool list(int depth) {
    for (;;) {
      if (!item(depth)) return false;
      if (peek() != ',') return true;
      ++p_;
    }
  }

  bool item(int depth) {
    char c = peek();
    if (c == '\'') return literal();
    constexpr int kNumberLimit = kMaxRepeat > kMaxFieldWidth ? kMaxRepeat
                                                             : kMaxFieldWidth;
    int count = -1;
    if (is_digit(c)) {
      if (!number(kNumberLimit, &count)) return false;
    }
    c = peek();
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    if (c == 'X') {
      ++p_;
      int n = count < 0 ? 1 : count;
      if (n < 1 || n > kMaxFieldWidth) return false;
      int index = add(DescriptorKind::kSkip);
      if (index < 0) return false;
      plan_->descriptors[index].width = n;
      return true;
    }
    int repeat = count < 0 ? 1 : count;
    if (repeat < 1 || repeat > kMaxRepeat) return false;
    if (c == '(') {
      ++p_;
      return group(depth, repeat);
    }
    DescriptorKind kind;
    switch (c) {
      case 'I': kind = DescriptorKind::kInteger; break;
      case 'F': kind = DescriptorKind::kReal; break;
      case 'Z': kind = DescriptorKind::kHex; break;
      case 'A': kind = DescriptorKind::kText; break;
      default: return false;
    }
    ++p_;
    int width = 0;
    if (!number(kMaxFieldWidth, &width) || width < 1) return false;
    int digits = -1;
    if (peek() == '.') {
      if (kind == DescriptorKind::kText) return false;
      ++p_;
      if (!number(kMaxFieldWidth, &digits)) return false;
      if (kind != DescriptorKind::kReal && digits > width) return false;
    } else if (kind == DescriptorKind::kReal) {
      return false;
    }
    int index = add(kind);
    if (index < 0) return false;
    Descriptor& d = plan_->descriptors[index];
    d.repeat = repeat;
    d.width = width;
    d.digits = digits;
    return true;
  }

  bool literal() {
    ++p_;  // opening apostrophe
    int offset = plan_->literal_chars;
    for (;;) {
      char c = *p_;
      if (c == '\0') return false;
      ++p_;
      if (c == '\'') {
        if (*p_ != '\'') break;
        ++p_;  // a doubled apostrophe stands for one
      }
      if (plan_->literal_chars >= kMaxLiteralChars) return false;
      plan_->literals[plan_->literal_chars++] = c;
    }
    int index = add(DescriptorKind::kLiteral);
    if (index < 0) return false;
    plan_->descriptors[index].literal_offset = offset;
    plan_->descriptors[index].literal_length = plan_->literal_chars - offset;
    return true;
  }

  bool group(int depth, int repeat) {
    int open = add(DescriptorKind::kGroupOpen);
    if (open < 0) return false;
    if (depth == 0) plan_->reversion = open;  // the rightmost one wins
    if (!list(depth + 1) || !expect(')')) return false;
    int close = add(DescriptorKind::kGroupClose);
    if (close < 0) return false;
    Descriptor* d = plan_->descriptors;
    d[open].repeat = repeat;
    d[open].partner = close;
    d[close].repeat = repeat;
    d[close].partner = open;
    // A group of X moves alone is summed here, so that walking it costs one
    // step however deep its repeats are nested.
    int64_t columns = 0;
    for (int i = open + 1; i < close; ++i) {
      if (d[i].kind == DescriptorKind::kSkip) {
        columns = add_capped(columns, d[i].width);
      } else if (d[i].kind == DescriptorKind::kGroupOpen && d[i].width >= 0) {
        columns = add_capped(columns, int64_t{d[i].repeat} * d[i].width);
        i = d[i].partner;
      } else {
        columns = -1;
        break;
      }
    }
    // Capped so that repeat * width stays far inside 64 bits.
    d[open].width = columns < 0 ? -1
                    : columns > (int64_t{1} << 30)
                        ? (1 << 30)
                        : static_cast<int>(columns);
    return true;
  }

  const char* p_;
  FormatPlan* plan_;
};

}  // namespace

bool parse_format(const char* format, FormatPlan* plan) {
  if (format == nullptr || plan == nullptr) return false;
  FormatParser parser(format, plan);
  if (parser.parse()) return true;
  plan->count = 0;
  plan->literal_chars = 0;
  plan->reversion = 0;
  return false;
}

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
    if (scaled < kFastLimit) {
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
  if (width <= 0) return;
  int e = 1;
  while (e < 8 && (value >> (4 * e)) != 0) ++e;
  if (e > width) {
    asterisks(out, width);
    return;
  }
  int m = min_digits < 0 ? 0 : (min_digits > width ? width : min_digits);
  int shown = e > m ? e : m;
  fill(out, width - shown, ' ');
  fill(out + width - shown, shown - e, '0');
  char* p = out + width;
  for (int i = 0; i < e; ++i) {
    *--p = kHexDigits[value & 15];
    value >>= 4;
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
        case ItemKind::kByte:
          render_hex(static_cast<uint8_t>(item.integer), width, d.digits, out);
          return;
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

void write_formatted(TextSink* sink, const FormatPlan& plan, const Item* items,
                     int count) {
  if (sink == nullptr) return;
  if (items == nullptr || count < 0) count = 0;
  SinkOutput out(sink, items);
  walk_plan(plan, count, &out);
}

void format_into_text(const FormatPlan& plan, const Item* items, int count,
                      char* text, int text_length) {
  if (text == nullptr || text_length <= 0) return;
  if (items == nullptr || count < 0) count = 0;
  TextOutput out(items, text, text_length);
  walk_plan(plan, count, &out);
  out.finish();
}

bool compile_layout(const FormatPlan& plan, int item_count,
                    LineLayout* layout) {
  if (layout == nullptr || item_count < 0 || item_count > kMaxLayoutItems) {
    return false;
  }
  std::memset(layout->skeleton, ' ', sizeof layout->skeleton);
  LayoutOutput out(layout);
  walk_plan(plan, item_count, &out);
  if (out.failed() || out.fields() != item_count) return false;
  layout->item_count = item_count;
  layout->width = out.width();
  return true;
}

namespace {

// Z2.2 of a byte, the dump line's field, is its two digits.
inline bool is_byte_pair(const Descriptor& d) {
  return d.kind == DescriptorKind::kHex && d.width == 2 && d.digits == 2;
}

// Copies the layout's skeleton into the sink, has `fill(line)` render the
// fields into it, and ends the line. A sink smaller than the line gets it
// from a buffer of its own.
template <class Fill>
void write_layout_line(TextSink* sink, const LineLayout& layout, Fill fill) {
  size_t length = static_cast<size_t>(layout.width) + 1;
  char own_line[kMaxLayoutChars + 1];
  bool direct = length <= sink->capacity;
  char* line = direct ? reserve_sink(sink, length) : own_line;
  std::memcpy(line, layout.skeleton, static_cast<size_t>(layout.width));
  fill(line);
  line[layout.width] = '\n';
  if (direct) {
    commit_sink(sink, length);
  } else {
    append_sink(sink, line, length);
  }
}

}  // namespace

void write_layout(TextSink* sink, const LineLayout& layout, const Item* items) {
  write_layout_line(sink, layout, [&](char* line) {
    for (int i = 0; i < layout.item_count; ++i) {
      const LayoutSlot& slot = layout.slots[i];
      render_item(slot.descriptor, items[i], line + slot.column);
    }
  });
}

void write_layout_bytes(TextSink* sink, const LineLayout& layout,
                        const unsigned char* bytes) {
  write_layout_line(sink, layout, [&](char* line) {
    for (int i = 0; i < layout.item_count; ++i) {
      const LayoutSlot& slot = layout.slots[i];
      if (is_byte_pair(slot.descriptor)) {
        std::memcpy(line + slot.column, kHexPairs.pairs + 2 * bytes[i], 2);
      } else {
        render_item(slot.descriptor, byte_item(static_cast<int8_t>(bytes[i])),
                    line + slot.column);
      }
    }
  });
}
