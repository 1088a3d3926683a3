#include "python/module/recording_columns.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "decoder/group_record.h"
#include "decoder/preface.h"

namespace digisonde16c {

const ColumnSpec kColumns[kColumnCount] = {
    {"block", "int64", Shape::kGroup},
    {"time", "datetime64[ns]", Shape::kGroup},
    {"frequency", "float32", Shape::kGroup},
    {"gate_count", "int32", Shape::kGroup},
    {"noise_level", "float32", Shape::kGroup},
    {"amplitude", "float32", Shape::kSample},
    {"phase", "float32", Shape::kSample},
    {"gate_range", "float32", Shape::kGate},
    {"channel_frequency", "float32", Shape::kChannel},
    {"polarization", "float32", Shape::kChannel},
    {"doppler", "float32", Shape::kChannel},
    {"azimuth", "float32", Shape::kChannel},
    {"zenith", "float32", Shape::kChannel},
    {"channel_order", "int32", Shape::kPosition},
    {"preface", "uint8", Shape::kDigit},
    {"time_text", "S17", Shape::kGroup},
};

namespace {

// The value numpy reads as NaT in a datetime64 array.
constexpr int64_t kNotATime = std::numeric_limits<int64_t>::min();
constexpr int64_t kNanosecondsPerSecond = 1000000000;

template <typename T>
T* row_of(char* const* data, int id, ptrdiff_t row, ptrdiff_t row_items) {
  return reinterpret_cast<T*>(data[id]) + row * row_items;
}

// One channel's gates (or the gate ranges): the values it holds, NaN after.
void store_gates(const float* values, int filled, int gates, float* out) {
  std::copy(values, values + filled, out);
  std::fill(out + filled, out + gates, std::nanf(""));
}

}  // namespace

int64_t group_time_value(const GroupRecord& group) {
  int64_t seconds = 0;
  return group_time_seconds(group.preface, &seconds) ? seconds * kNanosecondsPerSecond
                                                     : kNotATime;
}

void store_group_row(const RecordingReader& reader, char* const* data, ptrdiff_t row,
                     int gates, std::string* messages) {
  const GroupRecord& group = reader.walk.group;
  const ChannelTable& table = reader.walk.channels;

  *row_of<int64_t>(data, kBlock, row, 1) = reader.walk.block_number;
  *row_of<int64_t>(data, kTime, row, 1) = group_time_value(group);
  *row_of<float>(data, kFrequency, row, 1) = group.frequency;
  *row_of<int32_t>(data, kGateCount, row, 1) = group.gate_count;
  *row_of<float>(data, kNoiseLevel, row, 1) = reader.walk.noise_level;

  const int sample_channels = sample_channel_count(group.gate_count);
  float* amplitude = row_of<float>(data, kAmplitude, row, kChannels * gates);
  float* phase = row_of<float>(data, kPhase, row, kChannels * gates);
  for (int c = 0; c < kChannels; ++c) {
    const int filled = c < sample_channels ? group.gate_count : 0;
    store_gates(group.amplitude[c], filled, gates, amplitude + c * gates);
    store_gates(group.phase[c], filled, gates, phase + c * gates);
  }
  store_gates(group.gate_range, group.gate_count, gates,
              row_of<float>(data, kGateRange, row, gates));

  const struct {
    int id;
    const float* values;
  } kChannelColumns[] = {
      {kChannelFrequency, table.channel_frequency}, {kPolarization, table.polarization},
      {kDoppler, table.doppler}, {kAzimuth, table.azimuth}, {kZenith, table.zenith},
  };
  for (const auto& column : kChannelColumns) {
    std::copy(column.values, column.values + kChannels,
              row_of<float>(data, column.id, row, kChannels));
  }
  std::copy(table.channel_order, table.channel_order + kChannels,
            row_of<int32_t>(data, kChannelOrder, row, kChannels));
  std::copy(group.preface, group.preface + kPrefaceDigits,
            row_of<uint8_t>(data, kPreface, row, kPrefaceDigits));
  std::copy(group.time_text, group.time_text + kTimeTextLength,
            row_of<char>(data, kTimeText, row, kTimeTextLength));

  size_t length = reader.messages.length;
  if (length > 0 && reader.messages.data[length - 1] == '\n') --length;
  messages->append(reader.messages.data, length);
}

}  // namespace digisonde16c
