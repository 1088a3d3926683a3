// Writes a decoded group in the output mode that the options choose.
#ifndef DECODER_OUTPUT_WRITER_H_
#define DECODER_OUTPUT_WRITER_H_

#include "blockio/text_sink.h"
#include "decoder/command_line.h"
#include "decoder/group_record.h"

// Plot rows if plot_rows; else threshold rows if threshold_detect; else the
// amplitude and phase table, the amplitude table or the phase table; else
// nothing.
void write_group(const RunOptions& options, const GroupRecord& group,
                 const ChannelTable& channels, float noise_level, TextSink* out);

#endif  // DECODER_OUTPUT_WRITER_H_
