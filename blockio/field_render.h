// Field writers of the column formats: one value in a field of a given
// width, its exact digits first and then their place in the field, with
// asterisks when they do not fit.
#ifndef BLOCKIO_FIELD_RENDER_H_
#define BLOCKIO_FIELD_RENDER_H_

#include <cstdint>
#include <cstring>

#include "blockio/format_plan.h"

namespace digisonde16c {

// One value handed to a write.
enum class ItemKind : uint8_t {
  kByte,     // 1-byte signed integer (raw block bytes, digits)
  kInteger,  // 4-byte signed integer
  kReal,     // single-precision real
  kText,     // text of a fixed length (may be 0)
};

struct Item {
  ItemKind kind;
  int32_t integer;   // kByte (-128..127) and kInteger
  float real;        // kReal
  const char* text;  // kText
  int length;        // kText
};

// Item makers.
inline Item byte_item(int8_t value) {
  return Item{ItemKind::kByte, value, 0.0f, nullptr, 0};
}
inline Item integer_item(int32_t value) {
  return Item{ItemKind::kInteger, value, 0.0f, nullptr, 0};
}
inline Item real_item(float value) { return Item{ItemKind::kReal, 0, value, nullptr, 0}; }
inline Item text_item(const char* text, int length) {
  return Item{ItemKind::kText, 0, 0.0f, text, length};
}

// Field writers: each writes exactly `width` characters to `out`, asterisks
// when the value does not fit. A min_digits below 0 means m was not written.
// render_real rounds the exact value to `decimals` places, ties to even, and
// writes NaN, Inf or Infinity (signed when negative) when they fit.
void render_integer(int64_t value, int width, int min_digits, char* out);
void render_real(float value, int width, int decimals, char* out);
void render_hex(uint32_t value, int width, int min_digits, char* out);
void render_text(const char* text, int length, int width, char* out);

// The route of render_real for any value and field. render_real gives the
// text of fields of up to 4 decimals and magnitudes below 1e9 from integer
// arithmetic instead, and takes this route for the rest.
void render_real_general(float value, int width, int decimals, char* out);

// The Z field of the unsigned number held in `count` bytes, the byte at the
// highest address most significant: a zero value shows one digit "0".
// render_hex lays out its value through this.
void render_hex_bytes(const unsigned char* bytes, int count, int width,
                      int min_digits, char* out);

// Z2.2 of a byte, the dump line's field: always its two digits, upper case,
// from a table of "00" to "FF".
struct HexPairs {
  char pairs[512];
  constexpr HexPairs() : pairs() {
    for (int i = 0; i < 256; ++i) {
      pairs[2 * i] = "0123456789ABCDEF"[i >> 4];
      pairs[2 * i + 1] = "0123456789ABCDEF"[i & 15];
    }
  }
};
inline constexpr HexPairs kHexPairs;

inline void render_hex_pair(uint8_t byte, char* out) {
  std::memcpy(out, kHexPairs.pairs + 2 * byte, 2);
}

// Applies data descriptor `d` to `item`: width characters. Items of another
// kind are converted where that is meaningful (F of an integer; I of a real,
// truncated toward zero; Z of any item's bytes) and give asterisks otherwise.
// A descriptor that takes no item writes nothing.
void render_item(const Descriptor& d, const Item& item, char* out);

}  // namespace digisonde16c

#endif  // BLOCKIO_FIELD_RENDER_H_
