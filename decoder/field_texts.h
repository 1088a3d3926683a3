// Rendered texts of real fields kept from group to group: the texts of the
// values on a grid that every amplitude and phase lies on, and of the last
// group's gate ranges. The output writer copies a field's text instead of
// rendering it again.
#ifndef DECODER_FIELD_TEXTS_H_
#define DECODER_FIELD_TEXTS_H_

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "blockio/field_render.h"
#include "blockio/format_plan.h"
#include "decoder/group_record.h"

// Rendered texts of one real field for the values on a grid of 1/32 from
// -128 to 384: amplitudes (multiples of 1/8 from the codes) and phases
// (multiples of 45/32) of a group all lie on it. Slot i holds the value
// i / 32 - 128; a text, once rendered, holds for every later group.
constexpr int kGridSteps = 32;  // grid points per unit
constexpr int kGridLow = -128 * kGridSteps;
constexpr int kGridHigh = 384 * kGridSteps;
constexpr int kGridTextWidth = 15;  // widest field held; byte 15 marks a text

struct GridTexts {
  int width;
  int decimals;
  bool cleared;  // the texts are cleared on the table's first use
  char text[kGridHigh - kGridLow][kGridTextWidth + 1];
};

// Rendered texts of the gate ranges of the last group written in one
// field, and the ranges they show.
struct RangeText {
  char chars[16];
};
struct RangeTexts {
  int count;  // gates held; -1 before the first group
  float range[kMaxGates];
  RangeText text[kMaxGates];
};

// Copies a field's text; the common widths as fixed-size copies.
inline void copy_field(char* to, const char* from, int width) {
  switch (width) {
    case 8:
      std::memcpy(to, from, 8);
      break;
    case 10:
      std::memcpy(to, from, 10);
      break;
    default:
      std::memcpy(to, from, static_cast<size_t>(width));
      break;
  }
}

// The slot of the text of `value` in a grid table, or -1 for a value off
// the grid.
inline int grid_slot(float value) {
  const float scaled = value * static_cast<float>(kGridSteps);  // exact on the grid
  // NaN fails the comparison; the range keeps the conversion defined.
  const bool inside =
      scaled >= static_cast<float>(kGridLow) && scaled < static_cast<float>(kGridHigh);
  const int point = static_cast<int>(inside ? scaled : 0.0f);
  const bool on_grid = inside && static_cast<float>(point) == scaled;
  return on_grid ? point - kGridLow : -1;
}

// The grid slots of run[0..count-1], many values at once (where the
// including file is compiled without trapping math).
inline void grid_slots(const float* run, int count, int16_t* slots) {
  for (int i = 0; i < count; ++i) slots[i] = static_cast<int16_t>(grid_slot(run[i]));
}

// Writes `value`, whose grid slot is `slot`, in the field of `texts` at
// `out`: its text from the table, rendered there on first use, or rendered
// in place when it is off the grid. `kWidth`, when not 0, is the field
// width known to the caller.
template <int kWidth>
inline void write_slot_field(GridTexts* texts, int slot, float value, char* out) {
  if (slot < 0) {
    render_real(value, texts->width, texts->decimals, out);
    return;
  }
  char* text = texts->text[slot];
  if (text[kGridTextWidth] == 0) {
    // -0 and +0 share a slot; both are written as +0.
    render_real(value, texts->width, texts->decimals, text);
    text[kGridTextWidth] = 1;
  }
  if (kWidth != 0) {
    std::memcpy(out, text, kWidth);
  } else {
    copy_field(out, text, texts->width);
  }
}

inline void write_grid_field(GridTexts* texts, float value, char* out) {
  write_slot_field<0>(texts, grid_slot(value), value, out);
}

// The fields of `count` values in lines `line_length` apart, from their grid
// slots.
template <int kWidth>
void write_slot_column(GridTexts* texts, const int16_t* slots, const float* values, int count,
                       char* out, size_t line_length) {
  for (int i = 0; i < count; ++i, out += line_length) {
    write_slot_field<kWidth>(texts, slots[i], values[i], out);
  }
}

// Whether a field of descriptor `d` can take its texts from a grid table
// or from the range texts.
bool fits_grid(const Descriptor& d);
bool fits_range_text(const Descriptor& d);

// Makes `texts` hold the texts of field `d`; the table is cleared on its
// first use (used_grid).
void init_grid(GridTexts* texts, const Descriptor& field);

// The table, cleared on its first use: a run clears only the table of the
// lines it writes.
inline GridTexts* used_grid(GridTexts* texts) {
  if (!texts->cleared) {
    std::memset(texts->text, 0, sizeof texts->text);
    texts->cleared = true;
  }
  return texts;
}

// The texts of the group's gate ranges in field `d`. They are rendered
// again only when the ranges differ from those of the last group written
// with `texts`: groups with the same range settings share them.
const RangeText* range_texts(RangeTexts* texts, const Descriptor& d, const GroupRecord& group);

#endif  // DECODER_FIELD_TEXTS_H_
