// The transforms: every form of each level against the scalar reference, on
// fixed blocks at the limits where sums saturate or wrap, a lone DC value of
// every magnitude, then random blocks of several distributions, at even and
// odd word offsets between guard words.
#include "src/dct/dct.h"

#include <algorithm>
#include <array>
#include <functional>
#include <iterator>

#include "tests/checkasm/blocks.h"
#include "tests/checkasm/checkasm.h"

namespace checkasm {
namespace {

// Blocks to time kernels on: a fresh copy of one for each call, since
// outputs fed back in would converge to easy, predictable blocks. Samples
// and most coefficients lie in [-256, 255].
std::vector<Block> benchPool(Rng& rng) {
  std::vector<Block> pool(256);
  for (auto& b : pool) b = randomBlock(1, rng);
  return pool;
}

// fn in place against ref, on the fixed blocks and DC values and then c.blocks random ones;
// stops at the first block that differs or that fn writes outside of.
void overBlocks(Context& c, const char* name, const std::function<void(short*)>& fn, BlockFn ref, bool timed = true) {
  std::vector<Block> fixed = fixedBlocks();
  // Every DC value; every 97th on short runs (emulators, valgrind).
  for (int d = -32768; d <= 32767; d += c.blocks < 1000000 ? 97 : 1) fixed.emplace_back()[0] = static_cast<short>(d);
  const long n = static_cast<long>(fixed.size());
  Rng rng(c.seed);
  constexpr short kGuard = 0x5A5A;
  for (long i = 0; i < n + c.blocks; i++) {
    const int dist = static_cast<int>(i % std::size(kDists));
    const Block in = i < n ? fixed[i] : randomBlock(dist, rng);
    alignas(32) short buf[64 + 17];
    std::fill(std::begin(buf), std::end(buf), kGuard);
    short* blk = buf + (i & 1 ? 9 : 8);
    std::copy(in.begin(), in.end(), blk);
    Block expect = in;
    ref(expect.data());
    fn(blk);
    clearState();
    const bool outside = std::count(buf, blk, kGuard) + std::count(blk + 64, std::end(buf), kGuard) != 17;
    if (outside || !std::equal(expect.begin(), expect.end(), blk)) {
      c.fail(std::string(name) + (outside ? " wrote outside the block" : " differs") + " on " +
             (i < n ? "fixed" : kDists[dist]) + " block " + std::to_string(i) + "\ninput:" + show(in.data()) +
             "expected:" + show(expect.data()) + "actual:" + show(blk));
      return;
    }
  }
  if (!c.bench || !timed) return;
  const std::vector<Block> pool = benchPool(rng);
  Block work;
  c.time(
      name, [&](long i) { work = pool[i & 255], fn(work.data()); },
      [&](long i) { work = pool[i & 255], ref(work.data()); });
}

void idct(Context& c, const Level& s, const Level& l) {
  for (auto [name, fn] : l.idct) overBlocks(c, name, fn, s.idct[0].fn);
}
void fdct(Context& c, const Level& s, const Level& l) {
  for (auto [name, fn] : l.fdct) overBlocks(c, name, fn, s.fdct[0].fn);
}
void fdctTo(Context& c, const Level& s, const Level& l) {
  if (!c.fresh(l.fdctTo, s.fdctTo)) return;
  overBlocks(
      c, "fdct_to",
      [&](short* b) {
        Block in;
        std::copy(b, b + 64, in.begin()), l.fdctTo(in.data(), b);
      },
      s.fdct[0].fn);
}
// The row-skipping form, given the mask of the block's non-zero rows.
void idctRows(Context& c, const Level& s, const Level& l) {
  if (!c.fresh(l.idctRows, s.idctRows)) return;
  overBlocks(
      c, "idct_rows",
      [&](short* b) {
        unsigned rows = 0;
        for (int i = 0; i < 64; i++) rows |= (b[i] != 0) << (i / 8);
        l.idctRows(b, rows);
      },
      s.idct[0].fn);
}
// Each lane of the two-block form beside a different block (the first
// reversed), which must come out as the reference makes it too.
void idctPair(Context& c, const Level& s, const Level& l) {
  if (!c.fresh(l.idctPair, s.idctPair)) return;
  for (int lane = 0; lane < 2; ++lane)
    overBlocks(
        c, lane ? "idct_pair_hi" : "idct_pair_lo",
        [&](short* b) {
          Block other, expect;
          std::reverse_copy(b, b + 64, other.begin());
          expect = other;
          s.idct[0].fn(expect.data());
          lane ? l.idctPair(other.data(), b) : l.idctPair(b, other.data());
          if (other != expect) std::fill(b, b + 64, short{0x5A5A});  // shows as a difference
        },
        s.idct[0].fn, false);
  Rng rng(c.seed);
  const std::vector<Block> pool = benchPool(rng);
  Block a, b;
  c.time(
      "idct_pair", [&](long i) { a = pool[i & 255], b = pool[(i + 1) & 255], l.idctPair(a.data(), b.data()); },
      [&](long i) { a = pool[i & 255], b = pool[(i + 1) & 255], s.idctPair(a.data(), b.data()); });
}

const Register r1("dct/idct", idct), r2("dct/fdct", fdct), r3("dct/fdct_to", fdctTo), r4("dct/idct_rows", idctRows),
    r5("dct/idct_pair", idctPair);

}  // namespace
}  // namespace checkasm
