#include "tools/synthesizer.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "blockio/text_sink.h"
#include "decoder/channels.h"
#include "decoder/group_reader.h"
#include "decoder/group_record.h"

namespace digisonde16c {

namespace {

// E layer 3 MHz at 110 km, half thickness 15; F layer 8 MHz at 300 km, half
// thickness 100 (base 200); gyrofrequency 1.4 MHz.
LayerModel test_model() {
  LayerModel model;
  model.e_layer = {3.0, 110.0, 15.0};
  model.f_layer = {8.0, 300.0, 100.0};
  model.gyrofrequency = 1.4;
  return model;
}

TEST(LayerModel, virtualHeightsFollowTheParabolicLayers) {
  LayerModel no_e = test_model();
  no_e.e_layer.fo = 0.0;
  // h' = hb + ym (x/2) ln((1+x)/(1-x)), plus ym (x ln((x+1)/(x-1)) - 2) for
  // a passed E layer; values worked out with ln 3 = 1.0986123,
  // ln 7 = 1.9459101.
  static const struct {
    const char* name;
    bool with_e;
    double f;
    double height;
  } kCases[] = {
      {"E layer, x = 1/2: 95 + 15 x 0.25 ln 3", true, 1.5, 99.11980},
      {"F layer x = 3/4 behind the E layer at x = 2", true, 6.0,
       200.0 + 72.97163 + 2.958369},
      {"F layer alone, x = 1/2: 200 + 100 x 0.25 ln 3", false, 4.0, 227.46531},
      {"F layer alone, x = 3/4", false, 6.0, 272.97163},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    double height = 0.0;
    ASSERT_TRUE(ordinary_height(c.with_e ? test_model() : no_e, c.f, &height));
    EXPECT_NEAR(height, c.height, 1e-4);
  }
}

TEST(LayerModel, noEchoAtOrAboveTheCriticalFrequencies) {
  static const struct {
    double f;
  } kCases[] = {{0.0}, {-1.0}, {3.0}, {8.0}, {8.5}, {20.0}};
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.f);
    double height = -1.0;
    EXPECT_FALSE(ordinary_height(test_model(), c.f, &height));
    EXPECT_EQ(height, -1.0);
  }
}

TEST(LayerModel, heightRisesWithoutBoundTowardsTheCriticalFrequencies) {
  LayerModel model = test_model();
  for (double fo : {3.0, 8.0}) {
    SCOPED_TRACE(fo);
    double below = 0.0, previous = 0.0, height = 0.0;
    for (double f = fo - 0.9; f < fo; f += 0.01) {
      ASSERT_TRUE(ordinary_height(model, f, &height));
      EXPECT_GT(height, previous) << f;
      previous = height;
    }
    ASSERT_TRUE(ordinary_height(model, fo - 1e-9, &below));
    EXPECT_GT(below, fo == 3.0 ? 200.0 : 1000.0);
  }
  // Just above foE the F trace carries the E layer's long delay.
  double just_above = 0.0, further = 0.0;
  ASSERT_TRUE(ordinary_height(model, 3.0 + 1e-6, &just_above));
  ASSERT_TRUE(ordinary_height(model, 4.0, &further));
  EXPECT_GT(just_above, further + 100.0);
}

TEST(LayerModel, extraordinaryTraceIsTheOrdinaryHalfAGyrofrequencyLower) {
  LayerModel model = test_model();
  for (double f : {1.0, 2.5, 4.2, 6.7, 8.6}) {
    SCOPED_TRACE(f);
    double x = 0.0, o = 0.0;
    ASSERT_TRUE(extraordinary_height(model, f, &x));
    ASSERT_TRUE(ordinary_height(model, f - 0.7, &o));
    EXPECT_EQ(x, o);
  }
  double height;
  EXPECT_FALSE(extraordinary_height(model, 8.75, &height));  // above fo + fH/2
  EXPECT_TRUE(ordinary_height(model, 0.5, &height));
  EXPECT_FALSE(extraordinary_height(model, 0.5, &height));  // below fH/2
}

std::string digits_text(const uint8_t* digits, int first, int last) {
  std::string text;
  for (int k = first; k <= last; ++k) text += "0123456789ABCDEF"[digits[k - 1]];
  return text;
}

