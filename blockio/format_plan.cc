#include "blockio/format_plan.h"

namespace digisonde16c {

namespace {

// The columns of a group of X moves alone are held below this, so that the
// walk's repeat * columns stays far inside 64 bits.
constexpr int64_t kMaxGroupColumns = int64_t{1} << 30;

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
    // step however deep its repeats are nested. Every term is at most
    // kMaxRepeat * kMaxGroupColumns, so the capped sum cannot overflow.
    int64_t columns = 0;
    for (int i = open + 1; i < close; ++i) {
      int64_t term;
      if (d[i].kind == DescriptorKind::kSkip) {
        term = d[i].width;
      } else if (d[i].kind == DescriptorKind::kGroupOpen && d[i].width >= 0) {
        term = int64_t{d[i].repeat} * d[i].width;
        i = d[i].partner;
      } else {
        columns = -1;
        break;
      }
      columns += term;
      if (columns > kMaxGroupColumns) columns = kMaxGroupColumns;
    }
    d[open].width = static_cast<int>(columns);
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

}  // namespace digisonde16c
