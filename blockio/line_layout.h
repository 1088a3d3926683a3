// Compiled single-line layouts: for a format and a given item count, where
// each item's field starts and what the constant characters are, worked out
// once. A write then copies `skeleton` and renders each item at its column:
// the same characters as write_formatted with the plan, at a fraction of the
// walk's cost, for the lines a program writes over and over.
#ifndef BLOCKIO_LINE_LAYOUT_H_
#define BLOCKIO_LINE_LAYOUT_H_

#include "blockio/field_render.h"
#include "blockio/format_plan.h"
#include "blockio/text_sink.h"

namespace digisonde16c {

constexpr int kMaxLayoutItems = 96;
constexpr int kMaxLayoutChars = 2048;

struct LayoutSlot {
  int column;  // 0-based
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

}  // namespace digisonde16c

#endif  // BLOCKIO_LINE_LAYOUT_H_
