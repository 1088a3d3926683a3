// Rendered texts of real fields kept from group to group: the texts of the
// values a scale gives the 256 sample codes, of the values on a grid that
// every amplitude and phase lies on (for values without a code), and of the
// last group's gate ranges. The output writer copies a field's text instead
// of rendering it again.
#ifndef DECODER_FIELD_TEXTS_H_
#define DECODER_FIELD_TEXTS_H_

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "blockio/field_render.h"
#include "blockio/format_plan.h"
#include "decoder/group_record.h"

namespace digisonde16c {

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

// The table, cleared on its first use: a run clears only the table of the
// lines it writes.
inline GridTexts* used_grid(GridTexts* texts) {
  if (!texts->cleared) {
    std::memset(texts->text, 0, sizeof texts->text);
    texts->cleared = true;
  }
  return texts;
}

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

// The texts of the 256 values a column takes when its samples come from
// codes under one scale (code_value), in the field of a grid table. A column's
// fields are then copied by code, from a table small enough to stay in the
// nearest cache, without the grid's first-use test. Entry kCodeCount
// stands for a value without a code, whose field is written afterwards.
struct CodeTexts {
  alignas(16) char text[kCodeCount + 1][kGridTextWidth + 1];
  CodeScale scale;
};

// The code texts of the last few scales met (a recording's groups switch
// among a few amplitude scales and gains), the oldest replaced first.
constexpr int kHeldScales = 8;
struct CodeTextSet {
  int count;  // scales held
  int next;   // the entry made next once all are in use
  CodeTexts texts[kHeldScales];
};

inline void clear_code_texts(CodeTextSet* set) {
  set->count = 0;
  set->next = 0;
}

// The texts of the values under `scale`, rendered in the field of `grid`
// (its table is not used) unless `set` holds them.
const CodeTexts& code_texts(CodeTextSet* set, GridTexts* grid, CodeScale scale);

// The code whose value under `scale` equals `value` exactly (-0 is taken
// as +0, whose text it shares), else kCodeCount. `per_step` is
// 1 / scale.step.
inline int value_code(float value, CodeScale scale, float per_step) {
  // Rounded to the nearest code; the range keeps the conversion defined,
  // NaN fails it, and the value of the code is then compared exactly.
  const float near = (value - scale.offset) * per_step + 0.5f;
  const bool inside = near >= 0.0f && near < static_cast<float>(kCodeCount);
  const int code = static_cast<int>(inside ? near : 0.0f);
  return inside && code_value(code, scale) == value ? code : kCodeCount;
}

// value_code of each run[i], many at once. Returns how many values have
// their code.
inline int value_codes(const float* run, int count, CodeScale scale, uint16_t* codes) {
  const float per_step = 1.0f / scale.step;
  int hits = 0;
  for (int i = 0; i < count; ++i) {
    const int code = value_code(run[i], scale, per_step);
    codes[i] = static_cast<uint16_t>(code);
    hits += code != kCodeCount ? 1 : 0;
  }
  return hits;
}

// Writes `value`, whose code is `code` (kCodeCount: none), in the field at
// `out`: the text of its code, or its text from the grid table (taken into
// use then). `kWidth`, when not 0, is the field width known to the caller.
template <int kWidth>
inline void write_code_field(const CodeTexts& texts, GridTexts* grid, int code, float value,
                             char* out) {
  if (code == kCodeCount) {
    write_grid_field(used_grid(grid), value, out);
  } else if (kWidth != 0) {
    std::memcpy(out, texts.text[code], kWidth);
  } else {
    copy_field(out, texts.text[code], grid->width);
  }
}

// The fields of `count` values in lines `line_length` apart, from their
// codes, `hits` of which are codes of their values: those are copied
// first, all at once, and the rest written afterwards.
template <int kWidth>
void write_code_column(const CodeTexts& texts, GridTexts* grid, const uint16_t* codes,
                       int hits, const float* values, int count, char* out,
                       size_t line_length) {
  char* to = out;
  for (int i = 0; i < count; ++i, to += line_length) {
    std::memcpy(to, texts.text[codes[i]], kWidth);
  }
  if (hits == count) return;
  to = out;
  for (int i = 0; i < count; ++i, to += line_length) {
    if (codes[i] == kCodeCount) write_grid_field(grid, values[i], to);
  }
}

// Whether a field of descriptor `d` can take its texts from a grid table
// or from the range texts.
bool fits_grid(const Descriptor& d);
bool fits_range_text(const Descriptor& d);

// Makes `texts` hold the texts of field `d`; the table is cleared on its
// first use (used_grid).
void init_grid(GridTexts* texts, const Descriptor& field);

// The texts of the group's gate ranges in field `d`. They are rendered
// again only when the ranges differ from those of the last group written
// with `texts`: groups with the same range settings share them.
const RangeText* range_texts(RangeTexts* texts, const Descriptor& d, const GroupRecord& group);

}  // namespace digisonde16c

#endif  // DECODER_FIELD_TEXTS_H_
