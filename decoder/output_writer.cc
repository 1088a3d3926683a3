#include "decoder/output_writer.h"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <initializer_list>

#include "blockio/column_format.h"
#include "blockio/line_layout.h"
#include "blockio/free_form.h"

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

// Renders the five channel columns into the 16 rows of the gate block, in
// print order (channel_of[k]: the channel, 0-based, in place k). A column
// is rendered again only when its values differ from those the rows hold.
void render_channel_columns(OutputState* state, const ChannelTable& channels,
                            const int* channel_of) {
  static const int kChannelFields[kChannelColumns] = {
      kFrequencyField, kPolarizationField, kDopplerField, kAzimuthField, kZenithField};
  const float* const columns[kChannelColumns] = {channels.channel_frequency,
                                                 channels.polarization, channels.doppler,
                                                 channels.azimuth, channels.zenith};
  const int row_length = state->plot_row.width + 1;
  for (int i = 0; i < kChannelColumns; ++i) {
    float values[kChannels];
    for (int k = 0; k < kChannels; ++k) values[k] = columns[i][channel_of[k]];
    float* held = state->gate_block_columns[i];
    if (state->gate_block_valid && std::memcmp(held, values, sizeof values) == 0) continue;
    const LayoutSlot& slot = state->plot_row.slots[kChannelFields[i]];
    char* field = state->gate_block + slot.column;
    for (int k = 0; k < kChannels; ++k, field += row_length) {
      // Channels often share a value: a row repeats the text of the row
      // above for the same value, bit for bit.
      if (k > 0 && std::memcmp(&values[k], &values[k - 1], sizeof values[k]) == 0) {
        std::memcpy(field, field - row_length, kPlotFieldWidth);
      } else {
        render_item(slot.descriptor, real_item(values[k]), field);
      }
    }
    std::memcpy(held, values, sizeof values);
  }
  state->gate_block_valid = true;
}

// Makes the gate block hold the 16 plot rows of a gate as far as they hold
// for the whole group: time, the channels' five attributes and the noise
// level. Returns the length of the block, the rows and the blank line
// after them.
size_t prepare_gate_block(OutputState* state, const GroupRecord& group,
                          const ChannelTable& channels, float noise_level,
                          const int* channel_of) {
  render_channel_columns(state, channels, channel_of);
  const int row_length = state->plot_row.width + 1;
  static const int kGroupFields[] = {kTimeField, kNoiseField};
  for (int field : kGroupFields) {
    const LayoutSlot& slot = state->plot_row.slots[field];
    char* first = state->gate_block + slot.column;
    render_item(slot.descriptor,
                field == kTimeField ? text_item(group.time_text, kTimeTextLength)
                                    : real_item(noise_level),
                first);
    const size_t width = static_cast<size_t>(slot.descriptor.width);
    for (int k = 1; k < kChannels; ++k) std::memcpy(first + k * row_length, first, width);
  }
  return static_cast<size_t>(kChannels * row_length + state->blank_line_length);
}

// The amplitude and phase fields of gate g in the 16 rows of the gate
// block; slots[half * 16 + c] holds the grid slots of channel c of a half
// without codes.
void write_gate_samples(OutputState* state, const SampleTexts* halves,
                        const int16_t (*slots)[kMaxGates], const int* channel_of, int g) {
  const LineLayout& row = state->plot_row;
  const int row_length = row.width + 1;
  const Descriptor& d = row.slots[kAmplitudeField].descriptor;
  char* amplitude = state->gate_block + row.slots[kAmplitudeField].column;
  char* phase = state->gate_block + row.slots[kPhaseField].column;
  if (halves[0].coded_channels == kChannels && halves[1].coded_channels == kChannels) {
    for (int k = 0; k < kChannels; ++k) {
      const int c = channel_of[k];
      std::memcpy(amplitude + k * row_length,
                  halves[0].code_texts->text[halves[0].codes[c][g]], kPlotFieldWidth);
      std::memcpy(phase + k * row_length, halves[1].code_texts->text[halves[1].codes[c][g]],
                  kPlotFieldWidth);
    }
    return;
  }
  for (int k = 0; k < kChannels; ++k) {
    const int c = channel_of[k];
    write_sample_field<kPlotFieldWidth>(halves[0], d, c, g, slots[c][g],
                                        amplitude + k * row_length);
    write_sample_field<kPlotFieldWidth>(halves[1], d, c, g, slots[kChannels + c][g],
                                        phase + k * row_length);
  }
}

