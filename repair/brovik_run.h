// brovik's run: a copy of a recording in which every block reads as a data
// block of kind 12.
#ifndef REPAIR_BROVIK_RUN_H_
#define REPAIR_BROVIK_RUN_H_

#include "blockio/text_sink.h"

namespace digisonde16c {

// Units of the input and of the copy.
constexpr int kInputUnit = 10;
constexpr int kOutputUnit = 11;

// Sets the low four bits of byte 0 to 12 and bit 0 of bytes 1, 2, 3 to the
// matching kind marker (0, 1, 1); every other bit is kept.
void repair_block_header(unsigned char* block);

// Copies argv[1] to argv[2] block by block, repairing every header. The copy
// ends with the last block copied; on a read or write failure it keeps the
// blocks copied so far and the failure is reported on `err`. Returns the
// exit status.
int run_brovik(int argc, char** argv, TextSink* err);

}  // namespace digisonde16c

#endif  // REPAIR_BROVIK_RUN_H_
