// Regression tests for inputs the fuzzer found.
#include <gtest/gtest.h>

#include <climits>

#include "Kelvo4.h"

namespace {

// A huge side beside a zero one is a supported size without samples: 3 * width
// wraps instead of overflowing, and the frame bands of a height near 2^31 are
// neither overflowed nor walked one by one.
TEST(FuzzFindings, HugeSideBesideZeroSide) {
  for (auto [w, h] : {std::pair{INT_MAX, 0}, {0, INT_MAX}, {715827883, 0}, {0, 715827883}}) {
    ASSERT_TRUE(reinitDLL(w, h)) << w << "x" << h;
    EXPECT_EQ(width3, static_cast<int>(3u * static_cast<unsigned>(w)));
    short* before = oldfr;
    signed char byte = 7;
    decodeFrame(nullptr, 0, &byte, 0, true);  // accepted: the buffers change roles
    EXPECT_EQ(oldoldfr, before);
    decodeFrame(&byte, 1, nullptr, 0, false);  // rejected
    EXPECT_EQ(oldoldfr, before);
    EXPECT_EQ(byte, 7);
  }
  ASSERT_TRUE(reinitDLL(16, 16));
}

}  // namespace
