// tolvek's run: the command line, the existence check, the open and the walk
// over the blocks.
#ifndef DECODER_DECODER_RUN_H_
#define DECODER_DECODER_RUN_H_

#include "blockio/block_file.h"
#include "blockio/text_sink.h"
#include "decoder/command_line.h"
#include "decoder/output_writer.h"
#include "decoder/recording_reader.h"

namespace digisonde16c {

// The unit on which the recording is opened.
constexpr int kRecordingUnit = 5;

// Everything the run keeps from one block to the next, allocated once per
// run: the walk (the block buffer, the group and channel table that every
// block overwrites) and the output writer's layouts, texts and scratch lines.
struct DecoderState {
  GroupWalk walk;
  OutputState output;
};

// The output mode the options choose: plot rows if plot_rows; else threshold
// rows if threshold_detect; else the amplitude and phase table, the
// amplitude table or the phase table; else nothing.
OutputMode output_mode(const RunOptions& options);

// Decodes the recording named in the options and writes every accepted
// group. Returns the exit status.
int run_decoder(const RunOptions& options, TextSink* out, TextSink* err);

// The whole program short of the final flush: reads the command line, then
// runs the decoder when it asks for a run. Returns the exit status.
int run_tolvek(int argc, char** argv, TextSink* out, TextSink* err);

}  // namespace digisonde16c

#endif  // DECODER_DECODER_RUN_H_
