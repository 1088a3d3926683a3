#include "tools/drift_synthesizer.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "blockio/text_sink.h"
#include "decoder/channels.h"
#include "decoder/group_record.h"

namespace digisonde16c {

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kLightSpeed = 299792458.0;  // m/s

// The preface digits of a layout: Doppler line count by d47 (row 1 of the
// Doppler table, d44 0), PZA column d46, and the integration d48 that puts
// the outermost line at 3.125 Hz with PRF 100 Hz.
struct Layout {
  int lines, d47, d46, d48;
};
constexpr Layout kLayouts[] = {
    {2, 3, 5, 0},  // vertical +90 and -90; oblique -90 at A, A+60, ..., A+300
    {4, 2, 4, 2},  // vertical +90 and -90; oblique -90 at A and A+30
    {8, 1, 6, 4},  // vertical -90; oblique -90 at A
};

const Layout* layout_of(int lines) {
  for (const Layout& layout : kLayouts) {
    if (layout.lines == lines) return &layout;
  }
  return nullptr;
}

// The sweep synthesizer's options for one frequency: its preface writer
// sets the time, frequency and range digits of a drift group as well.
SynthesisOptions sweep_options(const DriftOptions& o) {
  SynthesisOptions sweep;
  sweep.frequency_count = 1;
  sweep.first_frequency = o.frequency;
  sweep.last_frequency = o.frequency;
  sweep.start = o.start;
  sweep.time_step = o.time_step;
  sweep.gate_code = o.gate_code;
  sweep.start_code = o.start_code;
  return sweep;
}

}  // namespace

std::string check_drift_options(const DriftOptions& o) {
  if (layout_of(o.lines) == nullptr) return "the Doppler lines must be 2, 4 or 8";
  if (o.azimuth_count < 1 || o.azimuth_count > kMaxDriftAzimuths)
    return "give 1 to 12 azimuths";
  for (int i = 0; i < o.azimuth_count; ++i) {
    if (o.azimuths[i] < 0 || o.azimuths[i] > 330 || o.azimuths[i] % 30 != 0)
      return "azimuths must be multiples of 30 from 0 to 330";
  }
  if (!(o.frequency >= 0.01 && o.frequency <= 99.99))
    return "the frequency must lie from 0.01 to 99.99 MHz";
  if (o.groups < 1 || o.groups > 100000) return "the groups must number 1 to 100000";
  if (!(o.height > 0.0)) return "the height must be positive";
  if (!(o.width > 0.0)) return "the Doppler width must be positive";
  if (!(o.spread > 0.0)) return "the range spread must be positive";
  if (!(o.jitter >= 0.0)) return "the jitter must not be negative";
  if (o.polarization != 90 && o.polarization != -90) return "the polarization is +90 or -90";
  if (o.integration < -1 || o.integration > 15) return "the integration code lies from 0 to 15";
  if (o.gate_code < 0 || o.gate_code > 3) return "H must lie from 0 to 3 (128 gates)";
  if (o.start_code < 1 || o.start_code > 5) return "E must lie from 1 to 5";
  SynthesisOptions sweep = sweep_options(o);
  std::string problem = check_options(sweep);
  if (!problem.empty()) return problem;
  if (group_time(sweep, o.groups - 1).year > 2081) return "the groups would end after 2081";
  return "";
}

void drift_preface(const DriftOptions& options, int n, uint8_t* digits) {
  const Layout& layout = *layout_of(options.lines);
  group_preface(sweep_options(options), n, digits);
  digits[44 - 1] = 0;  // Doppler table row 1
  // L rotates every PZA byte's azimuth sector by L - 1 steps of 30 degrees.
  digits[45 - 1] =
      static_cast<uint8_t>(options.azimuths[n % options.azimuth_count] / 30 + 1);
  digits[46 - 1] = static_cast<uint8_t>(layout.d46);
  digits[47 - 1] = static_cast<uint8_t>(layout.d47);
  digits[48 - 1] = static_cast<uint8_t>(options.integration >= 0 ? options.integration
                                                                 : layout.d48);
  digits[49 - 1] = 2;  // PRF 100 Hz
}

