// Internal to the encoder: the cache of the components of each colour met.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <new>

#include "encoder.h"

namespace kelvo4 {

// The nearest components of each colour, found once per encoder: the search
// is the costly part, and pictures repeat their colours. The colour cube is
// kept in blocks of 8 x 8 x 8 colours, each allocated when the first of its
// colours turns up, so the memory follows the colours the pictures use. The
// threads of a frame look up and fill at once: a block is published with a
// single exchange, and threads that find the same colour together store the
// same value.
class Encoder::Colours {
  using Entry = std::atomic<std::uint32_t>;  // 1 << 30 | each component + 512 in 10 bits; 0 until found
  static constexpr int kBlocks = 1 << 15, kBlockColours = 1 << 9;

 public:
  Colours() : blocks_(new std::atomic<Entry*>[kBlocks]()) {}
  ~Colours() {
    for (int i = 0; i < kBlocks; ++i) delete[] blocks_[i].load(std::memory_order_relaxed);
  }
  Colours(const Colours&) = delete;
  Colours& operator=(const Colours&) = delete;

  // Asks the memory for the entry of the pixel px, which find() will want
  // soon: pictures visit the cube all over, and a lookup waits on memory.
  void prefetch(const std::uint8_t* px) const {
    const unsigned r = px[0], g = px[1], b = px[2];
    const Entry* block = blocks_[(r >> 3) << 10 | (g >> 3) << 5 | b >> 3].load(std::memory_order_relaxed);
    if (block) __builtin_prefetch(&block[(r & 7) << 6 | (g & 7) << 3 | (b & 7)]);
  }

  // The components of the pixel px (r, g, b) into c.
  void find(const std::uint8_t* px, short* c) {
    const unsigned r = px[0], g = px[1], b = px[2];
    const unsigned index = (r >> 3) << 10 | (g >> 3) << 5 | b >> 3;
    Entry* block = blocks_[index].load(std::memory_order_acquire);
    if (block == nullptr) block = allocate(index);
    Entry* entry = block ? &block[(r & 7) << 6 | (g & 7) << 3 | (b & 7)] : nullptr;
    std::uint32_t packed = entry ? entry->load(std::memory_order_relaxed) : 0;
    if (packed == 0) {
      const auto found = rgbToComponents(px[0], px[1], px[2]);
      packed = 1u << 30 | std::uint32_t(found[0] + 512) << 20 | std::uint32_t(found[1] + 512) << 10 |
               std::uint32_t(found[2] + 512);
      if (entry) entry->store(packed, std::memory_order_relaxed);
    }
    for (int k = 0; k < 3; ++k) c[k] = static_cast<short>(static_cast<int>(packed >> (20 - 10 * k) & 1023) - 512);
  }

 private:
  // The block, zeroed, unless another thread was first; null when out of
  // memory, and then its colours are searched each time.
  Entry* allocate(unsigned index) {
    Entry* fresh = new (std::nothrow) Entry[kBlockColours]();
    if (fresh == nullptr) return nullptr;
    Entry* first = nullptr;
    if (blocks_[index].compare_exchange_strong(first, fresh, std::memory_order_acq_rel, std::memory_order_acquire))
      return fresh;
    delete[] fresh;
    return first;
  }

  std::unique_ptr<std::atomic<Entry*>[]> blocks_;
};

}  // namespace kelvo4