TEST(GroupPreface, timeAdvancesByTheStepAcrossDaysAndYears) {
  static const struct {
    GroupTime start;
    int step;
    int group;
    const char* digits;  // preface digits 1-11: yy ddd hh mm ss
  } kCases[] = {
      {{2024, 172, 12, 0, 0}, 2, 0, "24172120000"},
      {{2024, 172, 12, 0, 0}, 2, 44, "24172120128"},
      {{2023, 365, 23, 59, 58}, 1, 1, "23365235959"},
      {{2023, 365, 23, 59, 58}, 1, 2, "24001000000"},
      {{2024, 365, 23, 59, 59}, 1, 1, "24366000000"},  // leap year
      {{2024, 366, 23, 59, 59}, 1, 1, "25001000000"},
      {{1999, 365, 23, 0, 0}, 3600, 1, "00001000000"},  // 2000
      {{2024, 100, 8, 30, 0}, 90, 3, "24100083430"},
      {{2024, 100, 8, 30, 0}, 86400, 2, "24102083000"},
  };
  for (const auto& c : kCases) {
    SynthesisOptions options;
    options.start = c.start;
    options.time_step = c.step;
    uint8_t digits[57];
    group_preface(options, c.group, digits);
    EXPECT_EQ(digits_text(digits, 1, 11), c.digits)
        << c.start.year << " " << c.start.day << " step " << c.step << " group " << c.group;
  }
}

TEST(GroupPreface, frequencyDigitsLeaveRoomForTheOffsetOfModeZero) {
  static const struct {
    double first, last;
    int count, group;
    const char* digits;  // digits 20-25: f - 0.0025 MHz in 0.0001 MHz
  } kCases[] = {
      {1.0, 12.0, 45, 0, "009975"},  {1.0, 12.0, 45, 16, "049975"},
      {1.0, 12.0, 45, 44, "119975"}, {0.5, 0.5, 1, 0, "004975"},
      {2.0, 3.0, 4, 1, "023308"},    // 2.3333 MHz
      {15.25, 15.25, 1, 0, "152475"},
  };
  for (const auto& c : kCases) {
    SynthesisOptions options;
    options.first_frequency = c.first;
    options.last_frequency = c.last;
    options.frequency_count = c.count;
    uint8_t digits[57];
    group_preface(options, c.group, digits);
    EXPECT_EQ(digits_text(digits, 20, 25), c.digits) << c.first << " group " << c.group;
    EXPECT_EQ(digits[56 - 1], 0);  // offset mode 0
  }
}

// The decoder's reading of a synthesized group: what the tools promise
// about channels, frequencies and samples must hold there.
struct Decoded {
  GroupRecord group;
  ChannelTable table;
  int line_count;
  std::string messages;
};

void decode(const SynthesisOptions& options, int n, Decoded* d) {
  BlockDraft draft;
  synthesize_group(options, n, &draft);
  uint8_t block[kBuilderBlockSize];
  build_block(draft, block);
  static char storage[1 << 14];
  TextSink sink = make_text_sink(-1, storage, sizeof storage);
  ASSERT_EQ(read_group(block, &d->group, &sink), 1);
  decode_channels(d->group.preface, &d->table, &d->line_count, &sink);
  d->messages.assign(sink.data, sink.length);
}

TEST(SynthesizedGroup, decodesToTheChannelsTheModelAssumes) {
  SynthesisOptions options;
  static Decoded d;
  decode(options, 0, &d);
  EXPECT_EQ(d.messages, "");
  EXPECT_EQ(d.line_count, 8);
  for (int c = 1; c <= 16; ++c) {
    SCOPED_TRACE(c);
    EXPECT_EQ(d.table.polarization[c - 1], channel_is_ordinary(c) ? 90.0f : -90.0f);
    EXPECT_EQ(d.table.doppler[c - 1], static_cast<float>(channel_doppler(c)));
    EXPECT_EQ(d.table.azimuth[c - 1], 0.0f);
    EXPECT_EQ(d.table.zenith[c - 1], 0.0f);
  }
  // Each Doppler line +-1..+-4 carries one O and one X channel.
  for (int line = -4; line <= 4; ++line) {
    if (line == 0) continue;
    int ordinary = 0, extraordinary = 0;
    for (int c = 1; c <= 16; ++c) {
      if (channel_doppler(c) != line * kDopplerStep) continue;
      (channel_is_ordinary(c) ? ordinary : extraordinary) += 1;
    }
    EXPECT_EQ(ordinary, 1) << line;
    EXPECT_EQ(extraordinary, 1) << line;
  }
}

