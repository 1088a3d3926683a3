#include "decoder/command_line.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>

#include "blockio/free_form.h"

namespace digisonde16c {

namespace {

// The argument cut to its field and without trailing blanks.
size_t field_length(const char* argument) {
  size_t length = strnlen(argument, kArgumentField);
  while (length > 0 && argument[length - 1] == ' ') --length;
  return length;
}

bool is_option(const char* argument, const char* word) {
  size_t length = field_length(argument);
  return length == std::strlen(word) && std::memcmp(argument, word, length) == 0;
}

void write_bad_value(TextSink* err, const char* option, const char* value) {
  std::string text = "tolvek-> ERROR: option ";
  text += option;
  if (field_length(value) == 0) {
    text += " needs a number";
  } else {
    text += ": cannot read \"";
    text.append(value, field_length(value));
    text += "\" as a number";
  }
  FreeItem item = free_text(text.c_str(), static_cast<int>(text.size()));
  write_free_form(err, &item, 1);
}

}  // namespace

bool read_real_value(const char* field, float* value) {
  size_t length = strnlen(field, kArgumentField);
  size_t i = 0;
  while (i < length && field[i] == ' ') ++i;
  size_t end = i;
  while (end < length && field[end] != ' ' && field[end] != ',') ++end;

  // Check the shape and build the text that strtof reads (D becomes E).
  char text[kArgumentField + 1];
  size_t n = 0;
  size_t p = i;
  if (p < end && (field[p] == '+' || field[p] == '-')) text[n++] = field[p++];
  size_t digits = 0;
  while (p < end && field[p] >= '0' && field[p] <= '9') text[n++] = field[p++], ++digits;
  if (p < end && field[p] == '.') {
    text[n++] = field[p++];
    while (p < end && field[p] >= '0' && field[p] <= '9') text[n++] = field[p++], ++digits;
  }
  if (digits == 0) return false;
  if (p < end && (field[p] == 'E' || field[p] == 'e' || field[p] == 'D' || field[p] == 'd')) {
    text[n++] = 'E';
    ++p;
    if (p < end && (field[p] == '+' || field[p] == '-')) text[n++] = field[p++];
    size_t exponent_digits = 0;
    while (p < end && field[p] >= '0' && field[p] <= '9') {
      text[n++] = field[p++];
      ++exponent_digits;
    }
    if (exponent_digits == 0) return false;
  }
  if (p != end) return false;
  text[n] = '\0';
  errno = 0;
  float parsed = std::strtof(text, nullptr);
  // A value beyond the single-precision range cannot be held.
  if (std::isinf(parsed)) return false;
  *value = parsed;
  return true;
}

void write_usage(TextSink* out) {
  static const char* const kLines[] = {
      " useage: tolvek {-vapsh} {-f #} filename",
      " ",
      "   Decode 16 channel data from a Digisonde 256 16C file",
      " Filename must be provided on the command line.",
      " Command line options:",
      "  -v  Verbose.  Prints the status on stdout",
      "  -f  <freq>  extract data for <frequency>",
      "  -c  Correct phase based on range gate",
      "  -a  Write Amplitude Table",
      "  -p  Write Phase Table",
      "  -s  Write data for gnuplot splot command",
      "  -t  <val> Threshold Detect, <val> above noise",
      "      output format set to -s",
      " ",
      " Returns exit status as follows:",
      "  0:  No Problems",
      " -1:  File unreadable or nonexistent",
  };
  for (const char* line : kLines) write_free_line(out, line);
}

CommandLineAction read_command_line(int argc, char** argv, RunOptions* options,
                                    TextSink* out, TextSink* err) {
  if (argc < 2) {
    write_free_line(err, "tolvek-> ERROR: Input file must be specified");
    return CommandLineAction::kNoArguments;
  }
  *options = RunOptions{};
  options->file_name = "error";
  for (int i = 1; i < argc; ++i) {
    const char* argument = argv[i];
    const char* next = i + 1 < argc ? argv[i + 1] : "";
    if (is_option(argument, "-v")) {
      // Accepted for compatibility; it changes nothing.
    } else if (is_option(argument, "-h")) {
      write_usage(out);
      return CommandLineAction::kUsage;
    } else if (is_option(argument, "-f")) {
      options->select_frequency = true;
      if (!read_real_value(next, &options->selected_frequency)) {
        write_bad_value(err, "-f", next);
        return CommandLineAction::kBadValue;
      }
      options->value_read = true;
    } else if (is_option(argument, "-a")) {
      options->amplitude_table = true;
    } else if (is_option(argument, "-p")) {
      options->phase_table = true;
    } else if (is_option(argument, "-s")) {
      options->plot_rows = true;
    } else if (is_option(argument, "-c")) {
      options->correct_phase = true;
    } else if (is_option(argument, "-t")) {
      options->plot_rows = false;
      options->threshold_detect = true;
      if (!read_real_value(next, &options->threshold)) {
        write_bad_value(err, "-t", next);
        return CommandLineAction::kBadValue;
      }
      options->value_read = true;
    } else {
      options->file_name = argument;
    }
  }
  return CommandLineAction::kRun;
}

}  // namespace digisonde16c
