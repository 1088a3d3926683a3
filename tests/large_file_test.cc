// Recordings beyond 4 GiB are read whole: block offsets are 64-bit.
// Run alone with: ctest -L large
#include <fcntl.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "tools/block_builder.h"
#include "tests/support/run_program.h"

using namespace digisonde16c;

namespace {

constexpr long long kBlocksBefore = (4LL << 30) / 4096 + 2;  // past 4 GiB

// A sparse file of kBlocksBefore zero blocks followed by `last`.
std::string sparse_recording(const TempDir& dir, const std::string& last) {
  std::string path = dir.path() + "/big.16c";
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  EXPECT_GE(fd, 0);
  EXPECT_EQ(pwrite(fd, last.data(), last.size(), kBlocksBefore * 4096),
            static_cast<ssize_t>(last.size()));
  close(fd);
  return path;
}

TEST(LargeFile, TheLastBlockBeyondFourGibibytesIsRead) {
  TempDir dir;
  BlockDraft draft;
  set_default_preface(&draft);
  set_digit(&draft, 45, 1);
  std::string last = block_bytes(draft);
  last[4] = '\x12';  // keeps bit 0 (a preface bit) clear as the builder set it
  std::string path = sparse_recording(dir, last);

  ProgramResult dump = run_shell("kesp '" + path + "' | awk 'END { print $0; print NR }'");
  char expected[128];
  std::snprintf(expected, sizeof expected, "Read->  %02X %02X %02X %02X %02X",
                static_cast<unsigned char>(last[0]), static_cast<unsigned char>(last[1]),
                static_cast<unsigned char>(last[2]), static_cast<unsigned char>(last[3]),
                static_cast<unsigned char>(last[4]));
  EXPECT_EQ(dump.out.substr(0, 22), expected);
  EXPECT_EQ(dump.out.substr(dump.out.find('\n') + 1),
            std::to_string(kBlocksBefore + 1) + "\n");

  // The decoder finds the one group at the end.
  ProgramResult decoded = run_shell("tolvek -a '" + path + "' | head -c 19");
  EXPECT_EQ(decoded.out, "# 2001 123 04:55:30");
}

}  // namespace
