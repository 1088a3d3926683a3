// Writes synthetic 16C recordings: an ionogram sweep over a list of sounding
// frequencies, one kind-12 group per frequency, with the echoes of a simple
// two-layer ionosphere on a noise floor.
//
// The model, in the units of the recording (MHz, km, dB, degrees):
// - Each layer is a parabola of electron density with critical frequency fo,
//   peak height hm and half thickness ym. An ordinary (O) wave of frequency
//   f < fo entering it from below at the base hb = hm - ym has the virtual
//   height h' = hb + ym (x/2) ln((1 + x) / (1 - x)), x = f / fo, which rises
//   from hb towards infinity as f approaches fo. A wave that passes a whole
//   layer (f > fo) is delayed by ym (x ln((x + 1) / (x - 1)) - 2), x = f / fo.
//   The F layer's trace therefore carries the E layer's delay; below foE the
//   E layer reflects and screens the F layer.
// - The extraordinary (X) trace at frequency f lies where the O trace lies at
//   f - fH/2, fH the electron gyrofrequency.
// - Echo power: echo_power - absorption / f^2 - 20 log10(h' / 100 km); the X
//   trace is x_loss weaker, and each trace leaks into the channels of the
//   other polarization cross_loss weaker still.
// - In range, an echo is a Gaussian of standard deviation `spread` around h';
//   in Doppler, a Gaussian of width doppler_width around doppler_shift, its
//   power shared among the Doppler lines of the group.
// - Every sample is the complex sum of the echoes and a complex Gaussian
//   noise of mean power noise_power. An echo's phase turns by -540 degrees
//   per km of range beyond the first gate, the turn that `tolvek -c` takes
//   out, so that corrected phases stay constant along an echo.
// Options that are off by default, for testing a scaler of ionograms:
// - Several sweeps one after another; with `vary`, each sweep draws its own
//   layers, gyrofrequency, powers, spreads, second hop and interference from
//   the seed (sweep_model). A truth file gives each sweep's model and the
//   characteristics it implies (write_truth).
// - Range spread F: a diffuse echo above every F-layer trace, of power
//   spread_f_loss below the trace at its height, falling by e each
//   spread_f km, with a random amplitude and phase per sample.
// - A second hop at twice the virtual height, second_hop_loss weaker.
// - Interference on a few frequencies: a steady carrier of the given power
//   at every gate of every channel, with a random phase per sample.
// - The exact extraordinary reflection condition, fN^2 = f^2 - f fH, in
//   place of the O trace at f - fH/2; and the O trace received in the -90
//   channels in place of the +90 ones.
#ifndef TOOLS_SYNTHESIZER_H_
#define TOOLS_SYNTHESIZER_H_

#include <cstdint>
#include <functional>
#include <string>

#include "tools/block_builder.h"

