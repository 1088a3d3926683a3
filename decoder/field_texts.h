// Rendered texts of real fields kept from group to group, so that the
// output writer copies a field's text instead of rendering it again: the
// texts of the 256 sample codes under a scale, of the last group's gate
// ranges, and of the values on a grid that every amplitude and phase lies
// on (for samples without codes, such as phases corrected for range).
#ifndef DECODER_FIELD_TEXTS_H_
#define DECODER_FIELD_TEXTS_H_

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "blockio/field_render.h"
#include "blockio/format_plan.h"
#include "decoder/group_record.h"

namespace digisonde16c {

// Room for one field's text: fields of up to 15 characters are held.
constexpr int kFieldTextSize = 16;
constexpr int kMaxHeldWidth = kFieldTextSize - 1;

// The one table type: the texts of one field by entry, each in
// kFieldTextSize bytes. Its owner keys it (a code scale, a group's ranges,
// the grid). A zeroed table, and one that invalidate_texts cleared, is not
// valid: it holds no text, and its owner renders every text it reads again.
template <int kEntries>
struct FieldTexts {
  bool valid;
  alignas(16) char text[kEntries][kFieldTextSize];
};

template <int kEntries>
inline void invalidate_texts(FieldTexts<kEntries>* texts) {
  texts->valid = false;
}

// Whether a field of descriptor `d` can take its texts from a table.
bool fits_field_texts(const Descriptor& d);

// The texts of the values under one code scale (code_value of codes
// 0..255), the last few scales met: a recording's groups switch among a few
// amplitude scales and gains. The oldest is replaced first.
constexpr int kHeldScales = 8;
struct CodeTextSet {
  CodeScale scale[kHeldScales];
  FieldTexts<kCodeCount> texts[kHeldScales];
  int next;  // the entry replaced next
};

// The code texts for `scale` in field `d`, rendered unless `set` holds them.
const FieldTexts<kCodeCount>& code_texts(CodeTextSet* set, const Descriptor& d,
                                         CodeScale scale);

// The texts of the gate ranges of the last group written in one field,
// rendered again only when a group's ranges differ: groups with the same
// range settings share them.
struct RangeTexts {
  int count;  // ranges held
  float range[kMaxGates];
  FieldTexts<kMaxGates> texts;
};

const FieldTexts<kMaxGates>& range_texts(RangeTexts* ranges, const Descriptor& d,
                                         const GroupRecord& group);

// The grid: slot i stands for the value i / 32 - 128, from -128 to 384 in
// steps of 1/32; amplitudes (multiples of 1/8) and phases (multiples of
// 45/32, also after a correction by whole kilometres) lie on it. Each
// slot's text is rendered on its first use; byte kMaxHeldWidth of a text
// marks it as held. A run that never reads the grid never touches its
// pages: it is made valid (its marks cleared) on first use.
constexpr int kGridSteps = 32;  // grid points per unit
constexpr int kGridLow = -128 * kGridSteps;
constexpr int kGridHigh = 384 * kGridSteps;
using GridTexts = FieldTexts<kGridHigh - kGridLow>;

inline GridTexts* grid_in_use(GridTexts* grid) {
  if (!grid->valid) {
    std::memset(grid->text, 0, sizeof grid->text);
    grid->valid = true;
  }
  return grid;
}

// The slot of `value` in the grid, or -1 for a value off the grid.
inline int grid_slot(float value) {
  const float scaled = value * static_cast<float>(kGridSteps);  // exact on the grid
  // NaN fails the comparison; the range keeps the conversion defined.
  const bool inside =
      scaled >= static_cast<float>(kGridLow) && scaled < static_cast<float>(kGridHigh);
  const int point = static_cast<int>(inside ? scaled : 0.0f);
  const bool on_grid = inside && static_cast<float>(point) == scaled;
  return on_grid ? point - kGridLow : -1;
}

// grid_slot of run[0..count-1], many values at once.
void grid_slots(const float* run, int count, int16_t* slots);

// Writes `value`, whose grid slot is `slot`, in field `d` (kWidth
// characters) at `out`: its text from the grid (in use), rendered there on
// first use, or rendered in place when it is off the grid.
template <int kWidth>
inline void write_slot_field(GridTexts* grid, const Descriptor& d, int slot, float value,
                             char* out) {
  if (slot < 0) {
    render_real(value, kWidth, d.digits, out);
    return;
  }
  char* text = grid->text[slot];
  if (text[kMaxHeldWidth] == 0) {
    // -0 and +0 share a slot; both are written as +0.
    render_real(value, kWidth, d.digits, text);
    text[kMaxHeldWidth] = 1;
  }
  std::memcpy(out, text, kWidth);
}

// The texts one kind of line keeps from group to group: its range texts,
// the texts of its sample codes (amplitudes and phases) and the grid texts
// of its samples without codes.
struct LineTexts {
  RangeTexts ranges;
  CodeTextSet codes[2];
  GridTexts grid;
};

// Where the fields of one half of a group's samples (amplitudes or phases)
// come from: the texts of the group's codes for them, in the channels that
// hold samples; the grid texts for the rest, which hold 0, and for a half
// without codes.
struct SampleTexts {
  const float (*values)[kMaxGates];
  const uint8_t (*codes)[kMaxGates];
  const FieldTexts<kCodeCount>* code_texts;
  int coded_channels;  // channels 0 to coded_channels - 1 by code
  GridTexts* grid;
};

// The texts of one half of `group`'s samples (0: amplitudes, 1: phases)
// in field `d` of a line whose tables are `texts`: the code texts for its
// scale when it has codes, and the grid made ready for the rest.
SampleTexts sample_texts(LineTexts* texts, const Descriptor& d, const GroupRecord& group,
                         int half);

// The grid slots of the channels of `t` without codes, by channel.
inline void sample_slots(const SampleTexts& t, int gates, int16_t (*slots)[kMaxGates]) {
  for (int c = t.coded_channels; c < kChannels; ++c) grid_slots(t.values[c], gates, slots[c]);
}

// Writes sample (c, g) of `t` in a field of kWidth characters at `out`;
// `slot` is its grid slot when it has no code.
template <int kWidth>
inline void write_sample_field(const SampleTexts& t, const Descriptor& d, int c, int g,
                               int slot, char* out) {
  if (c < t.coded_channels) {
    std::memcpy(out, t.code_texts->text[t.codes[c][g]], kWidth);
  } else {
    write_slot_field<kWidth>(t.grid, d, slot, t.values[c][g], out);
  }
}

}  // namespace digisonde16c

#endif  // DECODER_FIELD_TEXTS_H_
