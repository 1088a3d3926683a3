// Column-format writes: items laid out by a parsed format (format_plan.h)
// with the field writers (field_render.h), as lines into a text sink or as
// one text of fixed length. Writers of a hot line compile its layout once
// instead (line_layout.h).
#ifndef BLOCKIO_COLUMN_FORMAT_H_
#define BLOCKIO_COLUMN_FORMAT_H_

#include "blockio/field_render.h"
#include "blockio/format_plan.h"
#include "blockio/text_sink.h"

namespace digisonde16c {

// Writes the items with the plan: one line, or more where the items outlast
// the format, each ending in "\n". When the part of the format that would be
// repeated takes no item, the write ends after its line; the rest are unused.
void write_formatted(TextSink* sink, const FormatPlan& plan, const Item* items,
                     int count);

// Walks the plan into a text of `text_length` characters instead of a line;
// characters beyond those produced are blanks, characters beyond the text
// are dropped, and the walk stops where the first line would end.
void format_into_text(const FormatPlan& plan, const Item* items, int count,
                      char* text, int text_length);

}  // namespace digisonde16c

#endif  // BLOCKIO_COLUMN_FORMAT_H_
