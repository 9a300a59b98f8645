#include "kelvo_encoder.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>

#include "decoder_handle.h"
#include "kelvo_stream.h"
#include "vrel_dct.h"

#if defined(__x86_64__) || defined(__i386__)
#include <mmintrin.h>
#endif

namespace kelvo {

const std::uint8_t kZigzag[64] = {0,  1,  8,  16, 9,  2,  3,  10, 17, 24, 32, 25, 18, 11, 4,  5,
                                  12, 19, 26, 33, 40, 48, 41, 34, 27, 20, 13, 6,  7,  14, 21, 28,
                                  35, 42, 49, 56, 57, 50, 43, 36, 29, 22, 15, 23, 30, 37, 44, 51,
                                  58, 59, 52, 45, 38, 31, 39, 46, 53, 60, 61, 54, 47, 55, 62, 63};

namespace {

// Factors above this could give a dequantised coefficient (byte times factor)
// beyond 12646, where the inverse transform's row sums start to wrap.
constexpr int kMaxFactor = 96;

// The measured default (see the README): DC factor, AC base and AC slope.
constexpr int kDefaultDc = 14;
constexpr double kDefaultAc = 3.0;
constexpr double kDefaultSlope = 0.0;

int clampInt(int v, int lo, int hi) { return std::min(std::max(v, lo), hi); }

// Rounds to the nearest integer after limiting to [lo, hi], so that the
// conversion of a huge or non-finite double never happens.
int roundClamp(double v, int lo, int hi) {
  if (!(v > lo)) return lo;
  if (!(v < hi)) return hi;
  return static_cast<int>(std::lround(v));
}

// The forward kernel leaves the MMX state set; doubles follow.
void forwardDct(short* block) {
  Vrel_Dct16_MMX(block);
#if defined(__x86_64__) || defined(__i386__)
  _mm_empty();
#endif
}

// Forward transform of arbitrary real samples on the kernel, which is exact
// only for samples within [-256, 255]: wider blocks are halved until they fit
// and their coefficients doubled back.
void transform(const double* samples, double* coef) {
  double peak = 0;
  for (int i = 0; i < 64; ++i) peak = std::max(peak, std::fabs(samples[i]));
  double scale = 1;
  while (peak / scale > 255 && scale < 65536) scale *= 2;
  short block[64];
  for (int i = 0; i < 64; ++i) block[i] = static_cast<short>(roundClamp(samples[i] / scale, -256, 255));
  forwardDct(block);
  for (int i = 0; i < 64; ++i) coef[i] = block[i] * scale;
}

// What the decoder makes of 64 natural-order bytes: the dequantised product
// wraps in 16 bits, then the inverse transform.
void reconstruct(const int* bytes, const short* quant, short* samples) {
  for (int i = 0; i < 64; ++i)
    samples[i] = static_cast<short>(static_cast<std::uint16_t>(static_cast<unsigned>(bytes[i]) *
                                                              static_cast<unsigned>(quant[i])));
  Vrel_IDct16_MMX(samples);
}

double blockError(const double* target, const short* samples, double* diff) {
  double e = 0;
  for (int i = 0; i < 64; ++i) {
    diff[i] = target[i] - samples[i];
    e += diff[i] * diff[i];
  }
  return e;
}

// Adds round(coef / factor) to each byte, limited to the signed byte range.
// Returns false when nothing changed. A zero factor makes its byte useless.
bool quantiseInto(const double* coef, const short* quant, int* bytes) {
  bool changed = false;
  for (int i = 0; i < 64; ++i) {
    if (quant[i] == 0) continue;
    const int step = roundClamp(coef[i] / quant[i], -255, 255);
    const int b = clampInt(bytes[i] + step, -128, 127);
    changed |= b != bytes[i];
    bytes[i] = b;
  }
  return changed;
}

}  // namespace

Table makeTable(int dc, double ac, double slope) {
  Table t;
  for (int v = 0; v < 8; ++v)
    for (int u = 0; u < 8; ++u) t[8 * v + u] = static_cast<float>(roundClamp(ac + slope * (u + v), 1, kMaxFactor));
  t[0] = static_cast<float>(clampInt(dc, 1, kMaxFactor));
  return t;
}

Table qualityTable(int quality) {
  quality = clampInt(quality, 1, 100);
  const Table base = makeTable(kDefaultDc, kDefaultAc, kDefaultSlope);
  Table t;
  for (int i = 0; i < 64; ++i)
    t[i] = static_cast<float>(roundClamp(base[i] * kDefaultQuality / quality, 1, kMaxFactor));
  return t;
}

std::array<std::uint8_t, 3> componentsToRgb(int c0, int c1, int c2) {
  // >> on a negative int is an arithmetic shift (floor), as in the decoder.
  const int first = c0 - c2 - (c2 >> 2);
  const int second = c0 - c1 - (c1 >> 2);
  const int third = 3 * c0 - second - first;
  auto byte = [](int v) { return static_cast<std::uint8_t>(clampInt(v, 0, 255)); };
  return {byte(first), byte(second), byte(third)};
}

std::array<int, 3> rgbToComponents(int r, int g, int b) {
  // c + (c >> 2) is close to 1.25c - 0.375, which the starting points invert.
  auto inverse = [](int d) { return static_cast<int>(std::floor((d + 0.375) / 1.25)); };
  const int base = static_cast<int>(std::lround((r + g + b) / 3.0));
  // Near 0 or 255 a channel can clamp, and components well beyond the linear
  // inverse may then come closer: search wider there.
  auto edge = [](int v) { return v < 4 || v > 251; };
  const bool clamped = edge(r) || edge(g) || edge(b);
  const int reach0 = clamped ? 3 : 1, lo = clamped ? -3 : -1, hi = clamped ? 4 : 2;
  std::array<int, 3> best{};
  int bestErr = -1;
  for (int d0 = 0; d0 <= 2 * reach0; ++d0) {
    // Candidates nearest the linear inverse come first and win ties.
    const int c0 = base + (d0 % 2 ? -(d0 + 1) / 2 : d0 / 2);
    const int c2Lo = inverse(c0 - r), c1Lo = inverse(c0 - g);
    for (int c2 = c2Lo + lo; c2 <= c2Lo + hi; ++c2) {
      const int first = c0 - c2 - (c2 >> 2);
      const int er = clampInt(first, 0, 255) - r;
      for (int c1 = c1Lo + lo; c1 <= c1Lo + hi; ++c1) {
        const int second = c0 - c1 - (c1 >> 2);
        const int eg = clampInt(second, 0, 255) - g;
        const int eb = clampInt(3 * c0 - second - first, 0, 255) - b;
        const int err = er * er + eg * eg + eb * eb;
        if (bestErr < 0 || err < bestErr) {
          bestErr = err;
          best = {c0, c1, c2};
        }
      }
    }
  }
  return best;
}

double psnr(const std::uint8_t* a, const std::uint8_t* b, std::size_t count) {
  double sse = 0;
  for (std::size_t i = 0; i < count; ++i) {
    const double d = static_cast<double>(a[i]) - b[i];
    sse += d * d;
  }
  if (sse == 0 || count == 0) return 99.0;
  return 10.0 * std::log10(255.0 * 255.0 * static_cast<double>(count) / sse);
}

double codeBlock(const double* target, const short* quant, signed char* zigzag, int passes) {
  double coef[64], diff[64];
  int bytes[64] = {};
  short samples[64];
  transform(target, coef);
  quantiseInto(coef, quant, bytes);
  reconstruct(bytes, quant, samples);
  double err = blockError(target, samples, diff);
  // The rounded coefficients miss wherever a byte clamps, the inverse
  // transform rounds or clamps, or the forward one was scaled: move the bytes
  // by the quantised transform of what is still missing while that helps.
  for (int pass = 0; pass < passes && err > 0; ++pass) {
    int trial[64];
    std::copy(bytes, bytes + 64, trial);
    transform(diff, coef);
    if (!quantiseInto(coef, quant, trial)) break;
    short trialSamples[64];
    double trialDiff[64];
    reconstruct(trial, quant, trialSamples);
    const double trialErr = blockError(target, trialSamples, trialDiff);
    if (trialErr >= err) break;
    err = trialErr;
    std::copy(trial, trial + 64, bytes);
    std::copy(trialDiff, trialDiff + 64, diff);
  }
  for (int i = 0; i < 64; ++i) zigzag[i] = static_cast<signed char>(bytes[kZigzag[i]]);
  return err;
}

namespace {

int checkedSize(int w, int h) {
  if (!validFrameSize(w, h))
    throw std::invalid_argument("impossible frame size " + std::to_string(w) + "x" + std::to_string(h));
  return w;
}

}  // namespace

Encoder::Encoder(int w, int h, const Table& table, int refinePasses, int threads)
    : width_(checkedSize(w, h)),
      height_(h),
      codedWidth_(codedSide(w)),
      codedHeight_(codedSide(h)),
      passes_(refinePasses),
      decoder_(codedWidth_, codedHeight_, threads) {
  decoder_.setTable(table.data());
  const std::size_t n = static_cast<std::size_t>(codedWidth_) * codedHeight_;
  target_.resize(3 * n);
  colourCache_.assign(65536, 0);
  prediction_.resize(3 * n);
  decoded_ = Image(w, h);
}

double Encoder::encodeFrame(const std::uint8_t* rgb, signed char* payload, bool key) {
  const int w = codedWidth_, h = codedHeight_;
  for (int y = 0; y < height_; ++y) {
    for (int x = 0; x < width_; ++x) {
      const std::uint8_t* px = rgb + 3 * (static_cast<std::size_t>(y) * width_ + x);
      // Colours repeat within and across frames; the search is the costly
      // part of the encoder, so its results are kept in a direct-mapped cache.
      const std::uint32_t colour = std::uint32_t{px[0]} << 16 | std::uint32_t{px[1]} << 8 | px[2];
      std::uint64_t& slot = colourCache_[(colour * 2654435761u) >> 16];
      if (slot >> 32 != (colour | 1u << 24)) {
        const auto c = rgbToComponents(px[0], px[1], px[2]);
        slot = std::uint64_t{colour | 1u << 24} << 32 | std::uint64_t(c[0] + 512) << 20 |
               std::uint64_t(c[1] + 512) << 10 | std::uint64_t(c[2] + 512);
      }
      int* t = &target_[3 * (static_cast<std::size_t>(y) * w + x)];
      t[0] = static_cast<int>(slot >> 20 & 1023) - 512;
      t[1] = static_cast<int>(slot >> 10 & 1023) - 512;
      t[2] = static_cast<int>(slot & 1023) - 512;
    }
    // The margin repeats the edge pixels: smooth content the blocks code
    // cheaply and the prediction carries into the picture without a seam.
    int* row = &target_[3 * static_cast<std::size_t>(y) * w];
    for (int x = width_; x < w; ++x) std::copy(row + 3 * (width_ - 1), row + 3 * width_, row + 3 * x);
  }
  for (int y = height_; y < h; ++y)
    std::copy_n(&target_[3 * static_cast<std::size_t>(height_ - 1) * w], 3 * w, &target_[3 * static_cast<std::size_t>(y) * w]);
  if (key) decoder_.reinit(w, h);
  // The decoder will start the frame from this prediction.
  kelvo4::predictNext(decoder_.get(), prediction_.data());
  const short* quant = kelvo4::decoderTable(decoder_.get());

  auto residual = [&](int x, int y, int k) {
    const std::size_t i = 3 * (static_cast<std::size_t>(y) * w + x) + k;
    return static_cast<double>(target_[i] - prediction_[i]);
  };
  double block[64];
  signed char* out = payload;
  for (int by = 0; by < h / 8; ++by)
    for (int bx = 0; bx < w / 8; ++bx, out += 64) {
      for (int r = 0; r < 8; ++r)
        for (int c = 0; c < 8; ++c) block[8 * r + c] = residual(8 * bx + c, 8 * by + r, 0);
      codeBlock(block, quant, out, passes_);
    }
  // One residual sample serves a 2x2 group; the group mean of the wanted
  // residuals minimises the squared error over its four pixels.
  for (int my = 0; my < h / 16; ++my)
    for (int mx = 0; mx < w / 16; ++mx)
      for (int k = 1; k <= 2; ++k, out += 64) {
        for (int r = 0; r < 8; ++r)
          for (int c = 0; c < 8; ++c) {
            const int x = 16 * mx + 2 * c, y = 16 * my + 2 * r;
            block[8 * r + c] =
                (residual(x, y, k) + residual(x + 1, y, k) + residual(x, y + 1, k) + residual(x + 1, y + 1, k)) / 4;
          }
        codeBlock(block, quant, out, passes_);
      }

  const int length = static_cast<int>(payloadBytes(w, h));
  const int rc = kelvo4_decoder_decode_region(decoder_.get(), payload, length, decoded_.rgb.data(), KELVO4_RGB24,
                                              width_, height_, static_cast<int>(decoded_.rgb.size()));
  if (rc != 0) throw std::logic_error("the encoder's decoder refused its own payload");
  return psnr(rgb, decoded_.rgb.data(), decoded_.rgb.size());
}

}  // namespace kelvo
