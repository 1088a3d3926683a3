// Noise level, channel print order and phase correction of a group.
#ifndef DECODER_SIGNAL_MEASURES_H_
#define DECODER_SIGNAL_MEASURES_H_

#include "decoder/group_record.h"

namespace digisonde16c {

// Lower edge of the most populated one-unit amplitude bin (0..120) over
// gates 1..gate_count of all 16 channels; ties go to the lower bin.
float measure_noise_level(const float (*amplitude)[kMaxGates], int gate_count);

// Heap sort of an index: index[] gets 1..n ordered by ascending keys (keys
// and index are 0-based arrays holding items 1..n). Needs n >= 2.
void sort_index(int n, const float* keys, int* index);

// channel_order from keys packing the first key_count columns (frequency,
// polarization, Doppler, azimuth, zenith) in single precision, x1000 a
// level. key_count outside 1..5 leaves the order 1..16.
void order_channels(const float* channel_frequency, const float* polarization,
                    const float* doppler, const float* azimuth,
                    const float* zenith, int key_count, int* channel_order);

// Advances the phases of gates 2..gate_count by 540 degrees per range unit
// above gate 1 and wraps them into one turn, keeping their sign.
void correct_phase_by_range(const float* gate_range, float (*phase)[kMaxGates],
                            int gate_count);

}  // namespace digisonde16c

#endif  // DECODER_SIGNAL_MEASURES_H_
