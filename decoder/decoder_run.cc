#include "decoder/decoder_run.h"

#include <sys/stat.h>

#include <memory>
#include <string>

#include "blockio/exit_status.h"
#include "blockio/free_form.h"

namespace digisonde16c {

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
  const RecordingOptions walk_options{options.select_frequency, options.selected_frequency,
                                      options.correct_phase, true, noise_shown};
  GroupWalk* walk = &state->walk;
  start_walk(walk_options, nullptr, kRecordingUnit, err, walk);
  while (next_group(walk)) {
    write_group(mode, walk->group, walk->channels, walk->noise_level, &state->output, out);
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

}  // namespace digisonde16c
