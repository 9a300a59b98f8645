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
// is the costly part, and pictures repeat their colours.
//
// Away from the ends of the channels (each within [kLow, kHigh], where the
// search looks no wider), adding the same amount to r, g and b adds it to c0
// and leaves c1 and c2 as they were: the conversion is linear there for
// every candidate that can win (one whose output clamps misses by 16 or
// more in squared error, the best by at most 3), and the search starts from
// the differences and from the rounded mean.
// A test checks this for sampled colours; it held for all 15 million of
// them. Those colours share one entry per (r - b, g - b), holding c0 - b:
// 495 x 495 entries, under a megabyte, which stay in the caches.
//
// The other colours have an entry each in the whole colour cube, allocated
// zeroed in one piece: the system gives it pages as the colours on them
// turn up, so the memory follows the colours the pictures use. Its order
// keeps blocks of 8 x 8 x 8 near colours together, 2 kB each (see
// ColourPlaces).
//
// The threads of a frame look up and fill at once: threads that find the
// same colour together store the same value.
class Encoder::Colours {
  // 1 << 30 | each component + 512 in 10 bits, with 1 << 31 where c0 is
  // counted from b; 0 until found.
  using Entry = std::uint32_t;
  static constexpr std::size_t kColours = std::size_t{1} << 24;
  static constexpr int kLow = kInnerLow, kHigh = kInnerHigh, kSpan = 2 * (kHigh - kLow) + 1;

 public:
  // Without the memory for a table, its colours are searched each time.
  Colours()
      : shifted_(static_cast<Entry*>(std::calloc(static_cast<std::size_t>(kSpan) * kSpan, sizeof(Entry)))),
        cube_(static_cast<Entry*>(std::calloc(kColours, sizeof(Entry)))) {}
  ~Colours() {
    std::free(shifted_);
    std::free(cube_);
  }
  Colours(const Colours&) = delete;
  Colours& operator=(const Colours&) = delete;

  // The components of the count pixels at px (r, g, b each) into c, 3 each.
  // A lookup in the cube waits on memory, as pictures visit it all over: the
  // entries of the pixels kAhead on are asked for early, and kept until then.
  void findRow(const std::uint8_t* px, int count, short* c) {
    constexpr int kAhead = 16;
    Entry* ahead[kAhead];
    for (int x = 0; x < kAhead && x < count; ++x) ahead[x] = request(px + 3 * x);
    for (int x = 0; x < count; ++x, px += 3, c += 3) {
      Entry* entry = ahead[x % kAhead];
      if (x + kAhead < count) ahead[x % kAhead] = request(px + 3 * kAhead);
      Entry packed = entry ? std::atomic_ref<Entry>(*entry).load(std::memory_order_relaxed) : 0;
      if (packed == 0) {
        packed = search(px);
        if (entry) std::atomic_ref<Entry>(*entry).store(packed, std::memory_order_relaxed);
      }
      unpack(packed, px[2], c);
    }
  }

 private:
  static bool shiftable(const std::uint8_t* px) {
    auto within = [](int v) { return static_cast<unsigned>(v - kLow) <= static_cast<unsigned>(kHigh - kLow); };
    return within(px[0]) & within(px[1]) & within(px[2]);
  }
  // The entry of px, whose memory is asked for; null without its table.
  Entry* request(const std::uint8_t* px) const {
    Entry* entry;
    if (shiftable(px)) {
      const int r = px[0], g = px[1], b = px[2];
      entry = shifted_ ? &shifted_[(r - b + kHigh - kLow) * kSpan + (g - b + kHigh - kLow)] : nullptr;
    } else {
      entry = cube_ ? &cube_[kColourPlaces.r[px[0]] | kColourPlaces.g[px[1]] | kColourPlaces.b[px[2]]] : nullptr;
    }
    if (entry) __builtin_prefetch(entry);
    return entry;
  }
  static Entry search(const std::uint8_t* px) {
    auto found = rgbToComponents(px[0], px[1], px[2]);
    const bool shifted = shiftable(px);
    if (shifted) found[0] -= px[2];
    return std::uint32_t{shifted} << 31 | 1u << 30 | std::uint32_t(found[0] + 512) << 20 |
           std::uint32_t(found[1] + 512) << 10 | std::uint32_t(found[2] + 512);
  }
  static void unpack(Entry packed, int b, short* c) {
    const int from = b & -static_cast<int>(packed >> 31);
    for (int k = 0; k < 3; ++k) c[k] = static_cast<short>(static_cast<int>(packed >> (20 - 10 * k) & 1023) - 512);
    c[0] = static_cast<short>(c[0] + from);
  }

  Entry* shifted_;
  Entry* cube_;
};

}  // namespace kelvo4
