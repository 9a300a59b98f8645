// The decoder's stages: each level's against the scalar ones, on frames of
// every shape (sizes that leave partial blocks, bands and macroblocks),
// samples anywhere in 16 bits or only at the extremes, tables that wrap the
// products, and blocks dense, zero, lone DC, or sparse. A level's block
// decode is its prepareBlock and idct_rows, each checked on its own.
#include <algorithm>
#include <cstring>

#include "tests/checkasm/checkasm.h"

namespace checkasm {
namespace {

using namespace kelvo4;

// Rounds over the sizes, fewer where c.blocks is small.
long rounds(const Context& c) { return std::max(1L, c.blocks / 200000); }

// Samples anywhere, only the extremes and -8192 (four of which sum to
// -32768), or those of real frames.
void fillSamples(std::vector<short>& v, Rng& rng, int kind) {
  static constexpr short edges[] = {32767, -32768, -8192};
  for (short& s : v)
    s = kind == 0 ? anyShort(rng) : kind == 1 ? edges[draw(rng, 0, 2)] : static_cast<short>(draw(rng, -300, 300));
}

// A table of small factors, of large ones that wrap the products, or of
// any 16-bit values.
void fillTable(short* q, Rng& rng, int kind) {
  for (int i = 0; i < 64; ++i)
    q[i] = kind == 0   ? static_cast<short>(draw(rng, 1, 24))
           : kind == 1 ? static_cast<short>(draw(rng, -1000, 1000))
                       : anyShort(rng);
}

// A block of each shape: dense, zero, a lone DC value, a few coefficients
// in the first rows, a few anywhere.
void fillBlock(signed char* b, Rng& rng, int shape) {
  for (int k = 0; k < 64; ++k) {
    const bool keep = shape == 0   ? true
                      : shape == 1 ? false
                      : shape == 2 ? k == 0
                      : shape == 3 ? k < 10 && draw(rng, 0, 2) == 0
                                   : draw(rng, 0, 15) == 0;
    b[k] = keep ? static_cast<signed char>(draw(rng, -128, 127)) : 0;
  }
}

std::string where(int w, int h, long round) {
  return std::to_string(w) + "x" + std::to_string(h) + " round " + std::to_string(round);
}

void smoothRows(Context& c, const Level& s, const Level& l) {
  if (!c.fresh(l.smoothRows, s.smoothRows)) return;
  Rng rng(c.seed);
  alignas(32) short block[64];
  for (long round = 0; round < rounds(c); ++round)
    for (auto [w, h] : frameSizes(rng)) {
      const BandContext ctx{w, h, 3 * w, nullptr, block, {}};
      std::vector<short> src(3 * static_cast<std::size_t>(w) * h), out[2];
      fillSamples(src, rng, static_cast<int>(round % 3));
      for (int k = 0; k < 2; ++k) {
        out[k].assign(src.size() + 16, 7);
        for (int y0 = 0; y0 < h; y0 += 16)
          (k ? l.smoothRows : s.smoothRows)(ctx, src.data(), out[k].data(), y0, std::min(h, y0 + 16));
      }
      if (out[0] != out[1]) return c.fail("smoothRows differs on " + where(w, h, round));
    }
  std::vector<short> src(3 * 176 * 144), dst(src.size());
  fillSamples(src, rng, 2);
  const BandContext ctx{176, 144, 3 * 176, nullptr, block, {}};
  c.time(
      "smoothRows 176x144", [&](long) { l.smoothRows(ctx, src.data(), dst.data(), 0, 144); },
      [&](long) { s.smoothRows(ctx, src.data(), dst.data(), 0, 144); });
}

template <class T, class Fn>
void conversion(Context& c, const char* name, Fn fn, Fn ref) {
  if (!c.fresh(fn, ref)) return;
  Rng rng(c.seed);
  for (long trial = 0; trial < c.blocks / 100; ++trial) {
    const std::size_t pixels = trial < 100 ? trial : draw(rng, 0, 300);
    std::vector<short> frame(3 * pixels);
    fillSamples(frame, rng, static_cast<int>(trial % 3));
    std::vector<T> out[2];
    for (int k = 0; k < 2; ++k) out[k].assign(3 * pixels + 16, 7), (k ? fn : ref)(frame.data(), out[k].data(), pixels);
    if (out[0] != out[1])
      return c.fail(std::string(name) + " differs on " + std::to_string(pixels) + " pixels, trial " +
                    std::to_string(trial));
  }
  std::vector<short> frame(3 * 4096);
  fillSamples(frame, rng, 2);
  std::vector<T> out(frame.size());
  c.time(
      name, [&](long) { fn(frame.data(), out.data(), 4096); }, [&](long) { ref(frame.data(), out.data(), 4096); });
}
void convert(Context& c, const Level& s, const Level& l) {
  conversion<signed char>(c, "convert", l.convert, s.convert);
}
void convertArgb(Context& c, const Level& s, const Level& l) {
  conversion<std::uint32_t>(c, "convertArgb", l.convertArgb, s.convertArgb);
}

void addBand(Context& c, const Level& s, const Level& l) {
  if (!c.fresh(l.addBand, s.addBand)) return;
  Rng rng(c.seed);
  alignas(32) short block[64], quant[64];
  for (long round = 0; round < rounds(c); ++round)
    for (auto [w, h] : frameSizes(rng)) {
      fillTable(quant, rng, static_cast<int>(round % 3));
      std::vector<signed char> payload(static_cast<std::size_t>(blockCount(w, h)) * 64);
      for (std::size_t b = 0; b < payload.size(); b += 64) fillBlock(&payload[b], rng, draw(rng, 0, 4));
      std::vector<short> frame(3 * static_cast<std::size_t>(w) * h), out[2];
      fillSamples(frame, rng, static_cast<int>(round % 3));
      BandContext ctx{w, h, 3 * w, quant, block, {}};
      for (int k = 0; k < 2; ++k) {
        out[k] = frame;
        for (int band = 0; band < bandCount(h); ++band)
          (k ? l.addBand : s.addBand)(ctx, payload.data(), out[k].data(), band);
      }
      if (out[0] != out[1]) return c.fail("addBand differs on " + where(w, h, round));
    }
  // A coded frame's payload: mostly zero coefficients, the rest small.
  std::vector<signed char> payload(static_cast<std::size_t>(blockCount(176, 144)) * 64);
  for (signed char& b : payload) b = static_cast<signed char>(draw(rng, 0, 15) < 10 ? 0 : draw(rng, -3, 2));
  std::vector<short> frame(3 * 176 * 144);
  fillTable(quant, rng, 0);
  BandContext ctx{176, 144, 3 * 176, quant, block, {}};
  const auto all = [&](AddBandFn fn) {
    for (int band = 0; band < 9; ++band) fn(ctx, payload.data(), frame.data(), band);
  };
  c.time(
      "addBand 176x144", [&](long) { all(l.addBand); }, [&](long) { all(s.addBand); });
}

// A table and block for trial t: lone coefficients at every position first
// (1, then -128), then every shape.
void blockFor(long t, Rng& rng, short* quant, signed char* block) {
  fillTable(quant, rng, static_cast<int>(t % 3));
  if (t % 4 == 3) std::fill(quant, quant + 64, short{-32768});  // even coefficients vanish
  if (t < 128) {
    std::fill(block, block + 64, static_cast<signed char>(0));
    block[t % 64] = static_cast<signed char>(t < 64 ? 1 : -128);
  } else {
    fillBlock(block, rng, static_cast<int>(t % 5));
  }
}

// what(quant, block, out) runs both forms on a table and block into out[0]
// and out[1], and says what differs; the first difference is reported.
template <class F>
void overCodedBlocks(Context& c, const char* name, F what) {
  Rng rng(c.seed);
  alignas(32) short quant[64], out[2][64];
  signed char block[64];
  for (long t = 0; t < c.blocks / 20; ++t) {
    blockFor(t, rng, quant, block);
    if (const std::string failed = what(quant, block, out); !failed.empty())
      return c.fail(std::string(name) + failed + ", trial " + std::to_string(t) + "\ntable:" + show(quant) +
                    "block:" + show(block) + "expected:" + show(out[0]) + "actual:" + show(out[1]));
  }
}

// The same kind and block, and a mask of rows that covers each row left
// non-zero (an inverse transform may skip the others).
void prepare(Context& c, const Level& s, const Level& l) {
  if (!c.fresh(l.prepareBlock, s.prepareBlock)) return;
  overCodedBlocks(c, "prepareBlock", [&](const short* quant, const signed char* block, short(*out)[64]) {
    unsigned rows[2] = {0, 0};
    const BlockKind want = s.prepareBlock(quant, block, out[0], rows[0]),
                    got = l.prepareBlock(quant, block, out[1], rows[1]);
    bool covered = true;
    for (int r = 0; got == BlockKind::Coefficients && r < 8; ++r)
      covered &= !std::any_of(out[1] + 8 * r, out[1] + 8 * r + 8, [](short v) { return v != 0; }) || (rows[1] >> r & 1);
    return std::string(want != got                                ? " gives another kind"
                       : !std::equal(out[0], out[0] + 64, out[1]) ? " differs"
                       : !covered                                 ? " leaves a non-zero row out of its mask"
                                                                  : "");
  });
}

const Register r1("stages/smoothRows", smoothRows), r2("stages/convert", convert),
    r3("stages/convertArgb", convertArgb), r4("stages/addBand", addBand),
    r5("stages/prepareBlock", prepare);

}  // namespace
}  // namespace checkasm
