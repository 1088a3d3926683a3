// synth16c: writes a synthetic 16C recording of an ionogram sweep.
#include <cstdio>
#include <string>

#include "tools/synthesizer.h"

using namespace digisonde16c;

int main(int argc, char** argv) {
  SynthesisOptions options;
  std::string output_path;
  std::string problem = read_synthesis_command_line(argc, argv, &options, &output_path);
  if (problem == "help") {
    std::fputs(synthesis_usage(), stdout);
    return 0;
  }
  if (!problem.empty()) {
    std::fprintf(stderr, "synth16c: %s\n", problem.c_str());
    std::fputs(synthesis_usage(), stderr);
    return 2;
  }
  std::string bytes = synthesize_recording(options);
  std::FILE* file = std::fopen(output_path.c_str(), "wb");
  bool written = file != nullptr &&
                 std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
  if (file != nullptr && std::fclose(file) != 0) written = false;
  if (!written) {
    std::perror(("synth16c: " + output_path).c_str());
    return 1;
  }
  if (!options.truth_path.empty() && !write_text_file(options.truth_path, truth_table(options))) {
    std::perror(("synth16c: " + options.truth_path).c_str());
    return 1;
  }
  return 0;
}
