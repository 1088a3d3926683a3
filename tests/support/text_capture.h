// A memory-only text sink for tests: what procedures write to it can be read
// back as a string.
#ifndef TESTS_SUPPORT_TEXT_CAPTURE_H_
#define TESTS_SUPPORT_TEXT_CAPTURE_H_

#include <string>

#include "blockio/text_sink.h"

struct Capture {
  char buf[1 << 16];
  TextSink sink;
  Capture() : sink(make_text_sink(-1, buf, sizeof buf)) {}
  std::string text() const { return std::string(sink.data, sink.length); }
};

#endif  // TESTS_SUPPORT_TEXT_CAPTURE_H_
