#include "decoder/group_decode.h"

#include <gtest/gtest.h>

namespace digisonde16c {

namespace {

// The window is 0.02f = 0x1.47AE14p-6 (0.0199999995529651641845703125),
// compared with the exact difference of the two single-precision values.
TEST(FrequencySelected, TheEdgeOfTheWindowInSinglePrecision) {
  static const struct {
    const char* what;
    float frequency;
    float selected;
    bool accepted;
  } kCases[] = {
      {"exactly the window above", 0x1.47AE14p-6f, 0.0f, true},
      {"exactly the window below", 0.0f, 0x1.47AE14p-6f, true},
      {"one ulp inside", 0x1.47AE12p-6f, 0.0f, true},
      {"one ulp outside above", 0x1.47AE16p-6f, 0.0f, false},
      {"one ulp outside below", 0.0f, 0x1.47AE16p-6f, false},
      // The difference is the window plus 2^-30, half an ulp of the window:
      // rounded to single precision it would be the window itself.
      {"rounds onto the window, above", 0x1.47AE16p-6f, 0x1p-30f, false},
      {"rounds onto the window, below", 0x1p-30f, 0x1.47AE16p-6f, false},
      // The window plus 2^-32: still below the double 0.02.
      {"between 0.02f and 0.02", 0x1.47AE16p-6f, 0x1.Cp-30f, false},
      // Near 2.5 MHz differences are multiples of 2^-22; the window lies
      // between 83886 and 83887 of them.
      {"2.52 from 2.5", 2.52f, 2.5f, true},
      {"2.48 from 2.5", 2.48f, 2.5f, true},
      {"one ulp above 2.52 from 2.5", 0x1.428F5Ep+1f, 2.5f, false},
      {"one ulp below 2.48 from 2.5", 0x1.3D70A2p+1f, 2.5f, false},
  };
  for (const auto& row : kCases) {
    EXPECT_EQ(frequency_selected(row.frequency, row.selected), row.accepted) << row.what;
  }
}

}  // namespace

}  // namespace digisonde16c
