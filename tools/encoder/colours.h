// Internal to the encoder: the cache of the components of each colour met.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdlib>

#include "tools/encoder/encoder.h"

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
// Away from the ends of the channels (each within [kInnerLow, kInnerHigh],
// where the search looks no wider), adding the same amount to r, g and b adds
// it to c0 and leaves c1 and c2 as they were: the conversion is linear there
// for every candidate that can win (one whose output clamps misses by 16 or
// more in squared error, the best by at most 3), and the search starts from
// the differences and from the rounded mean.
// A test checks this for sampled colours; it held for all 15 million of
// them. Those colours share one entry per (r - b, g - b), holding c0 - b:
// 495 x 495 entries, under a megabyte, which stay in the caches.
//
// The other colours have an entry each in the whole colour cube. The cube
// and then the shared entries are allocated zeroed in one piece: the system
// gives it pages as the colours on them turn up, so the memory follows the
// colours the pictures use. The cube's order keeps blocks of 8 x 8 x 8 near
// colours together, 2 kB each (see ColourPlaces).
//
// The threads of a frame look up and fill at once: threads that find the
// same colour together store the same value. The vector lookups read the
// entries with a gather, not through atomic_ref: each lane is an aligned
// 4-byte load, which cannot tear, and one that still reads 0 only searches
// and stores the same value again.
class ColourCache {
 public:
  // 1 << 30 | each component + 512 in 10 bits, with 1 << 31 where c0 is
  // counted from b; 0 until found.
  using Entry = std::uint32_t;
  static constexpr std::size_t kCube = std::size_t{1} << 24;
  static constexpr int kLow = kInnerLow, kHigh = kInnerHigh, kSpan = 2 * (kHigh - kLow) + 1;
  static constexpr std::size_t kEntries = kCube + static_cast<std::size_t>(kSpan) * kSpan;
  // The place of a colour's entry: in the cube, or among the shared ones.
  static std::uint32_t placeOf(int r, int g, int b) {
    if (!shiftable(r, g, b)) return kColourPlaces.r[r] | kColourPlaces.g[g] | kColourPlaces.b[b];
    return static_cast<std::uint32_t>(kCube) +
           static_cast<std::uint32_t>((r - b + kHigh - kLow) * kSpan + (g - b + kHigh - kLow));
  }
  // The entry of the colour at px, which was 0, found and stored at entry.
  static Entry fill(Entry* entry, const std::uint8_t* px) {
    const Entry packed = search(px);
    std::atomic_ref<Entry>(*entry).store(packed, std::memory_order_relaxed);
    return packed;
  }
  // A vector form of the lookups (kernels.h): how many of count pixels it
  // did, a multiple of 8, with the same components as findRow.
  using RowFn = int (*)(const std::uint8_t* px, int count, Entry* table, short* c,
                        Entry (*fill)(Entry* entry, const std::uint8_t* px));

  // Without the memory for a table, its colours are searched each time.
  explicit ColourCache(RowFn vector = nullptr)
      : table_(static_cast<Entry*>(std::calloc(kEntries, sizeof(Entry)))), vector_(vector) {}
  ~ColourCache() { std::free(table_); }
  ColourCache(const ColourCache&) = delete;
  ColourCache& operator=(const ColourCache&) = delete;

  // The components of the count pixels at px (r, g, b each) into c, 3 each.
  // A lookup in the cube waits on memory, as pictures visit it all over: the
  // entries of the pixels kAhead on are asked for early, and kept until then.
  void findRow(const std::uint8_t* px, int count, short* c) {
    if (vector_ && table_) {
      const int done = vector_(px, count, table_, c, fill);
      px += 3 * done;
      c += 3 * done;
      count -= done;
    }
    constexpr int kAhead = 16;
    Entry* ahead[kAhead];
    for (int x = 0; x < kAhead && x < count; ++x) ahead[x] = request(px + 3 * x);
    for (int x = 0; x < count; ++x, px += 3, c += 3) {
      Entry* entry = ahead[x % kAhead];
      if (x + kAhead < count) ahead[x % kAhead] = request(px + 3 * kAhead);
      Entry packed = entry ? std::atomic_ref<Entry>(*entry).load(std::memory_order_relaxed) : 0;
      if (packed == 0) packed = entry ? fill(entry, px) : search(px);
      unpack(packed, px[2], c);
    }
  }

 private:
  static bool shiftable(int r, int g, int b) {
    auto within = [](int v) { return static_cast<unsigned>(v - kLow) <= static_cast<unsigned>(kHigh - kLow); };
    return within(r) & within(g) & within(b);
  }
  // The entry of px, whose memory is asked for; null without the table.
  Entry* request(const std::uint8_t* px) const {
    if (!table_) return nullptr;
    Entry* entry = &table_[placeOf(px[0], px[1], px[2])];
    __builtin_prefetch(entry);
    return entry;
  }
  static Entry search(const std::uint8_t* px) {
    auto found = rgbToComponents(px[0], px[1], px[2]);
    const bool shifted = shiftable(px[0], px[1], px[2]);
    if (shifted) found[0] -= px[2];
    return std::uint32_t{shifted} << 31 | 1u << 30 | std::uint32_t(found[0] + 512) << 20 |
           std::uint32_t(found[1] + 512) << 10 | std::uint32_t(found[2] + 512);
  }
  static void unpack(Entry packed, int b, short* c) {
    const int from = b & -static_cast<int>(packed >> 31);
    for (int k = 0; k < 3; ++k) c[k] = static_cast<short>(static_cast<int>(packed >> (20 - 10 * k) & 1023) - 512);
    c[0] = static_cast<short>(c[0] + from);
  }

  Entry* table_;
  RowFn vector_;
};

}  // namespace kelvo4
