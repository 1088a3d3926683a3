#include "decoder/output_writer.h"

#include <cstdint>
#include <cstring>

#include "blockio/column_format.h"
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

// A rendered value of one real field, remembered by the value's bits. The
// rendering is a function of the bits and the field alone, so an entry is
// never stale; amplitudes and phases of a group take few distinct values.
constexpr int kCacheSlots = 1024;
constexpr int kCachedWidth = 16;

struct FieldCache {
  int width;
  int decimals;
  bool filled[kCacheSlots];
  uint32_t bits[kCacheSlots];
  char text[kCacheSlots][kCachedWidth];
};

void init_cache(FieldCache* cache, const Descriptor& field) {
  std::memset(cache, 0, sizeof *cache);
  cache->width = field.width;
  cache->decimals = field.digits;
}

inline void render_cached(FieldCache* cache, float value, char* out) {
  uint32_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  uint32_t slot = (bits * 0x9E3779B1u) >> 22;
  if (!cache->filled[slot] || cache->bits[slot] != bits) {
    render_real(value, cache->width, cache->decimals, cache->text[slot]);
    cache->bits[slot] = bits;
    cache->filled[slot] = true;
  }
  std::memcpy(out, cache->text[slot], static_cast<size_t>(cache->width));
}

struct Layouts {
  bool ready;
  FormatPlan plot_header;
  FormatPlan group_header;
  FormatPlan channel_header4;
  FormatPlan channel_header3;
  FormatPlan channel_header2;
  FormatPlan gate_line;
  LineLayout plot_row;
  LineLayout gate_line16;  // frequency, range and 16 values
  LineLayout gate_line32;  // frequency, range and 32 values
  FieldCache plot_value_cache;  // the amplitude and phase fields of a plot row
  FieldCache gate_value_cache;  // the value fields of a gate line
};

Layouts layouts;

const Layouts& prepared_layouts() {
  if (!layouts.ready) {
    FormatPlan plot_row, gate_line;
    parse_format(kPlotHeaderFormat, &layouts.plot_header);
    parse_format(kGroupHeaderFormat, &layouts.group_header);
    parse_format(kChannelHeader4Format, &layouts.channel_header4);
    parse_format(kChannelHeader3Format, &layouts.channel_header3);
    parse_format(kChannelHeader2Format, &layouts.channel_header2);
    parse_format(kPlotRowFormat, &plot_row);
    parse_format(kGateLineFormat, &layouts.gate_line);
    compile_layout(plot_row, kPlotFields, &layouts.plot_row);
    compile_layout(layouts.gate_line, kGateLineLeadFields + 16, &layouts.gate_line16);
    compile_layout(layouts.gate_line, kGateLineLeadFields + 32, &layouts.gate_line32);
    init_cache(&layouts.plot_value_cache,
               layouts.plot_row.slots[kAmplitudeField].descriptor);
    init_cache(&layouts.gate_value_cache,
               layouts.gate_line16.slots[kGateLineLeadFields].descriptor);
    layouts.ready = true;
  }
  return layouts;
}

void write_blank_line(TextSink* out) {
  FreeItem empty = free_text("", 0);
  write_free_form(out, &empty, 1);
}

void write_plot_header(TextSink* out) {
  static const char* const kLabels[] = {"Time",    "Freq", "Range", "Polarize", "Noise",
                                        "Doppler", "Az",   "Zn",    "Ampltude", "Phase"};
  Item items[10];
  for (int i = 0; i < 10; ++i) {
    items[i] = text_item(kLabels[i], static_cast<int>(std::strlen(kLabels[i])));
  }
  write_formatted(out, prepared_layouts().plot_header, items, 10);
}

// Renders item `field` of a line laid out by `layout` into `line`.
inline void render_field(const LineLayout& layout, int field, const Item& item, char* line) {
  const LayoutSlot& slot = layout.slots[field];
  render_item(slot.descriptor, item, line + slot.column);
}

