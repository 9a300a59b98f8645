// Allocation behaviour of the decoder, observed through a replaced global
// allocator: every form of operator new and, outside the sanitizer build
// (whose runtime owns malloc), the C allocation functions are counted. A
// failed frame allocation leaves a safe unsized state, and decoding frames
// allocates nothing at all.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <random>
#include <vector>

#include "Kelvo4.h"
#include "stages.h"

#if defined(__GLIBC__) && !defined(__SANITIZE_ADDRESS__)
#define KELVO4_COUNT_MALLOC 1
#else
#define KELVO4_COUNT_MALLOC 0
#endif

namespace {
int failAfter = -1;  // array allocations still allowed before failing; -1: never fail
// Calls counted while `counting` is set (the tests are single-threaded).
bool counting = false;
long newCalls = 0, mallocCalls = 0;

void* allocate(std::size_t size) {
  if (counting) ++newCalls;
  if (void* p = std::malloc(size ? size : 1)) return p;
  throw std::bad_alloc();
}

void* allocateAligned(std::size_t size, std::align_val_t align) {
  if (counting) ++newCalls;
  const std::size_t a = static_cast<std::size_t>(align);
  if (void* p = std::aligned_alloc(a, (size + a - 1) / a * a)) return p;
  throw std::bad_alloc();
}
}  // namespace

void* operator new(std::size_t size) { return allocate(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  try {
    return allocate(size);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}
void* operator new(std::size_t size, std::align_val_t a) { return allocateAligned(size, a); }
void* operator new[](std::size_t size) {
  if (failAfter == 0) throw std::bad_alloc();
  if (failAfter > 0) --failAfter;
  return allocate(size);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  try {
    return allocate(size);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}
void* operator new[](std::size_t size, std::align_val_t a) { return allocateAligned(size, a); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }

#if KELVO4_COUNT_MALLOC
// glibc's own entry points under the public names: every malloc in the
// process, the library's included, passes through here.
extern "C" {
void* __libc_malloc(std::size_t);
void* __libc_calloc(std::size_t, std::size_t);
void* __libc_realloc(void*, std::size_t);
void* __libc_memalign(std::size_t, std::size_t);
void __libc_free(void*);

void* malloc(std::size_t size) {
  if (counting) ++mallocCalls;
  return __libc_malloc(size);
}
void* calloc(std::size_t n, std::size_t size) {
  if (counting) ++mallocCalls;
  return __libc_calloc(n, size);
}
void* realloc(void* p, std::size_t size) {
  if (counting) ++mallocCalls;
  return __libc_realloc(p, size);
}
void* aligned_alloc(std::size_t align, std::size_t size) {
  if (counting) ++mallocCalls;
  return __libc_memalign(align, size);
}
int posix_memalign(void** out, std::size_t align, std::size_t size) {
  if (counting) ++mallocCalls;
  void* p = __libc_memalign(align, size);
  if (!p) return ENOMEM;
  *out = p;
  return 0;
}
void free(void* p) { __libc_free(p); }
}
#endif

namespace {

// Counts the allocations made by the calls between construction and stop().
struct Counter {
  Counter() {
    newCalls = mallocCalls = 0;
    counting = true;
  }
  ~Counter() { counting = false; }
  void stop() { counting = false; }
};

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

// The counters see the library's allocations: reinitDLL makes exactly its two
// frame arrays.
TEST(Allocation, ReinitAllocatesTheTwoFrames) {
  Counter counter;
  const bool sized = reinitDLL(64, 48);
  counter.stop();
  ASSERT_TRUE(sized);
  EXPECT_EQ(newCalls, 2);
  if (KELVO4_COUNT_MALLOC) {
    EXPECT_EQ(mallocCalls, 2);
  }
}

TEST(Allocation, NoneWhileDecodingFrames) {
  std::mt19937 rng(11);
  std::vector<float> tables[2] = {std::vector<float>(64), std::vector<float>(64)};
  for (auto& t : tables)
    for (auto& f : t) f = static_cast<float>(1 + rng() % 40);
  const float shortTable[63] = {};
  for (auto [w, h] : {std::pair{352, 288}, {17, 33}, {64, 64}}) {
    const int n = w * h;
    std::vector<signed char> payloads[4], out(3 * n), wrong(n + n / 2 + 1);
    for (int i = 0; i < 4; ++i) {
      payloads[i].resize(n + n / 2);
      // Dense, sparse, lone DC values and zero blocks: every block path.
      for (std::size_t b = 0; b < payloads[i].size(); ++b)
        payloads[i][b] = i == 0 ? static_cast<signed char>(rng())
                         : i == 1 ? (rng() % 8 ? 0 : static_cast<signed char>(rng() % 21) - 10)
                         : i == 2 ? (b % 64 ? 0 : static_cast<signed char>(rng()))
                                  : 0;
    }
    ASSERT_TRUE(reinitDLL(w, h));
    Counter counter;
    for (int f = 0; f < 120; ++f) {
      kelvo4::useStages(static_cast<kelvo4::StageLevel>(f % 4));  // each set of stages in turn
      if (f % 7 == 0) setQuantizationTable(tables[f % 2].data(), 64);
      if (f % 11 == 0) setQuantizationTable(shortTable, 63);
      const auto& p = payloads[f % 4];
      decodeFrame(p.data(), static_cast<int>(p.size()), out.data(), static_cast<int>(out.size()), f % 3 != 0);
      decodeFrame(wrong.data(), static_cast<int>(wrong.size()), out.data(), static_cast<int>(out.size()), true);
      decodeFrame(p.data(), static_cast<int>(p.size()), out.data(), 1, true);
    }
    counter.stop();
    kelvo4::forceScalarStages(false);
    EXPECT_EQ(newCalls, 0) << w << "x" << h;
    EXPECT_EQ(mallocCalls, 0) << w << "x" << h;
  }
}

}  // namespace
