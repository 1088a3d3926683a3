#include "blockio/free_form.h"

#include <cstring>
#include <string>

#include "blockio/block_file.h"

namespace digisonde16c {

namespace {

constexpr int kLineWidth = 80;

int decimal_digits(int32_t value, char* digits) {
  // Digits of |value|, most significant first; works for INT32_MIN too.
  uint32_t magnitude = value < 0 ? 0u - static_cast<uint32_t>(value)
                                 : static_cast<uint32_t>(value);
  char reversed[10];
  int count = 0;
  do {
    reversed[count++] = static_cast<char>('0' + magnitude % 10);
    magnitude /= 10;
  } while (magnitude != 0);
  for (int i = 0; i < count; ++i) digits[i] = reversed[count - 1 - i];
  return count;
}

}  // namespace

FreeItem free_text(const char* text) {
  return FreeItem{true, text, static_cast<int>(std::strlen(text)), 0};
}

FreeItem free_text(const char* text, int length) {
  return FreeItem{true, text, length, 0};
}

FreeItem free_integer(int32_t value) { return FreeItem{false, nullptr, 0, value}; }

void write_free_form(TextSink* sink, const FreeItem* items, int count) {
  long position = 0;  // characters on the current line
  for (int i = 0; i < count; ++i) {
    const FreeItem& item = items[i];
    if (item.is_text) {
      if (position > 0 && position + item.length >= kLineWidth) {
        append_sink(sink, "\n", 1);
        position = 0;
      }
      if (position == 0) {
        append_sink(sink, " ", 1);
        position = 1;
      }
      append_sink(sink, item.text, static_cast<size_t>(item.length));
      position += item.length;
    } else {
      char digits[10];
      int k = decimal_digits(item.value, digits);
      if (position > 0 && position + k >= kLineWidth) {
        append_sink(sink, "\n", 1);
        position = 0;
      }
      append_sink(sink, " ", 1);
      position += 1;
      if (item.value < 0) {
        append_sink(sink, "-", 1);
        position += 1;
      }
      append_sink(sink, digits, static_cast<size_t>(k));
      position += k;
    }
  }
  append_sink(sink, "\n", 1);
}

void write_free_line(TextSink* sink, const char* text) {
  FreeItem item = free_text(text);
  write_free_form(sink, &item, 1);
}

void write_transfer_error(TextSink* sink, const char* program, const char* verb,
                          const char* name, int error) {
  // One text item, so that a long name never splits the line.
  std::string text = program;
  text += "-> ERROR: cannot ";
  text += verb;
  text += " ";
  text.append(name, trimmed_length(name));
  text += ": ";
  text += std::strerror(error);
  FreeItem item = free_text(text.c_str(), static_cast<int>(text.size()));
  write_free_form(sink, &item, 1);
}

}  // namespace digisonde16c
