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

// Share of an echo's power that falls on the Doppler line of `channel`.
double doppler_share(const SweepModel& m, int channel) {
  double total = 0.0;
  for (int line = -4; line <= 4; ++line) {
    if (line == 0) continue;
    double d = (line * kDopplerStep - m.doppler_shift) / m.doppler_width;
    total += std::exp(-0.5 * d * d);
  }
  double d = (channel_doppler(channel) - m.doppler_shift) / m.doppler_width;
  return std::exp(-0.5 * d * d) / total;
}

// Echo power (dB) of a trace at virtual height h for sounding frequency f.
double echo_db(const SynthesisOptions& options, const SweepModel& m, double f, double h) {
  return m.echo_power - options.absorption / (f * f) - 20.0 * std::log10(h / 100.0);
}

double uniform_in(Random* random, double low, double high) {
  return low + (high - low) * random->uniform();
}

// The plasma frequency at which an X wave of frequency f reflects.
double extraordinary_reflection(const LayerModel& model, double f) {
  double fh = model.gyrofrequency;
  if (!model.exact_extraordinary) return f - 0.5 * fh;
  double square = f * f - f * fh;
  return square > 0.0 ? std::sqrt(square) : 0.0;
}

}  // namespace

void Random::normal_pair(double* a, double* b) {
  double radius = std::sqrt(-2.0 * std::log(1.0 - uniform()));
  double angle = 2.0 * kPi * uniform();
  *a = radius * std::cos(angle);
  *b = radius * std::sin(angle);
}

double db_to_power(double db) { return std::pow(10.0, db / 10.0); }

void set_sample(BlockDraft* draft, int g, int c, double re, double im) {
  double power = re * re + im * im;
  long amplitude_code = power > 0.0 ? std::lround(10.0 * std::log10(power) / kAmplitudeStep) : 0;
  if (amplitude_code < 0) amplitude_code = 0;
  if (amplitude_code > 255) amplitude_code = 255;
  double degrees = std::atan2(im, re) * 180.0 / kPi;
  if (degrees < 0.0) degrees += 360.0;
  long phase_code = std::lround(degrees / kPhaseStep) % 256;
  set_amplitude_code(draft, g, c, static_cast<uint8_t>(amplitude_code));
  set_phase_code(draft, g, c, static_cast<uint8_t>(phase_code));
}

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
  return ordinary_height(model, extraordinary_reflection(model, f), height);
}

