// Writes a decoded group in the output mode that the options choose.
#ifndef DECODER_OUTPUT_WRITER_H_
#define DECODER_OUTPUT_WRITER_H_

#include <cstdint>

#include "blockio/format_plan.h"
#include "blockio/line_layout.h"
#include "blockio/text_sink.h"
#include "decoder/field_texts.h"
#include "decoder/group_record.h"

namespace digisonde16c {

// What is written for each group.
enum class OutputKind {
  kNothing,
  kPlotRows,       // every gate and channel, for gnuplot's splot
  kThresholdRows,  // the plot rows of samples above noise_level + threshold
  kBothTables,     // amplitude and phase table side by side
  kAmplitudeTable,
  kPhaseTable,
};

struct OutputMode {
  OutputKind kind;
  float threshold;  // kThresholdRows only
};

// The five columns of a ChannelTable, in the order of the channel header
// lines: frequency, polarization, Doppler, azimuth, zenith.
constexpr int kChannelColumns = 5;

// A channel header line as last written, and what it shows.
struct ChannelHeaderText {
  int copies;               // 16-value runs on the line; 0 while none is held
  float values[kChannels];  // the column in print order
  size_t length;
  char text[kMaxLayoutChars + 1];
};

// What the writer keeps from group to group: the line formats parsed once,
// the compiled layouts of the plot row, the gate lines and the group header
// line, the grid texts, the texts of the last group's ranges and channel
// header lines, and the scratch lines in which a gate's output is composed. The caller
// owns it (it is large: keep it off the stack) and prepares it once.
struct OutputState {
  FormatPlan plot_header;
  FormatPlan plot_row_format;
  FormatPlan group_header;
  FormatPlan channel_header4;  // F8.4 values
  FormatPlan channel_header3;
  FormatPlan channel_header2;
  FormatPlan gate_line;
  LineLayout plot_row;
  LineLayout gate_line16;  // frequency, range and 16 values
  LineLayout gate_line32;  // frequency, range and 32 values
  LineLayout group_header_line;
  GridTexts plot_value_texts;  // the amplitude and phase fields of a plot row
  GridTexts gate_value_texts;  // the value fields of a gate line
  // The texts of the amplitude codes (under the last few scales met) and
  // of the phase codes, for the plot rows and for the gate lines.
  CodeTextSet plot_code_texts[2];
  CodeTextSet gate_code_texts[2];
  RangeTexts plot_ranges;      // the range field of a plot row
  RangeTexts gate_ranges;      // the range field of a gate line
  char blank_line[8];  // the free-form line of an empty text
  int blank_line_length;
  char plot_header_line[kMaxLayoutChars + 1];  // and its line end
  int plot_header_length;
  // The 16 plot rows of a gate and the blank line after them, and the five
  // channel columns (in print order) whose fields they hold.
  char gate_block[kChannels * (kMaxLayoutChars + 1) + sizeof blank_line];
  float gate_block_columns[kChannelColumns][kChannels];
  bool gate_block_columns_held;
  // The compiled channel header lines (with 16 and with 32 values) and the
  // last one written of each.
  LineLayout channel_header_lines[kChannelColumns][2];
  ChannelHeaderText channel_headers[kChannelColumns];
  char gate_line_text[kMaxLayoutChars + 1];  // one gate line and its line end
  int16_t value_slots[2 * kChannels][kMaxGates];   // grid slots of a group's values
  uint16_t sample_codes[2 * kChannels][kMaxGates];  // and their codes
};

// Parses and compiles the layouts and clears the grid texts. Returns false
// when a line format does not compile to one line (a fault of the format
// engine, since the formats are fixed): nothing may then be written.
bool prepare_output(OutputState* state);

// Writes the group in `mode` to `out`, whatever the size of out's buffer.
// `state` must have been prepared; its texts and scratch lines change.
void write_group(const OutputMode& mode, const GroupRecord& group,
                 const ChannelTable& channels, float noise_level, OutputState* state,
                 TextSink* out);

}  // namespace digisonde16c

#endif  // DECODER_OUTPUT_WRITER_H_
