#include "decoder/output_writer.h"

#include <cmath>
#include <cstdint>
#include <cstring>

#include "blockio/column_format.h"
#include "blockio/line_layout.h"
#include "blockio/free_form.h"

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

// Writes `value` in the field of `texts` at `out`.
inline void write_grid_field(GridTexts* texts, float value, char* out) {
  float scaled = value * static_cast<float>(kGridSteps);  // exact on the grid
  // NaN fails the comparison; the range keeps the conversion defined.
  if (scaled >= static_cast<float>(kGridLow) && scaled < static_cast<float>(kGridHigh)) {
    int point = static_cast<int>(scaled);
    if (static_cast<float>(point) == scaled) {
      char* text = texts->text[point - kGridLow];
      if (text[kGridTextWidth] == 0) {
        // -0 and +0 share a slot; both are written as +0.
        render_real(value, texts->width, texts->decimals, text);
        text[kGridTextWidth] = 1;
      }
      copy_field(out, text, texts->width);
      return;
    }
  }
  render_real(value, texts->width, texts->decimals, out);
}

bool fits_grid(const Descriptor& d) {
  return d.kind == DescriptorKind::kReal && d.width <= kGridTextWidth;
}

void init_grid(GridTexts* texts, const Descriptor& field) {
  std::memset(texts, 0, sizeof *texts);
  texts->width = field.width;
  texts->decimals = field.digits;
}

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

// The items of the plot row for gate g and channel c (both 0-based).
void plot_row_items(const GroupRecord& group, const ChannelTable& channels,
                    float noise_level, int g, int c, Item* items) {
  items[kTimeField] = text_item(group.time_text, kTimeTextLength);
  items[kFrequencyField] = real_item(channels.channel_frequency[c]);
  items[kRangeField] = real_item(group.gate_range[g]);
  items[kPolarizationField] = real_item(channels.polarization[c]);
  items[kNoiseField] = real_item(noise_level);
  items[kDopplerField] = real_item(channels.doppler[c]);
  items[kAzimuthField] = real_item(channels.azimuth[c]);
  items[kZenithField] = real_item(channels.zenith[c]);
  items[kAmplitudeField] = real_item(group.amplitude[c][g]);
  items[kPhaseField] = real_item(group.phase[c][g]);
}

// Fills state->gate_block with the 16 plot rows of a gate as far as they
// hold for the whole group (time, the channels' five attributes, the noise
// level) and the blank line after them, and channel_of[k] with the channel
// (0-based) in print position k. Returns the block's length.
size_t prepare_gate_block(OutputState* state, const GroupRecord& group,
                          const ChannelTable& channels, float noise_level, int* channel_of) {
  const LineLayout& row = state->plot_row;
  const int row_length = row.width + 1;
  char* gate_block = state->gate_block;
  Item items[kPlotFields];
  for (int k = 0; k < kChannels; ++k) {
    int c = channels.channel_order[k] - 1;
    channel_of[k] = c;
    char* line = gate_block + k * row_length;
    std::memcpy(line, row.skeleton, static_cast<size_t>(row.width));
    line[row.width] = '\n';
    plot_row_items(group, channels, noise_level, 0, c, items);
    static const int kGroupFields[] = {kTimeField,    kFrequencyField, kPolarizationField,
                                       kNoiseField,   kDopplerField,   kAzimuthField,
                                       kZenithField};
    for (int field : kGroupFields) {
      render_item(row.slots[field].descriptor, items[field], line + row.slots[field].column);
    }
  }
  const int rows_length = kChannels * row_length;
  std::memcpy(gate_block + rows_length, state->blank_line,
              static_cast<size_t>(state->blank_line_length));
  return static_cast<size_t>(rows_length + state->blank_line_length);
}