TEST(SynthesizedGroup, decodesToTheAskedFrequencyTimeAndGates) {
  static const struct {
    int gate_code, start_code;
    float gate_1, gate_2, gate_41, gate_128;
  } kCases[] = {
      {0, 2, 60.0f, 62.5f, 160.0f, 377.5f},
      {1, 1, 10.0f, 15.0f, 210.0f, 645.0f},
      {2, 3, 160.0f, 170.0f, 560.0f, 1430.0f},
      {3, 1, 10.0f, 12.5f, 210.0f, 645.0f},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.gate_code);
    SynthesisOptions options;
    options.gate_code = c.gate_code;
    options.start_code = c.start_code;
    options.first_frequency = 2.0;
    options.last_frequency = 4.0;
    options.frequency_count = 3;
    options.start = {2001, 123, 4, 55, 30};
    options.time_step = 31;
    static Decoded d;
    decode(options, 2, &d);
    EXPECT_EQ(d.messages, "");
    EXPECT_EQ(std::string(d.group.time_text, 17), "2001 123 04:56:32");
    EXPECT_FLOAT_EQ(d.group.frequency, 4.0f);
    ASSERT_EQ(d.group.gate_count, 128);
    EXPECT_EQ(d.group.gate_range[0], c.gate_1);
    EXPECT_EQ(d.group.gate_range[1], c.gate_2);
    EXPECT_EQ(d.group.gate_range[40], c.gate_41);
    EXPECT_EQ(d.group.gate_range[127], c.gate_128);
    for (int g = 1; g <= 128; ++g) {
      EXPECT_EQ(static_cast<float>(gate_range(c.gate_code, c.start_code, g)),
                d.group.gate_range[g - 1])
          << g;
    }
  }
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

TEST(SynthesizedGroup, noiseFloorHasTheAskedPowerAndVaries) {
  // Above foF2 + fH/2 there is no echo: the samples are noise alone. The
  // power of complex Gaussian noise is exponential, so its median in dB lies
  // 10 log10(ln 2) = -1.59 dB from the mean, and its spread is wide.
  for (double noise : {10.0, 20.0, 35.0}) {
    SCOPED_TRACE(noise);
    SynthesisOptions options;
    options.noise_power = noise;
    options.first_frequency = options.last_frequency = 11.0;
    options.frequency_count = 1;
    static Decoded d;
    decode(options, 0, &d);
    std::vector<double> amplitudes;
    for (int c = 0; c < 16; ++c) {
      for (int g = 0; g < 128; ++g) amplitudes.push_back(d.group.amplitude[c][g]);
    }
    EXPECT_NEAR(median(amplitudes), noise - 1.59, 0.5);
    std::sort(amplitudes.begin(), amplitudes.end());
    EXPECT_GT(amplitudes[amplitudes.size() * 9 / 10] - amplitudes[amplitudes.size() / 10],
              10.0);
  }
}

TEST(SynthesizedGroup, echoPowerSitsOnTheLinesNearTheDopplerShift) {
  // One echo at 5 MHz; in the gate of the O peak the O channels' amplitudes
  // fall away from the Doppler shift +0.2 Hz, and the +0.78 Hz line is the
  // strongest.
  SynthesisOptions options;
  options.first_frequency = options.last_frequency = 5.0;
  options.frequency_count = 1;
  static Decoded d;
  decode(options, 0, &d);
  double height;
  ASSERT_TRUE(ordinary_height(options.model, 5.0, &height));
  int peak = static_cast<int>(std::lround((height - 10.0) / 5.0));
  double by_line[9] = {};
  for (int c = 1; c <= 16; ++c) {
    if (!channel_is_ordinary(c)) continue;
    by_line[static_cast<int>(std::lround(channel_doppler(c) / kDopplerStep)) + 4] =
        d.group.amplitude[c - 1][peak];
  }
  EXPECT_GT(by_line[5], by_line[3]);  // +1 over -1
  EXPECT_GT(by_line[3], by_line[6]);  // -1 over +2 (0.98 Hz off against 1.36)
  EXPECT_GT(by_line[6], by_line[2]);
  EXPECT_GT(by_line[2], by_line[7]);
  EXPECT_GT(by_line[7], by_line[1]);
}

