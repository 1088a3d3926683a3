#include "decoder/output_writer.h"

#include <cmath>
#include <cstdint>
#include <cstring>

#include "blockio/column_format.h"
#include "blockio/line_layout.h"
#include "blockio/free_form.h"
#include "decoder/group_reader.h"

namespace digisonde16c {

namespace {

// Every line's layout is one of these formats, parsed once.
const char kPlotHeaderFormat[] = "('#',A16,10A10)";
const char kPlotRowFormat[] = "(A17,F10.4,10F10.3)";
const char kGroupHeaderFormat[] =
    "('# ',A17,F7.4,1X,11Z1,1X,8Z1,1X,6Z1,1X,7Z1,1X,5Z1,1X,3Z1,1X,3Z1,1X,4Z1,"
    "1X,3Z1,1X,3Z1,1X,4Z1)";
const char kChannelHeader4Format[] = "('#',A15,64F8.4)";
const char kChannelHeader3Format[] = "('#',A15,64F8.3)";
const char kChannelHeader2Format[] = "('#',A15,64F8.2)";
const char kGateLineFormat[] = "(F8.4,F8.1,32F8.1)";

// Items of a plot row, in the order of its fields.
enum PlotField {
  kTimeField,
  kFrequencyField,
  kRangeField,
  kPolarizationField,
  kNoiseField,
  kDopplerField,
  kAzimuthField,
  kZenithField,
  kAmplitudeField,
  kPhaseField,
  kPlotFields,
};

constexpr int kGateLineLeadFields = 2;  // frequency and range

void write_blank_line(TextSink* out) {
  FreeItem empty = free_text("", 0);
  write_free_form(out, &empty, 1);
}

void write_plot_header(const OutputState& state, TextSink* out) {
  static const char* const kLabels[] = {"Time",    "Freq", "Range", "Polarize", "Noise",
                                        "Doppler", "Az",   "Zn",    "Ampltude", "Phase"};
  Item items[10];
  for (int i = 0; i < 10; ++i) {
    items[i] = text_item(kLabels[i], static_cast<int>(std::strlen(kLabels[i])));
  }
  write_formatted(out, state.plot_header, items, 10);
}

// Makes state->gate_block hold the 16 plot rows of a gate as far as they
// hold for the whole group (time, the channels' five attributes, the noise
// level), and channel_of[k] the channel (0-based) in print position k.
// Returns the length of the block, the rows and the blank line after them.
// A channel column is rendered again only when its values in print order
// differ from those the rows hold; time and noise level are rendered once
// and copied into every row.
size_t prepare_gate_block(OutputState* state, const GroupRecord& group,
                          const ChannelTable& channels, float noise_level, int* channel_of) {
  const LineLayout& row = state->plot_row;
  const int row_length = row.width + 1;
  char* gate_block = state->gate_block;
  for (int k = 0; k < kChannels; ++k) channel_of[k] = channels.channel_order[k] - 1;
  static const int kChannelFields[kChannelColumns] = {
      kFrequencyField, kPolarizationField, kDopplerField, kAzimuthField, kZenithField};
  const float* const columns[kChannelColumns] = {channels.channel_frequency,
                                                 channels.polarization, channels.doppler,
                                                 channels.azimuth, channels.zenith};
  for (int i = 0; i < kChannelColumns; ++i) {
    float values[kChannels];
    for (int k = 0; k < kChannels; ++k) values[k] = columns[i][channel_of[k]];
    float* held = state->gate_block_columns[i];
    if (state->gate_block_columns_held && std::memcmp(held, values, sizeof values) == 0) {
      continue;
    }
    const LayoutSlot& slot = row.slots[kChannelFields[i]];
    for (int k = 0; k < kChannels; ++k) {
      char* field = gate_block + k * row_length + slot.column;
      // Channels often share a value: a row repeats the text of the row
      // above for the same value, bit for bit.
      if (k > 0 && std::memcmp(&values[k], &values[k - 1], sizeof values[k]) == 0) {
        copy_field(field, field - row_length, slot.descriptor.width);
      } else {
        render_item(slot.descriptor, real_item(values[k]), field);
      }
    }
    std::memcpy(held, values, sizeof values);
  }
  state->gate_block_columns_held = true;
  static const int kGroupFields[] = {kTimeField, kNoiseField};
  for (int field : kGroupFields) {
    const LayoutSlot& slot = row.slots[field];
    char* first = gate_block + slot.column;
    render_item(slot.descriptor,
                field == kTimeField ? text_item(group.time_text, kTimeTextLength)
                                    : real_item(noise_level),
                first);
    for (int k = 1; k < kChannels; ++k) {
      copy_field(first + k * row_length, first, slot.descriptor.width);
    }
  }
  return static_cast<size_t>(kChannels * row_length + state->blank_line_length);
}

// Plot rows from the compiled plot row layout: the gate block is prepared
// once per group, each gate's range goes into it once, and the ranges,
// amplitudes and phases come from texts rendered before.
void write_plot_rows(OutputState* state, const GroupRecord& group,
                     const ChannelTable& channels, float noise_level, TextSink* out) {
  append_sink(out, state->plot_header_line, static_cast<size_t>(state->plot_header_length));
  int channel_of[kChannels];
  const size_t block_length = prepare_gate_block(state, group, channels, noise_level, channel_of);

  const LineLayout& row = state->plot_row;
  const int row_length = row.width + 1;
  char* gate_block = state->gate_block;
  const LayoutSlot& range_slot = row.slots[kRangeField];
  const int range_width = range_slot.descriptor.width;
  const int amplitude_column = row.slots[kAmplitudeField].column;
  const int phase_column = row.slots[kPhaseField].column;
  // The grid table is taken into use only for values without a code.
  GridTexts* texts = &state->plot_value_texts;

  const RangeText* ranges = range_texts(&state->plot_ranges, range_slot.descriptor, group);
  const int gates = group.gate_count;
  // A column's fields are copied by the codes of its values, or, when not
  // one value has a code (phases corrected for range), by grid slots.
  int16_t (*slots)[kMaxGates] = state->value_slots;  // amplitudes, then phases
  uint16_t (*codes)[kMaxGates] = state->sample_codes;
  const CodeScale scales[2] = {amplitude_code_scale(group.preface), phase_code_scale()};
  const CodeTexts* code_texts_of[2] = {nullptr, nullptr};
  bool by_code[2 * kChannels];
  bool all_codes = true;  // every value of every column has its code
  for (int column = 0; column < 2 * kChannels; ++column) {
    const int half = column / kChannels;
    const float (*values)[kMaxGates] = half == 0 ? group.amplitude : group.phase;
    const float* run = values[channel_of[column % kChannels]];
    const int hits = value_codes(run, gates, scales[half], codes[column]);
    by_code[column] = hits > 0;
    all_codes = all_codes && hits == gates;
    if (hits > 0 && code_texts_of[half] == nullptr) {
      code_texts_of[half] = &code_texts(&state->plot_code_texts[half], texts, scales[half]);
    }
    if (hits == 0) grid_slots(run, gates, slots[column]);
  }
  if (!all_codes) used_grid(texts);
  const bool ten_wide = texts->width == 10;
  for (int g = 0; g < gates; ++g) {
    char* range = gate_block + range_slot.column;
    for (int k = 0; k < kChannels; ++k) {
      copy_field(range + k * row_length, ranges[g].chars, range_width);
    }
    if (ten_wide && all_codes) {
      for (int k = 0; k < kChannels; ++k) {
        char* line = gate_block + k * row_length;
        std::memcpy(line + amplitude_column, code_texts_of[0]->text[codes[k][g]], 10);
        std::memcpy(line + phase_column, code_texts_of[1]->text[codes[kChannels + k][g]], 10);
      }
    } else {
      for (int k = 0; k < kChannels; ++k) {
        int c = channel_of[k];
        char* line = gate_block + k * row_length;
        for (int half = 0; half < 2; ++half) {
          const int column = half * kChannels + k;
          const float value = half == 0 ? group.amplitude[c][g] : group.phase[c][g];
          char* field = line + (half == 0 ? amplitude_column : phase_column);
          if (by_code[column]) {
            write_code_field<0>(*code_texts_of[half], texts, codes[column][g], value, field);
          } else {
            write_slot_field<0>(texts, slots[column][g], value, field);
          }
        }
      }
    }
    append_sink(out, gate_block, block_length);
  }
  append_sink(out, state->blank_line, static_cast<size_t>(state->blank_line_length));
}

// The largest float not above `limit`: a float stands strictly above
// `limit` exactly when it stands strictly above this bound, since no float
// lies between the two.
float float_floor(double limit) {
  float bound = static_cast<float>(limit);
  if (static_cast<double>(bound) > limit) bound = std::nextafter(bound, -INFINITY);
  return bound;
}

// Sets `bit` in passing[i] for each run[i] above `bound`, many at once.
void mark_above(const float* run, int count, float bound, uint32_t bit, uint32_t* passing) {
  for (int i = 0; i < count; ++i) passing[i] |= run[i] > bound ? bit : 0u;
}

// For every gate, the print positions (bit k for position k) whose
// amplitude stands strictly above `limit`. Returns whether any does.
bool rows_above(const GroupRecord& group, const ChannelTable& channels, double limit,
                uint32_t* passing) {
  const int gates = group.gate_count;
  const float bound = float_floor(limit);
  uint32_t bit_of[kChannels] = {};  // a channel's print position, as a bit
  for (int k = 0; k < kChannels; ++k) bit_of[channels.channel_order[k] - 1] |= 1u << k;
  std::memset(passing, 0, sizeof *passing * static_cast<size_t>(gates));
  for (int c = 0; c < kChannels; ++c) {
    mark_above(group.amplitude[c], gates, bound, bit_of[c], passing);
  }
  uint32_t any = 0;
  for (int g = 0; g < gates; ++g) any |= passing[g];
  return any != 0;
}

// Threshold rows: the samples are tested first, and only the rows that
// pass are rendered; a group without one writes its header line alone.
void write_threshold_rows(OutputState* state, const GroupRecord& group,
                          const ChannelTable& channels, float noise_level, double limit,
                          TextSink* out) {
  append_sink(out, state->plot_header_line, static_cast<size_t>(state->plot_header_length));
  uint32_t passing[kMaxGates];
  if (!rows_above(group, channels, limit, passing)) return;
  int channel_of[kChannels];
  prepare_gate_block(state, group, channels, noise_level, channel_of);

  const LineLayout& row = state->plot_row;
  const int row_length = row.width + 1;
  const LayoutSlot& range_slot = row.slots[kRangeField];
  const int range_width = range_slot.descriptor.width;
  const int amplitude_column = row.slots[kAmplitudeField].column;
  const int phase_column = row.slots[kPhaseField].column;
  // A row's amplitude and phase take the texts of their codes, or, without
  // one, their texts from the grid (taken into use then).
  GridTexts* texts = &state->plot_value_texts;
  const RangeText* ranges = range_texts(&state->plot_ranges, range_slot.descriptor, group);
  const CodeScale scales[2] = {amplitude_code_scale(group.preface), phase_code_scale()};
  const float per_step[2] = {1.0f / scales[0].step, 1.0f / scales[1].step};
  const CodeTexts& amplitude_texts = code_texts(&state->plot_code_texts[0], texts, scales[0]);
  const CodeTexts& phase_texts = code_texts(&state->plot_code_texts[1], texts, scales[1]);
  const bool ten_wide = texts->width == 10;
  // A row is composed in the sink from its print position's row of the
  // gate block, unless the sink is too small to hold it.
  const bool direct = static_cast<size_t>(row_length) <= out->capacity;
  for (int g = 0; g < group.gate_count; ++g) {
    uint32_t positions = passing[g];
    if (positions == 0) continue;
    const char* range = ranges[g].chars;
    while (positions != 0) {
      const int k = __builtin_ctz(positions);
      positions &= positions - 1;
      const int c = channel_of[k];
      const char* row_text = state->gate_block + k * row_length;
      char* line = direct ? reserve_sink(out, static_cast<size_t>(row_length))
                          : state->gate_line_text;
      std::memcpy(line, row_text, static_cast<size_t>(row_length));
      copy_field(line + range_slot.column, range, range_width);
      const float amplitude = group.amplitude[c][g];
      const float phase = group.phase[c][g];
      const int amplitude_code = value_code(amplitude, scales[0], per_step[0]);
      const int phase_code = value_code(phase, scales[1], per_step[1]);
      if (ten_wide) {
        write_code_field<10>(amplitude_texts, texts, amplitude_code, amplitude,
                             line + amplitude_column);
        write_code_field<10>(phase_texts, texts, phase_code, phase, line + phase_column);
      } else {
        write_code_field<0>(amplitude_texts, texts, amplitude_code, amplitude,
                            line + amplitude_column);
        write_code_field<0>(phase_texts, texts, phase_code, phase, line + phase_column);
      }
      if (direct) {
        commit_sink(out, static_cast<size_t>(row_length));
      } else {
        append_sink(out, line, static_cast<size_t>(row_length));
      }
    }
  }
}

void write_group_header(const OutputState& state, const GroupRecord& group,
                        TextSink* out) {
  Item items[2 + kPrefaceDigits];
  items[0] = text_item(group.time_text, kTimeTextLength);
  items[1] = real_item(group.frequency);
  for (int i = 0; i < kPrefaceDigits; ++i) {
    items[2 + i] = byte_item(static_cast<int8_t>(group.preface[i]));
  }
  write_layout(out, state.group_header_line, items);
}

// Channel header line `index` (0..4: frequency, polarization, Doppler,
// azimuth, zenith): the label and the column's values in print order,
// `copies` times over. The line is laid out again only when its values or
// copies differ from those of the line held.
void write_channel_header(OutputState* state, int index, const float* column,
                          const ChannelTable& channels, int copies, TextSink* out) {
  static const char* const kLabels[kChannelColumns] = {"Frequency", "Polarize", "Doppler",
                                                       "Azimuth", "Zenith"};
  ChannelHeaderText* held = &state->channel_headers[index];
  float values[kChannels];
  for (int k = 0; k < kChannels; ++k) values[k] = column[channels.channel_order[k] - 1];
  if (held->copies != copies || std::memcmp(held->values, values, sizeof values) != 0) {
    Item items[1 + 2 * kChannels];
    items[0] = text_item(kLabels[index], static_cast<int>(std::strlen(kLabels[index])));
    for (int copy = 0; copy < copies; ++copy) {
      for (int k = 0; k < kChannels; ++k) items[1 + copy * kChannels + k] = real_item(values[k]);
    }
    TextSink text = make_text_sink(-1, held->text, sizeof held->text);
    write_layout(&text, state->channel_header_lines[index][copies - 1], items);
    held->length = text.length;
    std::memcpy(held->values, values, sizeof values);
    held->copies = copies;
  }
  append_sink(out, held->text, held->length);
}

// The value columns of the gate lines in print order: amplitudes, phases,
// or both; halves[i] tells which (0: amplitudes, 1: phases). Returns their
// number.
int gate_line_columns(const GroupRecord& group, const ChannelTable& channels,
                      bool amplitudes, bool phases, const float** columns, int* halves) {
  int n = 0;
  for (int half = 0; half < 2; ++half) {
    bool show = half == 0 ? amplitudes : phases;
    if (!show) continue;
    const float (*values)[kMaxGates] = half == 0 ? group.amplitude : group.phase;
    for (int k = 0; k < kChannels; ++k) {
      halves[n] = half;
      columns[n++] = values[channels.channel_order[k] - 1];
    }
  }
  return n;
}

// The gate lines from the compiled gate line layout: the frequency once per
// group; the ranges and values from texts rendered before.
// Whether the `count` value fields of a gate line follow each other with
// no character between them and end at the line's end.
bool value_fields_fill_line(const LineLayout& layout, int count) {
  int column = layout.slots[kGateLineLeadFields].column;
  for (int i = kGateLineLeadFields; i < kGateLineLeadFields + count; ++i) {
    if (layout.slots[i].column != column) return false;
    column += layout.slots[i].descriptor.width;
  }
  return column == layout.width;
}

void write_gate_lines(OutputState* state, const GroupRecord& group,
                      const float* const* columns, const int* halves, int column_count,
                      TextSink* out) {
  const LineLayout& layout = column_count > kChannels ? state->gate_line32 : state->gate_line16;
  const size_t line_length = static_cast<size_t>(layout.width) + 1;
  char* line = state->gate_line_text;
  std::memcpy(line, layout.skeleton, static_cast<size_t>(layout.width));
  line[layout.width] = '\n';
  render_item(layout.slots[0].descriptor, real_item(group.frequency),
              line + layout.slots[0].column);

  const LayoutSlot& range_slot = layout.slots[1];
  const RangeText* ranges = range_texts(&state->gate_ranges, range_slot.descriptor, group);
  // The grid table is taken into use only for values without a code.
  GridTexts* texts = &state->gate_value_texts;
  int16_t* slots = state->value_slots[0];
  uint16_t* codes = state->sample_codes[0];
  // The lines are composed in the sink when it holds them all, a column at
  // a time; else one at a time in the scratch line.
  const int gates = group.gate_count;
  const size_t block_length = line_length * static_cast<size_t>(gates);
  if (gates > 0 && block_length <= out->capacity) {
    char* block = reserve_sink(out, block_length);
    // When the value fields fill the line from the first of them to its
    // end, they overwrite all of it: a line takes only its lead fields and
    // its line end from the composed line.
    const size_t lead = value_fields_fill_line(layout, column_count)
                            ? static_cast<size_t>(layout.slots[kGateLineLeadFields].column)
                            : line_length;
    for (int g = 0; g < gates; ++g) {
      char* to = block + line_length * static_cast<size_t>(g);
      if (lead == 16) {  // the table formats' lead: a fixed-size copy
        std::memcpy(to, line, 16);
      } else {
        std::memcpy(to, line, lead);
      }
      to[line_length - 1] = '\n';
      copy_field(to + range_slot.column, ranges[g].chars, range_slot.descriptor.width);
    }
    // A column's fields are copied by the codes of its values, or, when
    // not one value has a code (phases corrected for range), by grid slots.
    const CodeScale scales[2] = {amplitude_code_scale(group.preface), phase_code_scale()};
    for (int i = 0; i < column_count; ++i) {
      char* to = block + layout.slots[kGateLineLeadFields + i].column;
      const int half = halves[i];
      const int hits = texts->width == 8 ? value_codes(columns[i], gates, scales[half], codes) : 0;
      if (hits < gates) used_grid(texts);
      if (hits > 0) {
        write_code_column<8>(code_texts(&state->gate_code_texts[half], texts, scales[half]), texts,
                             codes, hits, columns[i], gates, to, line_length);
        continue;
      }
      grid_slots(columns[i], gates, slots);
      if (texts->width == 8) {
        write_slot_column<8>(texts, slots, columns[i], gates, to, line_length);
      } else {
        write_slot_column<0>(texts, slots, columns[i], gates, to, line_length);
      }
    }
    commit_sink(out, block_length);
    return;
  }
  used_grid(texts);
  for (int g = 0; g < gates; ++g) {
    copy_field(line + range_slot.column, ranges[g].chars, range_slot.descriptor.width);
    for (int i = 0; i < column_count; ++i) {
      grid_slots(columns[i] + g, 1, slots);
      write_slot_column<0>(texts, slots, columns[i] + g, 1,
                           line + layout.slots[kGateLineLeadFields + i].column, line_length);
    }
    append_sink(out, line, line_length);
  }
}

void write_tables(OutputState* state, const GroupRecord& group, const ChannelTable& channels,
                  bool amplitudes, bool phases, TextSink* out) {
  int copies = (amplitudes && phases) ? 2 : 1;
  write_group_header(*state, group, out);
  const float* const columns[kChannelColumns] = {channels.channel_frequency,
                                                 channels.polarization, channels.doppler,
                                                 channels.azimuth, channels.zenith};
  for (int i = 0; i < kChannelColumns; ++i) {
    write_channel_header(state, i, columns[i], channels, copies, out);
  }
  const float* value_columns[2 * kChannels];
  int halves[2 * kChannels];
  int column_count =
      gate_line_columns(group, channels, amplitudes, phases, value_columns, halves);
  write_gate_lines(state, group, value_columns, halves, column_count, out);
  write_blank_line(out);
}

}  // namespace

bool prepare_output(OutputState* state) {
  OutputState& s = *state;
  parse_format(kPlotHeaderFormat, &s.plot_header);
  parse_format(kPlotRowFormat, &s.plot_row_format);
  parse_format(kGroupHeaderFormat, &s.group_header);
  parse_format(kChannelHeader4Format, &s.channel_header4);
  parse_format(kChannelHeader3Format, &s.channel_header3);
  parse_format(kChannelHeader2Format, &s.channel_header2);
  parse_format(kGateLineFormat, &s.gate_line);
  bool compiled =
      compile_layout(s.plot_row_format, kPlotFields, &s.plot_row) &&
      compile_layout(s.gate_line, kGateLineLeadFields + kChannels, &s.gate_line16) &&
      compile_layout(s.gate_line, kGateLineLeadFields + 2 * kChannels, &s.gate_line32) &&
      compile_layout(s.group_header, 2 + kPrefaceDigits, &s.group_header_line);
  // The channel header lines' formats by line: F8.4, F8.2, F8.3, F8.2, F8.2.
  const FormatPlan* const header_formats[kChannelColumns] = {
      &s.channel_header4, &s.channel_header2, &s.channel_header3, &s.channel_header2,
      &s.channel_header2};
  for (int i = 0; i < kChannelColumns; ++i) {
    for (int copies = 1; copies <= 2; ++copies) {
      compiled = compiled && compile_layout(*header_formats[i], 1 + copies * kChannels,
                                            &s.channel_header_lines[i][copies - 1]);
    }
    s.channel_headers[i].copies = 0;
  }
  if (compiled) {
    const Descriptor& amplitude = s.plot_row.slots[kAmplitudeField].descriptor;
    const Descriptor& phase = s.plot_row.slots[kPhaseField].descriptor;
    const Descriptor& value = s.gate_line16.slots[kGateLineLeadFields].descriptor;
    // One table serves both plot fields and one every value field of a gate
    // line, so their descriptors must agree.
    bool shared = amplitude.width == phase.width && amplitude.digits == phase.digits;
    for (int i = kGateLineLeadFields; i < kGateLineLeadFields + 2 * kChannels; ++i) {
      const Descriptor& d = s.gate_line32.slots[i].descriptor;
      shared = shared && d.width == value.width && d.digits == value.digits;
    }
    compiled = shared && fits_grid(amplitude) && fits_grid(value) &&
               fits_range_text(s.plot_row.slots[kRangeField].descriptor) &&
               fits_range_text(s.gate_line16.slots[1].descriptor);
    init_grid(&s.plot_value_texts, amplitude);
    init_grid(&s.gate_value_texts, value);
    for (int half = 0; half < 2; ++half) {
      clear_code_texts(&s.plot_code_texts[half]);
      clear_code_texts(&s.gate_code_texts[half]);
    }
  }
  // The blank separator line as the free-form writer lays it out, and the
  // plot header line, which never changes.
  TextSink blank = make_text_sink(-1, s.blank_line, sizeof s.blank_line);
  write_blank_line(&blank);
  s.blank_line_length = static_cast<int>(blank.length);
  TextSink header = make_text_sink(-1, s.plot_header_line, sizeof s.plot_header_line);
  write_plot_header(s, &header);
  s.plot_header_length = static_cast<int>(header.length);
  // Nothing is held yet for a group.
  s.plot_ranges.count = -1;
  s.gate_ranges.count = -1;
  s.gate_block_columns_held = false;
  if (compiled) {
    // The rows of the gate block: the layout's constant characters and the
    // line ends, then the blank line after them.
    const int row_length = s.plot_row.width + 1;
    for (int k = 0; k < kChannels; ++k) {
      char* line = s.gate_block + k * row_length;
      std::memcpy(line, s.plot_row.skeleton, static_cast<size_t>(s.plot_row.width));
      line[s.plot_row.width] = '\n';
    }
    std::memcpy(s.gate_block + kChannels * row_length, s.blank_line,
                static_cast<size_t>(s.blank_line_length));
  }
  compiled = compiled && header.discarded == 0;
  return compiled;
}

void write_group(const OutputMode& mode, const GroupRecord& group,
                 const ChannelTable& channels, float noise_level, OutputState* state,
                 TextSink* out) {
  switch (mode.kind) {
    case OutputKind::kPlotRows:
      write_plot_rows(state, group, channels, noise_level, out);
      break;
    case OutputKind::kThresholdRows: {
      // The sum is compared unrounded.
      const double limit = static_cast<double>(noise_level) + static_cast<double>(mode.threshold);
      write_threshold_rows(state, group, channels, noise_level, limit, out);
      break;
    }
    case OutputKind::kBothTables:
      write_tables(state, group, channels, true, true, out);
      break;
    case OutputKind::kAmplitudeTable:
      write_tables(state, group, channels, true, false, out);
      break;
    case OutputKind::kPhaseTable:
      write_tables(state, group, channels, false, true, out);
      break;
    case OutputKind::kNothing:
      break;
  }
}

}  // namespace digisonde16c
