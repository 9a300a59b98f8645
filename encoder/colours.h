// Internal to the encoder: the cache of the components of each colour met.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdlib>

#include "encoder.h"

namespace kelvo4 {

// Each channel's part of a colour's place in the encoder's colour cache:
// its high 5 bits pick a block of 8 x 8 x 8 colours, its low 3 the colour
// within it.
struct ColourPlaces {
  std::uint32_t r[256], g[256], b[256];
  constexpr ColourPlaces() : r{}, g{}, b{} {
    for (std::uint32_t v = 0; v < 256; ++v) {
      r[v] = (v >> 3) << 19 | (v & 7) << 6;
      g[v] = (v >> 3) << 14 | (v & 7) << 3;
      b[v] = (v >> 3) << 9 | (v & 7);
    }
  }
};
inline constexpr ColourPlaces kColourPlaces{};

// The nearest components of each colour, found once per encoder: the search
// is the costly part, and pictures repeat their colours. The cache is the
// whole colour cube, one word per colour, allocated zeroed in one piece: the
// system gives it pages as the colours on them turn up, so the memory
// follows the colours the pictures use. Its order keeps blocks of 8 x 8 x 8
// near colours together, 2 kB each (see ColourPlaces). The threads of a
// frame look up and fill at once: threads that find the same colour together
// store the same value.
class Encoder::Colours {
  // 1 << 30 | each component + 512 in 10 bits; 0 until found.
  using Entry = std::uint32_t;
  static constexpr std::size_t kColours = std::size_t{1} << 24;

 public:
  // Without the memory for the cube, every colour is searched each time.
  Colours() : cube_(static_cast<Entry*>(std::calloc(kColours, sizeof(Entry)))) {}
  ~Colours() { std::free(cube_); }
  Colours(const Colours&) = delete;
  Colours& operator=(const Colours&) = delete;

  // The components of the count pixels at px (r, g, b each) into c, 3 each.
  // A lookup waits on memory, as pictures visit the cube all over: the
  // entries of the pixels kAhead on are asked for early, and their places
  // kept until then.
  void findRow(const std::uint8_t* px, int count, short* c) {
    if (!cube_) {
      for (int x = 0; x < count; ++x, px += 3, c += 3) unpack(search(px), c);
      return;
    }
    constexpr int kAhead = 16;
    std::size_t ahead[kAhead];
    for (int x = 0; x < kAhead && x < count; ++x) ahead[x] = request(px + 3 * x);
    for (int x = 0; x < count; ++x, px += 3, c += 3) {
      Entry& entry = cube_[ahead[x % kAhead]];
      if (x + kAhead < count) ahead[x % kAhead] = request(px + 3 * kAhead);
      Entry packed = std::atomic_ref<Entry>(entry).load(std::memory_order_relaxed);
      if (packed == 0) {
        packed = search(px);
        std::atomic_ref<Entry>(entry).store(packed, std::memory_order_relaxed);
      }
      unpack(packed, c);
    }
  }

 private:
  static std::size_t place(const std::uint8_t* px) {
    return kColourPlaces.r[px[0]] | kColourPlaces.g[px[1]] | kColourPlaces.b[px[2]];
  }
  // The place of px's entry, whose memory is asked for.
  std::size_t request(const std::uint8_t* px) const {
    const std::size_t at = place(px);
    __builtin_prefetch(&cube_[at]);
    return at;
  }
  static Entry search(const std::uint8_t* px) {
    const auto found = rgbToComponents(px[0], px[1], px[2]);
    return 1u << 30 | std::uint32_t(found[0] + 512) << 20 | std::uint32_t(found[1] + 512) << 10 |
           std::uint32_t(found[2] + 512);
  }
  static void unpack(Entry packed, short* c) {
    for (int k = 0; k < 3; ++k) c[k] = static_cast<short>(static_cast<int>(packed >> (20 - 10 * k) & 1023) - 512);
  }

  Entry* cube_;
};

}  // namespace kelvo4