// Plot rows from the compiled plot row layout: the gate block is prepared
// once per group, each gate's range goes into it once and the amplitudes
// and phases come from the grid texts.
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
  GridTexts* texts = &state->plot_value_texts;

  for (int g = 0; g < group.gate_count; ++g) {
    char* range = gate_block + range_slot.column;
    render_item(range_slot.descriptor, real_item(group.gate_range[g]), range);
    for (int k = 1; k < kChannels; ++k) {
      copy_field(range + k * row_length, range, range_width);
    }
    for (int k = 0; k < kChannels; ++k) {
      int c = channel_of[k];
      char* line = gate_block + k * row_length;
      write_grid_field(texts, group.amplitude[c][g], line + amplitude_column);
      write_grid_field(texts, group.phase[c][g], line + phase_column);
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

// For every gate, the print positions (bit k for position k) whose
// amplitude stands strictly above `limit`. Returns whether any does.
bool rows_above(const GroupRecord& group, const ChannelTable& channels, double limit,
                uint16_t* passing) {
  const int gates = group.gate_count;
  const float bound = float_floor(limit);
  // Most groups of a high threshold have no sample above it; a count, which
  // runs many samples at once, tells them first.
  int above = 0;
  for (int c = 0; c < kChannels; ++c) {
    const float* run = group.amplitude[c];
    for (int g = 0; g < gates; ++g) above += run[g] > bound;
  }
  if (above == 0) return false;
  std::memset(passing, 0, sizeof *passing * static_cast<size_t>(gates));
  for (int k = 0; k < kChannels; ++k) {
    const float* run = group.amplitude[channels.channel_order[k] - 1];
    for (int g = 0; g < gates; ++g) {
      passing[g] = static_cast<uint16_t>(passing[g] | static_cast<int>(run[g] > bound) << k);
    }
  }
  return true;
}

// Threshold rows: the samples are tested first, and only the rows that
// pass are rendered; a group without one writes its header line alone.
void write_threshold_rows(OutputState* state, const GroupRecord& group,
                          const ChannelTable& channels, float noise_level, double limit,
                          TextSink* out) {
  append_sink(out, state->plot_header_line, static_cast<size_t>(state->plot_header_length));
  uint16_t passing[kMaxGates];
  if (!rows_above(group, channels, limit, passing)) return;
  int channel_of[kChannels];
  prepare_gate_block(state, group, channels, noise_level, channel_of);

  const LineLayout& row = state->plot_row;
  const int row_length = row.width + 1;
  const LayoutSlot& range_slot = row.slots[kRangeField];
  const int range_width = range_slot.descriptor.width;
  const int amplitude_column = row.slots[kAmplitudeField].column;
  const int phase_column = row.slots[kPhaseField].column;
  GridTexts* texts = &state->plot_value_texts;
  char range[kMaxLayoutChars];
  for (int g = 0; g < group.gate_count; ++g) {
    unsigned positions = passing[g];
    if (positions == 0) continue;
    render_item(range_slot.descriptor, real_item(group.gate_range[g]), range);
    for (int k = 0; positions != 0; ++k, positions >>= 1) {
      if ((positions & 1) == 0) continue;
      int c = channel_of[k];
      char* line = state->gate_block + k * row_length;
      copy_field(line + range_slot.column, range, range_width);
      write_grid_field(texts, group.amplitude[c][g], line + amplitude_column);
      write_grid_field(texts, group.phase[c][g], line + phase_column);
      append_sink(out, line, static_cast<size_t>(row_length));
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
  write_formatted(out, state.group_header, items, 2 + kPrefaceDigits);
}

// One channel header line: the label and the column's values in print
// order, `copies` times over.
void write_channel_header(const FormatPlan& format, const char* label,
                          const float* column, const ChannelTable& channels,
                          int copies, TextSink* out) {
  Item items[1 + 2 * kChannels];
  items[0] = text_item(label, static_cast<int>(std::strlen(label)));
  int n = 1;
  for (int copy = 0; copy < copies; ++copy) {
    for (int k = 0; k < kChannels; ++k) {
      items[n++] = real_item(column[channels.channel_order[k] - 1]);
    }
  }
  write_formatted(out, format, items, n);
}

// The value columns of the gate lines in print order: amplitudes, phases,
// or both. Returns their number.
int gate_line_columns(const GroupRecord& group, const ChannelTable& channels,
                      bool amplitudes, bool phases, const float** columns) {
  int n = 0;
  for (int half = 0; half < 2; ++half) {
    bool show = half == 0 ? amplitudes : phases;
    if (!show) continue;
    const float (*values)[kMaxGates] = half == 0 ? group.amplitude : group.phase;
    for (int k = 0; k < kChannels; ++k) columns[n++] = values[channels.channel_order[k] - 1];
  }
  return n;
}

// The gate lines from the compiled gate line layout: the frequency once per
// group, the range once per line, the values from the grid texts.
void write_gate_lines(OutputState* state, const GroupRecord& group,
                           const float* const* columns, int column_count, TextSink* out) {
  const LineLayout& layout = column_count > kChannels ? state->gate_line32 : state->gate_line16;
  const size_t line_length = static_cast<size_t>(layout.width) + 1;
  char* line = state->gate_line_text;
  std::memcpy(line, layout.skeleton, static_cast<size_t>(layout.width));
  line[layout.width] = '\n';
  render_item(layout.slots[0].descriptor, real_item(group.frequency),
              line + layout.slots[0].column);

  const LayoutSlot& range_slot = layout.slots[1];
  GridTexts* texts = &state->gate_value_texts;
  for (int g = 0; g < group.gate_count; ++g) {
    render_item(range_slot.descriptor, real_item(group.gate_range[g]),
                line + range_slot.column);
    for (int i = 0; i < column_count; ++i) {
      write_grid_field(texts, columns[i][g],
                       line + layout.slots[kGateLineLeadFields + i].column);
    }
    append_sink(out, line, line_length);
  }
}

void write_tables(OutputState* state, const GroupRecord& group, const ChannelTable& channels,
                  bool amplitudes, bool phases, TextSink* out) {
  int copies = (amplitudes && phases) ? 2 : 1;
  write_group_header(*state, group, out);
  write_channel_header(state->channel_header4, "Frequency", channels.channel_frequency,
                       channels, copies, out);
  write_channel_header(state->channel_header2, "Polarize", channels.polarization, channels,
                       copies, out);
  write_channel_header(state->channel_header3, "Doppler", channels.doppler, channels, copies,
                       out);
  write_channel_header(state->channel_header2, "Azimuth", channels.azimuth, channels, copies,
                       out);
  write_channel_header(state->channel_header2, "Zenith", channels.zenith, channels, copies,
                       out);
  const float* columns[2 * kChannels];
  int column_count = gate_line_columns(group, channels, amplitudes, phases, columns);
  write_gate_lines(state, group, columns, column_count, out);
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
      compile_layout(s.gate_line, kGateLineLeadFields + 2 * kChannels, &s.gate_line32);
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
    compiled = shared && fits_grid(amplitude) && fits_grid(value);
    init_grid(&s.plot_value_texts, amplitude);
    init_grid(&s.gate_value_texts, value);
  }
  // The blank separator line as the free-form writer lays it out, and the
  // plot header line, which never changes.
  TextSink blank = make_text_sink(-1, s.blank_line, sizeof s.blank_line);
  write_blank_line(&blank);
  s.blank_line_length = static_cast<int>(blank.length);
  TextSink header = make_text_sink(-1, s.plot_header_line, sizeof s.plot_header_line);
  write_plot_header(s, &header);
  s.plot_header_length = static_cast<int>(header.length);
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
