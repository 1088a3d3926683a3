#include "tools/synthesizer.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace digisonde16c {

namespace {

constexpr double kPi = 3.14159265358979323846;
// Frequency offset mode 0 adds 2.5 kHz to the frequency digits.
constexpr long kFrequencyOffset = 25;  // units of 0.0001 MHz

// splitmix64: a small generator whose output is fixed by its definition, so
// the same seed gives the same recording with every standard library.
struct Random {
  uint64_t state;
  uint64_t next() {
    uint64_t z = (state += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
  }
  // Uniform in [0, 1).
  double uniform() { return static_cast<double>(next() >> 11) * 0x1.0p-53; }
  // Two independent standard normal values (Box-Muller).
  void normal_pair(double* a, double* b) {
    double radius = std::sqrt(-2.0 * std::log(1.0 - uniform()));
    double angle = 2.0 * kPi * uniform();
    *a = radius * std::cos(angle);
    *b = radius * std::sin(angle);
  }
};

bool is_leap_year(int year) {
  return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

int days_in_year(int year) { return is_leap_year(year) ? 366 : 365; }

// Virtual height of a reflection inside a layer, x = f / fo below 1.
double height_in_layer(const Layer& layer, double x) {
  return layer.hm - layer.ym + layer.ym * 0.5 * x * std::log((1.0 + x) / (1.0 - x));
}

// Extra group path of a wave passing the whole layer, x = f / fo above 1.
double delay_through_layer(const Layer& layer, double x) {
  return layer.ym * (x * std::log((x + 1.0) / (x - 1.0)) - 2.0);
}

double db_to_power(double db) { return std::pow(10.0, db / 10.0); }

// Share of an echo's power that falls on the Doppler line of `channel`.
double doppler_share(const SynthesisOptions& options, int channel) {
  double total = 0.0;
  for (int line = -4; line <= 4; ++line) {
    if (line == 0) continue;
    double d = (line * kDopplerStep - options.doppler_shift) / options.doppler_width;
    total += std::exp(-0.5 * d * d);
  }
  double d = (channel_doppler(channel) - options.doppler_shift) / options.doppler_width;
  return std::exp(-0.5 * d * d) / total;
}

// Echo power (dB) of a trace at virtual height h for sounding frequency f.
double echo_db(const SynthesisOptions& options, double f, double h) {
  return options.echo_power - options.absorption / (f * f) - 20.0 * std::log10(h / 100.0);
}

}  // namespace

double channel_doppler(int channel) {
  // Channels 1-8 take the lines +1..+4 in pairs, channels 9-16 the lines
  // -1..-4 in pairs.
  int line = channel <= 8 ? (channel + 1) / 2 : -((channel - 8 + 1) / 2);
  return line * kDopplerStep;
}

bool channel_is_ordinary(int channel) { return channel % 2 == 1; }

bool ordinary_height(const LayerModel& model, double f, double* height) {
  const Layer& e = model.e_layer;
  const Layer& f2 = model.f_layer;
  if (f <= 0.0) return false;
  if (e.fo > 0.0 && f <= e.fo) {
    if (f == e.fo) return false;
    *height = height_in_layer(e, f / e.fo);
    return true;
  }
  if (f >= f2.fo) return false;
  double h = height_in_layer(f2, f / f2.fo);
  if (e.fo > 0.0) h += delay_through_layer(e, f / e.fo);
  *height = h;
  return true;
}

bool extraordinary_height(const LayerModel& model, double f, double* height) {
  return ordinary_height(model, f - 0.5 * model.gyrofrequency, height);
}

std::string check_options(const SynthesisOptions& o) {
  const Layer& e = o.model.e_layer;
  const Layer& f2 = o.model.f_layer;
  if (o.frequency_count < 1 || o.frequency_count > 10000)
    return "the number of frequencies must lie from 1 to 10000";
  for (double f : {o.first_frequency, o.last_frequency}) {
    if (!(f >= 0.01 && f <= 99.99))
      return "sounding frequencies must lie from 0.01 to 99.99 MHz";
  }
  if (!(f2.fo > 0.0 && f2.ym > 0.0 && f2.hm - f2.ym > 0.0))
    return "the F layer needs foF2 > 0, ymF2 > 0 and hmF2 > ymF2";
  if (e.fo < 0.0) return "foE must not be negative";
  if (e.fo > 0.0) {
    if (!(e.ym > 0.0 && e.hm - e.ym > 0.0))
      return "the E layer needs ymE > 0 and hmE > ymE";
    if (!(e.hm + e.ym <= f2.hm - f2.ym))
      return "the E layer must end below the base of the F layer";
    if (!(e.fo < f2.fo)) return "foE must be below foF2";
  }
  if (!(o.model.gyrofrequency >= 0.0)) return "the gyrofrequency must not be negative";
  if (!(o.spread > 0.0)) return "the range spread must be positive";
  if (!(o.doppler_width > 0.0)) return "the Doppler width must be positive";
  if (o.gate_code < 0 || o.gate_code > 3) return "H must lie from 0 to 3 (128 gates)";
  if (o.start_code < 1 || o.start_code > 5) return "E must lie from 1 to 5";
  if (o.time_step < 0) return "the time step must not be negative";
  const GroupTime& t = o.start;
  if (t.year < 1982 || t.year > 2081) return "the year must lie from 1982 to 2081";
  if (t.day < 1 || t.day > days_in_year(t.year) || t.hour < 0 || t.hour > 23 ||
      t.minute < 0 || t.minute > 59 || t.second < 0 || t.second > 59)
    return "the start time is no time of the year";
  if (group_time(o, o.frequency_count - 1).year > 2081)
    return "the sweep would end after 2081";
  return "";
}

double sounding_frequency(const SynthesisOptions& options, int n) {
  double f = options.first_frequency;
  if (options.frequency_count > 1) {
    f += n * (options.last_frequency - options.first_frequency) /
         (options.frequency_count - 1);
  }
  return std::round(f * 10000.0) / 10000.0;
}

GroupTime group_time(const SynthesisOptions& options, int n) {
  GroupTime t = options.start;
  long long seconds = t.second + 60LL * (t.minute + 60LL * t.hour) +
                      static_cast<long long>(n) * options.time_step;
  long long days = seconds / 86400;
  seconds %= 86400;
  t.second = static_cast<int>(seconds % 60);
  t.minute = static_cast<int>(seconds / 60 % 60);
  t.hour = static_cast<int>(seconds / 3600);
  days += t.day;
  while (days > days_in_year(t.year)) {
    days -= days_in_year(t.year);
    ++t.year;
  }
  t.day = static_cast<int>(days);
  return t;
}

double gate_range(int gate_code, int start_code, int gate) {
  static const double kSpacing[] = {2.5, 5.0, 10.0, 2.5};
  static const double kStart[] = {10.0, 60.0, 160.0, 380.0, 760.0};
  if (gate_code < 0 || gate_code > 3 || start_code < 1 || start_code > 5) return 0.0;
  int i = gate - 1;
  if (gate_code == 3 && i >= 40) i *= 2;  // beyond the boundary the index doubles
  return kStart[start_code - 1] + i * kSpacing[gate_code];
}

void group_preface(const SynthesisOptions& options, int n, uint8_t* digits) {
  std::memset(digits, 0, 57);
  GroupTime t = group_time(options, n);
  const int time_fields[] = {t.year % 100, t.day, t.hour, t.minute, t.second};
  const int time_widths[] = {2, 3, 2, 2, 2};
  int k = 1;
  for (int field = 0; field < 5; ++field) {
    int value = time_fields[field];
    for (int w = time_widths[field] - 1; w >= 0; --w) {
      digits[k - 1 + w] = static_cast<uint8_t>(value % 10);
      value /= 10;
    }
    k += time_widths[field];
  }
  long units = std::lround(sounding_frequency(options, n) * 10000.0) - kFrequencyOffset;
  for (int d = 25; d >= 20; --d) {
    digits[d - 1] = static_cast<uint8_t>(units % 10);
    units /= 10;
  }
  digits[44 - 1] = 0;  // Doppler table row 1
  digits[45 - 1] = 1;  // L: PZA bytes unrotated
  digits[46 - 1] = 5;  // PZA column: vertical +90 and -90
  digits[47 - 1] = 1;  // 8 Doppler lines
  digits[48 - 1] = 4;  // Doppler integration 2^5
  digits[49 - 1] = 2;  // PRF 100 Hz
  digits[54 - 1] = static_cast<uint8_t>(options.gate_code);
  digits[55 - 1] = static_cast<uint8_t>(options.start_code);
}

void synthesize_group(const SynthesisOptions& options, int n, BlockDraft* draft) {
  *draft = BlockDraft();
  draft->kind = 12;
  group_preface(options, n, draft->preface);

  Random random{options.seed * 0x9E3779B97F4A7C15ULL + static_cast<uint64_t>(n)};
  random.next();

  const double f = sounding_frequency(options, n);
  const double first_range = gate_range(options.gate_code, options.start_code, 1);
  struct Trace {
    bool present;
    double height;
    double power_db;
    bool ordinary;
  } traces[2];
  traces[0].ordinary = true;
  traces[0].present = ordinary_height(options.model, f, &traces[0].height);
  traces[1].ordinary = false;
  traces[1].present = extraordinary_height(options.model, f, &traces[1].height);
  for (Trace& trace : traces) {
    if (!trace.present) continue;
    trace.power_db = echo_db(options, f, trace.height);
    if (!trace.ordinary) trace.power_db -= options.x_loss;
  }

  double start_phase[16][2];
  for (int c = 0; c < 16; ++c) {
    for (int t = 0; t < 2; ++t) start_phase[c][t] = 360.0 * random.uniform();
  }

  const double noise_sigma = std::sqrt(db_to_power(options.noise_power) / 2.0);
  const double cross = db_to_power(-options.cross_loss);
  for (int c = 1; c <= 16; ++c) {
    const double share = doppler_share(options, c);
    for (int g = 1; g <= 128; ++g) {
      const double r = gate_range(options.gate_code, options.start_code, g);
      double re, im;
      random.normal_pair(&re, &im);
      re *= noise_sigma;
      im *= noise_sigma;
      for (int t = 0; t < 2; ++t) {
        const Trace& trace = traces[t];
        if (!trace.present) continue;
        double off = (r - trace.height) / options.spread;
        if (std::fabs(off) > 8.0) continue;
        double power = db_to_power(trace.power_db) * share * std::exp(-0.5 * off * off);
        if (trace.ordinary != channel_is_ordinary(c)) power *= cross;
        double phase = (start_phase[c - 1][t] - kPhaseTurnPerKm * (r - first_range)) *
                       kPi / 180.0;
        re += std::sqrt(power) * std::cos(phase);
        im += std::sqrt(power) * std::sin(phase);
      }
      double power = re * re + im * im;
      long amplitude_code =
          power > 0.0 ? std::lround(10.0 * std::log10(power) / kAmplitudeStep) : 0;
      if (amplitude_code < 0) amplitude_code = 0;
      if (amplitude_code > 255) amplitude_code = 255;
      double degrees = std::atan2(im, re) * 180.0 / kPi;
      if (degrees < 0.0) degrees += 360.0;
      long phase_code = std::lround(degrees / kPhaseStep) % 256;
      set_amplitude_code(draft, g, c, static_cast<uint8_t>(amplitude_code));
      set_phase_code(draft, g, c, static_cast<uint8_t>(phase_code));
    }
  }
}

std::string synthesize_recording(const SynthesisOptions& options) {
  std::string bytes;
  bytes.reserve(static_cast<size_t>(options.frequency_count) * kBuilderBlockSize);
  BlockDraft draft;
  for (int n = 0; n < options.frequency_count; ++n) {
    synthesize_group(options, n, &draft);
    bytes += block_bytes(draft);
  }
  return bytes;
}

namespace {

bool read_real(const char* text, double* value) {
  char* end;
  errno = 0;
  double v = std::strtod(text, &end);
  if (end == text || *end != '\0' || errno != 0 || !std::isfinite(v)) return false;
  *value = v;
  return true;
}

bool read_integer(const char* text, long long low, long long high, long long* value) {
  char* end;
  errno = 0;
  long long v = std::strtoll(text, &end, 10);
  if (end == text || *end != '\0' || errno != 0 || v < low || v > high) return false;
  *value = v;
  return true;
}

bool read_time(const char* text, GroupTime* t) {
  int consumed = -1;
  if (std::sscanf(text, "%d %d %d:%d:%d%n", &t->year, &t->day, &t->hour, &t->minute,
                  &t->second, &consumed) != 5 ||
      text[consumed] != '\0')
    return false;
  return true;
}

}  // namespace

std::string read_synthesis_command_line(int argc, const char* const* argv,
                                        SynthesisOptions* options,
                                        std::string* output_path) {
  struct RealOption {
    const char* name;
    double* value;
  };
  LayerModel& m = options->model;
  const RealOption reals[] = {
      {"first", &options->first_frequency}, {"last", &options->last_frequency},
      {"foE", &m.e_layer.fo},               {"hmE", &m.e_layer.hm},
      {"ymE", &m.e_layer.ym},               {"foF2", &m.f_layer.fo},
      {"hmF2", &m.f_layer.hm},              {"ymF2", &m.f_layer.ym},
      {"gyro", &m.gyrofrequency},           {"spread", &options->spread},
      {"doppler", &options->doppler_shift}, {"doppler-width", &options->doppler_width},
      {"power", &options->echo_power},      {"noise", &options->noise_power},
  };
  struct IntegerOption {
    const char* name;
    int* value;
    long long low, high;
  };
  const IntegerOption integers[] = {
      {"frequencies", &options->frequency_count, 1, 10000},
      {"step", &options->time_step, 0, 86400},
      {"gates", &options->gate_code, 0, 3},
      {"start-range", &options->start_code, 1, 5},
  };

  output_path->clear();
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "-h" || arg == "--help") return "help";
    if (arg.size() < 3 || arg.compare(0, 2, "--") != 0) {
      if (!output_path->empty()) return "more than one output file: " + arg;
      *output_path = arg;
      continue;
    }
    std::string name = arg.substr(2), value;
    size_t equals = name.find('=');
    if (equals != std::string::npos) {
      value = name.substr(equals + 1);
      name.erase(equals);
    } else if (i + 1 < argc) {
      value = argv[++i];
    } else {
      return "option --" + name + " needs a value";
    }
    bool known = false, good = false;
    for (const RealOption& o : reals) {
      if (name == o.name) known = true, good = read_real(value.c_str(), o.value);
    }
    for (const IntegerOption& o : integers) {
      long long v;
      if (name != o.name) continue;
      known = true;
      good = read_integer(value.c_str(), o.low, o.high, &v);
      if (good) *o.value = static_cast<int>(v);
    }
    if (name == "seed") {
      long long v;
      known = true;
      good = read_integer(value.c_str(), 0, 0x7FFFFFFFFFFFFFFFLL, &v);
      if (good) options->seed = static_cast<uint64_t>(v);
    }
    if (name == "start") known = true, good = read_time(value.c_str(), &options->start);
    if (!known) return "unknown option --" + name;
    if (!good) return "bad value for --" + name + ": " + value;
  }
  if (output_path->empty()) return "no output file given";
  return check_options(*options);
}