// Plot rows: the gate block is prepared once per group; for each gate its
// range and samples go into it from texts rendered before.
void write_plot_rows(OutputState* state, const GroupRecord& group,
                     const ChannelTable& channels, float noise_level, TextSink* out) {
  append_sink(out, state->plot_header_line, static_cast<size_t>(state->plot_header_length));
  int channel_of[kChannels];
  for (int k = 0; k < kChannels; ++k) channel_of[k] = channels.channel_order[k] - 1;
  const size_t block_length = prepare_gate_block(state, group, channels, noise_level, channel_of);

  const LineLayout& row = state->plot_row;
  const int row_length = row.width + 1;
  const LayoutSlot& range_slot = row.slots[kRangeField];
  LineTexts* texts = &state->plot_texts;
  const FieldTexts<kMaxGates>& ranges = range_texts(&texts->ranges, range_slot.descriptor, group);
  const Descriptor& d = row.slots[kAmplitudeField].descriptor;
  const SampleTexts halves[2] = {sample_texts(texts, d, group, 0),
                                 sample_texts(texts, d, group, 1)};
  const int gates = group.gate_count;
  sample_slots(halves[0], gates, state->value_slots);
  sample_slots(halves[1], gates, state->value_slots + kChannels);
  char* range = state->gate_block + range_slot.column;
  for (int g = 0; g < gates; ++g) {
    for (int k = 0; k < kChannels; ++k) {
      std::memcpy(range + k * row_length, ranges.text[g], kPlotFieldWidth);
    }
    write_gate_samples(state, halves, state->value_slots, channel_of, g);
    append_sink(out, state->gate_block, block_length);
  }
  append_sink(out, state->blank_line, static_cast<size_t>(state->blank_line_length));
}

