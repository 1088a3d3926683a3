#include "tools/block_builder.h"

#include <cassert>
#include <cstring>

namespace digisonde16c {

void set_digit(BlockDraft* draft, int n, int value) {
  assert(n >= 1 && n <= 57 && value >= 0 && value <= 15);
  draft->preface[n - 1] = static_cast<uint8_t>(value);
}

void set_digits(BlockDraft* draft, int first, const char* digits) {
  for (int i = 0; digits[i] != '\0'; ++i) {
    char ch = digits[i];
    int value = (ch >= '0' && ch <= '9') ? ch - '0' : ch - 'A' + 10;
    set_digit(draft, first + i, value);
  }
}

void set_amplitude_code(BlockDraft* draft, int gate, int channel, uint8_t code) {
  assert(gate >= 1 && gate <= 128 && channel >= 1 && channel <= 16);
  draft->block[256 * (channel - 1) + (gate - 1)] = code;
}

void set_phase_code(BlockDraft* draft, int gate, int channel, uint8_t code) {
  assert(gate >= 1 && gate <= 128 && channel >= 1 && channel <= 16);
  draft->block[256 * (channel - 1) + 128 + (gate - 1)] = code;
}

void set_byte(BlockDraft* draft, int offset, uint8_t value) {
  assert(offset >= 0 && offset < kBuilderBlockSize);
  draft->block[offset] = value;
}

namespace {

// Writes the four bits of `value` into bit 0 of the bytes at offset..offset+3,
// lowest bit first.
void put_nibble(uint8_t* block, int offset, int value) {
  for (int bit = 0; bit < 4; ++bit) {
    block[offset + bit] = static_cast<uint8_t>((block[offset + bit] & 0xFE) |
                                               ((value >> bit) & 1));
  }
}

}  // namespace

void build_block(const BlockDraft& draft, uint8_t* block) {
  std::memcpy(block, draft.block, kBuilderBlockSize);
  block[0] = static_cast<uint8_t>((block[0] & 0xF0) | (draft.kind & 0x0F));
  put_nibble(block, 0, draft.kind & 0x0F);
  for (int k = 1; k <= 57; ++k) {
    int offset = k <= 31 ? 4 * k : 4 * k + 128;
    put_nibble(block, offset, draft.preface[k - 1]);
  }
}

std::string block_bytes(const BlockDraft& draft) {
  uint8_t block[kBuilderBlockSize];
  build_block(draft, block);
  return std::string(reinterpret_cast<const char*>(block), kBuilderBlockSize);
}

void set_default_preface(BlockDraft* draft) {
  std::memset(draft->preface, 0, sizeof draft->preface);
  set_digits(draft, 1, "01123045530");
  set_digits(draft, 20, "025000");
  set_digit(draft, 54, 0);
  set_digit(draft, 55, 1);
}

}  // namespace digisonde16c
