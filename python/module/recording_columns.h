// The rows of a recording's dataset: what each array holds and how one
// decoded group is laid into them. Kept apart from the Python headers
// (whose `digit` type clashes with the decoder's `digit`), so core.cc sees
// the reader only through these procedures.
#ifndef PYTHON_MODULE_RECORDING_COLUMNS_H_
#define PYTHON_MODULE_RECORDING_COLUMNS_H_

#include <cstddef>
#include <cstdint>
#include <string>

struct RecordingReader;

// The gate dimension of a dataset: 128, or 256 once a group has 256 gates.
constexpr int kSmallGates = 128;
constexpr int kLargeGates = 256;
constexpr int kColumnChannels = 16;
constexpr int kColumnDigits = 57;
constexpr int kColumnTimeText = 17;

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

// A reader on the heap (it is large), and its end.
RecordingReader* new_reader();
void delete_reader(RecordingReader* reader);

// open_recording, next_group and close_recording of the decoder, and what
// the caller needs to know of the reader.
int open_reader(const char* path, bool select_frequency, float frequency,
                bool correct_phase, RecordingReader* reader);
bool read_next_group(RecordingReader* reader);
void set_reader_blocks(RecordingReader* reader, long long first_block, long long last_block);
void close_reader(RecordingReader* reader);
int reader_read_error(const RecordingReader& reader);
long long reader_file_blocks(const RecordingReader& reader);
int reader_gate_count(const RecordingReader& reader);

// Lays the reader's current group into row `row` of the arrays at `data`
// (by ColumnId, C order, `gates` gates), and appends its messages (the
// lines without the last line end) to `messages`. Entries that hold no
// sample (gates beyond the group's gate count, channels 9 to 16 of a
// 256-gate group) are NaN, and so are the ranges beyond its gates; the time
// is NaT when the preface holds no valid date and time. `gates` must be
// at least the group's gate count.
void store_group_row(const RecordingReader& reader, char* const* data, ptrdiff_t row,
                     int gates, std::string* messages);

#endif  // PYTHON_MODULE_RECORDING_COLUMNS_H_
