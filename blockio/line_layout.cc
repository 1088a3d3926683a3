#include "blockio/line_layout.h"

#include <cstring>

#include "blockio/format_walk.h"

namespace digisonde16c {

namespace {

// The walk's output into a layout: the skeleton's characters and the
// fields' columns, failing when a second line starts or the line outgrows
// the skeleton.
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

// Z2.2 of a byte, the dump line's field, is its two digits.
inline bool is_byte_pair(const Descriptor& d) {
  return d.kind == DescriptorKind::kHex && d.width == 2 && d.digits == 2;
}

// Whether field `b` shows the same characters as field `a`: the same real
// value, bit for bit, under a descriptor of the same kind, width and
// digits. A line often shows one value many times over (the channels'
// frequency); its text is then rendered once and copied.
inline bool same_field(const LayoutSlot& a, const Item& item_a, const LayoutSlot& b,
                       const Item& item_b) {
  return item_a.kind == ItemKind::kReal && item_b.kind == ItemKind::kReal &&
         std::memcmp(&item_a.real, &item_b.real, sizeof item_a.real) == 0 &&
         a.descriptor.kind == b.descriptor.kind && a.descriptor.width == b.descriptor.width &&
         a.descriptor.digits == b.descriptor.digits;
}

// Z1 of a byte from 0 to 15, as the preface digits are shown: its one
// hex digit.
inline bool is_hex_digit(const Descriptor& d, const Item& item) {
  return d.kind == DescriptorKind::kHex && d.width == 1 && item.kind == ItemKind::kByte &&
         static_cast<uint32_t>(item.integer) < 16;
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

void write_layout(TextSink* sink, const LineLayout& layout, const Item* items) {
  write_layout_line(sink, layout, [&](char* line) {
    for (int i = 0; i < layout.item_count; ++i) {
      const LayoutSlot& slot = layout.slots[i];
      if (is_hex_digit(slot.descriptor, items[i])) {
        line[slot.column] = "0123456789ABCDEF"[items[i].integer];
      } else if (i > 0 && same_field(layout.slots[i - 1], items[i - 1], slot, items[i])) {
        std::memcpy(line + slot.column, line + layout.slots[i - 1].column,
                    static_cast<size_t>(slot.descriptor.width));
      } else {
        render_item(slot.descriptor, items[i], line + slot.column);
      }
    }
  });
}

void write_layout_bytes(TextSink* sink, const LineLayout& layout,
                        const unsigned char* bytes) {
  write_layout_line(sink, layout, [&](char* line) {
    for (int i = 0; i < layout.item_count; ++i) {
      const LayoutSlot& slot = layout.slots[i];
      if (is_byte_pair(slot.descriptor)) {
        render_hex_pair(bytes[i], line + slot.column);
      } else {
        render_item(slot.descriptor, byte_item(static_cast<int8_t>(bytes[i])),
                    line + slot.column);
      }
    }
  });
}

}  // namespace digisonde16c
