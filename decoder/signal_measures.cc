#include "decoder/signal_measures.h"

#include <cmath>
#include <cstdint>
#include <cstring>

namespace digisonde16c {

namespace {

constexpr int kNoiseBins = 121;
constexpr double kTurn = 360.0;

// The phase correction of one channel's gates 2..gates, many gates at once:
// v = phase + correction, wrapped into one turn keeping its sign, v - 360
// trunc(v / 360). The quotients are truncated through a 32-bit integer;
// when one is too large for it (or not a number), the run is left as it
// was and false returned.
bool wrap_channel(const double* correction, int gates, float* run) {
  double quotient[kMaxGates];
  for (int g = 1; g < gates; ++g) quotient[g] = (run[g] + correction[g]) / kTurn;
  // Every |quotient| - 2^31 is negative exactly when the sign bits of all
  // of them survive the AND.
  uint64_t all = ~uint64_t{0};
  for (int g = 1; g < gates; ++g) {
    const double below = std::fabs(quotient[g]) - 2147483648.0;
    uint64_t bits;
    std::memcpy(&bits, &below, sizeof bits);
    all &= bits;
  }
  if ((all >> 63) == 0) return false;
  for (int g = 1; g < gates; ++g) {
    const double v = run[g] + correction[g];
    const double turns = static_cast<double>(static_cast<int32_t>(quotient[g]));
    run[g] = static_cast<float>(v - kTurn * turns);
  }
  return true;
}

}  // namespace

float measure_noise_level(const float (*amplitude)[kMaxGates],
                          int gate_count) {
  // Eight histograms take turns, so that a run of samples in one bin does
  // not wait on each increment before the next. A counter sees at most
  // 256 x 16 samples.
  constexpr int kLanes = 8;
  uint16_t counts[kLanes][kNoiseBins] = {};
  int32_t bins[kMaxGates];
  const int gates = gate_count < kMaxGates ? gate_count : kMaxGates;
  for (int c = 0; c < kChannels; ++c) {
    const float* run = amplitude[c];
    for (int g = 0; g < gates; ++g) {
      // Clamp before converting, so that no value overflows the integer;
      // truncation toward zero puts -0.9 into bin 0 as well, and NaN fails
      // the first comparison.
      float a = run[g] > 0.0f ? run[g] : 0.0f;
      a = a < static_cast<float>(kNoiseBins - 1) ? a : static_cast<float>(kNoiseBins - 1);
      bins[g] = static_cast<int32_t>(a);
    }
    int g = 0;
    for (; g + kLanes <= gates; g += kLanes) {
      for (int lane = 0; lane < kLanes; ++lane) ++counts[lane][bins[g + lane]];
    }
    for (; g < gates; ++g) ++counts[0][bins[g]];
  }
  for (int lane = 1; lane < kLanes; ++lane) {
    for (int bin = 0; bin < kNoiseBins; ++bin) counts[0][bin] += counts[lane][bin];
  }
  int best_bin = 0;
  int best_count = 0;
  for (int bin = 0; bin < kNoiseBins; ++bin) {
    if (counts[0][bin] > best_count) {
      best_count = counts[0][bin];
      best_bin = bin;
    }
  }
  return static_cast<float>(best_bin);
}

void sort_index(int n, const float* keys, int* index) {
  // Items are numbered 1..n as in the classic index heap sort; these two
  // accessors map them onto the 0-based arrays.
  auto x = [keys](int item) { return keys[item - 1]; };
  auto ix = [index](int i) -> int& { return index[i - 1]; };

  for (int i = 1; i <= n; ++i) ix(i) = i;
  if (n < 2) return;

  int l = n / 2 + 1;
  int ir = n;
  for (;;) {
    int t;
    float q;
    if (l > 1) {
      --l;
      t = ix(l);
      q = x(t);
    } else {
      t = ix(ir);
      q = x(t);
      ix(ir) = ix(1);
      --ir;
      if (ir == 1) {
        ix(1) = t;
        return;
      }
    }
    int i = l;
    int j = 2 * l;
    while (j <= ir) {
      if (j < ir && x(ix(j)) < x(ix(j + 1))) ++j;
      if (!(q < x(ix(j)))) break;
      ix(i) = ix(j);
      i = j;
      j = 2 * j;
    }
    ix(i) = t;
  }
}

void order_channels(const float* channel_frequency, const float* polarization,
                    const float* doppler, const float* azimuth,
                    const float* zenith, int key_count, int* channel_order) {
  for (int c = 0; c < kChannels; ++c) channel_order[c] = c + 1;
  if (key_count < 1 || key_count > 5) return;

  const float* const levels[4] = {polarization, doppler, azimuth, zenith};
  float keys[kChannels];
  for (int c = 0; c < kChannels; ++c) {
    float key = channel_frequency[c];
    // Each level is rounded to single precision before the next is added,
    // which decides how much of the later levels survives.
    for (int level = 0; level < key_count - 1; ++level) {
      key = static_cast<float>(static_cast<double>(key) * 1000.0 +
                               static_cast<double>(levels[level][c]));
    }
    keys[c] = key;
  }
  sort_index(kChannels, keys, channel_order);
}

void correct_phase_by_range(const float* gate_range, float (*phase)[kMaxGates],
                            int gate_count) {
  const int gates = gate_count < kMaxGates ? gate_count : kMaxGates;
  if (gates < 2) return;
  const double first_range = gate_range[0];
  double correction[kMaxGates];
  for (int g = 1; g < gates; ++g) correction[g] = (gate_range[g] - first_range) * 540.0;
  for (int c = 0; c < kChannels; ++c) {
    if (wrap_channel(correction, gates, phase[c])) continue;
    for (int g = 1; g < gates; ++g) {
      const double v = phase[c][g] + correction[g];
      phase[c][g] = static_cast<float>(v - kTurn * std::trunc(v / kTurn));
    }
  }
}

}  // namespace digisonde16c