// Plot rows or, with `threshold_only`, the rows whose amplitude stands
// strictly above noise_level + threshold.
void write_plot_rows(const RunOptions& options, const GroupRecord& group,
                     const ChannelTable& channels, float noise_level,
                     bool threshold_only, TextSink* out) {
  Layouts& l = layouts;
  const LineLayout& row = l.plot_row;
  const size_t row_length = static_cast<size_t>(row.width) + 1;

  write_plot_header(out);

  // What is constant over a group is rendered once per print position.
  static char rows[kChannels][kMaxLayoutChars + 1];
  int channel_of[kChannels];
  for (int k = 0; k < kChannels; ++k) {
    int c = channels.channel_order[k] - 1;
    channel_of[k] = c;
    char* line = rows[k];
    std::memcpy(line, row.skeleton, static_cast<size_t>(row.width));
    line[row.width] = '\n';
    render_field(row, kTimeField, text_item(group.time_text, kTimeTextLength), line);
    render_field(row, kFrequencyField, real_item(channels.channel_frequency[c]), line);
    render_field(row, kPolarizationField, real_item(channels.polarization[c]), line);
    render_field(row, kNoiseField, real_item(noise_level), line);
    render_field(row, kDopplerField, real_item(channels.doppler[c]), line);
    render_field(row, kAzimuthField, real_item(channels.azimuth[c]), line);
    render_field(row, kZenithField, real_item(channels.zenith[c]), line);
  }

  const LayoutSlot& range_slot = row.slots[kRangeField];
  const int range_column = range_slot.column;
  const size_t range_width = static_cast<size_t>(range_slot.descriptor.width);
  const int amplitude_column = row.slots[kAmplitudeField].column;
  const int phase_column = row.slots[kPhaseField].column;
  const double limit = static_cast<double>(noise_level) + static_cast<double>(options.threshold);
  FieldCache* cache = &l.plot_value_cache;

  char range_text[kMaxFieldWidth];
  for (int g = 0; g < group.gate_count; ++g) {
    render_item(range_slot.descriptor, real_item(group.gate_range[g]), range_text);
    for (int k = 0; k < kChannels; ++k) {
      int c = channel_of[k];
      float amplitude = group.amplitude[c][g];
      if (threshold_only && !(static_cast<double>(amplitude) > limit)) continue;
      char* line = reserve_sink(out, row_length);
      std::memcpy(line, rows[k], row_length);
      std::memcpy(line + range_column, range_text, range_width);
      render_cached(cache, amplitude, line + amplitude_column);
      render_cached(cache, group.phase[c][g], line + phase_column);
      commit_sink(out, row_length);
    }
    if (!threshold_only) write_blank_line(out);
  }
  if (!threshold_only) write_blank_line(out);
}

void write_group_header(const GroupRecord& group, TextSink* out) {
  Item items[2 + kPrefaceDigits];
  items[0] = text_item(group.time_text, kTimeTextLength);
  items[1] = real_item(group.frequency);
  for (int i = 0; i < kPrefaceDigits; ++i) {
    items[2 + i] = byte_item(static_cast<int8_t>(group.preface[i]));
  }
  write_formatted(out, layouts.group_header, items, 2 + kPrefaceDigits);
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

void write_tables(const GroupRecord& group, const ChannelTable& channels,
                  bool amplitudes, bool phases, TextSink* out) {
  Layouts& l = layouts;
  int copies = (amplitudes && phases) ? 2 : 1;
  write_group_header(group, out);
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

  const LineLayout& line_layout = copies == 2 ? l.gate_line32 : l.gate_line16;
  const size_t line_length = static_cast<size_t>(line_layout.width) + 1;
  char lead[kMaxLayoutChars + 1];
  std::memcpy(lead, line_layout.skeleton, static_cast<size_t>(line_layout.width));
  lead[line_layout.width] = '\n';
  render_field(line_layout, 0, real_item(group.frequency), lead);

  const LayoutSlot& range_slot = line_layout.slots[1];
  FieldCache* cache = &l.gate_value_cache;
  for (int g = 0; g < group.gate_count; ++g) {
    char* line = reserve_sink(out, line_length);
    std::memcpy(line, lead, line_length);
    render_item(range_slot.descriptor, real_item(group.gate_range[g]),
                line + range_slot.column);
    int field = kGateLineLeadFields;
    for (int half = 0; half < 2; ++half) {
      bool show_amplitude = half == 0 ? amplitudes : false;
      bool show_phase = half == 0 ? (phases && !amplitudes) : (amplitudes && phases);
      if (!show_amplitude && !show_phase) continue;
      const float (*values)[kMaxGates] = show_amplitude ? group.amplitude : group.phase;
      for (int k = 0; k < kChannels; ++k) {
        int c = channels.channel_order[k] - 1;
        render_cached(cache, values[c][g], line + line_layout.slots[field++].column);
      }
    }
    commit_sink(out, line_length);
  }
  write_blank_line(out);
}

}  // namespace

void write_group(const RunOptions& options, const GroupRecord& group,
                 const ChannelTable& channels, float noise_level, TextSink* out) {
  prepared_layouts();
  if (options.plot_rows) {
    write_plot_rows(options, group, channels, noise_level, false, out);
  } else if (options.threshold_detect) {
    write_plot_rows(options, group, channels, noise_level, true, out);
  } else if (options.amplitude_table || options.phase_table) {
    write_tables(group, channels, options.amplitude_table, options.phase_table, out);
  }
}
