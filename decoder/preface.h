// The group's time, frequency and range gates from its preface digits.
#ifndef DECODER_PREFACE_H_
#define DECODER_PREFACE_H_

#include <cstdint>

#include "blockio/text_sink.h"

namespace digisonde16c {

// "YYYY DDD HH:MM:SS" (17 characters, no terminator); a digit above 9 in
// the day or clock shows as "*".
void group_time_text(const uint8_t* preface, char* time_text);

// The year of digits 1 and 2 (yy): 2000 + yy up to 81, else 1900 + yy.
int group_year(const uint8_t* preface);

// The group time as seconds since 1970-01-01 00:00:00 UTC. Returns false,
// leaving *seconds alone, when digits 1 to 11 are no date and time: a digit
// above 9, day of the year 0 or past the year's last day, hour over 23,
// minute or second over 59.
bool group_time_seconds(const uint8_t* preface, int64_t* seconds);

// Sounding frequency in MHz: digits 20 to 25 plus the offset of mode d56.
float group_frequency(const uint8_t* preface);

// Sets gate_count (128 or 256) and the first gate_count ranges from H = d54
// and E = d55. Invalid codes: the range gate message on `messages`,
// gate_count 0, gate_range untouched.
void range_gates(const uint8_t* preface, int* gate_count, float* gate_range,
                 TextSink* messages);

}  // namespace digisonde16c

#endif  // DECODER_PREFACE_H_
