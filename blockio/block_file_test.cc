#include "blockio/block_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace digisonde16c {

namespace {

// A stream can only go on where it stopped: any block but the one after the
// last delivered fails, and the reader stays failed.
TEST(BlockReader, AStreamDeliversOnlyTheNextBlock) {
  static const struct {
    const char* what;
    std::vector<long long> requests;
    std::vector<int> delivered;  // the byte of the block, or -1: failed
  } kCases[] = {
      {"a block skipped", {1, 3, 2}, {1, -1, -1}},
      {"a block again", {1, 1}, {1, -1}},
      {"not the first", {2, 1}, {-1, -1}},
  };
  for (const auto& row : kCases) {
    SCOPED_TRACE(row.what);
    int ends[2];
    ASSERT_EQ(::pipe(ends), 0);
    // Three blocks of the bytes 1, 2 and 3 wait in the pipe.
    for (int b = 1; b <= 3; ++b) {
      std::string bytes(kBlockSize, static_cast<char>(b));
      ASSERT_EQ(::write(ends[1], bytes.data(), bytes.size()), kBlockSize);
    }
    ::close(ends[1]);
    std::vector<unsigned char> chunk(kChunkSize);
    BlockReader reader;
    std::string path = "/dev/fd/" + std::to_string(ends[0]);
    ASSERT_EQ(open_block_reader(path.c_str(), chunk.data(), &reader), 0);
    ASSERT_FALSE(reader.seekable);
    for (size_t i = 0; i < row.requests.size(); ++i) {
      unsigned char block[kBlockSize];
      bool ended = read_block(&reader, row.requests[i], block);
      int expected = row.delivered[i];
      if (expected < 0) {
        EXPECT_TRUE(ended) << "request " << i + 1;
        EXPECT_EQ(reader.read_error, ESPIPE) << "request " << i + 1;
      } else {
        ASSERT_FALSE(ended) << "request " << i + 1;
        EXPECT_EQ(block[0], expected) << "request " << i + 1;
        EXPECT_EQ(block[kBlockSize - 1], expected) << "request " << i + 1;
      }
    }
    close_block_reader(&reader);
    ::close(ends[0]);
  }
}

// Opens files of each mode, created in `dir`, as outputs, writes a block on
// each and closes it. Returns a line for every result but the expected.
std::string open_outputs(const std::string& dir) {
  static const struct {
    mode_t mode;
    int open_error;
    int close_error;
  } kCases[] = {
      {0644, 0, 0},        // read and write
      {0444, 0, EBADF},    // read only: the open works, the write fails
      {0222, 0, 0},        // write only
      {0000, EACCES, 0},   // neither
  };
  constexpr int kUnit = 20;
  std::string failures;
  for (const auto& c : kCases) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(c.mode));
    std::string path = dir + "/out" + mode;
    std::string what = std::string("mode ") + mode + ": ";
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT, 0600);
    if (fd < 0 || ::close(fd) != 0 || ::chmod(path.c_str(), c.mode) != 0) {
      return what + "cannot prepare the file\n";
    }
    int open_error = open_block_file(kUnit, path.c_str(), OpenStatus::kNone);
    if (open_error != c.open_error) {
      failures += what + "open gave " + std::strerror(open_error) + "\n";
    }
    if (open_error != 0) continue;
    unsigned char block[kBlockSize] = {};
    write4kb(kUnit, block);
    int close_error = close_block_file(kUnit, false);
    if (close_error != c.close_error) {
      failures += what + "close gave " + std::strerror(close_error) + "\n";
    }
  }
  return failures;
}

// An output is opened for reading and writing, else for reading only, else
// for writing only. File modes bind only an unprivileged user, so the cases
// run in a child process that gives up root first.
TEST(OpenBlockFile, AnOutputFallsBackToReadOnlyThenToWriteOnly) {
  char dir_template[] = "/tmp/block_file_test.XXXXXX";
  ASSERT_NE(::mkdtemp(dir_template), nullptr);
  const std::string dir = dir_template;
  ASSERT_EQ(::chmod(dir.c_str(), 0777), 0);
  int report[2];
  ASSERT_EQ(::pipe(report), 0);
  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::close(report[0]);
    std::string failures;
    if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) {
      failures = "cannot give up root\n";
    } else {
      failures = open_outputs(dir);
    }
    ssize_t put = ::write(report[1], failures.data(), failures.size());
    ::_exit(put == static_cast<ssize_t>(failures.size()) ? 0 : 1);
  }
  ::close(report[1]);
  std::string failures;
  char buffer[256];
  for (ssize_t got; (got = ::read(report[0], buffer, sizeof buffer)) > 0;) {
    failures.append(buffer, static_cast<size_t>(got));
  }
  ::close(report[0]);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(failures, "");
  std::filesystem::remove_all(dir);
}

}  // namespace

}  // namespace digisonde16c
