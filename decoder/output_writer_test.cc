// The output writer (compiled layouts, per-group rows, texts of grid values)
// against a reference that writes every line with write_formatted from the
// line formats as the rules quote them: the same bytes in every mode.
#include "decoder/output_writer.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <limits>
#include <random>
#include <sstream>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "blockio/column_format.h"
#include "decoder/channels.h"
#include "decoder/group_decode.h"
#include "decoder/group_reader.h"
#include "tools/block_builder.h"

namespace digisonde16c {

namespace {

struct Mode {
  const char* name;
  OutputMode mode;
};

const Mode kModes[] = {
    {"-s", {OutputKind::kPlotRows, 0}},
    {"-t 0", {OutputKind::kThresholdRows, 0}},
    {"-t 3", {OutputKind::kThresholdRows, 3}},
    {"-t -1", {OutputKind::kThresholdRows, -1}},
    {"-a", {OutputKind::kAmplitudeTable, 0}},
    {"-p", {OutputKind::kPhaseTable, 0}},
    {"-a -p", {OutputKind::kBothTables, 0}},
};

// The writer's state, prepared once for all the tests.
OutputState* prepared_state() {
  static OutputState* state = [] {
    OutputState* s = new OutputState;
    EXPECT_TRUE(prepare_output(s));
    return s;
  }();
  return state;
}

std::string written(const Mode& mode, const GroupRecord& group,
                    const ChannelTable& channels, float noise) {
  static std::vector<char> storage(1 << 21);  // a whole group's output
  TextSink sink = make_text_sink(-1, storage.data(), storage.size());
  write_group(mode.mode, group, channels, noise, prepared_state(), &sink);
  EXPECT_EQ(sink.discarded, 0u);
  return std::string(sink.data, sink.length);
}

// The group's output in `mode` with one write_formatted per line.
std::string reference(const Mode& mode, const GroupRecord& group,
                      const ChannelTable& channels, float noise) {
  static std::vector<char> storage(1 << 21);
  TextSink sink = make_text_sink(-1, storage.data(), storage.size());
  auto write = [&sink](const char* format, const std::vector<Item>& items) {
    FormatPlan plan;
    EXPECT_TRUE(parse_format(format, &plan)) << format;
    write_formatted(&sink, plan, items.data(), static_cast<int>(items.size()));
  };
  auto blank_line = [&sink] { append_sink(&sink, " \n", 2); };
  auto label = [](const char* text) {
    return text_item(text, static_cast<int>(std::strlen(text)));
  };
  const Item time = text_item(group.time_text, kTimeTextLength);
  const OutputKind kind = mode.mode.kind;
  const bool plot_rows = kind == OutputKind::kPlotRows;
  const bool amplitude_table =
      kind == OutputKind::kAmplitudeTable || kind == OutputKind::kBothTables;
  const bool phase_table = kind == OutputKind::kPhaseTable || kind == OutputKind::kBothTables;
  if (plot_rows || kind == OutputKind::kThresholdRows) {
    std::vector<Item> header;
    for (const char* text : {"Time", "Freq", "Range", "Polarize", "Noise", "Doppler", "Az",
                             "Zn", "Ampltude", "Phase"}) {
      header.push_back(label(text));
    }
    write("('#',A16,10A10)", header);
    const double limit = static_cast<double>(noise) + static_cast<double>(mode.mode.threshold);
    for (int g = 0; g < group.gate_count; ++g) {
      for (int k = 0; k < kChannels; ++k) {
        int c = channels.channel_order[k] - 1;
        if (!plot_rows && !(static_cast<double>(group.amplitude[c][g]) > limit)) continue;
        write("(A17,F10.4,10F10.3)",
              {time, real_item(channels.channel_frequency[c]), real_item(group.gate_range[g]),
               real_item(channels.polarization[c]), real_item(noise),
               real_item(channels.doppler[c]), real_item(channels.azimuth[c]),
               real_item(channels.zenith[c]), real_item(group.amplitude[c][g]),
               real_item(group.phase[c][g])});
      }
      if (plot_rows) blank_line();
    }
    if (plot_rows) blank_line();
  } else if (amplitude_table || phase_table) {
    std::vector<Item> header = {time, real_item(group.frequency)};
    for (int i = 0; i < kPrefaceDigits; ++i) {
      header.push_back(byte_item(static_cast<int8_t>(group.preface[i])));
    }
    write("('# ',A17,F7.4,1X,11Z1,1X,8Z1,1X,6Z1,1X,7Z1,1X,5Z1,1X,3Z1,1X,3Z1,1X,4Z1,"
          "1X,3Z1,1X,3Z1,1X,4Z1)",
          header);
    const struct {
      const char* format;
      const char* label;
      const float* column;
    } kChannelHeaders[] = {
        {"('#',A15,64F8.4)", "Frequency", channels.channel_frequency},
        {"('#',A15,64F8.2)", "Polarize", channels.polarization},
        {"('#',A15,64F8.3)", "Doppler", channels.doppler},
        {"('#',A15,64F8.2)", "Azimuth", channels.azimuth},
        {"('#',A15,64F8.2)", "Zenith", channels.zenith},
    };
    const int copies = amplitude_table && phase_table ? 2 : 1;
    for (const auto& h : kChannelHeaders) {
      std::vector<Item> items = {label(h.label)};
      for (int copy = 0; copy < copies; ++copy) {
        for (int k = 0; k < kChannels; ++k) {
          items.push_back(real_item(h.column[channels.channel_order[k] - 1]));
        }
      }
      write(h.format, items);
    }
    for (int g = 0; g < group.gate_count; ++g) {
      std::vector<Item> items = {real_item(group.frequency), real_item(group.gate_range[g])};
      for (bool amplitudes : {true, false}) {
        if (!(amplitudes ? amplitude_table : phase_table)) continue;
        for (int k = 0; k < kChannels; ++k) {
          int c = channels.channel_order[k] - 1;
          items.push_back(real_item(amplitudes ? group.amplitude[c][g] : group.phase[c][g]));
        }
      }
      write("(F8.4,F8.1,32F8.1)", items);
    }
    blank_line();
  }
  EXPECT_EQ(sink.discarded, 0u);
  return std::string(sink.data, sink.length);
}

// Compares the writer with the reference in the given modes (by default
// every mode); returns the bytes compared.
size_t expect_routes_agree(const GroupRecord& group, const ChannelTable& channels,
                           float noise, const std::string& what,
                           const std::vector<Mode>& modes = {std::begin(kModes),
                                                             std::end(kModes)}) {
  size_t bytes = 0;
  for (const Mode& mode : modes) {
    std::string writer = written(mode, group, channels, noise);
    std::string expected = reference(mode, group, channels, noise);
    bytes += writer.size();
    if (writer != expected) {
      size_t at = 0;
      while (at < writer.size() && at < expected.size() && writer[at] == expected[at]) ++at;
      size_t line = expected.rfind('\n', at == 0 ? 0 : at - 1);
      line = line == std::string::npos ? 0 : line + 1;
      ADD_FAILURE() << what << ", mode " << mode.name << ": first difference at byte "
                    << at << "\n  writer:    " << writer.substr(line, writer.find('\n', line) - line)
                    << "\n  reference: " << expected.substr(line, expected.find('\n', line) - line);
      return bytes;
    }
  }
  return bytes;
}

TextSink* null_messages() {
  static char storage[256];
  static TextSink sink = make_text_sink(-1, storage, sizeof storage);
  return &sink;
}

// Decodes a built block the way the decoder does.
void decode(const BlockDraft& draft, bool correct_phase, GroupRecord* group,
            ChannelTable* channels, float* noise) {
  uint8_t block[kBuilderBlockSize];
  build_block(draft, block);
  read_group(block, group, null_messages());
  *noise = decode_group(correct_phase, group, channels, null_messages());
}

// The builder's default preface with L = 1: no azimuth rotation and so no
// warning among the messages.
void set_quiet_preface(BlockDraft* draft) {
  set_default_preface(draft);
  set_digit(draft, 45, 1);
}

// Every amplitude and phase code once or more, in channels 3 to 16 whose
// codes carry no preface bits.
void set_every_code(BlockDraft* draft, int offset) {
  int slot = 0;
  for (int c = 3; c <= 16; ++c) {
    for (int g = 1; g <= 128; ++g, ++slot) {
      set_amplitude_code(draft, g, c, static_cast<uint8_t>((slot + offset) % 256));
      set_phase_code(draft, g, c, static_cast<uint8_t>((3 * slot + offset) % 256));
    }
  }
}

// Decodes a block of the quiet preface, with every code from `code_offset`
// on when that is 0 or more, else with all codes 0.
void decode_quiet(int code_offset, GroupRecord* group, ChannelTable* channels, float* noise) {
  BlockDraft draft;
  set_quiet_preface(&draft);
  if (code_offset >= 0) set_every_code(&draft, code_offset);
  decode(draft, false, group, channels, noise);
}

TEST(OutputWriterRoutes, EveryCodeUnderBothScalesAndAllGains) {
  for (int scale_digit : {0, 8}) {
    for (int gain = 0; gain < 16; ++gain) {
      BlockDraft draft;
      set_quiet_preface(&draft);
      set_digit(&draft, 46, scale_digit);
      set_digit(&draft, 53, gain);
      set_every_code(&draft, gain);
      GroupRecord group;
      ChannelTable channels;
      float noise;
      decode(draft, false, &group, &channels, &noise);
      ASSERT_EQ(group.gate_count, 128);
      expect_routes_agree(group, channels, noise,
                          "d46 " + std::to_string(scale_digit) + " d53 " +
                              std::to_string(gain));
    }
  }
}

// A sink whose buffer is shorter than one line receives the same bytes as
// one that holds the whole group.
TEST(OutputWriterRoutes, ASinkShorterThanALine) {
  GroupRecord group;
  ChannelTable channels;
  float noise;
  decode_quiet(11, &group, &channels, &noise);
  for (const Mode& mode : kModes) {
    SCOPED_TRACE(mode.name);
    std::FILE* file = std::tmpfile();
    ASSERT_NE(file, nullptr);
    char storage[40];
    TextSink small = make_text_sink(fileno(file), storage, sizeof storage);
    write_group(mode.mode, group, channels, noise, prepared_state(), &small);
    ASSERT_EQ(flush_sink(&small), 0);
    std::string bytes;
    std::rewind(file);
    for (int c; (c = std::fgetc(file)) != EOF;) bytes += static_cast<char>(c);
    std::fclose(file);
    EXPECT_EQ(bytes, written(mode, group, channels, noise));
  }
}

// Gate ranges of every H and E (invalid pairs give groups without gates),
// with the phases as read and as corrected by range.
TEST(OutputWriterRoutes, EveryGateRangeWithPhasesAsReadAndCorrected) {
  int corrected_groups = 0;
  for (int h = 0; h < 16; ++h) {
    for (int e = 0; e < 8; ++e) {
      for (bool correct : {false, true}) {
        BlockDraft draft;
        set_quiet_preface(&draft);
        set_digit(&draft, 54, h);
        set_digit(&draft, 55, e);
        set_digit(&draft, 44, h >= 8 ? 8 : 0);
        set_every_code(&draft, 7 * h + e);
        GroupRecord group;
        ChannelTable channels;
        float noise;
        decode(draft, correct, &group, &channels, &noise);
        if (correct && group.gate_count > 0) ++corrected_groups;
        expect_routes_agree(group, channels, noise,
                            "H " + std::to_string(h) + " E " + std::to_string(e) +
                                (correct ? " corrected" : ""));
        if (HasFailure()) return;
      }
    }
  }
  EXPECT_EQ(corrected_groups, 5 * 16);
}

// Every value of the five channel columns that the preface can give.
TEST(OutputWriterRoutes, EveryChannelAttributeValue) {
  std::set<float> values[5];
  auto collect = [&values](const BlockDraft& draft) {
    ChannelTable t;
    int line_count = 0;
    decode_channels(draft.preface, &t, &line_count, null_messages());
    for (int c = 0; c < kChannels; ++c) {
      values[0].insert(t.channel_frequency[c]);
      values[1].insert(t.polarization[c]);
      values[2].insert(t.doppler[c]);
      values[3].insert(t.azimuth[c]);
      values[4].insert(t.zenith[c]);
    }
  };
  BlockDraft draft;
  set_default_preface(&draft);
  // The Doppler step and lines: d44 with d54, d47, d48, d49 and bit 2 of d50.
  for (int d44 = 0; d44 < 16; ++d44) {
    for (int d54 : {0, 8}) {
      for (int d47 = 0; d47 < 16; ++d47) {
        for (int d48 = 0; d48 < 16; ++d48) {
          for (int d49 = 0; d49 < 4; ++d49) {
            for (int d50 : {0, 2}) {
              set_digit(&draft, 44, d44);
              set_digit(&draft, 54, d54);
              set_digit(&draft, 47, d47);
              set_digit(&draft, 48, d48);
              set_digit(&draft, 49, d49);
              set_digit(&draft, 50, d50);
              collect(draft);
            }
          }
        }
      }
    }
  }
  // Polarization, azimuth and zenith: the PZA digits d45, d46 and d47.
  set_default_preface(&draft);
  for (int d45 = 0; d45 < 16; ++d45) {
    for (int d46 = 0; d46 < 16; ++d46) {
      for (int d47 = 0; d47 < 16; ++d47) {
        set_digit(&draft, 45, d45);
        set_digit(&draft, 46, d46);
        set_digit(&draft, 47, d47);
        collect(draft);
      }
    }
  }
  EXPECT_GT(values[2].size(), 100u);  // many Doppler values

  // A short group whose channels take the values 16 at a time.
  GroupRecord group;
  ChannelTable channels;
  float noise;
  decode_quiet(0, &group, &channels, &noise);
  group.gate_count = 2;
  for (int column = 0; column < 5; ++column) {
    std::vector<float> list(values[column].begin(), values[column].end());
    for (size_t first = 0; first < list.size(); first += kChannels) {
      ChannelTable t = channels;
      for (int c = 0; c < kChannels; ++c) {
        t.channel_order[c] = kChannels - c;
        float* target = column == 0   ? t.channel_frequency
                        : column == 1 ? t.polarization
                        : column == 2 ? t.doppler
                        : column == 3 ? t.azimuth
                                      : t.zenith;
        target[c] = list[(first + static_cast<size_t>(c)) % list.size()];
      }
      expect_routes_agree(group, t, noise, "column " + std::to_string(column));
      if (HasFailure()) return;
    }
  }
}

TEST(OutputWriterRoutes, NoiseLevels0To120) {
  GroupRecord group;
  ChannelTable channels;
  float noise;
  decode_quiet(3, &group, &channels, &noise);
  group.gate_count = 8;
  for (int level = 0; level <= 120; ++level) {
    expect_routes_agree(group, channels, static_cast<float>(level),
                        "noise " + std::to_string(level));
    if (HasFailure()) return;
  }
}

// Threshold rows where noise_level + threshold lies between two floats, or
// is infinite or NaN: samples at the floats nearest the sum on either side,
// at the sum itself where it is a float, and at the infinities and NaN.
TEST(OutputWriterRoutes, ThresholdSumsBetweenTwoFloats) {
  const float kInf = std::numeric_limits<float>::infinity();
  const float kNaN = std::numeric_limits<float>::quiet_NaN();
  static const struct {
    float noise;
    float threshold;
  } kCases[] = {
      {100.0f, 1e-7f}, {2.0f, -1e-10f}, {1.0f, -1e-8f},  {0.0f, 1e-45f},
      {7.0f, 3.4e38f}, {0.0f, -3.4e38f}, {0.0f, kInf},    {0.0f, -kInf},
      {0.0f, kNaN},    {kNaN, 3.0f},     {3.0f, 0.0f},    {-0.0f, 0.0f},
  };
  GroupRecord group;
  ChannelTable channels;
  float noise;
  decode_quiet(-1, &group, &channels, &noise);
  group.gate_count = 8;
  for (const auto& test : kCases) {
    const double sum = static_cast<double>(test.noise) + static_cast<double>(test.threshold);
    std::vector<float> samples = {kInf, -kInf, kNaN, 0.0f, -0.0f};
    float below = static_cast<float>(sum);
    for (int step = 0; step < 3; ++step) below = std::nextafter(below, -kInf);
    for (int step = 0; step < 7; ++step, below = std::nextafter(below, kInf)) {
      samples.push_back(below);
    }
    for (int c = 0; c < kChannels; ++c) {
      for (int g = 0; g < group.gate_count; ++g) {
        group.amplitude[c][g] = samples[static_cast<size_t>(c + g) % samples.size()];
      }
    }
    std::ostringstream what;
    what << "noise " << test.noise << " threshold " << test.threshold;
    expect_routes_agree(group, channels, test.noise, what.str(),
                        {{"-t", {OutputKind::kThresholdRows, test.threshold}}});
  }
}

// Values on the grid of 1/32 that the writer keeps texts for, across its
// whole span and beyond both ends, and their neighbours off the grid.
TEST(OutputWriterRoutes, EveryGridValueAndItsNeighbours) {
  std::vector<float> list;
  for (int k = -130 * 32; k < 386 * 32; ++k) {
    float x = static_cast<float>(k) / 32.0f;
    list.push_back(x);
    if (k % 7 == 0) {
      list.push_back(std::nextafter(x, 1e9f));
      list.push_back(std::nextafter(x, -1e9f));
    }
  }
  list.push_back(-0.0f);
  GroupRecord group;
  ChannelTable channels;
  float noise;
  decode_quiet(-1, &group, &channels, &noise);
  size_t next = 0;
  while (next < list.size()) {
    for (int c = 0; c < kChannels; ++c) {
      for (int g = 0; g < group.gate_count; ++g) {
        group.amplitude[c][g] = list[next % list.size()];
        group.phase[c][g] = list[(next + 1000) % list.size()];
        ++next;
      }
    }
    expect_routes_agree(group, channels, noise, "grid values from " + std::to_string(next));
    if (HasFailure()) return;
  }
}

// Any single-precision values in every field: some million values, with
// ties, negatives that round to zero and values too wide for their fields.
TEST(OutputWriterRoutes, RandomValuesInEveryField) {
  std::mt19937_64 random(5150);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  auto value = [&]() -> float {
    double sign = (random() & 1) ? -1.0 : 1.0;
    switch (random() % 6) {
      case 0: {
        uint32_t bits = static_cast<uint32_t>(random());
        float x;
        std::memcpy(&x, &bits, sizeof x);
        return x;
      }
      case 1:
        return static_cast<float>(sign * std::pow(10.0, 8 * unit(random) - 2));
      case 2:  // ties at 1 to 4 decimals
        return static_cast<float>(sign * static_cast<double>(2 * (random() % 100000) + 1) /
                                  std::ldexp(1.0, 2 + static_cast<int>(random() % 4)));
      case 3:  // rounds to zero at every width
        return static_cast<float>(-unit(random) * 4e-5);
      case 4:  // around the widths' limits
        return static_cast<float>(sign * std::pow(10.0, 3 + static_cast<int>(random() % 6)) *
                                  (1 - 1e-7 * static_cast<double>(random() % 3)));
      default:
        return static_cast<float>(sign * 360 * unit(random));
    }
  };
  GroupRecord group;
  ChannelTable channels;
  float noise;
  decode_quiet(-1, &group, &channels, &noise);
  size_t values = 0;
  for (int round = 0; round < 200; ++round) {
    group.gate_count = round % 3 == 0 ? 256 : 128;
    group.frequency = value();
    for (int g = 0; g < group.gate_count; ++g) {
      group.gate_range[g] = value();
      for (int c = 0; c < kChannels; ++c) {
        group.amplitude[c][g] = value();
        group.phase[c][g] = value();
      }
    }
    float* columns[5] = {channels.channel_frequency, channels.polarization, channels.doppler,
                         channels.azimuth, channels.zenith};
    for (float* column : columns) {
      for (int c = 0; c < kChannels; ++c) column[c] = value();
    }
    std::shuffle(channels.channel_order, channels.channel_order + kChannels, random);
    values += static_cast<size_t>(group.gate_count) * (2 * kChannels + 1) + 5 * kChannels + 2;
    expect_routes_agree(group, channels, value(), "random round " + std::to_string(round));
    if (HasFailure()) return;
  }
  EXPECT_GT(values, 1000000u);
}

}  // namespace

}  // namespace digisonde16c
