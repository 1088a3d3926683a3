#include "decoder/channels.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/support/text_capture.h"
#include "tools/block_builder.h"

namespace digisonde16c {

namespace {

std::string repeated(const std::string& line, int times) {
  std::string out;
  for (int i = 0; i < times; ++i) out += line;
  return out;
}

// A preface that decodes without messages: L = 1, PRF code 2 (100 Hz),
// d46 = d47 = 0 (every PZA byte 0x20).
BlockDraft quiet_preface() {
  BlockDraft draft;
  set_default_preface(&draft);
  set_digit(&draft, 45, 1);
  set_digit(&draft, 49, 2);
  return draft;
}

// decode_channels on the preface of `draft`; returns the messages.
std::string decoded(const BlockDraft& draft, ChannelTable* table, int* line_count) {
  Capture messages;
  *table = {};
  *line_count = -1;
  decode_channels(draft.preface, table, line_count, &messages.sink);
  return messages.text();
}

// The Doppler line of channel c when `share` channels share each line: lines
// +1, +2, ... for channels 1 to 8 and -1, -2, ... for channels 9 to 16.
int doppler_line(int c, int share) {
  return c <= 8 ? (c + share - 1) / share : -((c - 8 + share - 1) / share);
}

TEST(DecodeChannels, DopplerShifts) {
  static const struct {
    const char* what;
    int d44, d47, d48, d49, d50, d54;
    int line_count;
    float step;
    int share;  // channels on one Doppler line
    const char* message;
  } kCases[] = {
      {"16 lines", 0, 0, 3, 2, 0, 0, 16, 3.125f, 1, ""},
      {"16 lines doubled", 0, 4, 3, 2, 0, 0, 16, 6.25f, 1, ""},
      // N = 2 * 16 * 1 = 32, PRF 100.
      {"8 lines", 0, 1, 3, 2, 0, 0, 8, 1.5625f, 2, ""},
      // Row 2, N = 4 * 4 * 1 = 16, PRF 50.
      {"4 lines", 1, 1, 1, 0, 0, 0, 4, 1.5625f, 4, ""},
      // Row 4, N = 8 * 2 * 2 = 32, PRF 200.
      {"2 lines", 9, 0, 0, 3, 2, 8, 2, 3.125f, 8, ""},
      // Without lines the channels share them as with 8.
      {"no lines", 2, 3, 3, 2, 0, 0, 0, 1.0f, 2, ""},
      {"no lines doubled", 2, 7, 3, 2, 0, 0, 0, 2.0f, 2, ""},
      {"no lines in row 4", 12, 2, 3, 2, 0, 12, 0, 1.0f, 2, ""},
      // N = 1 * 65536 * 2, PRF 50: 50 / 262144.
      {"widest spacing", 0, 0, 15, 0, 2, 0, 16, 0.00019073486328125f, 1, ""},
      // d44 and the range gate code disagree: row 1 after the message.
      {"table error", 9, 0, 3, 2, 0, 3, 16, 3.125f, 1, " Doppler Table Error..\n"},
  };
  for (const auto& row : kCases) {
    SCOPED_TRACE(row.what);
    BlockDraft draft = quiet_preface();
    set_digit(&draft, 44, row.d44);
    set_digit(&draft, 47, row.d47);
    set_digit(&draft, 48, row.d48);
    set_digit(&draft, 49, row.d49);
    set_digit(&draft, 50, row.d50);
    set_digit(&draft, 54, row.d54);

    Capture messages;
    int line_count = -1;
    float step = -1.0f;
    decode_doppler_step(draft.preface, &line_count, &step, &messages.sink);
    EXPECT_EQ(line_count, row.line_count);
    EXPECT_EQ(step, row.step);
    EXPECT_EQ(messages.text(), row.message);

    // Some of these d47 values select PZA bytes that draw zenith messages;
    // only the Doppler column matters here.
    ChannelTable table;
    decoded(draft, &table, &line_count);
    EXPECT_EQ(line_count, row.line_count);
    for (int c = 1; c <= 16; ++c) {
      EXPECT_EQ(table.doppler[c - 1], doppler_line(c, row.share) * row.step) << "channel " << c;
    }
  }
}

TEST(DecodeChannels, MessagesInTheirOrder) {
  static const struct {
    const char* what;
    int d44, d45, d46, d47, d49, d54;
    std::string expected;
  } kCases[] = {
      {"Doppler table error", 9, 1, 0, 0, 2, 3, " Doppler Table Error..\n"},
      {"Doppler table error, long group", 5, 1, 0, 0, 2, 8, " Doppler Table Error..\n"},
      {"row 4 agrees", 9, 1, 0, 0, 2, 8, ""},
      {"row 2 for any range code", 3, 1, 0, 0, 2, 15, ""},
      {"table then PRF", 8, 1, 0, 0, 1, 0,
       " Doppler Table Error..\n Illegal PRF R=  1\n"},
      {"L 0", 0, 0, 0, 0, 2, 0,
       repeated(" Warning:  Value of L=  0 is unsupported.\n", 16)},
      {"L then zenith, per channel", 0, 15, 3, 0, 2, 0,
       repeated(" Warning:  Value of L=  15 is unsupported.\n"
                " Error in Zenith value of PZA byte...\n",
                16)},
      {"all kinds", 10, 0, 3, 0, 9, 4,
       " Doppler Table Error..\n Illegal PRF R=  9\n" +
           repeated(" Warning:  Value of L=  0 is unsupported.\n"
                    " Error in Zenith value of PZA byte...\n",
                    16)},
  };
  for (const auto& row : kCases) {
    SCOPED_TRACE(row.what);
    BlockDraft draft = quiet_preface();
    set_digit(&draft, 44, row.d44);
    set_digit(&draft, 45, row.d45);
    set_digit(&draft, 46, row.d46);
    set_digit(&draft, 47, row.d47);
    set_digit(&draft, 49, row.d49);
    set_digit(&draft, 54, row.d54);
    ChannelTable table;
    int line_count;
    EXPECT_EQ(decoded(draft, &table, &line_count), row.expected);
  }
}

TEST(DecodeChannels, PzaAttributes) {
  static const struct {
    const char* what;
    int d45, d46, d47;
    float polarization[16];
    float azimuth[16];
    float zenith[16];
    int zenith_messages;
  } kCases[] = {
      {"vertical 0x20", 1, 0, 0,
       {-90, -90, -90, -90, -90, -90, -90, -90, -90, -90, -90, -90, -90, -90, -90, -90},
       {}, {}, 0},
      {"vertical 0x20 rotated by 5", 5, 0, 0,
       {-90, -90, -90, -90, -90, -90, -90, -90, -90, -90, -90, -90, -90, -90, -90, -90},
       {}, {}, 0},
      {"0x41 rotated to 0x43", 3, 7, 0,
       {90, 90, 90, 90, 90, 90, 90, 90, 90, 90, 90, 90, 90, 90, 90, 90},
       {60, 60, 60, 60, 60, 60, 60, 60, 60, 60, 60, 60, 60, 60, 60, 60},
       {11, 11, 11, 11, 11, 11, 11, 11, 11, 11, 11, 11, 11, 11, 11, 11}, 0},
      {"0x51", 1, 3, 0,
       {90, 90, 90, 90, 90, 90, 90, 90, 90, 90, 90, 90, 90, 90, 90, 90},
       {}, {}, 16},
      // j = 6, m = 3: slots 0..7 hold 11 17 01 07 11 15 01 07, rotated by 1;
      // 4 lines, so channels 9..16 take slots 4..7, 0..3.
      {"mixed slots", 2, 3, 10,
       {-90, -90, -90, -90, -90, -90, -90, -90, -90, -90, -90, -90, -90, -90, -90, -90},
       {30, 210, 30, 210, 30, 150, 30, 210, 30, 150, 30, 210, 30, 210, 30, 210},
       {0, 0, 11, 11, 0, 0, 11, 11, 0, 0, 11, 11, 0, 0, 11, 11}, 8},
      // j = 3, m = 1: 11 13 15 17 19 1B 60 20; 2 lines.
      {"sectors", 1, 1, 3,
       {-90, -90, -90, -90, -90, -90, 90, -90, -90, -90, -90, -90, -90, -90, 90, -90},
       {0, 60, 120, 180, 240, 300, 0, 0, 0, 60, 120, 180, 240, 300, 0, 0},
       {}, 12},
  };
  for (const auto& row : kCases) {
    SCOPED_TRACE(row.what);
    BlockDraft draft = quiet_preface();
    set_digit(&draft, 45, row.d45);
    set_digit(&draft, 46, row.d46);
    set_digit(&draft, 47, row.d47);
    ChannelTable table;
    int line_count;
    EXPECT_EQ(decoded(draft, &table, &line_count),
              repeated(" Error in Zenith value of PZA byte...\n", row.zenith_messages));
    for (int c = 1; c <= 16; ++c) {
      EXPECT_EQ(table.polarization[c - 1], row.polarization[c - 1]) << "channel " << c;
      EXPECT_EQ(table.azimuth[c - 1], row.azimuth[c - 1]) << "channel " << c;
      EXPECT_EQ(table.zenith[c - 1], row.zenith[c - 1]) << "channel " << c;
    }
  }
}

TEST(DecodeChannels, ChannelFrequencyIsTheGroupFrequency) {
  BlockDraft draft = quiet_preface();
  set_digits(&draft, 20, "123456");
  ChannelTable table;
  int line_count;
  decoded(draft, &table, &line_count);
  for (int c = 0; c < 16; ++c) {
    EXPECT_EQ(table.channel_frequency[c], 12.3481f) << "channel " << c + 1;
  }
}

TEST(ChannelPzaByte, RotationByL) {
  static const struct {
    const char* what;
    int line_slot, d45, d46, d47;
    int expected;
    const char* message;
  } kCases[] = {
      {"0x41 by 3", 0, 3, 7, 0, 0x43, ""},
      {"0x41 by 1 stays", 4, 1, 7, 0, 0x41, ""},
      {"0x20 by 12", 2, 12, 0, 0, 0x2B, ""},
      {"0x1B by 12 wraps to 10", 5, 12, 1, 3, 0x1A, ""},
      {"slot 13 is slot 5", 13, 12, 1, 3, 0x1A, ""},
      {"0x11 by 12 reaches 12", 3, 12, 3, 11, 0x1C, ""},
      {"0x18 by 6 wraps to 1", 7, 6, 0, 11, 0x11, ""},
      {"0x18 by 6, m = 8 mod 8", 7, 6, 8, 11, 0x11, ""},
      {"0x60 by 12", 6, 12, 4, 0, 0x6B, ""},
      {"L 0 keeps 0x41", 0, 0, 7, 0, 0x41, " Warning:  Value of L=  0 is unsupported.\n"},
      {"L 13 keeps 0x41", 0, 13, 7, 0, 0x41, " Warning:  Value of L=  13 is unsupported.\n"},
      {"L 14 keeps 0x1B", 5, 14, 1, 3, 0x1B, " Warning:  Value of L=  14 is unsupported.\n"},
  };
  for (const auto& row : kCases) {
    SCOPED_TRACE(row.what);
    BlockDraft draft;
    set_digit(&draft, 45, row.d45);
    set_digit(&draft, 46, row.d46);
    set_digit(&draft, 47, row.d47);
    Capture messages;
    EXPECT_EQ(channel_pza_byte(draft.preface, row.line_slot, &messages.sink), row.expected);
    EXPECT_EQ(messages.text(), row.message);
  }
}

TEST(PzaByte, Attributes) {
  static const struct {
    int pza_byte;
    float polarization;
    float azimuth;
    float zenith;
    const char* message;
  } kCases[] = {
      {0x00, -90, 0, 11, ""},
      {0x01, -90, 0, 11, ""},
      {0x02, -90, 30, 11, ""},
      {0x0C, -90, 330, 11, ""},
      {0x4A, 90, 270, 11, ""},
      {0x0D, -90, 0, 11, " Error in PZA value  13\n"},
      {0x4F, 90, 0, 11, " Error in PZA value  79\n"},
      {0x10, -90, 0, 0, " Error in Zenith value of PZA byte...\n"},
      {0x5F, 90, 0, 0, " Error in PZA value  95\n Error in Zenith value of PZA byte...\n"},
      {0x20, -90, 0, 0, ""},
      {0x2D, -90, 0, 0, ""},
      {0x3F, -90, 0, 0, ""},
      {0x75, 90, 0, 0, ""},
      {0x80, -90, 0, 11, ""},
  };
  for (const auto& row : kCases) {
    SCOPED_TRACE(testing::Message() << "byte 0x" << std::hex << row.pza_byte);
    Capture messages;
    EXPECT_EQ(polarization_of(row.pza_byte), row.polarization);
    EXPECT_EQ(azimuth_of(row.pza_byte, &messages.sink), row.azimuth);
    EXPECT_EQ(zenith_of(row.pza_byte, &messages.sink), row.zenith);
    EXPECT_EQ(messages.text(), row.message);
  }
}

TEST(DecodePrf, ByCodeModuloFour) {
  static const struct {
    int r;
    float prf;
    const char* message;
  } kCases[] = {
      {0, 50.0f, ""},  {1, 100.0f, " Illegal PRF R=  1\n"},
      {2, 100.0f, ""}, {3, 200.0f, ""},
      {4, 50.0f, ""},  {5, 100.0f, " Illegal PRF R=  5\n"},
      {10, 100.0f, ""}, {11, 200.0f, ""},
      {12, 50.0f, ""}, {13, 100.0f, " Illegal PRF R=  13\n"},
      {15, 200.0f, ""},
  };
  for (const auto& row : kCases) {
    SCOPED_TRACE(row.r);
    Capture messages;
    EXPECT_EQ(decode_prf(row.r, &messages.sink), row.prf);
    EXPECT_EQ(messages.text(), row.message);
  }
}

TEST(ChannelTables, DopplerCountIsTwiceSixteenShiftedByRowAndColumn) {
  for (int row = 1; row <= 4; ++row) {
    for (int c = 0; c < 4; ++c) {
      EXPECT_EQ(DopplerCountTable[row - 1][c], 2 * (16 >> (row + c)))
          << "row " << row << " d47 mod 4 " << c;
    }
  }
}

TEST(ChannelTables, DopplerNumberOfEveryChannel) {
  // In column k, 2^(4-k) channels share each line; channels on one line
  // differ in PZA slot.
  for (int k = 1; k <= 4; ++k) {
    const int share = 1 << (4 - k);
    for (int c = 1; c <= 16; ++c) {
      const int a = LineSlotTable[c - 1][k - 1];
      ASSERT_GE(a, 0);
      ASSERT_LE(a, 15);
      const int expected = doppler_line(c, share);
      EXPECT_EQ(DopplerNumberTable[a][k - 1], expected) << "channel " << c << " k " << k;
      for (int other = 1; other < c; ++other) {
        const int b = LineSlotTable[other - 1][k - 1];
        if (DopplerNumberTable[b][k - 1] == expected) {
          EXPECT_NE(a % 8, b % 8) << "channels " << other << " and " << c << " k " << k;
        }
      }
    }
  }
}

TEST(ChannelTables, PzaRowsZeroAndFourAreTheSameForEverySlot) {
  for (int s = 0; s < 8; ++s) {
    for (int j = 0; j < 8; ++j) {
      for (int m = 0; m < 8; ++m) {
        if (j == 0 || j == 4) {
          EXPECT_EQ(PzaTable[s][j][m], PzaTable[0][j][m]) << "s " << s << " j " << j << " m " << m;
        }
        EXPECT_EQ(PzaTable[s][j][m] & 0x80, 0) << "s " << s << " j " << j << " m " << m;
      }
    }
  }
}

}  // namespace

}  // namespace digisonde16c
