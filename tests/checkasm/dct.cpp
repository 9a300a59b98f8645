// The transforms: every form of each level against the scalar reference, on
// fixed blocks at the limits where sums saturate or wrap, then on random
// blocks of several distributions, at even and odd word offsets between
// guard words.
#include <algorithm>
#include <array>
#include <functional>
#include <iterator>

#include "src/dct/dct.h"
#include "tests/checkasm/checkasm.h"

namespace checkasm {
namespace {

using Block = std::array<short, 64>;

// Six uniform ranges (all 16 bits, samples, coefficients, tiny values, the
// range where the inverse clamps, small values under a large DC), sparse,
// only extreme values, and magnitudes near 12646, above which row sums can
// wrap.
constexpr const char* kDists[] = {"full range", "[-256, 255]", "[-2048, 2047]", "[-5, 5]",   "[-300, 300]",
                                  "large DC",   "sparse",      "extremes",      "near 12646"};
constexpr int kRanges[6][2] = {{-32768, 32767}, {-256, 255}, {-2048, 2047}, {-5, 5}, {-300, 300}, {-64, 63}};

Block randomBlock(int dist, Rng& rng) {
  static constexpr int extremes[] = {-32768, -1, 0, 1, 32767};
  Block b;
  for (auto& v : b) {
    const bool near = dist == 8 && draw(rng, 0, 3);  // three times in four
    v = static_cast<short>(dist < 6          ? draw(rng, kRanges[dist][0], kRanges[dist][1])
                           : dist == 6       ? (draw(rng, 0, 15) ? 0 : draw(rng, -32768, 32767))
                           : dist == 7       ? extremes[draw(rng, 0, 4)]
                           : !near           ? draw(rng, -32768, 32767)
                           : draw(rng, 0, 1) ? draw(rng, 12000, 13500)
                                             : draw(rng, -13500, -12000));
  }
  if (dist == 5) b[0] = static_cast<short>(draw(rng, 0, 1) ? draw(rng, 24000, 32767) : draw(rng, -32768, -24000));
  return b;
}

// Constant blocks around the limits where the forward column sums saturate
// or wrap and around 12646, alternating extremes in both phases, and single
// values at each of the 64 positions.
std::vector<Block> fixedBlocks() {
  std::vector<Block> out;
  for (short v : {0, 255, 256, 1023, 1024, 2047, 2048, 4095, -256, -257, -1024, -1025, -2048, 32767, -32768, 12646,
                  12647, -12647})
    out.push_back(Block{}), out.back().fill(v);
  for (int flip = 0; flip < 2; flip++) {
    Block& b = out.emplace_back();
    for (int i = 0; i < 64; i++) b[i] = ((i + i / 8 + flip) & 1) ? -32768 : 32767;
  }
  for (short v : {-32768, -4096, -1, 1, 255, 4096, 12647, 32767})
    for (int i = 0; i < 64; i++) out.push_back(Block{}), out.back()[i] = v;
  return out;
}

// fn in place against ref, on the fixed blocks and then c.blocks random ones;
// stops at the first block that differs or that fn writes outside of.
void overBlocks(Context& c, const char* name, const std::function<void(short*)>& fn, BlockFn ref) {
  const std::vector<Block> fixed = fixedBlocks();
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
  if (!c.bench) return;
  std::vector<Block> pool(256);  // samples and most coefficients lie in [-256, 255]
  for (auto& b : pool) b = randomBlock(1, rng);
  Block work;
  c.time(name, [&](long i) { work = pool[i & 255], fn(work.data()); }, [&](long i) { work = pool[i & 255], ref(work.data()); });
}

void idct(Context& c, const Level& s, const Level& l) {
  for (auto [name, fn] : l.idct) overBlocks(c, name, fn, s.idct[0].fn);
}
void fdct(Context& c, const Level& s, const Level& l) {
  for (auto [name, fn] : l.fdct) overBlocks(c, name, fn, s.fdct[0].fn);
}
void fdctTo(Context& c, const Level& s, const Level& l) {
  if (!c.fresh(l.fdctTo, s.fdctTo)) return;
  overBlocks(c, "fdct_to", [&](short* b) { Block in; std::copy(b, b + 64, in.begin()), l.fdctTo(in.data(), b); },
             s.fdct[0].fn);
}
// The row-skipping form, given the mask of the block's non-zero rows.
void idctRows(Context& c, const Level& s, const Level& l) {
  if (!c.fresh(l.idctRows, s.idctRows)) return;
  overBlocks(c, "idct_rows", [&](short* b) {
    unsigned rows = 0;
    for (int i = 0; i < 64; i++) rows |= (b[i] != 0) << (i / 8);
    l.idctRows(b, rows);
  }, s.idct[0].fn);
}
// Each lane of the two-block form beside a different block (the first
// reversed), which must come out as the reference makes it too.
void idctPair(Context& c, const Level& s, const Level& l) {
  if (!c.fresh(l.idctPair, s.idctPair)) return;
  for (int lane = 0; lane < 2; ++lane)
    overBlocks(c, lane ? "idct_pair_hi" : "idct_pair_lo", [&](short* b) {
      Block other, expect;
      std::reverse_copy(b, b + 64, other.begin());
      expect = other;
      s.idct[0].fn(expect.data());
      lane ? l.idctPair(other.data(), b) : l.idctPair(b, other.data());
      if (other != expect) std::fill(b, b + 64, short{0x5A5A});  // shows as a difference
    }, s.idct[0].fn);
}

const Register r1("dct/idct", idct), r2("dct/fdct", fdct), r3("dct/fdct_to", fdctTo), r4("dct/idct_rows", idctRows),
    r5("dct/idct_pair", idctPair);

}  // namespace
}  // namespace checkasm
