// Column formats: the notation in which every table line, header line, dump
// line and the group time text is laid out, e.g. "('Read-> ',20(1X,Z2.2))".
// A format is parsed once into a plan and then applied to many writes.
#ifndef BLOCKIO_COLUMN_FORMAT_H_
#define BLOCKIO_COLUMN_FORMAT_H_

#include <cstdint>

#include "blockio/text_sink.h"

// One value handed to a write.
enum class ItemKind : uint8_t {
  kByte,     // 1-byte signed integer (raw block bytes, digits)
  kInteger,  // 4-byte signed integer
  kReal,     // single-precision real
  kText,     // text of a fixed length (may be 0)
};

struct Item {
  ItemKind kind;
  int32_t integer;   // kByte (-128..127) and kInteger
  float real;        // kReal
  const char* text;  // kText
  int length;        // kText
};

// Item makers; inline, since dump lines build twenty of them per line.
inline Item byte_item(int8_t value) {
  return Item{ItemKind::kByte, value, 0.0f, nullptr, 0};
}
inline Item integer_item(int32_t value) {
  return Item{ItemKind::kInteger, value, 0.0f, nullptr, 0};
}
inline Item real_item(float value) { return Item{ItemKind::kReal, 0, value, nullptr, 0}; }
inline Item text_item(const char* text, int length) {
  return Item{ItemKind::kText, 0, 0.0f, text, length};
}

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

// Field writers: each writes exactly `width` characters to `out`, asterisks
// when the value does not fit. A min_digits below 0 means m was not written.
// render_real rounds the exact value to `decimals` places, ties to even, and
// writes NaN, Inf or Infinity (signed when negative) when they fit.
void render_integer(int64_t value, int width, int min_digits, char* out);
void render_real(float value, int width, int decimals, char* out);
void render_hex(uint32_t value, int width, int min_digits, char* out);
void render_text(const char* text, int length, int width, char* out);
// The route of render_real for any value and field. render_real gives the
// text of fields of up to 4 decimals and magnitudes below 1e9 from integer
// arithmetic instead, and takes this route for the rest.
void render_real_general(float value, int width, int decimals, char* out);
// Applies data descriptor `d` to `item`: width characters. Items of another
// kind are converted where that is meaningful (F of an integer; I of a real,
// truncated toward zero; Z of any item's bytes) and give asterisks otherwise.
// A descriptor that takes no item writes nothing.
void render_item(const Descriptor& d, const Item& item, char* out);

// Writes the items with the plan: one line, or more where the items outlast
// the format, each ending in "\n". When the part of the format that would be
// repeated takes no item, the write ends after its line; the rest are unused.
void write_formatted(TextSink* sink, const FormatPlan& plan, const Item* items,
                     int count);

// Walks the plan into a text of `text_length` characters instead of a line;
// characters beyond those produced are blanks, characters beyond the text
// are dropped, and the walk stops where the first line would end.
void format_into_text(const FormatPlan& plan, const Item* items, int count,
                      char* text, int text_length);

// A compiled single-line layout: for a given item count, where each item's
// field starts and what the constant characters are. A write then copies
// `skeleton` and renders each item at its column.
constexpr int kMaxLayoutItems = 96;
constexpr int kMaxLayoutChars = 2048;

struct LayoutSlot {
  int column;
  Descriptor descriptor;
};

struct LineLayout {
  int item_count;
  int width;  // characters before the line end
  LayoutSlot slots[kMaxLayoutItems];
  char skeleton[kMaxLayoutChars];  // literals and blanks; fields blank
};

// Compiles the layout of a write of `item_count` items. Returns false when
// such a write would not give exactly one line holding all the items, or
// exceeds the limits.
bool compile_layout(const FormatPlan& plan, int item_count, LineLayout* layout);

// Writes one line with a compiled layout and its item_count items: the
// same characters as write_formatted with the plan it was compiled from.
void write_layout(TextSink* sink, const LineLayout& layout, const Item* items);

// write_layout with every item a 1-byte item, taken from `bytes` in order
// (raw block bytes, as the dump line shows them).
void write_layout_bytes(TextSink* sink, const LineLayout& layout,
                        const unsigned char* bytes);

#endif  // BLOCKIO_COLUMN_FORMAT_H_
