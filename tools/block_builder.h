// Builds 4096-byte data blocks from their meaning, so that tests state
// recordings as preface digits and sample codes rather than opaque bytes.
#ifndef TOOLS_BLOCK_BUILDER_H_
#define TOOLS_BLOCK_BUILDER_H_

#include <cstdint>
#include <string>

namespace digisonde16c {

constexpr int kBuilderBlockSize = 4096;

// A block under construction: sample codes by (gate, channel) in the
// 128-gate layout, plus the preface digits and the kind written into bit 0
// of the amplitude codes of channels 1 and 2.
struct BlockDraft {
  int kind = 12;                // low four bits of byte 0 and the kind marker
  uint8_t preface[57] = {};     // digit N at preface[N - 1]
  uint8_t block[kBuilderBlockSize] = {};  // raw bytes; codes go here
};

// Sets digit n (1..57).
void set_digit(BlockDraft* draft, int n, int value);
// Sets consecutive digits from digit `first` to the characters of `digits`
// ("0".."9", "A".."F").
void set_digits(BlockDraft* draft, int first, const char* digits);
// Amplitude and phase codes of gate g (1..128), channel c (1..16); bit 0 of
// the amplitude codes that carry the preface is overwritten by build_block.
void set_amplitude_code(BlockDraft* draft, int gate, int channel, uint8_t code);
void set_phase_code(BlockDraft* draft, int gate, int channel, uint8_t code);
// The byte at a block offset, for layouts the setters do not cover.
void set_byte(BlockDraft* draft, int offset, uint8_t value);

// The finished block: the raw bytes with byte 0's low four bits set to the
// kind, and the kind marker and preface digits written into bit 0 of the
// carrying amplitude codes.
void build_block(const BlockDraft& draft, uint8_t* block);
std::string block_bytes(const BlockDraft& draft);

// A preface for a valid 128-gate group: time digits 1-11 "01123045530"
// (2001 123 04:55:30), frequency digits 20-25 "025000" (2.5 MHz, mode 0
// adds 0.0025), H = d54 = 0, E = d55 = 1, every other digit 0.
void set_default_preface(BlockDraft* draft);

}  // namespace digisonde16c

#endif  // TOOLS_BLOCK_BUILDER_H_
