#include "decoder/decoder_run.h"

#include <sys/stat.h>

#include <memory>
#include <string>

#include "blockio/exit_status.h"
#include "blockio/free_form.h"
#include "decoder/group_decode.h"
#include "decoder/group_reader.h"

namespace {

// Error-free difference: a - b == *high + *low exactly.
void exact_difference(double a, double b, double* high, double* low) {
  double s = a - b;
  double bb = s - a;
  *high = s;
  *low = (a - (s - bb)) + (-b - bb);
}

}  // namespace

bool frequency_selected(float frequency, float selected) {
  const double limit = 0.02f;
  double high, low;
  exact_difference(frequency, selected, &high, &low);
  if (high < 0) {
    high = -high;
    low = -low;
  }
  if (high > 2 * limit) return false;
  if (high < limit / 2) return true;
  // Here high - limit is exact, and the sign of the exact sum below is
  // the sign of its rounded value.
  double excess = (high - limit) + low;
  return !(excess > 0);
}

OutputMode output_mode(const RunOptions& options) {
  OutputKind kind = OutputKind::kNothing;
  if (options.plot_rows) {
    kind = OutputKind::kPlotRows;
  } else if (options.threshold_detect) {
    kind = OutputKind::kThresholdRows;
  } else if (options.amplitude_table && options.phase_table) {
    kind = OutputKind::kBothTables;
  } else if (options.amplitude_table) {
    kind = OutputKind::kAmplitudeTable;
  } else if (options.phase_table) {
    kind = OutputKind::kPhaseTable;
  }
  return OutputMode{kind, options.threshold};
}

int run_decoder(const RunOptions& options, TextSink* out, TextSink* err) {
  // The line layouts are fixed, so only a fault in the format engine fails
  // here; the run then fails before it looks at the recording.
  std::unique_ptr<DecoderState> state(new DecoderState);
  if (!prepare_output(&state->output)) return kExitFailure;

  std::string name(options.file_name, trimmed_length(options.file_name));
  struct stat info;
  if (::stat(name.c_str(), &info) != 0) return kExitMissing;

  int error = open_block_file(kRecordingUnit, options.file_name, OpenStatus::kOld);
  if (error != 0) {
    write_open_diagnostic(err, error, kRecordingUnit, options.file_name,
                          options.value_read);
    return kExitFailure;
  }

  const OutputMode mode = output_mode(options);
  // Only the plot and threshold rows show the noise level.
  const bool noise_shown =
      mode.kind == OutputKind::kPlotRows || mode.kind == OutputKind::kThresholdRows;
  GroupRecord* group = &state->group;
  while (!read4kb(kRecordingUnit, state->block)) {
    if (read_group(state->block, group, err) == 0) continue;
    if (options.select_frequency &&
        !frequency_selected(group->frequency, options.selected_frequency)) {
      continue;
    }
    float noise_level = 0.0f;
    if (noise_shown) {
      noise_level = decode_group(options.correct_phase, group, &state->channels, err);
    } else {
      decode_group_channels(options.correct_phase, group, &state->channels, err);
    }
    write_group(mode, *group, state->channels, noise_level, &state->output, out);
    // Once standard output fails, nothing more can reach it.
    if (out->error != 0) break;
  }
  error = block_read_error(kRecordingUnit);
  close_block_file(kRecordingUnit, false);
  if (error != 0) {
    write_transfer_error(err, "tolvek", "read", options.file_name, error);
    return kExitFailure;
  }
  return kExitSuccess;
}

int run_tolvek(int argc, char** argv, TextSink* out, TextSink* err) {
  RunOptions options;
  switch (read_command_line(argc, argv, &options, out, err)) {
    case CommandLineAction::kUsage:
      return kExitSuccess;
    case CommandLineAction::kNoArguments:
      return kExitMissing;
    case CommandLineAction::kBadValue:
      return kExitFailure;
    case CommandLineAction::kRun:
      break;
  }
  return run_decoder(options, out, err);
}
