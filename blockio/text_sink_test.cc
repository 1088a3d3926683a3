#include "blockio/text_sink.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include <gtest/gtest.h>

namespace digisonde16c {

namespace {

// After a failed write the sink keeps the first error and drops what comes
// later, also once its descriptor could take it.
TEST(TextSink, AFailedWriteKeepsTheFirstErrorAndDropsLaterText) {
  int full = ::open("/dev/full", O_WRONLY);
  ASSERT_GE(full, 0);
  int pipe_ends[2];
  ASSERT_EQ(::pipe2(pipe_ends, O_NONBLOCK), 0);
  char storage[16];
  TextSink sink = make_text_sink(full, storage, sizeof storage);
  append_sink(&sink, "lost", 4);
  EXPECT_EQ(flush_sink(&sink), ENOSPC);

  sink.fd = pipe_ends[1];
  append_sink(&sink, "dropped text, longer than the buffer", 36);
  EXPECT_EQ(flush_sink(&sink), ENOSPC);
  EXPECT_EQ(sink.length, 0u);
  char received[64];
  EXPECT_EQ(::read(pipe_ends[0], received, sizeof received), -1) << "the pipe got text";
  ::close(full);
  ::close(pipe_ends[0]);
  ::close(pipe_ends[1]);
}

}  // namespace

}  // namespace digisonde16c
