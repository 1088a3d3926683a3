#include "blockio/text_sink.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

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

// A sink that paces a pipe (its chunks sized by the room the pipe has)
// delivers everything, in order, to a reader slower than the writer: lines
// of many lengths, appended and composed in the sink, some longer than the
// smallest chunk.
TEST(TextSink, APacedPipeDeliversEverythingInOrderToASlowReader) {
  int pipe_ends[2];
  ASSERT_EQ(::pipe(pipe_ends), 0);
  std::string received;
  std::thread reader([&received, fd = pipe_ends[0]] {
    char piece[1000];
    for (ssize_t got; (got = ::read(fd, piece, sizeof piece)) != 0;) {
      if (got < 0 && errno == EINTR) continue;
      if (got < 0) return;
      received.append(piece, static_cast<size_t>(got));
      std::this_thread::sleep_for(std::chrono::microseconds(20));
    }
  });
  std::vector<char> storage(1 << 18);
  TextSink sink = make_text_sink(pipe_ends[1], storage.data(), storage.size());
  sink.pipe_size = -1;  // paced, as standard output is when it is a pipe
  std::string sent;
  for (int n = 0; sent.size() < (8u << 20); ++n) {
    std::string line = std::to_string(n) + std::string(static_cast<size_t>(n * 7919 % 3000), '.');
    line += n % 97 == 0 ? std::string(100000, 'x') + "\n" : "\n";
    if (line.size() <= sink.capacity && n % 2 == 0) {
      std::memcpy(reserve_sink(&sink, line.size()), line.data(), line.size());
      commit_sink(&sink, line.size());
    } else {
      append_sink(&sink, line.data(), line.size());
    }
    sent += line;
  }
  EXPECT_EQ(flush_sink(&sink), 0);
  EXPECT_GT(sink.pipe_size, 0) << "the pipe was not paced";
  ::close(pipe_ends[1]);
  reader.join();
  ::close(pipe_ends[0]);
  ASSERT_EQ(received.size(), sent.size());
  EXPECT_TRUE(received == sent) << "the bytes arrived out of order";
}

}  // namespace

}  // namespace digisonde16c
