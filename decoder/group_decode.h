// The frequency selection and the decode of one accepted group, shared by
// the recording walk, the tests, the fuzz targets and the benchmarks.
#ifndef DECODER_GROUP_DECODE_H_
#define DECODER_GROUP_DECODE_H_

#include "blockio/text_sink.h"
#include "decoder/group_record.h"

namespace digisonde16c {

// True when the group frequency lies within 0.02 MHz (the single-precision
// constant) of the selected one, the difference taken exactly.
bool frequency_selected(float frequency, float selected);

// For a group that read_group filled and the frequency selection accepted:
// corrects the phases for range when `correct_phase` is set, fills the
// channel table and its print order, and returns the group's noise level.
// The group's messages (Doppler table, PRF, L, PZA, zenith) go to `messages`.
float decode_group(bool correct_phase, GroupRecord* group, ChannelTable* channels,
                   TextSink* messages);

// decode_group short of the noise level, for output that does not show it
// (the tables): the same record, channel table and messages.
void decode_group_channels(bool correct_phase, GroupRecord* group, ChannelTable* channels,
                           TextSink* messages);

}  // namespace digisonde16c

#endif  // DECODER_GROUP_DECODE_H_
