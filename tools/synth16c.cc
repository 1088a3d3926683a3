// synth16c: writes a synthetic 16C recording of ionogram sweeps, or with
// the first word "drift", a drift recording.
#include <cstdio>
#include <cstring>
#include <string>

#include "tools/drift_synthesizer.h"
#include "tools/synthesizer.h"

using namespace digisonde16c;

namespace {

bool write_recording(const std::string& bytes, const std::string& output_path) {
  std::FILE* file = std::fopen(output_path.c_str(), "wb");
  bool written = file != nullptr &&
                 std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
  if (file != nullptr && std::fclose(file) != 0) written = false;
  if (!written) std::perror(("synth16c: " + output_path).c_str());
  return written;
}

int usage_status(const std::string& problem, const char* usage) {
  if (problem == "help") {
    std::fputs(usage, stdout);
    return 0;
  }
  std::fprintf(stderr, "synth16c: %s\n", problem.c_str());
  std::fputs(usage, stderr);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::string output_path;
  if (argc > 1 && std::strcmp(argv[1], "drift") == 0) {
    DriftOptions options;
    std::string problem = read_drift_command_line(argc - 1, argv + 1, &options, &output_path);
    if (!problem.empty()) return usage_status(problem, drift_usage());
    if (!write_recording(synthesize_drift_recording(options), output_path)) return 1;
    if (!options.truth_path.empty() &&
        !write_text_file(options.truth_path, drift_truth_table(options))) {
      std::perror(("synth16c: " + options.truth_path).c_str());
      return 1;
    }
    return 0;
  }
  SynthesisOptions options;
  std::string problem = read_synthesis_command_line(argc, argv, &options, &output_path);
  if (!problem.empty()) return usage_status(problem, synthesis_usage());
  if (!write_recording(synthesize_recording(options), output_path)) return 1;
  if (!options.truth_path.empty() && !write_text_file(options.truth_path, truth_table(options))) {
    std::perror(("synth16c: " + options.truth_path).c_str());
    return 1;
  }
  return 0;
}
