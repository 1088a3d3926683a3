// Memory-only text sinks for tests: what procedures write to them can be
// read back as a string.
#ifndef TESTS_SUPPORT_TEXT_CAPTURE_H_
#define TESTS_SUPPORT_TEXT_CAPTURE_H_

#include <string>
#include <vector>

#include "blockio/column_format.h"
#include "blockio/text_sink.h"

namespace digisonde16c {

struct Capture {
  char buf[1 << 16];
  TextSink sink;
  Capture() : sink(make_text_sink(-1, buf, sizeof buf)) {}
  std::string text() const { return std::string(sink.data, sink.length); }
};

// Everything one write_formatted puts into a memory sink large enough never
// to flush.
inline std::string write_lines(const FormatPlan& plan, const std::vector<Item>& items) {
  static char storage[1 << 20];
  TextSink sink = make_text_sink(-1, storage, sizeof storage);
  write_formatted(&sink, plan, items.data(), static_cast<int>(items.size()));
  return std::string(sink.data, sink.length);
}

}  // namespace digisonde16c

#endif  // TESTS_SUPPORT_TEXT_CAPTURE_H_