TEST(SynthesizedRecording, sameSeedSameBytesOtherSeedOtherSamples) {
  SynthesisOptions options;
  options.frequency_count = 6;
  std::string first = synthesize_recording(options);
  EXPECT_EQ(first.size(), 6u * 4096u);
  EXPECT_EQ(synthesize_recording(options), first);
  options.seed = 2;
  std::string other = synthesize_recording(options);
  ASSERT_EQ(other.size(), first.size());
  EXPECT_NE(other, first);
  // Only the samples change: the prefaces agree.
  for (int n = 0; n < 6; ++n) {
    uint8_t a[57], b[57];
    extract_preface(reinterpret_cast<const uint8_t*>(first.data()) + n * 4096, a);
    extract_preface(reinterpret_cast<const uint8_t*>(other.data()) + n * 4096, b);
    EXPECT_EQ(std::memcmp(a, b, 57), 0) << n;
  }
}

TEST(CommandLine, readsOptionsAndRejectsWhatTheModelCannotMake) {
  static const struct {
    std::vector<const char*> args;
    const char* problem;  // "" when accepted
  } kCases[] = {
      {{"out.16c"}, ""},
      {{"--foF2=9", "--hmF2", "320", "out.16c"}, ""},
      {{"--start", "2023 365 23:59:59", "--seed", "7", "out.16c"}, ""},
      {{"-h"}, "help"},
      {{"out.16c", "--help"}, "help"},
      {{}, "no output file given"},
      {{"a.16c", "b.16c"}, "more than one output file: b.16c"},
      {{"--frequencies"}, "option --frequencies needs a value"},
      {{"--bogus", "1", "out"}, "unknown option --bogus"},
      {{"--seed", "x", "out"}, "bad value for --seed: x"},
      {{"--foF2", "8MHz", "out"}, "bad value for --foF2: 8MHz"},
      {{"--gates", "4", "out"}, "bad value for --gates: 4"},
      {{"--start-range", "0", "out"}, "bad value for --start-range: 0"},
      {{"--frequencies", "0", "out"}, "bad value for --frequencies: 0"},
      {{"--start", "2023 366 00:00:00", "out"}, "the start time is no time of the year"},
      {{"--start", "2024 1 12:00", "out"}, "bad value for --start: 2024 1 12:00"},
      {{"--start", "2081 365 23:59:00", "out"}, "the sweep would end after 2081"},
      {{"--foE", "9", "out"}, "foE must be below foF2"},
      {{"--hmE", "250", "out"}, "the E layer must end below the base of the F layer"},
      {{"--ymF2", "300", "out"}, "the F layer needs foF2 > 0, ymF2 > 0 and hmF2 > ymF2"},
      {{"--first", "0", "out"}, "sounding frequencies must lie from 0.01 to 99.99 MHz"},
      {{"--spread", "0", "out"}, "the range spread must be positive"},
  };
  for (const auto& c : kCases) {
    std::vector<const char*> argv = {"synth16c"};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    std::string trace;
    for (const char* a : argv) trace += std::string(a) + " ";
    SynthesisOptions options;
    std::string output;
    EXPECT_EQ(read_synthesis_command_line(static_cast<int>(argv.size()), argv.data(),
                                          &options, &output),
              c.problem)
        << trace;
  }
}

TEST(CommandLine, valuesReachTheOptions) {
  const char* argv[] = {"synth16c",     "--foF2=9.5",  "--ymE",       "12",
                        "--frequencies", "30",          "--start",     "1999 001 02:03:04",
                        "--seed",       "42",          "--gates=2",   "--gyro",
                        "1.2",          "recording.16c"};
  SynthesisOptions options;
  std::string output;
  ASSERT_EQ(read_synthesis_command_line(14, argv, &options, &output), "");
  EXPECT_EQ(output, "recording.16c");
  EXPECT_EQ(options.model.f_layer.fo, 9.5);
  EXPECT_EQ(options.model.e_layer.ym, 12.0);
  EXPECT_EQ(options.frequency_count, 30);
  EXPECT_EQ(options.start.year, 1999);
  EXPECT_EQ(options.start.day, 1);
  EXPECT_EQ(options.start.hour, 2);
  EXPECT_EQ(options.start.minute, 3);
  EXPECT_EQ(options.start.second, 4);
  EXPECT_EQ(options.seed, 42u);
  EXPECT_EQ(options.gate_code, 2);
  EXPECT_EQ(options.model.gyrofrequency, 1.2);
}

}  // namespace