SweepModel sweep_model(const SynthesisOptions& options, int sweep) {
  SweepModel m;
  m.model = options.model;
  m.spread = options.spread;
  m.spread_f = options.spread_f;
  m.second_hop_loss = options.second_hop_loss;
  m.echo_power = options.echo_power;
  m.noise_power = options.noise_power;
  m.x_loss = options.x_loss;
  m.cross_loss = options.cross_loss;
  m.doppler_shift = options.doppler_shift;
  m.doppler_width = options.doppler_width;
  m.interference_power = options.interference_power;
  m.interference_steps = 0;
  Random random{(options.seed + 0x5851F42D4C957F2DULL) * 0xD1B54A32D192ED03ULL +
                static_cast<uint64_t>(sweep)};
  random.next();
  if (options.vary) {
    Layer& f2 = m.model.f_layer;
    Layer& e = m.model.e_layer;
    f2.fo = uniform_in(&random, 3.0, 12.0);
    f2.hm = uniform_in(&random, 220.0, 380.0);
    f2.ym = uniform_in(&random, 40.0, std::min(110.0, f2.hm - 170.0));
    if (random.uniform() < 0.6) {
      e.fo = uniform_in(&random, 1.5, std::min(4.0, 0.7 * f2.fo));
      e.hm = uniform_in(&random, 100.0, 120.0);
      e.ym = uniform_in(&random, 8.0, 20.0);
    } else {
      e.fo = 0.0;
    }
    // The gyrofrequency is a station's: one per recording.
    Random station{options.seed * 0xD1B54A32D192ED03ULL + 0x2545F4914F6CDD1DULL};
    m.model.gyrofrequency = uniform_in(&station, 0.8, 1.6);
    m.model.exact_extraordinary = random.uniform() < 0.5;
    const bool hard = options.vary == 2;
    const double often = hard ? 0.5 : 0.3;
    m.noise_power = uniform_in(&random, 15.0, hard ? 35.0 : 30.0);
    m.echo_power = hard ? uniform_in(&random, 52.0, 75.0) : uniform_in(&random, 62.0, 85.0);
    m.x_loss = uniform_in(&random, hard ? 0.0 : 3.0, 10.0);
    m.cross_loss = uniform_in(&random, hard ? 6.0 : 10.0, 20.0);
    m.spread = uniform_in(&random, 3.0, hard ? 15.0 : 10.0);
    m.doppler_shift = uniform_in(&random, -1.0, 1.0);
    m.doppler_width = uniform_in(&random, 0.3, 1.0);
    m.spread_f = random.uniform() < often ? uniform_in(&random, 20.0, hard ? 120.0 : 80.0) : 0.0;
    m.second_hop_loss =
        random.uniform() < often ? uniform_in(&random, hard ? 3.0 : 6.0, 15.0) : 0.0;
    if (random.uniform() < often) {
      m.interference_steps = 1 + static_cast<int>((hard ? 6.0 : 3.0) * random.uniform());
      m.interference_power = m.noise_power + uniform_in(&random, 15.0, 35.0);
    }
  } else {
    m.interference_steps = std::min(options.interference_count, 8);
  }
  for (int i = 0; i < m.interference_steps; ++i) {
    m.interference[i] = static_cast<int>(options.frequency_count * random.uniform());
  }
  return m;
}

SweepTruth sweep_truth(const SynthesisOptions& options, int sweep) {
  const SweepModel m = sweep_model(options, sweep);
  const Layer& e = m.model.e_layer;
  const Layer& f2 = m.model.f_layer;
  const double nan = std::nan("");
  const double fh = m.model.gyrofrequency;
  SweepTruth t = {f2.fo, nan, e.fo > 0.0 ? e.fo : nan, nan, nan, nan};
  t.fxf2 = m.model.exact_extraordinary ? 0.5 * fh + std::sqrt(f2.fo * f2.fo + 0.25 * fh * fh)
                                       : f2.fo + 0.5 * fh;
  for (int k = 0; k < options.frequency_count; ++k) {
    const double f = sounding_frequency(options, k);
    double h;
    bool o = ordinary_height(m.model, f, &h);
    if (o) {
      double& lowest = (e.fo > 0.0 && f < e.fo) ? t.hpe : t.hpf;
      if (std::isnan(lowest) || h < lowest) lowest = h;
    }
    double hx;
    if ((o || extraordinary_height(m.model, f, &hx)) && std::isnan(t.fmin)) t.fmin = f;
  }
  return t;
}