namespace digisonde16c {

// One parabolic layer; fo 0 means the layer is absent.
struct Layer {
  double fo;  // critical frequency, MHz
  double hm;  // peak height, km
  double ym;  // half thickness, km
};

struct LayerModel {
  Layer e_layer = {3.0, 110.0, 15.0};
  Layer f_layer = {7.5, 300.0, 80.0};
  double gyrofrequency = 1.4;  // MHz
  // The X trace at f lies where the O trace lies at sqrt(f^2 - f fH) (the
  // exact condition), else at f - fH/2.
  bool exact_extraordinary = false;
};

// Group time: the recording's time text fields.
struct GroupTime {
  int year = 2024;  // 1982 to 2081: the years a preface can hold
  int day = 172;    // day of the year, 1 to 365 or 366
  int hour = 12;
  int minute = 0;
  int second = 0;
};

struct SynthesisOptions {
  int frequency_count = 45;
  double first_frequency = 1.0;  // MHz
  double last_frequency = 12.0;  // MHz
  LayerModel model;
  double spread = 6.0;           // km, standard deviation of an echo in range
  double doppler_shift = 0.2;    // Hz
  double doppler_width = 0.6;    // Hz, standard deviation
  double echo_power = 75.0;      // dB, O echo at 100 km without absorption
  double absorption = 15.0;      // dB MHz^2
  double x_loss = 6.0;           // dB, X trace below the O trace
  double cross_loss = 15.0;      // dB, leak into the other polarization
  double noise_power = 20.0;     // dB, mean noise power
  GroupTime start;
  int time_step = 2;             // seconds between groups
  int gate_code = 1;             // H, 0 to 3 (128 gates)
  int start_code = 1;            // E, 1 to 5
  uint64_t seed = 1;
  int sweep_count = 1;           // sweeps, each frequency_count groups
  int vary = 0;                  // each sweep draws its own model: 1, or 2 (hard)
  double spread_f = 0.0;         // km, decay of range spread F; 0: none
  double spread_f_loss = 6.0;    // dB, spread F below the trace at its height
  double second_hop_loss = 0.0;  // dB, second hop below the first; 0: none
  int interference_count = 0;    // frequencies with interference per sweep
  double interference_power = 40.0;  // dB, the carrier's power
  int ordinary_polarization = 90;    // +90 or -90: channels of the O trace
  std::string truth_path;        // where write_truth puts the truth; empty: none
};

// What one sweep is made of: the options' model and settings, or with
// `vary` a draw of its own, and the steps (0-based) that carry
// interference (interference_steps entries of `interference`).
struct SweepModel {
  LayerModel model;
  double spread, spread_f, second_hop_loss, echo_power, noise_power, x_loss, cross_loss;
  double doppler_shift, doppler_width;
  int interference_steps;
  int interference[8];
  double interference_power;
};

// The model of sweep s (0-based). With `vary`, drawn from the seed and s:
// foF2 3-12 MHz, hmF2 220-380 km, ymF2 40-110 km (F base at 170 km or
// above), an E layer in 6 sweeps of 10 (foE 1.5-4 MHz, at most 0.7 foF2,
// hmE 100-120 km, ymE 8-20 km), gyrofrequency 0.8-1.6 MHz (one per
// recording: a station's), the exact X
// condition in half the sweeps, noise 15-30 dB, O echo power 62-85 dB,
// spread 3-10 km, spread F in 3 of 10 (20-80 km), a second hop in 3 of 10
// (6-15 dB), interference on 1-3 frequencies in 3 of 10 (15-35 dB above the
// noise). With vary 2 (hard): noise 15-35 dB, O echo power 52-75 dB, the X
// trace 0-10 dB weaker, leaking 6-20 dB down, spread 3-15 km, spread F
// (20-120 km), a second hop (3-15 dB) and interference (1-6 frequencies)
// each in half the sweeps.
SweepModel sweep_model(const SynthesisOptions& options, int sweep);

// The characteristics sweep s's model implies on its sounding frequencies:
// fxF2 by the model's X condition; h'F and h'E the lowest O virtual height
// of the F and E traces over the sweep's frequencies (NaN when the layer
// gives no echo there); fmin the lowest frequency with an O or X echo.
struct SweepTruth {
  double fof2, fxf2, foe, hpf, hpe, fmin;
};
SweepTruth sweep_truth(const SynthesisOptions& options, int sweep);

// The truth of every sweep as a text table, a header line and one line per
// sweep (NaN for what is absent).
std::string truth_table(const SynthesisOptions& options);

// Preface settings of every synthesized group. Doppler: d44 0, d47 1 and
// d48 4 with PRF code d49 2 (100 Hz) give 8 Doppler lines of 0.78125 Hz,
// each shared by two channels. PZA: d46 5 and d47 1 give vertical channels
// of polarization +90 (O, odd channels) and -90 (X, even channels); d45 1
// leaves the bytes unrotated. Amplitude scale 0.375 (d46 <= 7), gain d53 0.
constexpr double kDopplerStep = 0.78125;   // Hz
constexpr double kAmplitudeStep = 0.375;   // dB per amplitude code
constexpr double kPhaseStep = 1.40625;     // degrees per phase code
constexpr double kPhaseTurnPerKm = 540.0;  // degrees

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
  void normal_pair(double* a, double* b);
};