void drift_group_velocity(const DriftOptions& options, int n, double* velocity) {
  Random random{options.seed * 0xD1B54A32D192ED03ULL + static_cast<uint64_t>(n) * 2 + 1};
  random.next();
  double jitter[4];
  random.normal_pair(&jitter[0], &jitter[1]);
  random.normal_pair(&jitter[2], &jitter[3]);
  for (int i = 0; i < 3; ++i) velocity[i] = options.velocity[i] + options.jitter * jitter[i];
}

void synthesize_drift_group(const DriftOptions& options, int n, BlockDraft* draft) {
  *draft = BlockDraft();
  draft->kind = 12;
  drift_preface(options, n, draft->preface);

  // The channels as the decoder sees them; its messages are not wanted.
  char scratch[256];
  TextSink quiet = make_text_sink(-1, scratch, sizeof scratch);
  ChannelTable table;
  int line_count = 0;
  decode_channels(draft->preface, &table, &line_count, &quiet);

  double velocity[3];
  drift_group_velocity(options, n, velocity);
  Random random{options.seed * 0x9E3779B97F4A7C15ULL + static_cast<uint64_t>(n) * 2};
  random.next();

  const double f_hz = options.frequency * 1e6;
  const double first_range = gate_range(options.gate_code, options.start_code, 1);
  const double noise_sigma = std::sqrt(db_to_power(options.noise) / 2.0);
  for (int c = 1; c <= kChannels; ++c) {
    const double zenith = table.zenith[c - 1] * kPi / 180.0;
    const double azimuth = table.azimuth[c - 1] * kPi / 180.0;
    const double k[3] = {std::sin(zenith) * std::sin(azimuth),
                         std::sin(zenith) * std::cos(azimuth), std::cos(zenith)};
    const double los = k[0] * velocity[0] + k[1] * velocity[1] + k[2] * velocity[2];
    const double shift = -2.0 * f_hz * los / kLightSpeed;
    const double d = (table.doppler[c - 1] - shift) / options.width;
    double peak = options.power - 5.0 * d * d * std::log10(std::exp(1.0));
    if (static_cast<int>(table.polarization[c - 1]) != options.polarization)
      peak -= options.cross_loss;
    const double slant = options.height / std::cos(zenith);
    const double start_phase = 360.0 * random.uniform();
    for (int g = 1; g <= 128; ++g) {
      const double r = gate_range(options.gate_code, options.start_code, g);
      double re, im;
      random.normal_pair(&re, &im);
      re *= noise_sigma;
      im *= noise_sigma;
      const double off = (r - slant) / options.spread;
      if (std::fabs(off) <= 8.0) {
        const double amplitude = std::sqrt(db_to_power(peak) * std::exp(-0.5 * off * off));
        const double phase = (start_phase - kPhaseTurnPerKm * (r - first_range)) * kPi / 180.0;
        re += amplitude * std::cos(phase);
        im += amplitude * std::sin(phase);
      }
      set_sample(draft, g, c, re, im);
    }
  }
}

std::string drift_truth_table(const DriftOptions& options) {
  std::string text = "group block east north up\n";
  char line[128];
  for (int n = 0; n < options.groups; ++n) {
    double velocity[3];
    drift_group_velocity(options, n, velocity);
    std::snprintf(line, sizeof line, "%d %d %.6f %.6f %.6f\n", n, n + 1, velocity[0],
                  velocity[1], velocity[2]);
    text += line;
  }
  return text;
}

std::string synthesize_drift_recording(const DriftOptions& options) {
  std::string bytes;
  bytes.reserve(static_cast<size_t>(options.groups) * kBuilderBlockSize);
  BlockDraft draft;
  for (int n = 0; n < options.groups; ++n) {
    synthesize_drift_group(options, n, &draft);
    bytes += block_bytes(draft);
  }
  return bytes;
}

namespace {

// "A,B,C": up to 12 whole numbers.
bool read_azimuths(const std::string& text, DriftOptions* options) {
  int count = 0;
  size_t at = 0;
  while (true) {
    size_t comma = text.find(',', at);
    long long v;
    if (count == kMaxDriftAzimuths ||
        !read_integer(text.substr(at, comma == std::string::npos ? std::string::npos
                                                                 : comma - at),
                      0, 359, &v))
      return false;
    options->azimuths[count++] = static_cast<int>(v);
    if (comma == std::string::npos) break;
    at = comma + 1;
  }
  options->azimuth_count = count;
  return true;
}

}  // namespace

