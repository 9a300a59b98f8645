// Fuzz target for the DCT kernels: the input is one block of 64 16-bit values
// (missing bytes read as zero), run through every inverse and every forward
// version this processor has, each compared word for word with the scalar
// reference, with guard words around the block and the output range checked.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>

#include "dct_variants.h"

namespace {

void check(const DctVersion& v, void (*ref)(short*), const short* input, bool odd, int lo, int hi) {
  if (!dctCpuHas(v.cpu) || v.fn == ref) return;
  constexpr short kGuard = 0x5A5A;
  alignas(32) short buf[64 + 17];
  std::fill(std::begin(buf), std::end(buf), kGuard);
  short* block = buf + (odd ? 9 : 8);
  std::copy(input, input + 64, block);
  short expected[64];
  std::copy(input, input + 64, expected);
  ref(expected);
  v.fn(block);
  dctClearMmxState();
  const char* what = nullptr;
  if (!std::equal(block, block + 64, expected)) what = "differs from the reference";
  if (std::any_of(block, block + 64, [&](short s) { return s < lo || s > hi; })) what = "output out of range";
  if (std::any_of(buf, block, [](short g) { return g != kGuard; }) ||
      std::any_of(block + 64, std::end(buf), [](short g) { return g != kGuard; }))
    what = "wrote outside the block";
  if (!what) return;
  std::fprintf(stderr, "%s %s\n", v.name, what);
  for (int i = 0; i < 64; ++i) std::fprintf(stderr, "%6d/%6d%s", block[i], expected[i], i % 8 == 7 ? "\n" : " ");
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  short input[64] = {};
  std::memcpy(input, data, std::min(size, sizeof input));
  // One more byte, if present, moves the block to an odd word offset.
  const bool odd = size > sizeof input && (data[sizeof input] & 1);
  for (const auto& v : kIdctVersions) check(v, Vrel_IDct16_C, input, odd, -512, 511);
  for (const auto& v : kFdctVersions) check(v, Vrel_Dct16_C, input, odd, -2048, 2047);
  return 0;
}
