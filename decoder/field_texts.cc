#include "decoder/field_texts.h"

#include "blockio/field_render.h"

namespace digisonde16c {

bool fits_field_texts(const Descriptor& d) {
  return d.kind == DescriptorKind::kReal && d.width <= kMaxHeldWidth;
}

const FieldTexts<kCodeCount>& code_texts(CodeTextSet* set, const Descriptor& d,
                                         CodeScale scale) {
  for (int i = 0; i < kHeldScales; ++i) {
    if (set->texts[i].valid && std::memcmp(&set->scale[i], &scale, sizeof scale) == 0) {
      return set->texts[i];
    }
  }
  const int entry = set->next;
  set->next = (set->next + 1) % kHeldScales;
  FieldTexts<kCodeCount>* texts = &set->texts[entry];
  for (int code = 0; code < kCodeCount; ++code) {
    render_real(code_value(code, scale), d.width, d.digits, texts->text[code]);
  }
  set->scale[entry] = scale;
  texts->valid = true;
  return *texts;
}

const FieldTexts<kMaxGates>& range_texts(RangeTexts* ranges, const Descriptor& d,
                                         const GroupRecord& group) {
  const int count = group.gate_count < 0          ? 0
                    : group.gate_count > kMaxGates ? kMaxGates
                                                   : group.gate_count;
  const size_t bytes = sizeof(float) * static_cast<size_t>(count);
  FieldTexts<kMaxGates>* texts = &ranges->texts;
  if (!texts->valid || count > ranges->count ||
      std::memcmp(ranges->range, group.gate_range, bytes) != 0) {
    for (int g = 0; g < count; ++g) {
      render_item(d, real_item(group.gate_range[g]), texts->text[g]);
    }
    std::memcpy(ranges->range, group.gate_range, bytes);
    ranges->count = count;
    texts->valid = true;
  }
  return *texts;
}

SampleTexts sample_texts(LineTexts* texts, const Descriptor& d, const GroupRecord& group,
                         int half) {
  const bool amplitudes = half == 0;
  SampleTexts t{amplitudes ? group.amplitude : group.phase,
                amplitudes ? group.amplitude_code : group.phase_code, nullptr, 0, &texts->grid};
  if (amplitudes ? group.amplitudes_coded : group.phases_coded) {
    t.code_texts = &code_texts(&texts->codes[half], d,
                               amplitudes ? group.amplitude_scale : group.phase_scale);
    t.coded_channels = sample_channel_count(group.gate_count);
  }
  if (t.coded_channels < kChannels) grid_in_use(t.grid);
  return t;
}

// This file is compiled without trapping math, so that the loop converts
// and compares many values at once; no value changes.
void grid_slots(const float* run, int count, int16_t* slots) {
  for (int i = 0; i < count; ++i) slots[i] = static_cast<int16_t>(grid_slot(run[i]));
}

}  // namespace digisonde16c
