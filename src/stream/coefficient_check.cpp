// The check of a coded frame, which both sides compute.
#include "src/stream/coefficients.h"

#include "src/stream/stream_format.h"

namespace kelvo4 {

namespace {

// The check of a coded frame's bytes after its head: eight bytes at a time
// (the last zero-filled) mixed by a multiply, a shift and an xor.
std::uint32_t checksum(const unsigned char* p, std::size_t n) {
  std::uint64_t h = 0x9E3779B97F4A7C15u ^ n;
  const auto mix = [&](std::uint64_t v) {
    h = (h ^ v) * 0xFF51AFD7ED558CCDu;
    h ^= h >> 32;
  };
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) mix(getU64(p + i));
  if (i < n) {
    unsigned char last[8] = {};
    std::memcpy(last, p + i, n - i);
    mix(getU64(last));
  }
  return static_cast<std::uint32_t>(h ^ h >> 29);
}

}  // namespace

std::uint32_t coefficients::frameCheck(const unsigned char* frame, std::size_t size) {
  return checksum(frame, 12) ^ checksum(frame + kHeadBytes, size - kHeadBytes);
}

}  // namespace kelvo4
