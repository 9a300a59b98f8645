// Checking DCT kernel versions against the scalar reference, shared by the
// tests and the fuzz target: the block sits between guard words at an even or
// odd word offset, and all 64 output words are compared exactly.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <span>
#include <string>

#include "dct_variants.h"

namespace dctcheck {

using Block = std::array<int16_t, 64>;

// A transform: its versions (the reference first), the reference and the
// range every output must lie in.
struct Kernel {
  std::span<const kelvo4::DctVersion> versions;
  void (*ref)(short*);
  int lo, hi;
};
inline constexpr Kernel kInverse{kelvo4::kIdctVersions, kelvo4::idctC, -512, 511};
inline constexpr Kernel kForward{kelvo4::kFdctVersions, kelvo4::fdctC, -2048, 2047};

inline std::string show(const Block& b) {
  std::string s;
  for (int i = 0; i < 64; i++) s += (i % 8 ? ", " : "  ") + std::to_string(b[i]) + (i % 8 == 7 ? "\n" : "");
  return s;
}

// Empty if version v of kernel k matches the reference on the block, keeps its
// output in range and writes nothing outside the block; otherwise what failed,
// with the input, expected and actual blocks.
inline std::string check(const kelvo4::DctVersion& v, const Kernel& k, const Block& in, bool odd) {
  constexpr int16_t kGuard = 0x5A5A;
  alignas(32) int16_t buf[64 + 17];
  std::fill(std::begin(buf), std::end(buf), kGuard);
  int16_t* blk = buf + (odd ? 9 : 8);
  std::copy(in.begin(), in.end(), blk);
  Block expect = in;
  k.ref(expect.data());
  v.fn(blk);
  kelvo4::dctClearMmxState();
  Block got;
  std::copy(blk, blk + 64, got.begin());
  std::string what;
  if (got != expect) what += " differs from the reference";
  if (std::any_of(got.begin(), got.end(), [&](int x) { return x < k.lo || x > k.hi; })) what += ", output out of range";
  if (std::count(buf, blk, kGuard) + std::count(blk + 64, std::end(buf), kGuard) != 17)
    what += ", wrote outside the block";
  if (what.empty()) return what;
  return v.name + what + "\ninput:\n" + show(in) + "expected:\n" + show(expect) + "actual:\n" + show(got);
}

}  // namespace dctcheck
