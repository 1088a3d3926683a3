// The gnuplot scripts under examples/ render the shipped sample's plot rows
// into PNG pictures that are well formed and not blank. The pictures are
// checked by tests/support/png_colours.py, itself tested here on small
// images made by hand.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/run_program.h"

#ifndef SOURCE_DIR
#error "SOURCE_DIR must name the project's source directory"
#endif

namespace {

const std::string kSource = SOURCE_DIR;

uint32_t crc32(const std::string& bytes) {
  uint32_t crc = 0xFFFFFFFFu;
  for (unsigned char byte : bytes) {
    crc ^= byte;
    for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
  }
  return crc ^ 0xFFFFFFFFu;
}

std::string big_endian(uint32_t value) {
  std::string bytes;
  for (int shift = 24; shift >= 0; shift -= 8) bytes += static_cast<char>(value >> shift);
  return bytes;
}

std::string chunk(const std::string& kind, const std::string& body) {
  return big_endian(static_cast<uint32_t>(body.size())) + kind + body +
         big_endian(crc32(kind + body));
}

// A zlib stream holding `data` in one stored (uncompressed) deflate block.
std::string stored_zlib(const std::string& data) {
  uint32_t a = 1, b = 0;
  for (unsigned char byte : data) {
    a = (a + byte) % 65521;
    b = (b + a) % 65521;
  }
  std::string out = "\x78\x01";
  out += '\x01';  // final block, stored
  uint16_t length = static_cast<uint16_t>(data.size());
  out += static_cast<char>(length & 0xFF);
  out += static_cast<char>(length >> 8);
  out += static_cast<char>(~length & 0xFF);
  out += static_cast<char>((~length >> 8) & 0xFF);
  return out + data + big_endian((b << 16) | a);
}

// An 8-bit RGB image of width 3 and height 2 whose rows carry filter type
// `filter` (0, none, keeps the bytes as they are); `pixels` holds 6 colours
// as 0xRRGGBB.
std::string rgb_png(const std::vector<uint32_t>& pixels, char filter = 0) {
  std::string raw;
  for (int y = 0; y < 2; ++y) {
    raw += filter;
    for (int x = 0; x < 3; ++x) {
      uint32_t p = pixels[3 * y + x];
      raw += static_cast<char>(p >> 16);
      raw += static_cast<char>(p >> 8);
      raw += static_cast<char>(p);
    }
  }
  std::string header = big_endian(3) + big_endian(2) + std::string("\x08\x02\x00\x00\x00", 5);
  return std::string("\x89PNG\r\n\x1a\n", 8) + chunk("IHDR", header) +
         chunk("IDAT", stored_zlib(raw)) + chunk("IEND", "");
}

// Runs a tool the rendering needs; fails in CI, where .ci/run installs it,
// and skips elsewhere.
bool have_tool(const char* name) {
  if (run_shell(std::string("command -v ") + name + " >/dev/null").status == 0) return true;
  const char* ci = std::getenv("CI");
  if (ci != nullptr && std::string(ci) == "true") {
    ADD_FAILURE() << name << " is not installed; .ci/run installs it";
  }
  return false;
}

ProgramResult check_png(const std::string& path) {
  return run_shell("python3 '" + kSource + "/tests/support/png_colours.py' '" + path + "'");
}

TEST(PngCheck, countsColoursAndRejectsDamagedFiles) {
  if (!have_tool("python3")) GTEST_SKIP() << "python3 is not installed";
  const std::string blank = rgb_png(std::vector<uint32_t>(6, 0xFFFFFF));
  std::string bad_crc = blank;
  bad_crc[bad_crc.size() - 13] ^= 1;  // last byte of the IDAT CRC
  const std::string signature_and_header = blank.substr(0, 8 + 25);
  const std::string not_deflate =
      signature_and_header + chunk("IDAT", "\x78\x01garbage") + chunk("IEND", "");
  const std::string short_data = signature_and_header +
                                 chunk("IDAT", stored_zlib(std::string("\0\1\2", 3))) +
                                 chunk("IEND", "");
  const std::string no_idat = signature_and_header + chunk("IEND", "");
  static const struct {
    const char* name;
    std::string bytes;
    int status;
    const char* out;
    const char* fault;  // part of the message on standard error
  } kCases[] = {
      {"one colour", blank, 0, "3x2 1\n", ""},
      {"two colours", rgb_png({0, 0, 0, 0, 0, 0x102030}), 0, "3x2 2\n", ""},
      {"six colours", rgb_png({1, 2, 3, 4, 5, 6}), 0, "3x2 6\n", ""},
      {"damaged CRC", bad_crc, 1, "", "bad CRC in b'IDAT' chunk"},
      {"bad filter type", rgb_png({1, 2, 3, 4, 5, 6}, 7), 1, "", "bad filter type 7 in row 0"},
      {"data that do not inflate", not_deflate, 1, "", "image data does not inflate"},
      {"rows missing", short_data, 1, "", "image data holds 3 bytes, not 20"},
      {"no image data", no_idat, 1, "", "no IDAT chunk"},
      {"truncated", blank.substr(0, blank.size() - 2), 1, "", "truncated b'IEND' chunk"},
      {"no signature", "GIF89a" + blank.substr(6), 1, "", "no PNG signature"},
      {"empty", "", 1, "", "no PNG signature"},
  };
  TempDir dir;
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    ProgramResult result = check_png(dir.write("image.png", c.bytes));
    EXPECT_EQ(result.status, c.status);
    EXPECT_EQ(result.out, c.out);
    EXPECT_NE(result.err.find(c.fault), std::string::npos) << result.err;
    if (c.status == 0) {
      EXPECT_EQ(result.err, "");
    }
  }
}

TEST(GnuplotScripts, renderTheSamplePlotRowsIntoPictures) {
  bool have_gnuplot = have_tool("gnuplot");
  bool have_python = have_tool("python3");
  if (!have_gnuplot || !have_python) GTEST_SKIP() << "gnuplot or python3 is not installed";
  static const struct {
    const char* script;
    const char* tolvek_options;
  } kCases[] = {
      {"ionogram.gp", "-s"},
      {"doppler.gp", "-f 5 -s"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.script);
    TempDir dir;
    const std::string rows = dir.path() + "/rows", png = dir.path() + "/picture.png";
    ProgramResult decoded = run_shell(std::string("tolvek ") + c.tolvek_options + " '" +
                                      kSource + "/examples/sample.16c' > '" + rows + "'");
    ASSERT_EQ(decoded.status, 0) << decoded.err;
    ProgramResult drawn = run_shell("gnuplot -e \"datafile='" + rows + "'; outfile='" + png +
                                    "'\" '" + kSource + "/examples/" + c.script + "'");
    EXPECT_EQ(drawn.status, 0);
    EXPECT_EQ(drawn.err, "");
    ProgramResult checked = check_png(png);
    ASSERT_EQ(checked.status, 0) << checked.err;
    unsigned width = 0, height = 0, colours = 0;
    ASSERT_EQ(std::sscanf(checked.out.c_str(), "%ux%u %u", &width, &height, &colours), 3)
        << checked.out;
    EXPECT_EQ(width, 900u);
    EXPECT_EQ(height, 600u);
    EXPECT_GT(colours, 1u);
  }
}

}  // namespace
