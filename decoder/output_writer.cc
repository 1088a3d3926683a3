#include "decoder/output_writer.h"

#include <cstdint>
#include <cstring>

#include "blockio/column_format.h"
#include "blockio/free_form.h"
#include "blockio/line_layout.h"

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

// Rendered texts of one real field for the values on a grid of 1/32 from
// kGridLow to kGridHigh: amplitudes (multiples of 1/8 from the codes) and
// phases (multiples of 45/32) of a group all lie on it. A value is turned
// into its slot exactly, and a text, once rendered, holds for every group.
constexpr int kGridSteps = 32;  // grid points per unit
constexpr int kGridLow = -128 * kGridSteps;
constexpr int kGridHigh = 384 * kGridSteps;
constexpr int kGridSlots = kGridHigh - kGridLow;
constexpr int kGridTextWidth = 15;  // widest field held; byte 15 marks a text

struct GridTexts {
  int width;
  int decimals;
  char text[kGridSlots][kGridTextWidth + 1];
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

struct Layouts {
  bool ready;
  bool fast;  // every compiled layout below is usable
  FormatPlan plot_header;
  FormatPlan plot_row_format;
  FormatPlan group_header;
  FormatPlan channel_header4;
  FormatPlan channel_header3;
  FormatPlan channel_header2;
  FormatPlan gate_line;
  LineLayout plot_row;
  LineLayout gate_line16;  // frequency, range and 16 values
  LineLayout gate_line32;  // frequency, range and 32 values
  char blank_line[8];      // the free-form line of an empty text
  int blank_line_length;
};

Layouts layouts;
GridTexts plot_value_texts;  // the amplitude and phase fields of a plot row
GridTexts gate_value_texts;  // the value fields of a gate line

bool fits_grid(const Descriptor& d) {
  return d.kind == DescriptorKind::kReal && d.width <= kGridTextWidth;
}

void init_grid(GridTexts* texts, const Descriptor& field) {
  std::memset(texts, 0, sizeof *texts);
  texts->width = field.width;
  texts->decimals = field.digits;
}

Layouts& prepared_layouts() {
  Layouts& l = layouts;
  if (l.ready) return l;
  parse_format(kPlotHeaderFormat, &l.plot_header);
  parse_format(kPlotRowFormat, &l.plot_row_format);
  parse_format(kGroupHeaderFormat, &l.group_header);
  parse_format(kChannelHeader4Format, &l.channel_header4);
  parse_format(kChannelHeader3Format, &l.channel_header3);
  parse_format(kChannelHeader2Format, &l.channel_header2);
  parse_format(kGateLineFormat, &l.gate_line);
  l.fast = compile_layout(l.plot_row_format, kPlotFields, &l.plot_row) &&
           compile_layout(l.gate_line, kGateLineLeadFields + 16, &l.gate_line16) &&
           compile_layout(l.gate_line, kGateLineLeadFields + 32, &l.gate_line32);
  if (l.fast) {
    const Descriptor& amplitude = l.plot_row.slots[kAmplitudeField].descriptor;
    const Descriptor& phase = l.plot_row.slots[kPhaseField].descriptor;
    const Descriptor& value = l.gate_line16.slots[kGateLineLeadFields].descriptor;
    // One table serves both plot fields and one every value field of a gate
    // line, so their descriptors must agree.
    bool shared = amplitude.width == phase.width && amplitude.digits == phase.digits;
    for (int i = kGateLineLeadFields; i < kGateLineLeadFields + 32; ++i) {
      const Descriptor& d = l.gate_line32.slots[i].descriptor;
      shared = shared && d.width == value.width && d.digits == value.digits;
    }
    l.fast = shared && fits_grid(amplitude) && fits_grid(value);
    init_grid(&plot_value_texts, amplitude);
    init_grid(&gate_value_texts, value);
  }
  // The blank separator line as the free-form writer lays it out.
  TextSink blank = make_text_sink(-1, l.blank_line, sizeof l.blank_line);
  FreeItem empty = free_text("", 0);
  write_free_form(&blank, &empty, 1);
  l.blank_line_length = static_cast<int>(blank.length);
  l.ready = true;
  return l;
}

void write_blank_line(TextSink* out) {
  FreeItem empty = free_text("", 0);
  write_free_form(out, &empty, 1);
}

void write_plot_header(const Layouts& l, TextSink* out) {
  static const char* const kLabels[] = {"Time",    "Freq", "Range", "Polarize", "Noise",
                                        "Doppler", "Az",   "Zn",    "Ampltude", "Phase"};
  Item items[10];
  for (int i = 0; i < 10; ++i) {
    items[i] = text_item(kLabels[i], static_cast<int>(std::strlen(kLabels[i])));
  }
  write_formatted(out, l.plot_header, items, 10);
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

inline bool above_threshold(float amplitude, double limit) {
  return static_cast<double>(amplitude) > limit;
}

// Plot rows or, with `threshold_only`, the rows whose amplitude stands
// strictly above noise_level + threshold, one write_formatted per row.
void write_plot_rows_plainly(const Layouts& l, const RunOptions& options,
                             const GroupRecord& group, const ChannelTable& channels,
                             float noise_level, bool threshold_only, TextSink* out) {
  const double limit = static_cast<double>(noise_level) + static_cast<double>(options.threshold);
  write_plot_header(l, out);
  Item items[kPlotFields];
  for (int g = 0; g < group.gate_count; ++g) {
    for (int k = 0; k < kChannels; ++k) {
      int c = channels.channel_order[k] - 1;
      if (threshold_only && !above_threshold(group.amplitude[c][g], limit)) continue;
      plot_row_items(group, channels, noise_level, g, c, items);
      write_formatted(out, l.plot_row_format, items, kPlotFields);
    }
    if (!threshold_only) write_blank_line(out);
  }
  if (!threshold_only) write_blank_line(out);
}

// The same rows from the compiled plot row layout. What is constant over a
// group (time, the channels' five attributes, the noise level) is rendered
// once into one row per print position; the 16 rows of a gate and the blank
// line after them form one block, into which each gate's range goes once.
// Amplitudes and phases come from the grid texts.
void write_plot_rows_fast(Layouts& l, const RunOptions& options, const GroupRecord& group,
                          const ChannelTable& channels, float noise_level,
                          bool threshold_only, TextSink* out) {
  const LineLayout& row = l.plot_row;
  const int row_length = row.width + 1;
  write_plot_header(l, out);

  static char gate_block[kChannels * (kMaxLayoutChars + 1) + sizeof l.blank_line];
  int channel_of[kChannels];
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
  std::memcpy(gate_block + rows_length, l.blank_line,
              static_cast<size_t>(l.blank_line_length));
  const size_t block_length =
      static_cast<size_t>(rows_length + (threshold_only ? 0 : l.blank_line_length));

  const LayoutSlot& range_slot = row.slots[kRangeField];
  const int range_width = range_slot.descriptor.width;
  const int amplitude_column = row.slots[kAmplitudeField].column;
  const int phase_column = row.slots[kPhaseField].column;
  const double limit = static_cast<double>(noise_level) + static_cast<double>(options.threshold);
  GridTexts* texts = &plot_value_texts;

  for (int g = 0; g < group.gate_count; ++g) {
    char* range = gate_block + range_slot.column;
    render_item(range_slot.descriptor, real_item(group.gate_range[g]), range);
    for (int k = 1; k < kChannels; ++k) {
      copy_field(range + k * row_length, range, range_width);
    }
    if (threshold_only) {
      for (int k = 0; k < kChannels; ++k) {
        int c = channel_of[k];
        float amplitude = group.amplitude[c][g];
        if (!above_threshold(amplitude, limit)) continue;
        char* line = reserve_sink(out, static_cast<size_t>(row_length));
        std::memcpy(line, gate_block + k * row_length, static_cast<size_t>(row_length));
        write_grid_field(texts, amplitude, line + amplitude_column);
        write_grid_field(texts, group.phase[c][g], line + phase_column);
        commit_sink(out, static_cast<size_t>(row_length));
      }
      continue;
    }
    char* block = reserve_sink(out, block_length);
    std::memcpy(block, gate_block, block_length);
    for (int k = 0; k < kChannels; ++k) {
      int c = channel_of[k];
      char* line = block + k * row_length;
      write_grid_field(texts, group.amplitude[c][g], line + amplitude_column);
      write_grid_field(texts, group.phase[c][g], line + phase_column);
    }
    commit_sink(out, block_length);
  }
  if (!threshold_only) {
    append_sink(out, l.blank_line, static_cast<size_t>(l.blank_line_length));
  }
}

void write_group_header(const Layouts& l, const GroupRecord& group, TextSink* out) {
  Item items[2 + kPrefaceDigits];
  items[0] = text_item(group.time_text, kTimeTextLength);
  items[1] = real_item(group.frequency);
  for (int i = 0; i < kPrefaceDigits; ++i) {
    items[2 + i] = byte_item(static_cast<int8_t>(group.preface[i]));
  }
  write_formatted(out, l.group_header, items, 2 + kPrefaceDigits);
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

// The gate line's values for gate g: amplitudes, phases, or both.
int gate_line_items(const GroupRecord& group, const ChannelTable& channels, int g,
                    bool amplitudes, bool phases, Item* items) {
  int n = 0;
  items[n++] = real_item(group.frequency);
  items[n++] = real_item(group.gate_range[g]);
  for (int half = 0; half < 2; ++half) {
    bool show = half == 0 ? amplitudes : phases;
    if (!show) continue;
    const float (*values)[kMaxGates] = half == 0 ? group.amplitude : group.phase;
    for (int k = 0; k < kChannels; ++k) {
      items[n++] = real_item(values[channels.channel_order[k] - 1][g]);
    }
  }
  return n;
}

void write_gate_lines_plainly(const Layouts& l, const GroupRecord& group,
                              const ChannelTable& channels, bool amplitudes, bool phases,
                              TextSink* out) {
  Item items[kGateLineLeadFields + 2 * kChannels];
  for (int g = 0; g < group.gate_count; ++g) {
    int n = gate_line_items(group, channels, g, amplitudes, phases, items);
    write_formatted(out, l.gate_line, items, n);
  }
}

// The same lines from the compiled gate line layout: the frequency once per
// group, the range once per line, the values from the grid texts.
void write_gate_lines_fast(Layouts& l, const GroupRecord& group, const ChannelTable& channels,
                           bool amplitudes, bool phases, TextSink* out) {
  const LineLayout& layout = (amplitudes && phases) ? l.gate_line32 : l.gate_line16;
  const size_t line_length = static_cast<size_t>(layout.width) + 1;
  static char lead[kMaxLayoutChars + 1];
  std::memcpy(lead, layout.skeleton, static_cast<size_t>(layout.width));
  lead[layout.width] = '\n';
  render_item(layout.slots[0].descriptor, real_item(group.frequency),
              lead + layout.slots[0].column);

  const float* columns[2 * kChannels];
  int n = 0;
  for (int half = 0; half < 2; ++half) {
    bool show = half == 0 ? amplitudes : phases;
    if (!show) continue;
    const float (*values)[kMaxGates] = half == 0 ? group.amplitude : group.phase;
    for (int k = 0; k < kChannels; ++k) columns[n++] = values[channels.channel_order[k] - 1];
  }
  const LayoutSlot& range_slot = layout.slots[1];
  GridTexts* texts = &gate_value_texts;
  for (int g = 0; g < group.gate_count; ++g) {
    char* line = reserve_sink(out, line_length);
    std::memcpy(line, lead, line_length);
    render_item(range_slot.descriptor, real_item(group.gate_range[g]),
                line + range_slot.column);
    for (int i = 0; i < n; ++i) {
      write_grid_field(texts, columns[i][g],
                       line + layout.slots[kGateLineLeadFields + i].column);
    }
    commit_sink(out, line_length);
  }
}

void write_tables(Layouts& l, const GroupRecord& group, const ChannelTable& channels,
                  bool amplitudes, bool phases, bool fast, TextSink* out) {
  int copies = (amplitudes && phases) ? 2 : 1;
  write_group_header(l, group, out);
  write_channel_header(l.channel_header4, "Frequency", channels.channel_frequency,
                       channels, copies, out);
  write_channel_header(l.channel_header2, "Polarize", channels.polarization, channels,
                       copies, out);
  write_channel_header(l.channel_header3, "Doppler", channels.doppler, channels, copies,
                       out);
  write_channel_header(l.channel_header2, "Azimuth", channels.azimuth, channels, copies,
                       out);
  write_channel_header(l.channel_header2, "Zenith", channels.zenith, channels, copies,
                       out);
  if (fast) {
    write_gate_lines_fast(l, group, channels, amplitudes, phases, out);
  } else {
    write_gate_lines_plainly(l, group, channels, amplitudes, phases, out);
  }
  write_blank_line(out);
}

}  // namespace

void write_group(const RunOptions& options, const GroupRecord& group,
                 const ChannelTable& channels, float noise_level, TextSink* out) {
  Layouts& l = prepared_layouts();
  // The compiled routes need room for a gate's rows in the sink.
  const bool fast = l.fast &&
                    out->capacity >= static_cast<size_t>(kChannels * (kMaxLayoutChars + 1)) +
                                         sizeof l.blank_line;
  if (options.plot_rows || options.threshold_detect) {
    bool threshold_only = !options.plot_rows;
    if (fast) {
      write_plot_rows_fast(l, options, group, channels, noise_level, threshold_only, out);
    } else {
      write_plot_rows_plainly(l, options, group, channels, noise_level, threshold_only,
                              out);
    }
  } else if (options.amplitude_table || options.phase_table) {
    write_tables(l, group, channels, options.amplitude_table, options.phase_table, fast,
                 out);
  }
}
