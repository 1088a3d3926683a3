// Writes the seed corpus of the fuzz targets: valid groups of 128 and 256
// gates, a group with invalid range gate codes, the first blocks of a
// synthetic recording and of the sample recording, and command lines and
// items for each target.
// Usage: make_seeds DIRECTORY [SAMPLE]  (writes DIRECTORY/<target>/<seed>)
#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "tools/block_builder.h"
#include "tools/synthesizer.h"

using namespace digisonde16c;

namespace {

std::string root;

void write_seed(const std::string& target, const std::string& name, const std::string& bytes) {
  std::string dir = root + "/" + target;
  mkdir(root.c_str(), 0755);
  mkdir(dir.c_str(), 0755);
  std::FILE* f = std::fopen((dir + "/" + name).c_str(), "wb");
  if (f == nullptr) {
    std::perror(name.c_str());
    return;
  }
  std::fwrite(bytes.data(), 1, bytes.size(), f);
  std::fclose(f);
}

std::string real_bytes(float value) {
  char bytes[4];
  std::memcpy(bytes, &value, 4);
  return std::string(bytes, 4);
}

std::string quiet_group(int gate_code, int start_code) {
  BlockDraft draft;
  set_default_preface(&draft);
  set_digit(&draft, 45, 1);
  set_digit(&draft, 54, gate_code);
  set_digit(&draft, 55, start_code);
  for (int g = 1; g <= 128; ++g) {
    for (int c = 1; c <= 16; ++c) {
      set_amplitude_code(&draft, g, c, static_cast<uint8_t>(100 + (g * c) % 40));
      set_phase_code(&draft, g, c, static_cast<uint8_t>(g + 3 * c));
    }
  }
  return block_bytes(draft);
}

std::string synthetic(int gate_code, int blocks) {
  SynthesisOptions options;
  options.frequency_count = blocks;
  options.gate_code = gate_code;
  return synthesize_recording(options);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2 && argc != 3) {
    std::fprintf(stderr, "usage: make_seeds DIRECTORY [SAMPLE]\n");
    return 2;
  }
  root = argv[1];
  std::string sample;
  if (argc == 3) {
    std::FILE* f = std::fopen(argv[2], "rb");
    if (f == nullptr) {
      std::perror(argv[2]);
      return 2;
    }
    char head[3 * 4096];
    sample.assign(head, std::fread(head, 1, sizeof head, f));
    std::fclose(f);
  }

  const std::vector<std::pair<std::string, std::string>> groups = {
      {"group128", quiet_group(0, 1)},
      {"group256", quiet_group(8, 1)},
      {"bad_range_gates", quiet_group(0, 7)},
      {"synthetic_h0", synthetic(0, 1)},
      {"synthetic_h1", synthetic(1, 1)},
      {"synthetic_h3", synthetic(3, 1)},
  };

  // Group pipeline: the block, the selector (bit 0: correct phases; bits
  // 1-7: the output mode) and the threshold.
  std::vector<std::pair<std::string, std::string>> blocks = groups;
  for (size_t at = 0; at + 4096 <= sample.size(); at += 4096) {
    blocks.emplace_back("sample_block" + std::to_string(at / 4096 + 1), sample.substr(at, 4096));
  }
  for (const auto& g : blocks) {
    for (int mode = 0; mode < 6; ++mode) {
      for (int corrected = 0; corrected < 2; ++corrected) {
        if (corrected && g.first.compare(0, 6, "sample") != 0) continue;
        char selector = static_cast<char>(mode << 1 | corrected);
        write_seed("fuzz_group_pipeline",
                   g.first + "_mode" + std::to_string(mode) + (corrected ? "_corrected" : ""),
                   g.second + selector + real_bytes(3.0f));
      }
    }
  }