// Room for `length` bytes of output: in the sink when its buffer can hold
// them, else in `scratch`. finish_room hands the bytes on either way.
char* begin_room(TextSink* out, size_t length, char* scratch) {
  return length <= out->capacity ? reserve_sink(out, length) : scratch;
}
void finish_room(TextSink* out, const char* room, size_t length, const char* scratch) {
  if (room == scratch) {
    append_sink(out, scratch, length);
  } else {
    commit_sink(out, length);
  }
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
// pass are written, each from its print position's row of the gate block;
// a group without one writes its header line alone.
void write_threshold_rows(OutputState* state, const GroupRecord& group,
                          const ChannelTable& channels, float noise_level, double limit,
                          TextSink* out) {
  append_sink(out, state->plot_header_line, static_cast<size_t>(state->plot_header_length));
  uint32_t passing[kMaxGates];
  if (!rows_above(group, channels, limit, passing)) return;
  int channel_of[kChannels];
  for (int k = 0; k < kChannels; ++k) channel_of[k] = channels.channel_order[k] - 1;
  prepare_gate_block(state, group, channels, noise_level, channel_of);

  const LineLayout& row = state->plot_row;
  const size_t row_length = static_cast<size_t>(row.width) + 1;
  const int range_column = row.slots[kRangeField].column;
  const int amplitude_column = row.slots[kAmplitudeField].column;
  const int phase_column = row.slots[kPhaseField].column;
  LineTexts* texts = &state->plot_texts;
  const FieldTexts<kMaxGates>& ranges =
      range_texts(&texts->ranges, row.slots[kRangeField].descriptor, group);
  const Descriptor& d = row.slots[kAmplitudeField].descriptor;
  const SampleTexts amplitudes = sample_texts(texts, d, group, 0);
  const SampleTexts phases = sample_texts(texts, d, group, 1);
  for (int g = 0; g < group.gate_count; ++g) {
    for (uint32_t positions = passing[g]; positions != 0; positions &= positions - 1) {
      const int k = __builtin_ctz(positions);
      const int c = channel_of[k];
      char* line = begin_room(out, row_length, state->line_text);
      std::memcpy(line, state->gate_block + static_cast<size_t>(k) * row_length, row_length);
      std::memcpy(line + range_column, ranges.text[g], kPlotFieldWidth);
      write_sample_field<kPlotFieldWidth>(amplitudes, d, c, g,
                                          grid_slot(group.amplitude[c][g]),
                                          line + amplitude_column);
      write_sample_field<kPlotFieldWidth>(phases, d, c, g, grid_slot(group.phase[c][g]),
                                          line + phase_column);
      finish_room(out, line, row_length, state->line_text);
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
  if (!held->valid || held->copies != copies ||
      std::memcmp(held->values, values, sizeof values) != 0) {
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
    held->valid = true;
  }
  append_sink(out, held->text, held->length);
}

// The fields of one value column of the gate lines (channel c of `t`) in
// lines `line_length` apart from `out`: by code, or by grid slot.
void write_value_column(const SampleTexts& t, const Descriptor& d, int c, int gates,
                        int16_t* slots, char* out, size_t line_length) {
  if (c < t.coded_channels) {
    const uint8_t* codes = t.codes[c];
    for (int g = 0; g < gates; ++g, out += line_length) {
      std::memcpy(out, t.code_texts->text[codes[g]], kGateFieldWidth);
    }
    return;
  }
  grid_slots(t.values[c], gates, slots);
  for (int g = 0; g < gates; ++g, out += line_length) {
    write_slot_field<kGateFieldWidth>(t.grid, d, slots[g], t.values[c][g], out);
  }
}

// The gate lines of a group, composed a column at a time: the frequency
// rendered once, the ranges and values from texts rendered before. The
// amplitude columns, the phase columns or both follow the lead.
void write_gate_lines(OutputState* state, const GroupRecord& group,
                      const ChannelTable& channels, bool amplitudes, bool phases,
                      TextSink* out) {
  const int column_count = (amplitudes && phases ? 2 : 1) * kChannels;
  const LineLayout& layout = column_count > kChannels ? state->gate_line32 : state->gate_line16;
  const size_t line_length = static_cast<size_t>(layout.width) + 1;
  const int gates = group.gate_count;
  const size_t block_length = line_length * static_cast<size_t>(gates);
  if (gates == 0) return;
  char lead[kGateLineLead];
  std::memcpy(lead, layout.skeleton, kGateLineLead);
  render_item(layout.slots[0].descriptor, real_item(group.frequency),
              lead + layout.slots[0].column);
  LineTexts* texts = &state->gate_texts;
  const LayoutSlot& range_slot = layout.slots[1];
  const FieldTexts<kMaxGates>& ranges = range_texts(&texts->ranges, range_slot.descriptor, group);
  char* block = begin_room(out, block_length, state->gate_lines);
  for (int g = 0; g < gates; ++g) {
    char* line = block + line_length * static_cast<size_t>(g);
    std::memcpy(line, lead, kGateLineLead);
    std::memcpy(line + range_slot.column, ranges.text[g], kGateFieldWidth);
    line[line_length - 1] = '\n';
  }
  const Descriptor& d = layout.slots[kGateLineLeadFields].descriptor;
  int column = 0;
  for (int half = amplitudes ? 0 : 1; half <= (phases ? 1 : 0); ++half) {
    const SampleTexts t = sample_texts(texts, d, group, half);
    for (int k = 0; k < kChannels; ++k, ++column) {
      write_value_column(t, d, channels.channel_order[k] - 1, gates, state->value_slots[0],
                         block + layout.slots[kGateLineLeadFields + column].column, line_length);
    }
  }
  finish_room(out, block, block_length, state->gate_lines);
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
  write_gate_lines(state, group, channels, amplitudes, phases, out);
  write_blank_line(out);
}

// Parses the formats and compiles the layouts of the lines. Returns false
// when one does not compile.
bool compile_layouts(OutputState* state) {
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
  }
  return compiled;
}

// Whether a layout's slots first..last - 1 are real fields `width` wide
// with `digits` decimals (-1: any), each right after the one before.
bool fields_follow(const LineLayout& layout, int first, int last, int width, int digits) {
  for (int i = first; i < last; ++i) {
    const Descriptor& d = layout.slots[i].descriptor;
    const bool follows = i == first || layout.slots[i].column ==
                                           layout.slots[i - 1].column + width;
    if (d.kind != DescriptorKind::kReal || d.width != width ||
        (digits >= 0 && d.digits != digits) || !follows) {
      return false;
    }
  }
  return true;
}

// Whether the compiled layouts have the fields that the writer copies its
// texts into: the plot row's real fields kPlotFieldWidth wide, its
// amplitude and phase alike (one table serves both); the gate lines'
// fields kGateFieldWidth wide from column 0 to the line's end, the values
// alike (one table serves them all).
bool layouts_fit(const OutputState& s) {
  const Descriptor& sample = s.plot_row.slots[kAmplitudeField].descriptor;
  const Descriptor& value = s.gate_line32.slots[kGateLineLeadFields].descriptor;
  return fields_follow(s.plot_row, kFrequencyField, kPlotFields, kPlotFieldWidth, -1) &&
         fields_follow(s.plot_row, kAmplitudeField, kPlotFields, kPlotFieldWidth,
                       sample.digits) &&
         fields_follow(s.gate_line32, 0, kGateLineLeadFields, kGateFieldWidth, -1) &&
         fields_follow(s.gate_line32, kGateLineLeadFields, kGateLineLeadFields + 2 * kChannels,
                       kGateFieldWidth, value.digits) &&
         s.gate_line32.slots[0].column == 0 && s.gate_line32.width == kGateLineChars &&
         s.gate_line16.width == kGateLineLead + kChannels * kGateFieldWidth &&
         fits_field_texts(sample) && fits_field_texts(value);
}

// Makes every table and held text invalid: nothing is held for a group.
void invalidate_all(OutputState* s) {
  for (LineTexts* texts : {&s->plot_texts, &s->gate_texts}) {
    invalidate_texts(&texts->ranges.texts);
    invalidate_texts(&texts->grid);
    for (CodeTextSet& set : texts->codes) {
      for (FieldTexts<kCodeCount>& scale_texts : set.texts) invalidate_texts(&scale_texts);
    }
  }
  for (ChannelHeaderText& header : s->channel_headers) header.valid = false;
  s->gate_block_valid = false;
}

}  // namespace

bool prepare_output(OutputState* state) {
  OutputState& s = *state;
  const bool compiled = compile_layouts(state) && layouts_fit(s);
  invalidate_all(state);
  // The blank separator line as the free-form writer lays it out, and the
  // plot header line, which never changes.
  TextSink blank = make_text_sink(-1, s.blank_line, sizeof s.blank_line);
  write_blank_line(&blank);
  s.blank_line_length = static_cast<int>(blank.length);
  TextSink header = make_text_sink(-1, s.plot_header_line, sizeof s.plot_header_line);
  write_plot_header(s, &header);
  s.plot_header_length = static_cast<int>(header.length);
  if (!compiled || header.discarded != 0) return false;
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
  return true;
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