std::string truth_table(const SynthesisOptions& options) {
  std::string text =
      "sweep first_block foF2 fxF2 foE fmin hpF hpE hmF2 ymF2 hmE ymE gyro exact_x "
      "ordinary noise echo_power spread spread_f second_hop_loss interference\n";
  char line[512];
  for (int s = 0; s < options.sweep_count; ++s) {
    const SweepModel m = sweep_model(options, s);
    const SweepTruth t = sweep_truth(options, s);
    const Layer& e = m.model.e_layer;
    std::snprintf(line, sizeof line,
                  "%d %d %.4f %.4f %.4f %.4f %.3f %.3f %.3f %.3f %.3f %.3f %.4f %d %d %.2f "
                  "%.2f %.2f %.2f %.2f %d\n",
                  s, s * options.frequency_count + 1, t.fof2, t.fxf2, t.foe, t.fmin, t.hpf,
                  t.hpe, m.model.f_layer.hm, m.model.f_layer.ym, e.fo > 0.0 ? e.hm : std::nan(""),
                  e.fo > 0.0 ? e.ym : std::nan(""), m.model.gyrofrequency,
                  m.model.exact_extraordinary ? 1 : 0, options.ordinary_polarization,
                  m.noise_power, m.echo_power, m.spread, m.spread_f, m.second_hop_loss,
                  m.interference_steps);
    text += line;
  }
  return text;
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
  if (o.sweep_count < 1 || o.sweep_count > 100000 ||
      static_cast<long long>(o.sweep_count) * o.frequency_count > 1000000)
    return "the recording must hold 1 to 100000 sweeps and at most 1000000 groups";
  if (o.ordinary_polarization != 90 && o.ordinary_polarization != -90)
    return "the ordinary polarization must be 90 or -90";
  if (o.spread_f < 0.0 || o.second_hop_loss < 0.0)
    return "spread F and the second hop's loss must not be negative";
  if (o.interference_count < 0 || o.interference_count > 8)
    return "interference may be on 0 to 8 frequencies";
  if (group_time(o, o.sweep_count * o.frequency_count - 1).year > 2081)
    return "the sweep would end after 2081";
  return "";
}

double sounding_frequency(const SynthesisOptions& options, int n) {
  double f = options.first_frequency;
  n %= options.frequency_count;
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

  const int step = n % options.frequency_count;
  const SweepModel m = sweep_model(options, n / options.frequency_count);
  const double f = sounding_frequency(options, n);
  const double first_range = gate_range(options.gate_code, options.start_code, 1);
  const double e_fo = m.model.e_layer.fo;
  struct Trace {
    bool present;
    double height;
    double power_db;
    bool ordinary;
    bool from_f_layer;  // reflected by the F layer: spread F may follow it
  } traces[4];
  traces[0].ordinary = true;
  traces[0].present = ordinary_height(m.model, f, &traces[0].height);
  traces[0].from_f_layer = !(e_fo > 0.0 && f < e_fo);
  traces[1].ordinary = false;
  traces[1].present = extraordinary_height(m.model, f, &traces[1].height);
  traces[1].from_f_layer = !(e_fo > 0.0 && extraordinary_reflection(m.model, f) < e_fo);
  int trace_count = 2;
  for (int t = 0; t < 2; ++t) {
    Trace& trace = traces[t];
    if (!trace.present) continue;
    trace.power_db = echo_db(options, m, f, trace.height);
    if (!trace.ordinary) trace.power_db -= m.x_loss;
  }
  if (m.second_hop_loss > 0.0) {
    for (int t = 0; t < 2; ++t) {
      traces[2 + t] = traces[t];
      traces[2 + t].height *= 2.0;
      traces[2 + t].power_db -= m.second_hop_loss;
      traces[2 + t].from_f_layer = false;
    }
    trace_count = 4;
  }
  bool interfered = false;
  for (int i = 0; i < m.interference_steps; ++i) interfered |= m.interference[i] == step;

  double start_phase[16][4];
  for (int c = 0; c < 16; ++c) {
    for (int t = 0; t < 2; ++t) start_phase[c][t] = 360.0 * random.uniform();
    // A second hop keeps the first's phase: twice the path turns it as the
    // range does.
    start_phase[c][2] = start_phase[c][0];
    start_phase[c][3] = start_phase[c][1];
  }

  const double noise_sigma = std::sqrt(db_to_power(m.noise_power) / 2.0);
  const double cross = db_to_power(-m.cross_loss);
  const double spread_f_share = db_to_power(-options.spread_f_loss);
  const double carrier = std::sqrt(db_to_power(m.interference_power));
  for (int c = 1; c <= 16; ++c) {
    const double share = doppler_share(m, c);
    const bool receives_ordinary = channel_is_ordinary(c) == (options.ordinary_polarization > 0);
    for (int g = 1; g <= 128; ++g) {
      const double r = gate_range(options.gate_code, options.start_code, g);
      double re, im;
      random.normal_pair(&re, &im);
      re *= noise_sigma;
      im *= noise_sigma;
      for (int t = 0; t < trace_count; ++t) {
        const Trace& trace = traces[t];
        if (!trace.present) continue;
        const double echo_power = db_to_power(trace.power_db) * share;
        const bool crossed = trace.ordinary != receives_ordinary;
        if (m.spread_f > 0.0 && trace.from_f_layer && r > trace.height &&
            r - trace.height < 12.0 * m.spread_f) {
          double a, b;
          random.normal_pair(&a, &b);
          double sigma = std::sqrt(0.5 * echo_power * (crossed ? cross : 1.0) *
                                   spread_f_share * std::exp(-(r - trace.height) / m.spread_f));
          re += sigma * a;
          im += sigma * b;
        }
        double off = (r - trace.height) / m.spread;
        if (std::fabs(off) > 8.0) continue;
        double power = echo_power * std::exp(-0.5 * off * off);
        if (crossed) power *= cross;
        double phase = (start_phase[c - 1][t] - kPhaseTurnPerKm * (r - first_range)) *
                       kPi / 180.0;
        re += std::sqrt(power) * std::cos(phase);
        im += std::sqrt(power) * std::sin(phase);
      }
      if (interfered) {
        double phase = 2.0 * kPi * random.uniform();
        re += carrier * std::cos(phase);
        im += carrier * std::sin(phase);
      }
      set_sample(draft, g, c, re, im);
    }
  }
}

