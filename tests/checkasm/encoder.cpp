// The encoder's block helpers and level search: each level's set against the
// scalar one (the encoder's bytes must not depend on the processor or the CPU
// mask), on blocks small and wide with the 16-bit extremes, sparse blocks,
// rounding ties, and byte runs across the vector sum's 4096-byte steps.
#include <algorithm>
#include <cmath>

#include "src/stream/coefficients.h"
#include "tests/checkasm/checkasm.h"
#include "tools/encoder/colours.h"
#include "tools/encoder/levels.h"

namespace checkasm {
namespace {

using kelvo4::EncoderKernels;

// A sample of one of four ranges by trial; a fifth of the trials sparse.
short value(Rng& rng, long trial) {
  static constexpr int range[] = {8, 300, 4096, 65536};
  const int r = range[trial % 4];
  if (trial % 5 == 4 && draw(rng, 0, 7) != 0) return 0;
  return static_cast<short>(draw(rng, 0, 15) == 0 ? (draw(rng, 0, 1) ? 32767 : -32768) : draw(rng, 0, r - 1) - r / 2);
}

std::string trialOf(const char* name, long t) { return std::string(name) + " differs, trial " + std::to_string(t); }

void helpers(Context& c, const Level& s, const Level& l) {
  if (!l.encoder || !c.fresh(l.encoder->transform, s.encoder->transform)) return;
  const EncoderKernels &v = *l.encoder, &r = *s.encoder;
  Rng rng(c.seed);
  for (long t = 0; t < c.blocks / 4; ++t) {
    alignas(16) short a[64], b[64], quant[64], bytes[2][64], out[2][64], diff[2][64];
    signed char sparse[64];
    alignas(16) float reciprocal[64];
    for (int i = 0; i < 64; ++i) {
      a[i] = value(rng, t);
      b[i] = value(rng, t + 1);
      quant[i] = static_cast<short>(t % 3 ? draw(rng, 1, 8) : draw(rng, 1, 96));
      reciprocal[i] = 1.0f / quant[i];
      bytes[0][i] = bytes[1][i] = draw(rng, 0, 2) ? 0 : static_cast<short>(draw(rng, -128, 127));
      sparse[i] = static_cast<signed char>(draw(rng, 0, 3) ? 0 : draw(rng, -128, 127));
    }
    const auto same = [](const short* x, const short* y) { return std::equal(x, x + 64, y); };
    r.transform(a, out[0]), v.transform(a, out[1]);
    if (!same(out[0], out[1])) return c.fail(trialOf("transform", t) + "\ninput:" + show(a));
    r.reconstruct(bytes[0], quant, out[0]), v.reconstruct(bytes[1], quant, out[1]);
    if (!same(out[0], out[1]))
      return c.fail(trialOf("reconstruct", t) + "\nbytes:" + show(bytes[0]) + "table:" + show(quant));
    if (r.blockError(a, b, diff[0]) != v.blockError(a, b, diff[1]) || !same(diff[0], diff[1]))
      return c.fail(trialOf("blockError", t));
    // Trials that keep every non-zero byte, and ones that move some.
    for (int i = 0; i < 64; ++i) out[0][i] = out[1][i] = bytes[0][i] && t % 2 ? bytes[0][i] : b[i];
    if (r.keepZeros(bytes[0], out[0]) != v.keepZeros(bytes[1], out[1]) || !same(out[0], out[1]))
      return c.fail(trialOf("keepZeros", t));
    if (r.quantiseInto(a, reciprocal, bytes[0]) != v.quantiseInto(a, reciprocal, bytes[1]) || !same(bytes[0], bytes[1]))
      return c.fail(trialOf("quantiseInto", t));
    const int limit = t % 2 ? 126 + t % 3 : draw(rng, 0, 299);
    if (r.beyond(a, limit) != v.beyond(a, limit)) return c.fail(trialOf("beyond", t));
    if (r.nonzeroMask(sparse) != v.nonzeroMask(sparse)) return c.fail(trialOf("nonzeroMask", t));
  }
  std::vector<std::uint8_t> x(20000), y(x.size());
  for (std::size_t i = 0; i < x.size(); ++i) {
    x[i] = i < 10000 ? 255 : static_cast<std::uint8_t>(rng());
    y[i] = i < 10000 ? 0 : static_cast<std::uint8_t>(rng());
  }
  for (std::size_t from : {0, 3, 9000})
    for (std::size_t n : {0, 15, 17, 4096, 4111, 11000})
      if (r.squaredError(&x[from], &y[from], n) != v.squaredError(&x[from], &y[from], n))
        return c.fail("squaredError differs from byte " + std::to_string(from) + " for " + std::to_string(n));
}

// The bits of blocks holding every byte value, each value alone (where no
// other can make up for it), sparse blocks and dense.
void estimatedBits(Context& c, const Level& s, const Level& l) {
  if (!l.encoder || !c.fresh(l.encoder->estimatedBits, s.encoder->estimatedBits)) return;
  const auto ref = s.encoder->estimatedBits, fn = l.encoder->estimatedBits;
  Rng rng(c.seed);
  signed char bytes[64];
  for (long t = 0; t < c.blocks / 100 + 512; ++t) {
    for (int i = 0; i < 64; ++i)
      bytes[i] = static_cast<signed char>(t < 4                 ? 64 * t + i
                                          : t < 260             ? (i == (t - 4) % 64 ? t - 4 : 0)
                                          : draw(rng, 0, t % 4) ? 0
                                                                : draw(rng, -128, 127));
    if (ref(bytes) != fn(bytes)) return c.fail(trialOf("estimatedBits", t) + "\nbytes:" + show(bytes));
  }
  c.time(
      "estimatedBits", [&](long) { fn(bytes); }, [&](long) { ref(bytes); });
}

// Every run of 8 pixels of a row of 33 blocks.
void lumaResidual(Context& c, const Level& s, const Level& l) {
  if (!l.encoder || !c.fresh(l.encoder->lumaResidual, s.encoder->lumaResidual)) return;
  Rng rng(c.seed);
  std::vector<short> t(3 * 8 * 33), p(t.size()), out[2];
  for (long trial = 0; trial < c.blocks / 1000; ++trial) {
    for (std::size_t i = 0; i < t.size(); ++i) t[i] = value(rng, trial), p[i] = value(rng, trial + 2);
    for (auto& o : out) o.assign(64 * 33, 7);
    s.encoder->lumaResidual(t.data(), p.data(), 33, out[0].data());
    l.encoder->lumaResidual(t.data(), p.data(), 33, out[1].data());
    if (out[0] != out[1]) return c.fail(trialOf("lumaResidual", trial));
  }
}

// Factors fine and coarse, random token costs in random contexts per band,
// and lambdas from a key frame's chroma to the lowest quality.
void levelSearch(Context& c, const Level& s, const Level& l) {
  if (!l.encoder || !c.fresh(l.encoder->codeTransformed, s.encoder->codeTransformed)) return;
  Rng rng(c.seed);
  std::uniform_real_distribution<float> bits(0.5f, 24.0f), exponent(-7.0f, 6.0f);
  std::vector<float> table(12 * kelvo4::coefficients::kTokens);
  for (long t = 0; t < c.blocks / 2; ++t) {
    if (t % 1000 == 0)
      for (float& b : table) b = bits(rng);
    static constexpr int range[] = {8, 300, 4096, 65536};
    alignas(16) short coef[64], target[64], quant[64];
    for (int i = 0; i < 64; ++i) {
      const int r = range[(t + i / 16) % 4];
      coef[i] = t % 5 == 4 && draw(rng, 0, 3) ? short{0}
                : draw(rng, 0, 31) == 0       ? (draw(rng, 0, 1) ? short{32767} : short{-32768})
                                              : static_cast<short>(draw(rng, 0, r - 1) - r / 2);
      target[i] = static_cast<short>(draw(rng, -256, 255));
      quant[i] = static_cast<short>(t % 3 ? draw(rng, 1, 96) : draw(rng, 1, 8));
    }
    const kelvo4::encoding::Steps steps(quant);
    kelvo4::encoding::RateTerms rate;
    rate.lambda = std::exp2(exponent(rng));
    for (auto& band : rate.band)
      band = &table[static_cast<std::size_t>(draw(rng, 0, 11)) * kelvo4::coefficients::kTokens];
    signed char zigzag[2][64];
    const int passes = static_cast<int>(t % 4);
    const long a = s.encoder->codeTransformed(target, coef, quant, steps, zigzag[0], passes, &rate);
    const long b = l.encoder->codeTransformed(target, coef, quant, steps, zigzag[1], passes, &rate);
    if (a != b || !std::equal(zigzag[0], zigzag[0] + 64, zigzag[1]))
      return c.fail(trialOf("codeTransformed", t) + "\ncoefficients:" + show(coef) + "target:" + show(target) +
                    "table:" + show(quant));
    if (t + 1 == c.blocks / 2)
      c.time(
          "codeTransformed", [&](long) { l.encoder->codeTransformed(target, coef, quant, steps, zigzag[1], 2, &rate); },
          [&](long) { s.encoder->codeTransformed(target, coef, quant, steps, zigzag[0], 2, &rate); });
  }
}

// The colour cache's lookups, for colours new and met, near the channel ends
// and away, on rows of any length.
void colourRow(Context& c, const Level& s, const Level& l) {
  if (!l.encoder || !c.fresh(l.encoder->colourRow, s.encoder->colourRow)) return;
  kelvo4::ColourCache scalar(s.encoder->colourRow), vector(l.encoder->colourRow);
  Rng rng(c.seed);
  for (long t = 0; t < c.blocks / 5000; ++t) {
    const int count = static_cast<int>(t % 53);
    std::vector<std::uint8_t> px(3 * static_cast<std::size_t>(count));
    for (auto& v : px)
      v = static_cast<std::uint8_t>(t % 3             ? draw(rng, 0, 255)
                                    : draw(rng, 0, 1) ? draw(rng, 0, 7)
                                                      : draw(rng, 248, 255));
    std::vector<short> out[2];
    for (int again = 0; again < 2; ++again) {  // new colours, then met ones
      for (auto& o : out) o.assign(px.size() + 3, 9);
      scalar.findRow(px.data(), count, out[0].data());
      vector.findRow(px.data(), count, out[1].data());
      if (out[0] != out[1]) return c.fail(trialOf("colourRow", t));
    }
  }
}

// Rows of Y'CbCr pixels of any length, any factors the reader may use, chroma
// at its extremes; nothing written past the row.
void yuvRow(Context& c, const Level& s, const Level& l) {
  if (!c.fresh(l.yuvRow, s.yuvRow)) return;
  Rng rng(c.seed);
  for (long t = 0; t < c.blocks / 5000; ++t) {
    const int count = t < 100 ? static_cast<int>(t) : draw(rng, 0, 1999);
    const kelvo4::YuvMatrix m = {t % 2 ? 16 : 0,
                                 draw(rng, 0, (1 << 18) - 1),
                                 draw(rng, 0, (1 << 18) - 1),
                                 draw(rng, 0, (1 << 18) - 1),
                                 draw(rng, 0, (1 << 18) - 1),
                                 draw(rng, 0, (1 << 18) - 1)};
    std::vector<std::uint8_t> luma(static_cast<std::size_t>(count)), out[2];
    std::vector<short> cb(luma.size()), cr(luma.size());
    for (auto& v : luma) v = static_cast<std::uint8_t>(rng());
    for (auto* plane : {&cb, &cr})
      for (auto& v : *plane)
        v = static_cast<short>(draw(rng, 0, 3) ? draw(rng, -2048, 2032) : draw(rng, 0, 1) ? -2048 : 2032);
    for (int k = 0; k < 2; ++k)
      out[k].assign(3 * luma.size() + 16, 7),
          (k ? l.yuvRow : s.yuvRow)(luma.data(), cb.data(), cr.data(), count, m, out[k].data());
    if (out[0] != out[1]) return c.fail(trialOf("yuvRow", t) + " (" + std::to_string(count) + " pixels)");
  }
}

const Register r1("encoder/helpers", helpers), r2("encoder/estimatedBits", estimatedBits),
    r3("encoder/lumaResidual", lumaResidual), r4("encoder/levelSearch", levelSearch),
    r5("encoder/colourRow", colourRow), r6("encoder/yuvRow", yuvRow);

}  // namespace
}  // namespace checkasm
