// What kesp and brovik write for given recording bytes, and the diagnostic
// of a failed open, stated from their rules for the whole-program tests and
// the fuzz targets.
#ifndef TESTS_SUPPORT_PROGRAM_OUTPUT_H_
#define TESTS_SUPPORT_PROGRAM_OUTPUT_H_

#include <cstdio>
#include <string>

// A recording whose byte i is (i * 7 + i / 4096) mod 256, so that every block
// starts differently.
inline std::string patterned_bytes(size_t size) {
  std::string bytes(size, '\0');
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 7 + i / 4096) % 256);
  return bytes;
}

// kesp's lines for `bytes`: "Read-> " and the first 20 bytes of every block
// in upper-case hexadecimal, each after a blank; bytes past the end of the
// file show as 00.
inline std::string dump_lines(const std::string& bytes) {
  std::string lines;
  for (size_t at = 0; at < bytes.size(); at += 4096) {
    lines += "Read-> ";
    for (size_t i = at; i < at + 20; ++i) {
      char hex[4];
      std::snprintf(hex, sizeof hex, " %02X",
                    i < bytes.size() ? static_cast<unsigned char>(bytes[i]) : 0u);
      lines += hex;
    }
    lines += "\n";
  }
  return lines;
}

// brovik's copy of `bytes`: padded with zeros to whole blocks, byte 0 of
// every block with low bits 1100, bit 0 of byte 1 cleared, of bytes 2 and 3 set.
inline std::string repaired(const std::string& bytes) {
  std::string copy = bytes + std::string((4096 - bytes.size() % 4096) % 4096, '\0');
  for (size_t at = 0; at < copy.size(); at += 4096) {
    copy[at] = static_cast<char>((copy[at] & 0xF0) | 0x0C);
    copy[at + 1] = static_cast<char>(copy[at + 1] & 0xFE);
    copy[at + 2] = static_cast<char>(copy[at + 2] | 0x01);
    copy[at + 3] = static_cast<char>(copy[at + 3] | 0x01);
  }
  return copy;
}

// The three lines on standard error when unit `unit` cannot open `name`;
// `lately` names the transfer before the open.
inline std::string open_failure(const std::string& message, int unit, const std::string& name,
                                const char* lately = "writing direct unformatted") {
  return "open: " + message + "\napparent state: unit " + std::to_string(unit) + " named " +
         name + "\nlately " + lately + " external IO\n";
}

#endif  // TESTS_SUPPORT_PROGRAM_OUTPUT_H_
