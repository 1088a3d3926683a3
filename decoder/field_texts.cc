#include "decoder/field_texts.h"

namespace digisonde16c {

bool fits_grid(const Descriptor& d) {
  return d.kind == DescriptorKind::kReal && d.width <= kGridTextWidth;
}

bool fits_range_text(const Descriptor& d) {
  return d.width <= static_cast<int>(sizeof(RangeText));
}

void init_grid(GridTexts* texts, const Descriptor& field) {
  texts->width = field.width;
  texts->decimals = field.digits;
  texts->cleared = false;
}

const CodeTexts& code_texts(CodeTextSet* set, GridTexts* grid, CodeScale scale) {
  for (int i = 0; i < set->count; ++i) {
    if (std::memcmp(&set->texts[i].scale, &scale, sizeof scale) == 0) return set->texts[i];
  }
  int entry = set->count;
  if (entry < kHeldScales) {
    ++set->count;
  } else {
    entry = set->next;
    set->next = (set->next + 1) % kHeldScales;
  }
  CodeTexts* texts = &set->texts[entry];
  for (int code = 0; code < kCodeCount; ++code) {
    render_real(code_value(code, scale), grid->width, grid->decimals, texts->text[code]);
  }
  std::memset(texts->text[kCodeCount], ' ', sizeof texts->text[kCodeCount]);
  texts->scale = scale;
  return *texts;
}

const RangeText* range_texts(RangeTexts* texts, const Descriptor& d, const GroupRecord& group) {
  const int count = group.gate_count < 0          ? 0
                    : group.gate_count > kMaxGates ? kMaxGates
                                                   : group.gate_count;
  const size_t bytes = sizeof(float) * static_cast<size_t>(count);
  if (count > texts->count || std::memcmp(texts->range, group.gate_range, bytes) != 0) {
    for (int g = 0; g < count; ++g) {
      render_item(d, real_item(group.gate_range[g]), texts->text[g].chars);
    }
    std::memcpy(texts->range, group.gate_range, bytes);
    texts->count = count;
  }
  return texts->text;
}

}  // namespace digisonde16c
