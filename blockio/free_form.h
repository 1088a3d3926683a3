// Free-form lines: the layout of every message and of blank separator lines.
#ifndef BLOCKIO_FREE_FORM_H_
#define BLOCKIO_FREE_FORM_H_

#include <cstdint>

#include "blockio/text_sink.h"

namespace digisonde16c {

// One item of a free-form write: a text of `length` characters (trailing
// blanks included) or a 4-byte integer.
struct FreeItem {
  bool is_text;
  const char* text;
  int length;
  int32_t value;
};

FreeItem free_text(const char* text);  // the whole NUL-terminated text
FreeItem free_text(const char* text, int length);
FreeItem free_integer(int32_t value);

// Writes the items as one line (or more, where an item would reach column
// 80) ending in a line end: a blank starts each line, texts follow one
// another, an integer is preceded by one blank.
void write_free_form(TextSink* sink, const FreeItem* items, int count);

// The common one-text line: one blank, the text, the line end.
void write_free_line(TextSink* sink, const char* text);

// The one-line report of a failed transfer after a successful open, e.g.
// " kesp-> ERROR: cannot read rec.16c: Input/output error"; the name is
// written without its trailing blanks.
void write_transfer_error(TextSink* sink, const char* program, const char* verb,
                          const char* name, int error);

}  // namespace digisonde16c

#endif  // BLOCKIO_FREE_FORM_H_
