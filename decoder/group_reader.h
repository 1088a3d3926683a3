// Recognising data blocks that hold a group and reading them.
#ifndef DECODER_GROUP_READER_H_
#define DECODER_GROUP_READER_H_

#include <cstdint>

#include "blockio/text_sink.h"
#include "decoder/group_record.h"

namespace digisonde16c {

// The block kind (low four bits of byte 0) when the block passes the test
// of its kind, else 0. Only kinds 12 and 13 hold a group.
int block_kind(const uint8_t* block);

// The 57 preface digits carried in bit 0 of the amplitude codes of
// channels 1 and 2, four bytes to a digit, low bit first.
void extract_preface(const uint8_t* block, uint8_t* preface);

// How many gates of `channel` (1 to 16), from gate 1, have bit 0 of their
// amplitude codes carry the kind marker or preface digits instead of the
// amplitude: 128 for channel 1, 104 for channel 2, 0 for the others.
int preface_bit_gates(int channel);

// The scales of a group's amplitude codes (by its preface) and of phase
// codes (degrees).
CodeScale amplitude_code_scale(const uint8_t* preface);
CodeScale phase_code_scale();

// Clears the record (all but `preface`) and, when the block holds a group,
// fills it and returns 1; otherwise returns 0. Range gate messages go to
// `messages`. The same as read_group_header, then read_group_samples.
int read_group(const uint8_t* block, GroupRecord* group, TextSink* messages);

// The part of read_group that needs no sample: clears the time text,
// frequency and gate count and, when the block holds a group, fills the
// preface, time text, frequency, gate count and gate ranges and returns 1;
// otherwise returns 0. The samples are left as they were.
int read_group_header(const uint8_t* block, GroupRecord* group, TextSink* messages);

// The samples of the group whose header read_group_header read from the
// same block (none when it returned 0), every entry beyond them cleared.
void read_group_samples(const uint8_t* block, GroupRecord* group);

}  // namespace digisonde16c

#endif  // DECODER_GROUP_READER_H_
