// Column formats: the notation in which every table line, header line, dump
// line and the group time text is laid out, e.g. "('Read-> ',20(1X,Z2.2))".
// A format is parsed once into a plan, a small array of descriptors, which
// the line writer (column_format.h) and the layout compiler (line_layout.h)
// then walk for many writes.
#ifndef BLOCKIO_FORMAT_PLAN_H_
#define BLOCKIO_FORMAT_PLAN_H_

#include <cstdint>

namespace digisonde16c {

enum class DescriptorKind : uint8_t {
  kLiteral,     // 'text'
  kSkip,        // nX
  kInteger,     // Iw, Iw.m
  kReal,        // Fw.d
  kHex,         // Zw, Zw.m
  kText,        // Aw
  kGroupOpen,   // r(
  kGroupClose,  // )
};

// Whether a descriptor of this kind takes an item: I, F, Z and A.
inline bool is_data(DescriptorKind kind) {
  return kind == DescriptorKind::kInteger || kind == DescriptorKind::kReal ||
         kind == DescriptorKind::kHex || kind == DescriptorKind::kText;
}

struct Descriptor {
  DescriptorKind kind;
  int repeat;          // data descriptors and groups; 1 when not written
  int width;           // w; n for kSkip; kGroupOpen: columns one pass skips
                       // when the group holds only X moves, else -1
  int digits;          // d for F; m for I and Z; -1 when not written
  int literal_offset;  // kLiteral: where its characters start in literals
  int literal_length;
  int partner;         // kGroupOpen/kGroupClose: index of the other end
};

constexpr int kMaxDescriptors = 96;
constexpr int kMaxLiteralChars = 512;
constexpr int kMaxFieldWidth = 1024;
constexpr int kMaxRepeat = 65535;  // repeat counts of descriptors and groups

// A parsed format. Walking it is a loop over `descriptors`; reversion (more
// items than the format takes) jumps back to `reversion`, the index of the
// last group standing directly inside the outer parentheses, or 0.
struct FormatPlan {
  Descriptor descriptors[kMaxDescriptors];
  int count;
  char literals[kMaxLiteralChars];
  int literal_chars;
  int reversion;
};

// Parses `format` (blanks outside literals ignored; descriptor letters in
// either case). Returns false when the text is no format of the supported
// descriptors or exceeds the limits: widths, d and m up to kMaxFieldWidth,
// m no larger than w, repeat counts 1..kMaxRepeat, X counts 1..kMaxFieldWidth.
bool parse_format(const char* format, FormatPlan* plan);

}  // namespace digisonde16c

#endif  // BLOCKIO_FORMAT_PLAN_H_
