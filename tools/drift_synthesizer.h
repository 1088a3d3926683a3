// Writes synthetic 16C drift recordings: N groups at one sounding frequency,
// a few seconds apart, in a beam layout that trades Doppler lines for beams,
// with the echo of a reflector that moves at a known velocity.
//
// The model, in the units of the recording (MHz, km, Hz, dB, degrees) and
// m/s for velocities:
// - The beam layout is set by preface digits; every channel's Doppler line,
//   polarization, zenith and azimuth are those that the decoder's
//   decode_channels gives for the preface, so the recording holds exactly
//   the beams the decoder reports. Layouts: 2 Doppler lines with the
//   vertical beam (both polarizations) and six oblique beams 60 degrees
//   apart; 4 lines with the vertical beam (both polarizations) and two
//   oblique beams 30 degrees apart; 8 lines with the vertical beam and one
//   oblique beam. Oblique beams have zenith 11 degrees and polarization -90;
//   the azimuth of the first oblique beam is chosen per group (the preface's
//   rotation digit), cycling through a list.
// - Group n moves at V_n = V + J_n, J_n a random vector of independent
//   normal components of standard deviation `jitter` (0: a steady drift).
// - Beam direction (east, north, up) k = (sin z sin a, sin z cos a, cos z);
//   line-of-sight velocity v = k . V_n, positive away from the sounder;
//   Doppler shift f_D = -2 f v / c.
// - The echo of a beam is a Gaussian in Doppler of standard deviation
//   `width` around f_D, sampled at the centre of each line, with peak power
//   `power`; in range, a Gaussian of standard deviation `spread` around the
//   slant range height / cos z. Channels of the other polarization receive
//   it `cross_loss` weaker.
// - Every sample is the complex sum of the echo (a random phase per channel,
//   turning with range as in the sweep synthesizer) and complex Gaussian
//   noise of mean power `noise`.
#ifndef TOOLS_DRIFT_SYNTHESIZER_H_
#define TOOLS_DRIFT_SYNTHESIZER_H_

#include <cstdint>
#include <string>

#include "tools/block_builder.h"
#include "tools/synthesizer.h"

namespace digisonde16c {

constexpr int kMaxDriftAzimuths = 12;

struct DriftOptions {
  int lines = 2;                  // Doppler lines: 2, 4 or 8
  int azimuths[kMaxDriftAzimuths] = {0};  // first oblique beam's azimuth per group, cycled
  int azimuth_count = 1;
  double frequency = 4.0;         // MHz
  int groups = 30;
  int time_step = 5;              // seconds between groups
  GroupTime start;
  double velocity[3] = {60.0, -40.0, 10.0};  // east, north, up, m/s
  double jitter = 0.0;            // m/s, per component and group
  double height = 250.0;          // km, reflection height
  double width = 1.5;             // Hz, Doppler standard deviation
  double spread = 6.0;            // km, echo standard deviation in range
  double power = 60.0;            // dB, peak line power
  double noise = 20.0;            // dB, mean noise power
  double cross_loss = 15.0;       // dB, leak into the other polarization
  int polarization = -90;         // polarization of the echo
  int integration = -1;           // d48 (0 to 15); -1: the layout's default
  int gate_code = 1;              // H, 0 to 3
  int start_code = 1;             // E, 1 to 5
  uint64_t seed = 1;
  std::string truth_path;         // where drift_truth_table goes; empty: nowhere
};

// Empty when the options describe a recording the model can make, else a
// one-line reason.
std::string check_drift_options(const DriftOptions& options);

// The 57 preface digits of the n-th group (0-based).
void drift_preface(const DriftOptions& options, int n, uint8_t* digits);

// The velocity (east, north, up; m/s) of the n-th group: V plus its jitter.
void drift_group_velocity(const DriftOptions& options, int n, double* velocity);

// Each group's velocity as drift_group_velocity gives it, as a text table:
// a header line and one line per group (group from 0, block from 1, east,
// north, up in m/s).
std::string drift_truth_table(const DriftOptions& options);

// Fills `draft` with the n-th group. Deterministic in the options and n.
void synthesize_drift_group(const DriftOptions& options, int n, BlockDraft* draft);

// The whole recording: `groups` blocks of 4096 bytes.
std::string synthesize_drift_recording(const DriftOptions& options);

// Reads the command line after the word "drift" (argv[1..argc-1]) into
// `options` and `output_path`. Returns an empty text on success, "help" for
// -h or --help, or a one-line reason.
std::string read_drift_command_line(int argc, const char* const* argv,
                                    DriftOptions* options, std::string* output_path);

// The usage text, lines ending in '\n'.
const char* drift_usage();

}  // namespace digisonde16c

#endif  // TOOLS_DRIFT_SYNTHESIZER_H_
