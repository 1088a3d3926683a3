// tolvek's command line: options, the recording's name and the usage text.
#ifndef DECODER_COMMAND_LINE_H_
#define DECODER_COMMAND_LINE_H_

#include "blockio/text_sink.h"

namespace digisonde16c {

// The run's settings, filled once from the command line.
struct RunOptions {
  const char* file_name;  // the last argument that is no option word; "error"
  bool select_frequency;  // -f
  float selected_frequency;  // MHz
  bool amplitude_table;   // -a
  bool phase_table;       // -p
  bool plot_rows;         // -s sets it, -t clears it
  bool correct_phase;     // -c
  bool threshold_detect;  // -t
  float threshold;
  bool value_read;  // an option value was read (the latest transfer was a read)
};

enum class CommandLineAction {
  kRun,          // options filled; look for the recording
  kUsage,        // "-h": the usage text was written
  kNoArguments,  // the error line was written
  kBadValue,     // an option value is not a number: the diagnostic was written
};

// Width of an argument field: option words and values are compared and
// read within the first 120 characters of an argument.
constexpr int kArgumentField = 120;

// Walks the arguments in order. "-f" and "-t" read the next argument as a
// real number and leave it to be examined again as an argument of its own.
CommandLineAction read_command_line(int argc, char** argv, RunOptions* options,
                                    TextSink* out, TextSink* err);

// Reads a free-form real from an argument field: leading blanks skipped, the
// number ends at a blank or comma. Accepts an optional sign, digits with an
// optional point, an optional exponent (E, e, D, d with optional sign).
// Returns false when the field holds no such number.
bool read_real_value(const char* field, float* value);

// The 17 lines of the usage text, as free-form lines.
void write_usage(TextSink* out);

}  // namespace digisonde16c

#endif  // DECODER_COMMAND_LINE_H_