  // Whole tolvek run: argument count, tokens (5 -s, 8 the recording,
  // 3 -a, 4 -p, 6 -c, 7 -t, 2 -f, 9 a number by index, 1 -h), recording.
  std::string recording = synthetic(1, 3) + quiet_group(8, 1) + std::string(100, '\x0C');
  const std::vector<std::pair<std::string, std::string>> command_lines = {
      {"plot_rows", std::string("\x02\x05\x08", 3)},
      {"tables", std::string("\x04\x03\x04\x06\x08", 5)},
      {"threshold", std::string("\x04\x07\x09\x02\x08", 5)},
      {"frequency", std::string("\x04\x02\x09\x00\x08\x03", 6)},
      {"usage", std::string("\x03\x03\x01", 3)},
      {"trailing_blanks", std::string("\x03\x04\x0B", 3)},
  };
  for (const auto& c : command_lines) {
    write_seed("fuzz_tolvek_run", c.first, c.second + recording);
  }
  if (!sample.empty()) {
    write_seed("fuzz_tolvek_run", "sample_plot_rows", std::string("\x02\x05\x08", 3) + sample);
    write_seed("fuzz_tolvek_run", "sample_corrected_tables",
               std::string("\x05\x06\x03\x04\x08", 5) + sample);
    write_seed("fuzz_brovik_kesp", "sample", std::string("\x0A", 1) + sample);
  }

  // Recording reader: selector (bit 0: correct phases; bit 1: select a
  // frequency; bits 2-3: shares - 1), the frequency, the recording.
  write_seed("fuzz_recording_reader", "three_shares",
             std::string("\x08", 1) + real_bytes(0.0f) + recording);
  write_seed("fuzz_recording_reader", "selected_corrected",
             std::string("\x07", 1) + real_bytes(1.0f) + recording);
  if (!sample.empty()) {
    write_seed("fuzz_recording_reader", "sample", std::string("\x04", 1) + real_bytes(0.0f) + sample);
  }

  // brovik and kesp: selector (two arguments and an old output of about a
  // block; in place), then the recording.
  write_seed("fuzz_brovik_kesp", "copy", std::string("\x0A", 1) + recording);
  write_seed("fuzz_brovik_kesp", "in_place", std::string("\x06", 1) + recording);
  write_seed("fuzz_brovik_kesp", "partial", std::string("\x02", 1) + recording.substr(0, 5000));

  // Column formats: selector (even: a program format by index), item
  // count, items (kind 0 byte, 1 integer, 2 real, 3 special real, 4 text).
  auto text = [](int length) {
    return std::string("\x04", 1) + static_cast<char>(length & 0xFF) +
           static_cast<char>(length >> 8);
  };
  auto real = [](float v) { return std::string("\x02", 1) + real_bytes(v); };
  std::string dump;
  for (int i = 0; i < 20; ++i) dump += std::string("\x00", 1) + static_cast<char>(i * 13);
  write_seed("fuzz_column_format", "dump_line", std::string("\x00\x14", 2) + dump);
  std::string time = std::string("\x01\x01", 2) + std::string("\xD1\x07\x00\x00", 4);
  for (int i = 0; i < 9; ++i) time += std::string("\x00", 1) + static_cast<char>(i);
  write_seed("fuzz_column_format", "time_text", std::string("\x02\x0A", 2) + time);
  std::string row = text(17);
  for (int i = 0; i < 10; ++i) row += real(1.5f * i - 3.25f);
  write_seed("fuzz_column_format", "plot_row", std::string("\x06\x0B", 2) + row);
  std::string header = text(15);
  for (int i = 0; i < 16; ++i) header += std::string("\x03", 1) + static_cast<char>(i);
  write_seed("fuzz_column_format", "channel_header", std::string("\x0A\x11", 2) + header);
  std::string gates = real(2.5025f) + real(110.0f);
  for (int i = 0; i < 32; ++i) gates += real(0.375f * i);
  write_seed("fuzz_column_format", "gate_line", std::string("\x10\x22", 2) + gates);
  std::string format = "(2(I5.3,F9.2),A4,2X,Z3)";
  write_seed("fuzz_column_format", "parsed_format",
             std::string("\x01", 1) + static_cast<char>(format.size()) + format +
                 std::string("\x07", 1) + time + row);
  return 0;
}