std::string synthesize_recording(const SynthesisOptions& options) {
  std::string bytes;
  const int groups = options.sweep_count * options.frequency_count;
  bytes.reserve(static_cast<size_t>(groups) * kBuilderBlockSize);
  BlockDraft draft;
  for (int n = 0; n < groups; ++n) {
    synthesize_group(options, n, &draft);
    bytes += block_bytes(draft);
  }
  return bytes;
}

namespace {

bool read_real(const std::string& text, double* value) {
  char* end;
  errno = 0;
  double v = std::strtod(text.c_str(), &end);
  if (end == text.c_str() || *end != '\0' || errno != 0 || !std::isfinite(v)) return false;
  *value = v;
  return true;
}

bool read_time(const std::string& text, GroupTime* t) {
  int consumed = -1;
  return std::sscanf(text.c_str(), "%d %d %d:%d:%d%n", &t->year, &t->day, &t->hour,
                     &t->minute, &t->second, &consumed) == 5 &&
         text[consumed] == '\0';
}

}  // namespace

bool read_integer(const std::string& text, long long low, long long high, long long* value) {
  char* end;
  errno = 0;
  long long v = std::strtoll(text.c_str(), &end, 10);
  if (end == text.c_str() || *end != '\0' || errno != 0 || v < low || v > high) return false;
  *value = v;
  return true;
}

std::string read_named_options(int argc, const char* const* argv, const RealOption* reals,
                               int real_count, const IntegerOption* integers,
                               int integer_count, uint64_t* seed, GroupTime* start,
                               const std::function<int(const std::string&, const std::string&)>&
                                   other,
                               std::string* output_path) {
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
    int verdict = 0;  // 0 unknown, 1 good, -1 bad
    long long v = 0;
    for (int r = 0; r < real_count; ++r) {
      if (name == reals[r].name) verdict = read_real(value, reals[r].value) ? 1 : -1;
    }
    for (int n = 0; n < integer_count; ++n) {
      if (name != integers[n].name) continue;
      verdict = read_integer(value, integers[n].low, integers[n].high, &v) ? 1 : -1;
      if (verdict == 1) *integers[n].value = static_cast<int>(v);
    }
    if (name == "seed") {
      verdict = read_integer(value, 0, 0x7FFFFFFFFFFFFFFFLL, &v) ? 1 : -1;
      if (verdict == 1) *seed = static_cast<uint64_t>(v);
    }
    if (name == "start") verdict = read_time(value, start) ? 1 : -1;
    if (verdict == 0) verdict = other(name, value);
    if (verdict == 0) return "unknown option --" + name;
    if (verdict < 0) return "bad value for --" + name + ": " + value;
  }
  if (output_path->empty()) return "no output file given";
  return "";
}

