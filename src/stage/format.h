// Internal: the rules of the coded format that the decoder, the encoder and
// the JNI glue share, each written once.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace kelvo4 {

// The frame sizes a decoder takes: no negative side, and 3 * width * height
// below 2^31, so every size computation fits in 32 bits.
constexpr bool sizeSupported(int width, int height) {
  return width >= 0 && height >= 0 &&
         3ULL * static_cast<unsigned>(width) * static_cast<unsigned>(height) < (1ULL << 31);
}

// Bytes in the payload of a frame of a supported size: one coefficient for
// each luma sample and each sample of the two half-size chroma planes.
constexpr std::size_t payloadBytes(int width, int height) {
  const std::size_t n = static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
  return n + n / 2;
}

// Whether length is the payload length of a width x height frame.
constexpr bool isPayloadLength(long long length, int width, int height) {
  return length >= 0 && static_cast<std::size_t>(length) == payloadBytes(width, height);
}

// One chroma sample serves a 2x2 group of pixels: the value that fits four
// wanted values best is their mean, rounded half up (>> floors).
constexpr int groupMean(int a, int b, int c, int d) { return (a + b + c + d + 2) >> 2; }

// Natural position of each zigzag scan index.
inline constexpr unsigned char kZigzag[64] = {
    0,  1,  8,  16, 9,  2,  3,  10, 17, 24, 32, 25, 18, 11, 4,  5,  12, 19, 26, 33, 40, 48,
    41, 34, 27, 20, 13, 6,  7,  14, 21, 28, 35, 42, 49, 56, 57, 50, 43, 36, 29, 22, 15, 23,
    30, 37, 44, 51, 58, 59, 52, 45, 38, 31, 39, 46, 53, 60, 61, 54, 47, 55, 62, 63};

// Low 16 bits of v as a two's-complement sample.
constexpr short wrap16(int v) { return static_cast<short>(static_cast<std::uint16_t>(v)); }

// The output conversion of one pixel's components (c0, c1, c2, each within
// 16 bits) to its three bytes: each formula computed modulo 2^16, then
// clamped to 0..255. Reducing once at the end equals reducing every step, as
// all steps add and subtract; >> floors.
constexpr std::array<std::uint8_t, 3> convertPixel(int c0, int c1, int c2) {
  const short first = wrap16(c0 - c2 - (c2 >> 2));
  const short second = wrap16(c0 - c1 - (c1 >> 2));
  const short third = wrap16(3 * c0 - second - first);
  const auto clamp = [](short v) { return static_cast<std::uint8_t>(v <= 0 ? 0 : v >= 255 ? 255 : v); };
  return {clamp(first), clamp(second), clamp(third)};
}

// The non-zero bytes of a 64-byte block as the bits of a mask (bit k: byte
// k): a 0 or 1 per byte (which compilers work out sixteen bytes at a time),
// then eight of them at a time gathered into the top byte of a product in
// order (byte j's as bit 56 + j; no two of the partial products fall on the
// same bit, so nothing carries).
inline std::uint64_t nonzeroBytes(const signed char* block) {
  unsigned char nonzero[64];
  for (int k = 0; k < 64; ++k) nonzero[k] = block[k] != 0;
  std::uint64_t mask = 0;
  for (int k = 0; k < 64; k += 8) {
    std::uint64_t eight;
    std::memcpy(&eight, nonzero + k, 8);
    if constexpr (std::endian::native == std::endian::big) eight = __builtin_bswap64(eight);
    mask |= (eight * 0x0102040810204080u) >> 56 << k;
  }
  return mask;
}

// Non-zero bytes of a 64-byte block.
inline int nonzeroCount(const signed char* block) { return std::popcount(nonzeroBytes(block)); }

}  // namespace kelvo4
