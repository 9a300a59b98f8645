// One benchmark per kernel version, in ns per 8x8 block (including a 128-byte
// copy of the input); the summary gives each one's speed-up over the scalar
// reference.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "bench/bench_util.h"
#include "tests/dct_variants.h"

namespace {

using Block = std::array<int16_t, 64>;
using kelvo4::DctVersion;

// Blocks in [-256, 255], the range of real samples and most coefficients.
std::vector<Block> makePool() {
  std::vector<Block> pool(256);
  uint32_t s = 12345;
  for (auto& b : pool)
    for (auto& v : b) {
      s = s * 1664525u + 1013904223u;
      v = static_cast<int16_t>(static_cast<int>(s >> 23) - 256);
    }
  return pool;
}

// One timed step: a fresh copy of a pool block, transformed. Feeding outputs
// back in instead would converge to easy, branch-predictable blocks.
inline void step(void (*fn)(short*), const std::vector<Block>& pool, long i, Block& work) {
  work = pool[i & 255];
  fn(work.data());
  benchmark::ClobberMemory();
}

void benchVersion(benchmark::State& state, const DctVersion* v, const DctVersion* ref) {
  if (!kelvo4::cpuHas(v->cpu)) {
    state.SkipWithError("instruction set missing");
    return;
  }
  const std::vector<Block> pool = makePool();
  for (const Block& b : pool) {
    Block x = b, y = b;
    v->fn(x.data());
    kelvo4::dctClearMmxState();
    ref->fn(y.data());
    if (x != y) {
      state.SkipWithError("result differs from the scalar reference");
      return;
    }
  }
  long blocks = 0;
  Block work;
  for (auto _ : state) step(v->fn, pool, blocks++, work);
  kelvo4::dctClearMmxState();
  state.SetItemsProcessed(blocks);
}

#if KELVO4_X86
// The two-block inverse kernel as the decoder uses it: two fresh blocks per
// call, counted as two items.
void benchIdctPair(benchmark::State& state) {
  if (!kelvo4::cpuHas(kelvo4::kCpuAvx2)) {
    state.SkipWithError("instruction set missing");
    return;
  }
  const std::vector<Block> pool = makePool();
  long blocks = 0;
  Block a, b;
  for (auto _ : state) {
    a = pool[blocks++ & 255];
    b = pool[blocks++ & 255];
    kelvo4::idctPairAvx2(a.data(), b.data());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(blocks);
}
#endif

bool registerAll() {
#if KELVO4_X86
  benchmark::RegisterBenchmark("idct_avx2_pair", benchIdctPair);
  bench::ratioTo("idct_avx2_pair", kelvo4::kIdctVersions[0].name);
#endif
  using Table = std::span<const DctVersion>;
  for (Table table : {Table(kelvo4::kIdctVersions), Table(kelvo4::kFdctVersions)})
    for (const DctVersion& v : table) {
      // The single-block wrappers of the pair kernel exist for the checks;
      // idct_avx2_pair measures the kernel itself.
      if (std::string_view(v.name).starts_with("idct_avx2_pair_")) continue;
      benchmark::RegisterBenchmark(v.name, benchVersion, &v, &table[0]);
      if (&v != &table[0]) bench::ratioTo(v.name, table[0].name);
    }
  return true;
}

const bool registered = registerAll();

}  // namespace