std::string read_drift_command_line(int argc, const char* const* argv,
                                    DriftOptions* options, std::string* output_path) {
  const RealOption reals[] = {
      {"frequency", &options->frequency}, {"east", &options->velocity[0]},
      {"north", &options->velocity[1]},   {"up", &options->velocity[2]},
      {"jitter", &options->jitter},       {"height", &options->height},
      {"width", &options->width},         {"spread", &options->spread},
      {"power", &options->power},         {"noise", &options->noise},
      {"cross-loss", &options->cross_loss},
  };
  const IntegerOption integers[] = {
      {"lines", &options->lines, 2, 8},
      {"groups", &options->groups, 1, 100000},
      {"step", &options->time_step, 0, 86400},
      {"polarization", &options->polarization, -90, 90},
      {"integration", &options->integration, 0, 15},
      {"gates", &options->gate_code, 0, 3},
      {"start-range", &options->start_code, 1, 5},
  };
  auto other = [&](const std::string& name, const std::string& value) {
    if (name == "truth") {
      options->truth_path = value;
      return 1;
    }
    if (name != "azimuths") return 0;
    return read_azimuths(value, options) ? 1 : -1;
  };
  std::string problem = read_named_options(
      argc, argv, reals, static_cast<int>(sizeof reals / sizeof reals[0]), integers,
      static_cast<int>(sizeof integers / sizeof integers[0]), &options->seed, &options->start,
      other, output_path);
  if (!problem.empty()) return problem;
  return check_drift_options(*options);
}

const char* drift_usage() {
  return "usage: synth16c drift [options] OUTPUT\n"
         "Writes a synthetic 16C drift recording: groups at one frequency in a beam\n"
         "layout, with the echo of a reflector moving at a known velocity.\n"
         "Options (--name VALUE or --name=VALUE; defaults in brackets):\n"
         "  --lines N              Doppler lines: 2 (vertical and six oblique beams\n"
         "                         60 degrees apart), 4 (vertical and two oblique\n"
         "                         beams 30 degrees apart) or 8 (vertical and one\n"
         "                         oblique beam) [2]\n"
         "  --azimuths A,B,...     azimuth of the first oblique beam, multiples of\n"
         "                         30 degrees, one group after another in turn [0]\n"
         "  --frequency MHZ        sounding frequency [4.0]\n"
         "  --groups N             number of groups [30]\n"
         "  --step S               seconds between groups [5]\n"
         "  --start 'YYYY DDD HH:MM:SS'  time of the first group [2024 172 12:00:00]\n"
         "  --east M/S --north M/S --up M/S\n"
         "                         drift velocity, positive up for a rising layer\n"
         "                         [60, -40, 10]\n"
         "  --jitter M/S           a random velocity added per group: standard\n"
         "                         deviation of each component [0]\n"
         "  --height KM            reflection height [250]\n"
         "  --width HZ             Doppler spectral width (std. deviation) [1.5]\n"
         "  --spread KM            echo spread in range (std. deviation) [6]\n"
         "  --power DB             peak power of an echo line [60]\n"
         "  --noise DB             mean noise power [20]\n"
         "  --cross-loss DB        echo leak into the other polarization [15]\n"
         "  --polarization P       polarization of the echo, +90 or -90 [-90]\n"
         "  --integration N        Doppler integration digit, 0 to 15: line spacing\n"
         "                         100 Hz / (64 / lines * 2^N) [0, 2, 4 for 2, 4, 8\n"
         "                         lines: outermost line at 3.125 Hz]\n"
         "  --gates H              range gate code, 0 to 3 [1]\n"
         "  --start-range E        start range code, 1 to 5 [1]\n"
         "  --seed N               noise, phase and jitter seed [1]\n"
         "  --truth FILE           also write each group's velocity (the jitter\n"
         "                         included)\n";
}

}  // namespace digisonde16c
