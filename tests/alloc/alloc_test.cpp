// Allocation behaviour of the decoder, observed through a replaced global
// operator new: a failed frame allocation leaves a safe unsized state,
// decoding frames allocates nothing at all, and a stream allocates for its
// picture size only once a frame of that size arrives. Only operator new and new[] are
// counted, not the C allocation functions.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "kelvo4/Kelvo4.h"
#include "kelvo4/stream.h"
#include "src/decoder/handle.h"
#include "src/decoder/stages.h"

namespace {
int failAfter = -1;      // array allocations still allowed before one fails; -1: never fail
bool failAny = false;    // count every allocation toward failAfter, not only arrays
std::atomic<bool> counting = false;
std::atomic<long> calls = 0;
std::atomic<std::size_t> allocated = 0;  // bytes, while counting

// The replaced forms of operator new take malloc, so that the deletes below
// free it. The plain API allocates only with plain new[].
void* allocate(std::size_t size, bool array) {
  if ((array || failAny) && failAfter >= 0 && failAfter-- == 0) return nullptr;
  if (counting) ++calls, allocated += size;
  return std::malloc(size ? size : 1);
}

void* orThrow(void* p) {
  if (p == nullptr) throw std::bad_alloc();
  return p;
}
}  // namespace

void* operator new(std::size_t size) { return orThrow(allocate(size, false)); }
void* operator new[](std::size_t size) { return orThrow(allocate(size, true)); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return allocate(size, false); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return allocate(size, true); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

namespace {

TEST(Allocation, FailedFrameAllocationLeavesUnsizedState) {
  for (int allowed : {0, 1}) {  // the first or the second buffer fails
    ASSERT_TRUE(reinitDLL(16, 16));
    failAfter = allowed;
    EXPECT_FALSE(reinitDLL(32, 32));
    failAfter = -1;
    EXPECT_EQ(std::tuple(width, height, width3, oldfr, oldoldfr), std::tuple(0, 0, 0, nullptr, nullptr));

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

TEST(Allocation, TwoFramesPerReinitAndNoneWhileDecoding) {
  std::mt19937 rng(11);
  std::vector<float> table(64);
  for (auto& f : table) f = static_cast<float>(1 + rng() % 40);
  for (auto [w, h] : {std::pair{352, 288}, {17, 33}, {64, 64}}) {
    const int n = w * h;
    std::vector<signed char> payload(n + n / 2), out(3 * n), wrong(n + n / 2 + 1);
    // Dense, sparse, lone DC values and zero blocks: every block path.
    for (std::size_t b = 0; b < payload.size(); ++b) {
      const unsigned shape = b / 64 % 4;
      const bool keep = shape == 0 || (shape == 1 && rng() % 8 == 0) || (shape == 2 && b % 64 == 0);
      payload[b] = keep ? static_cast<signed char>(rng()) : 0;
    }
    // The count sees the library's allocations: reinitDLL makes its two frames.
    calls = 0;
    counting = true;
    const bool sized = reinitDLL(w, h);
    counting = false;
    ASSERT_TRUE(sized);
    EXPECT_EQ(calls, 2);

    calls = 0;
    counting = true;
    for (int f = 0; f < 120; ++f) {
      kelvo4::useStages(kelvo4::kCpuLevels[(f) % std::size(kelvo4::kCpuLevels)].flags);  // each level in turn
      if (f % 7 == 0) setQuantizationTable(table.data(), 64);
      decodeFrame(payload.data(), static_cast<int>(payload.size()), out.data(), 3 * n, f % 3 != 0);
      decodeFrame(wrong.data(), static_cast<int>(wrong.size()), out.data(), 3 * n, true);
      decodeFrame(payload.data(), static_cast<int>(payload.size()), out.data(), 1, true);
    }
    counting = false;
    kelvo4::useStages(~0u);
    EXPECT_EQ(calls, 0) << w << "x" << h;
  }
}

// Every allocation of open, and each of reinit, may fail: the call reports
// -ENOMEM and leaks nothing (the sanitizers and memcheck check that), a
// failed reinit leaves 0 x 0, and decoding on workers allocates nothing.
TEST(Allocation, HandlesFailCleanlyAndDecodeWithoutAllocating) {
  kelvo4_decoder* d = nullptr;
  int rc;
  failAny = true;
  for (int allowed = 0; (failAfter = allowed, rc = kelvo4_decoder_open(&d, 64, 48, 3)) != 0; ++allowed) {
    ASSERT_EQ(std::tuple(rc, d), std::tuple(-ENOMEM, nullptr)) << "allocation " << allowed;
  }
  failAny = false;
  for (int allowed : {0, 1}) {  // either frame
    failAfter = allowed;
    EXPECT_EQ(kelvo4_decoder_reinit(d, 32, 32), -ENOMEM);
    EXPECT_EQ(std::tuple(kelvo4_decoder_width(d), kelvo4_decoder_height(d), kelvo4_decoder_frame(d)),
              std::tuple(0, 0, nullptr));
  }
  failAfter = -1;
  ASSERT_EQ(kelvo4_decoder_reinit(d, 64, 48), 0);
  std::vector<signed char> payload(64 * 48 * 3 / 2, 3), out(3 * 64 * 48);
  std::vector<std::uint32_t> argb(64 * 48);
  calls = 0;
  counting = true;
  for (int f = 0; f < 50; ++f) {
    kelvo4::useStages(d, kelvo4::kCpuLevels[(f) % std::size(kelvo4::kCpuLevels)].flags);
    kelvo4_decoder_decode(d, payload.data(), static_cast<int>(payload.size()), out.data(), 3 * 64 * 48, f % 2);
    kelvo4_decoder_decode_argb(d, payload.data(), static_cast<int>(payload.size()), argb.data(), 4 * 64 * 48);
  }
  counting = false;
  EXPECT_EQ(calls, 0);
  kelvo4_decoder_close(&d);
}

// A header that claims 8192x8192 and one coded frame of 100 bytes that fails
// its check: the stream costs what its 412 bytes do, not the 100 MB payload,
// coder and 800 MB decoder of a frame that never arrives.
TEST(Allocation, StreamsAllocateForFramesThatArrive) {
  // KLV4, version 3, the picture and coded size, no rate, one frame, no index;
  // a key frame with a table of ones (float 0x3F800000), coded, of 100 bytes;
  // every word little-endian.
  std::uint32_t words[78] = {0x34564C4B, 3, 8192, 8192, 8192, 8192, 0, 0, 1, 0, 0, 0, 11, 100};
  std::fill(words + 14, words + 78, 0x3F800000u);
  std::vector<unsigned char> bytes(412);
  for (int i = 0; i < 78 * 4; ++i) bytes[i] = static_cast<unsigned char>(words[i / 4] >> (8 * (i % 4)));
  for (int i = 0; i < 100; ++i) bytes[312 + i] = static_cast<unsigned char>(i);
  const std::string path = ::testing::TempDir() + "kelvo_claim.klv";
  std::FILE* file = std::fopen(path.c_str(), "wb");
  ASSERT_TRUE(file && std::fwrite(bytes.data(), 1, 412, file) == 412 && std::fclose(file) == 0);
  allocated = 0;
  counting = true;
  kelvo4_stream* s = nullptr;
  ASSERT_EQ(kelvo4_stream_open_file(&s, path.c_str(), 2), 0);
  EXPECT_EQ(kelvo4_stream_next(s, nullptr, 0, KELVO4_RGB24), -EBADMSG);
  counting = false;
  EXPECT_LT(allocated, std::size_t{10} << 20) << kelvo4_stream_error(s);
  kelvo4_stream_close(&s);
  std::remove(path.c_str());
}

}  // namespace