std::string read_synthesis_command_line(int argc, const char* const* argv,
                                        SynthesisOptions* options,
                                        std::string* output_path) {
  LayerModel& m = options->model;
  const RealOption reals[] = {
      {"first", &options->first_frequency}, {"last", &options->last_frequency},
      {"foE", &m.e_layer.fo},               {"hmE", &m.e_layer.hm},
      {"ymE", &m.e_layer.ym},               {"foF2", &m.f_layer.fo},
      {"hmF2", &m.f_layer.hm},              {"ymF2", &m.f_layer.ym},
      {"gyro", &m.gyrofrequency},           {"spread", &options->spread},
      {"doppler", &options->doppler_shift}, {"doppler-width", &options->doppler_width},
      {"power", &options->echo_power},      {"noise", &options->noise_power},
      {"spread-f", &options->spread_f},     {"spread-f-loss", &options->spread_f_loss},
      {"second-hop", &options->second_hop_loss},
      {"interference-power", &options->interference_power},
  };
  const IntegerOption integers[] = {
      {"frequencies", &options->frequency_count, 1, 10000},
      {"step", &options->time_step, 0, 86400},
      {"gates", &options->gate_code, 0, 3},
      {"start-range", &options->start_code, 1, 5},
      {"sweeps", &options->sweep_count, 1, 100000},
      {"interference", &options->interference_count, 0, 8},
      {"ordinary", &options->ordinary_polarization, -90, 90},
      {"vary", &options->vary, 0, 2},
  };
  struct FlagOption {
    const char* name;
    bool* value;
  };
  const FlagOption flags[] = {
      {"exact-x", &m.exact_extraordinary},
  };

  auto other = [&](const std::string& name, const std::string& value) {
    for (const FlagOption& o : flags) {
      long long v;
      if (name != o.name) continue;
      if (!read_integer(value, 0, 1, &v)) return -1;
      *o.value = v == 1;
      return 1;
    }
    if (name != "truth") return 0;
    options->truth_path = value;
    return value.empty() ? -1 : 1;
  };
  std::string problem = read_named_options(
      argc, argv, reals, static_cast<int>(sizeof reals / sizeof reals[0]), integers,
      static_cast<int>(sizeof integers / sizeof integers[0]), &options->seed, &options->start,
      other, output_path);
  if (!problem.empty()) return problem;
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
         "                         same bytes [1]\n"
         "  --sweeps N             sweeps one after another [1]\n"
         "  --vary 0|1|2           1: each sweep draws its own layers, powers, spreads,\n"
         "                         second hop and interference from the seed; 2: the\n"
         "                         same with weaker echoes and more disturbances [0]\n"
         "  --spread-f KM          range spread F above the F traces, falling by e\n"
         "                         every KM; 0 leaves it out [0]\n"
         "  --spread-f-loss DB     spread F below the trace at its height [6]\n"
         "  --second-hop DB        a second hop at twice the height, DB weaker;\n"
         "                         0 leaves it out [0]\n"
         "  --interference N       frequencies of each sweep with a carrier [0]\n"
         "  --interference-power DB  the carrier's power [40]\n"
         "  --exact-x 0|1          1: X reflects where fN^2 = f^2 - f fH, else the\n"
         "                         X trace is the O trace at f - fH/2 [0]\n"
         "  --ordinary 90|-90      polarization of the channels of the O trace [90]\n"
         "  --truth FILE           also write each sweep's model and characteristics\n";
}

bool write_text_file(const std::string& path, const std::string& text) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  bool written = file != nullptr && std::fwrite(text.data(), 1, text.size(), file) == text.size();
  if (file != nullptr && std::fclose(file) != 0) written = false;
  return written;
}

}  // namespace digisonde16c
