// The rows of a recording's dataset: what each array holds and how one
// decoded group is laid into them. Free of the Python headers, so that a
// fuzz target can check the rows without an interpreter.
#ifndef PYTHON_MODULE_RECORDING_COLUMNS_H_
#define PYTHON_MODULE_RECORDING_COLUMNS_H_

#include <cstddef>
#include <cstdint>
#include <string>

#include "decoder/recording_reader.h"

namespace digisonde16c {

// The gate dimension of a dataset: 128, or kMaxGates once a group has 256
// gates.
constexpr int kSmallGates = 128;

// The dimensions after `group` of each array.
enum class Shape { kGroup, kChannel, kSample, kGate, kPosition, kDigit };

struct ColumnSpec {
  const char* name;   // the dataset variable
  const char* dtype;  // numpy's name of the element type
  Shape shape;
};

enum ColumnId {
  kBlock, kTime, kFrequency, kGateCount, kNoiseLevel, kAmplitude, kPhase, kGateRange,
  kChannelFrequency, kPolarization, kDoppler, kAzimuth, kZenith, kChannelOrder,
  kPreface, kTimeText, kColumnCount
};

extern const ColumnSpec kColumns[kColumnCount];

// The group's time as the `time` column holds it: nanoseconds since 1970,
// or numpy's NaT when the preface holds no valid date and time.
int64_t group_time_value(const GroupRecord& group);

// Lays the reader's current group into row `row` of the arrays at `data`
// (by ColumnId, C order, `gates` gates), and appends its messages (the
// lines without the last line end) to `messages`. Entries that hold no
// sample (gates beyond the group's gate count, channels 9 to 16 of a
// 256-gate group) are NaN, and so are the ranges beyond its gates; the time
// is NaT when the preface holds no valid date and time. `gates` must be
// at least the group's gate count.
void store_group_row(const RecordingReader& reader, char* const* data, ptrdiff_t row,
                     int gates, std::string* messages);

}  // namespace digisonde16c

#endif  // PYTHON_MODULE_RECORDING_COLUMNS_H_
