// Allocation behaviour of the decoder, observed through a replaced global
// allocator: a failed frame allocation leaves a safe unsized state.
#include <gtest/gtest.h>

#include <cstdlib>
#include <new>
#include <vector>

#include "Kelvo4.h"

namespace {
int failAfter = -1;  // array allocations still allowed before failing; -1: never fail
}

void* operator new[](std::size_t size) {
  if (failAfter == 0) throw std::bad_alloc();
  if (failAfter > 0) --failAfter;
  if (void* p = std::malloc(size ? size : 1)) return p;
  throw std::bad_alloc();
}
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

namespace {

TEST(Allocation, FailedFrameAllocationLeavesUnsizedState) {
  for (int allowed : {0, 1}) {  // the first or the second buffer fails
    ASSERT_TRUE(reinitDLL(16, 16));
    failAfter = allowed;
    EXPECT_FALSE(reinitDLL(32, 32));
    failAfter = -1;
    EXPECT_EQ(width, 0);
    EXPECT_EQ(height, 0);
    EXPECT_EQ(width3, 0);
    EXPECT_EQ(oldfr, nullptr);
    EXPECT_EQ(oldoldfr, nullptr);

    // Nothing can reach the released buffers: only an empty payload is taken.
    std::vector<signed char> payload(384), output(768);
    decodeFrame(payload.data(), 384, output.data(), 768, true);
    decodeFrame(payload.data(), 0, output.data(), 0, true);
    EXPECT_EQ(oldfr, nullptr);

    // And the decoder can be sized again.
    ASSERT_TRUE(reinitDLL(16, 16));
    EXPECT_EQ(oldfr[1], 128);
  }
}

}  // namespace