// Power of a level in dB.
double db_to_power(double db);

// Writes the sample (re, im) of gate g (1-based) and channel c (1..16) as
// its amplitude code (kAmplitudeStep dB, clamped to 0..255) and phase code
// (kPhaseStep degrees).
void set_sample(BlockDraft* draft, int g, int c, double re, double im);

// The Doppler shift (Hz) and whether channel c (1..16) receives the O
// polarization (+90), as the preface settings above make tolvek decode them.
double channel_doppler(int channel);
bool channel_is_ordinary(int channel);

// Virtual height (km) of the O trace at frequency f (MHz); false when the
// model returns no echo there (f <= 0, at a critical frequency, or above
// foF2).
bool ordinary_height(const LayerModel& model, double f, double* height);
// Virtual height of the X trace: the O trace at f - fH/2, or at
// sqrt(f^2 - f fH) with exact_extraordinary.
bool extraordinary_height(const LayerModel& model, double f, double* height);

// Empty when the options describe a recording the model can make, else a
// one-line reason.
std::string check_options(const SynthesisOptions& options);

// The sounding frequency of the n-th group (0-based; every sweep starts
// again), rounded to 0.0001 MHz: evenly spaced from first_frequency to
// last_frequency.
double sounding_frequency(const SynthesisOptions& options, int n);

// The time of the n-th group (0-based): start plus n time steps, carried
// across minutes, hours, days and years (leap years included).
GroupTime group_time(const SynthesisOptions& options, int n);

// Range (km) of gate g (1..128) for the range codes H and E, as tolvek
// decodes them; 0 for codes the synthesizer does not write.
double gate_range(int gate_code, int start_code, int gate);

// Writes the 57 preface digits of the n-th group: time, frequency (the
// digits hold f - 0.0025, which frequency offset mode 0 adds back), the
// channel settings above, H and E.
void group_preface(const SynthesisOptions& options, int n, uint8_t* digits);

// Fills `draft` with the n-th group (0-based over all sweeps): preface,
// amplitude and phase codes. Deterministic in the options and n.
void synthesize_group(const SynthesisOptions& options, int n, BlockDraft* draft);

// The whole recording: sweep_count times frequency_count blocks of 4096
// bytes.
std::string synthesize_recording(const SynthesisOptions& options);

// The named values of a synth16c command line: a real, or a whole number
// between low and high.
struct RealOption {
  const char* name;
  double* value;
};
struct IntegerOption {
  const char* name;
  int* value;
  long long low, high;
};

// A whole number between low and high, the whole text; false otherwise.
bool read_integer(const std::string& text, long long low, long long high, long long* value);

// Reads argv[1..argc-1]: "--name VALUE" or "--name=VALUE" pairs and one
// output path. The reals and integers go by their tables, --seed into
// `seed` and --start 'YYYY DDD HH:MM:SS' into `start`; any other name goes
// to other(name, value), which returns 0 for a name it does not know, 1 for
// a good value and -1 for a bad one. Returns an empty text, "help" for -h
// or --help, or a one-line reason.
std::string read_named_options(int argc, const char* const* argv, const RealOption* reals,
                               int real_count, const IntegerOption* integers,
                               int integer_count, uint64_t* seed, GroupTime* start,
                               const std::function<int(const std::string&, const std::string&)>&
                                   other,
                               std::string* output_path);

// Reads the command line (argv[1..argc-1]) into `options` and `output_path`.
// Returns an empty text on success, "help" for -h or --help, or a one-line
// reason for an unusable command line.
std::string read_synthesis_command_line(int argc, const char* const* argv,
                                        SynthesisOptions* options,
                                        std::string* output_path);

// Writes `text` to the file at `path`; false, with errno set, on failure.
bool write_text_file(const std::string& path, const std::string& text);

// The usage text, lines ending in '\n'.
const char* synthesis_usage();

}  // namespace digisonde16c

#endif  // TOOLS_SYNTHESIZER_H_
