// Channel attributes (Doppler shift, polarization, azimuth, zenith) from the
// preface digits.
#ifndef DECODER_CHANNELS_H_
#define DECODER_CHANNELS_H_

#include <cstdint>

#include "blockio/text_sink.h"
#include "decoder/group_record.h"

namespace digisonde16c {

// doppler_line_count by Doppler table row (1..4, index row - 1) and d47 mod 4.
extern const int DopplerCountTable[4][4];
// line_slot by channel (index channel - 1) and doppler column k (index k - 1).
extern const int LineSlotTable[16][4];
// Signed Doppler number by line slot (0..15) and doppler column (index k - 1).
extern const int DopplerNumberTable[16][4];
// PZA byte by slot s (0..7), row j (0..7) and column m (0..7).
extern const uint8_t PzaTable[8][8][8];

// Fills the five attribute columns of `table` (not channel_order) and the
// line count; messages (Doppler table, PRF, L, PZA, zenith) in that order.
void decode_channels(const uint8_t* preface, ChannelTable* table,
                     int* doppler_line_count, TextSink* messages);

// Doppler line count (16, 8, 4, 2 or 0) and the Doppler step in hertz.
void decode_doppler_step(const uint8_t* preface, int* doppler_line_count,
                         float* doppler_step, TextSink* messages);

// PRF in hertz for the code R = d49; R mod 4 = 1 prints a message, gives 100.
float decode_prf(int r, TextSink* messages);

// Doppler column k (1..4) for a line count; 3 when the count is 0.
int doppler_column(int doppler_line_count);

// The channel's PZA byte, rotated by L = d45 when L is 1..12 (else the L
// warning is printed and the byte is used as the table gives it).
int channel_pza_byte(const uint8_t* preface, int line_slot, TextSink* messages);

float polarization_of(int pza_byte);
float azimuth_of(int pza_byte, TextSink* messages);
float zenith_of(int pza_byte, TextSink* messages);

}  // namespace digisonde16c

#endif  // DECODER_CHANNELS_H_