const char* synthesis_usage() {
  return "usage: synth16c [options] OUTPUT\n"
         "Writes a synthetic 16C recording: one kind-12 group per sounding frequency,\n"
         "with O and X echoes of a parabolic E and F layer on a noise floor.\n"
         "Options (--name VALUE or --name=VALUE; defaults in brackets):\n"
         "  --frequencies N        number of sounding frequencies [45]\n"
         "  --first MHZ            first frequency [1.0]\n"
         "  --last MHZ             last frequency [12.0]\n"
         "  --foF2 MHZ --hmF2 KM --ymF2 KM\n"
         "                         F layer: critical frequency, peak height,\n"
         "                         half thickness [7.5, 300, 80]\n"
         "  --foE MHZ --hmE KM --ymE KM\n"
         "                         E layer; --foE 0 leaves it out [3.0, 110, 15]\n"
         "  --gyro MHZ             electron gyrofrequency [1.4]\n"
         "  --spread KM            echo spread in range (std. deviation) [6]\n"
         "  --doppler HZ           Doppler shift of the echoes [0.2]\n"
         "  --doppler-width HZ     Doppler spread (std. deviation) [0.6]\n"
         "  --power DB             O echo power at 100 km [75]\n"
         "  --noise DB             mean noise power [20]\n"
         "  --start 'YYYY DDD HH:MM:SS'  time of the first group [2024 172 12:00:00]\n"
         "  --step S               seconds between groups [2]\n"
         "  --gates H              range gate code, 0 to 3 [1]\n"
         "  --start-range E        start range code, 1 to 5 [1]\n"
         "  --seed N               noise and phase seed; the same seed gives the\n"
         "                         same bytes [1]\n";
}

}  // namespace digisonde16c
