// tolvek's run: the existence check, the open and the walk over the blocks.
#ifndef DECODER_DECODER_RUN_H_
#define DECODER_DECODER_RUN_H_

#include "blockio/text_sink.h"
#include "decoder/command_line.h"

// The unit on which the recording is opened.
constexpr int kRecordingUnit = 5;

// True when the group frequency lies within 0.02 MHz (the single-precision
// constant) of the selected one, the difference taken exactly.
bool frequency_selected(float frequency, float selected);

// Decodes the recording named in the options and writes every accepted
// group. Returns the exit status.
int run_decoder(const RunOptions& options, TextSink* out, TextSink* err);

#endif  // DECODER_DECODER_RUN_H_