TEST(SweepModel, variedSweepsAreModelsTheSynthesizerCanMake) {
  // Every drawn model passes the checks of a command line, keeps its
  // station's gyrofrequency, and its truth follows the X condition drawn.
  SynthesisOptions options;
  options.vary = 1;
  options.frequency_count = 53;
  options.last_frequency = 14.0;
  options.sweep_count = 300;
  int with_e = 0, exact = 0;
  double gyro = sweep_model(options, 0).model.gyrofrequency;
  for (int s = 0; s < options.sweep_count; ++s) {
    SCOPED_TRACE(s);
    SweepModel m = sweep_model(options, s);
    SynthesisOptions one = options;
    one.vary = 0;
    one.sweep_count = 1;
    one.model = m.model;
    EXPECT_EQ(check_options(one), "");
    EXPECT_EQ(m.model.gyrofrequency, gyro);
    const Layer& f2 = m.model.f_layer;
    EXPECT_GE(f2.fo, 3.0);
    EXPECT_LE(f2.fo, 12.0);
    EXPECT_GE(f2.hm - f2.ym, 170.0);
    SweepTruth t = sweep_truth(options, s);
    double fh = m.model.gyrofrequency;
    EXPECT_NEAR(t.fxf2, m.model.exact_extraordinary
                            ? fh / 2 + std::sqrt(f2.fo * f2.fo + fh * fh / 4)
                            : f2.fo + fh / 2, 1e-9);
    // The X trace ends at fxF2: an echo just below it, none just above.
    double height;
    EXPECT_TRUE(extraordinary_height(m.model, t.fxf2 - 1e-6, &height));
    EXPECT_FALSE(extraordinary_height(m.model, t.fxf2 + 1e-6, &height));
    EXPECT_GE(t.hpf, f2.hm - f2.ym);
    with_e += m.model.e_layer.fo > 0.0;
    exact += m.model.exact_extraordinary;
    EXPECT_EQ(std::isnan(t.foe), m.model.e_layer.fo == 0.0);
  }
  EXPECT_GT(with_e, 120);
  EXPECT_LT(with_e, 240);
  EXPECT_GT(exact, 100);
  EXPECT_LT(exact, 200);
}

TEST(SynthesizedGroup, optionalEchoesAppearWhereAsked) {
  // At 5 MHz (O at h', X lower) with the E layer left out: the O peak in
  // the -90 channels with --ordinary -90; a second hop at 2 h'; a carrier
  // 40 dB strong at every gate.
  SynthesisOptions base;
  base.first_frequency = base.last_frequency = 5.0;
  base.frequency_count = 1;
  base.model.e_layer.fo = 0.0;
  double height;
  ASSERT_TRUE(ordinary_height(base.model, 5.0, &height));
  auto gate_of = [](double range) {
    return static_cast<int>(std::lround((range - 10.0) / 5.0));
  };
  // The strongest amplitude over the +90 (plus) or -90 channels.
  auto strongest = [](const Decoded& d, bool plus, int gate) {
    double best = 0.0;
    for (int c = 1; c <= 16; ++c) {
      if (channel_is_ordinary(c) != plus) continue;
      best = std::max<double>(best, d.group.amplitude[c - 1][gate]);
    }
    return best;
  };
  static Decoded d;
  SynthesisOptions minus = base;
  minus.ordinary_polarization = -90;
  decode(minus, 0, &d);
  EXPECT_GT(strongest(d, false, gate_of(height)), strongest(d, true, gate_of(height)) + 10.0);

  SynthesisOptions hop = base;
  hop.second_hop_loss = 6.0;
  decode(hop, 0, &d);
  EXPECT_GT(strongest(d, true, gate_of(2 * height)), base.noise_power + 15.0);
  decode(base, 0, &d);
  EXPECT_LT(strongest(d, true, gate_of(2 * height)), base.noise_power + 12.0);

  SynthesisOptions carrier = base;
  carrier.interference_count = 1;
  carrier.interference_power = 40.0;
  decode(carrier, 0, &d);
  std::vector<double> amplitudes;
  for (int g = 0; g < 128; ++g) amplitudes.push_back(d.group.amplitude[0][g]);
  EXPECT_NEAR(median(amplitudes), 40.0, 1.0);
}

}  // namespace digisonde16c
