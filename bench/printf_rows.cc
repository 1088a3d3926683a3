// The reference for a straightforward port: decodes a recording with the
// decoder's own procedures and writes the same lines as tolvek (or kesp)
// with the C library's printf.
//   printf_rows -s <file>        plot rows
//   printf_rows -c -s <file>     plot rows, phases corrected by range
//   printf_rows -t <m> <file>    threshold rows, margin m
//   printf_rows -a -p <file>     amplitude and phase table
//   printf_rows -k <file>        kesp's dump lines
// The benchmark checks with cmp that the lines equal the programs' output.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "blockio/block_file.h"
#include "blockio/text_sink.h"
#include "decoder/decoder_run.h"
#include "decoder/recording_reader.h"
#include "decoder/group_record.h"

using namespace digisonde16c;

namespace {

// Whether printf's "%w.df" of x shows what the column format does: no
// minus sign on a value that rounds to zero, and a value that fits.
bool printf_agrees(float x, int w, int d) {
  double half = 0.5 / std::pow(10.0, d);
  double limit = std::pow(10.0, w - d - 1 - (x < 0 ? 1 : 0)) - half;
  return !(x < 0 && x > -half) && std::fabs(x) < limit;
}

// One F field where printf alone would differ.
void print_field(float x, int w, int d) {
  if (printf_agrees(x, w, d)) {
    std::printf("%*.*f", w, d, x);
    return;
  }
  char text[64];
  std::snprintf(text, sizeof text, "%.*f", d, std::fabs(x));
  bool negative = x < 0 && std::strspn(text, "0.") != std::strlen(text);
  int n = static_cast<int>(std::strlen(text)) + (negative ? 1 : 0);
  const char* shown = text;
  if (n > w && text[0] == '0' && n - 1 == w) {
    ++shown;
    --n;
  }
  if (n > w) {
    for (int i = 0; i < w; ++i) std::putchar('*');
    return;
  }
  std::printf("%*s%s%s", w - n, "", negative ? "-" : "", shown);
}

void print_plot_header() {
  std::printf("#%16s%10s%10s%10s%10s%10s%10s%10s%10s%10s\n", "Time", "Freq", "Range",
              "Polarize", "Noise", "Doppler", "Az", "Zn", "Ampltude", "Phase");
}

void print_plot_row(const GroupRecord& group, const ChannelTable& t, float noise,
                    int g, int c) {
  const float values[9] = {t.polarization[c], noise,        t.doppler[c],
                           t.azimuth[c],      t.zenith[c],  group.amplitude[c][g],
                           group.phase[c][g], group.gate_range[g], 0.0f};
  bool plain = printf_agrees(t.channel_frequency[c], 10, 4);
  for (int i = 0; i < 8; ++i) plain = plain && printf_agrees(values[i], 10, 3);
  if (plain) {
    std::printf("%.17s%10.4f%10.3f%10.3f%10.3f%10.3f%10.3f%10.3f%10.3f%10.3f\n",
                group.time_text, t.channel_frequency[c], group.gate_range[g],
                t.polarization[c], noise, t.doppler[c], t.azimuth[c], t.zenith[c],
                group.amplitude[c][g], group.phase[c][g]);
    return;
  }
  std::printf("%.17s", group.time_text);
  print_field(t.channel_frequency[c], 10, 4);
  print_field(group.gate_range[g], 10, 3);
  for (int i = 0; i < 7; ++i) print_field(values[i], 10, 3);
  std::printf("\n");
}

void print_tables(const GroupRecord& group, const ChannelTable& t) {
  static const int kDigitGroups[] = {11, 8, 6, 7, 5, 3, 3, 4, 3, 3, 4};
  std::printf("# %.17s", group.time_text);
  print_field(group.frequency, 7, 4);
  int n = 0;
  for (int size : kDigitGroups) {
    std::printf(" ");
    for (int i = 0; i < size; ++i) std::printf("%X", group.preface[n++]);
  }
  std::printf("\n");
  struct Header {
    const char* label;
    const float* column;
    int decimals;
  };
  const Header headers[] = {{"Frequency", t.channel_frequency, 4},
                            {"Polarize", t.polarization, 2},
                            {"Doppler", t.doppler, 3},
                            {"Azimuth", t.azimuth, 2},
                            {"Zenith", t.zenith, 2}};
  for (const Header& h : headers) {
    std::printf("#%15s", h.label);
    for (int copy = 0; copy < 2; ++copy) {
      for (int k = 0; k < kChannels; ++k) {
        print_field(h.column[t.channel_order[k] - 1], 8, h.decimals);
      }
    }
    std::printf("\n");
  }
  for (int g = 0; g < group.gate_count; ++g) {
    print_field(group.frequency, 8, 4);
    print_field(group.gate_range[g], 8, 1);
    for (int k = 0; k < kChannels; ++k) {
      print_field(group.amplitude[t.channel_order[k] - 1][g], 8, 1);
    }
    for (int k = 0; k < kChannels; ++k) {
      print_field(group.phase[t.channel_order[k] - 1][g], 8, 1);
    }
    std::printf("\n");
  }
  std::printf(" \n");
}

int dump_blocks(const char* name) {
  if (open_block_file(1, name, OpenStatus::kOld) != 0) return 1;
  unsigned char block[kBlockSize];
  while (!read4kb(1, block)) {
    std::printf("Read-> ");
    for (int i = 0; i < 20; ++i) std::printf(" %02X", block[i]);
    std::printf("\n");
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  static char buffer[1 << 18];
  std::setvbuf(stdout, buffer, _IOFBF, sizeof buffer);
  bool plot = false, correct = false, threshold_rows = false, tables = false;
  bool dump = false;
  float threshold = 0;
  int i = 1;
  for (; i < argc - 1; ++i) {
    if (std::strcmp(argv[i], "-s") == 0) plot = true;
    else if (std::strcmp(argv[i], "-c") == 0) correct = true;
    else if (std::strcmp(argv[i], "-a") == 0 || std::strcmp(argv[i], "-p") == 0) tables = true;
    else if (std::strcmp(argv[i], "-k") == 0) dump = true;
    else if (std::strcmp(argv[i], "-t") == 0 && i + 2 < argc) {
      threshold_rows = true;
      threshold = std::strtof(argv[++i], nullptr);
    } else {
      break;
    }
  }
  if (i != argc - 1) {
    std::fprintf(stderr, "usage: printf_rows [-s] [-c] [-t m] [-a -p] [-k] <file>\n");
    return 2;
  }
  if (dump) return dump_blocks(argv[i]);
  if (open_block_file(kRecordingUnit, argv[i], OpenStatus::kOld) != 0) return 1;

  static GroupWalk walk;
  start_walk(RecordingOptions{false, 0.0f, correct, true, true}, nullptr, kRecordingUnit,
             standard_error(), &walk);
  const GroupRecord& group = walk.group;
  const ChannelTable& channels = walk.channels;
  while (next_group(&walk)) {
    const float noise = walk.noise_level;
    if (plot || threshold_rows) {
      const double limit = static_cast<double>(noise) + threshold;
      print_plot_header();
      for (int g = 0; g < group.gate_count; ++g) {
        for (int k = 0; k < kChannels; ++k) {
          int c = channels.channel_order[k] - 1;
          if (!plot && !(static_cast<double>(group.amplitude[c][g]) > limit)) continue;
          print_plot_row(group, channels, noise, g, c);
        }
        if (plot) std::printf(" \n");
      }
      if (plot) std::printf(" \n");
    } else if (tables) {
      print_tables(group, channels);
    }
  }
  flush_standard_sinks();
  return std::fflush(stdout) == 0 ? 0 : 1;
}
