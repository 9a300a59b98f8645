// A plain model of the whole decoder: per-pixel loops straight from the
// formulas, sharing nothing with the decoder but the scalar reference inverse
// transform. The unit tests and the fuzzer compare the decoder against it.
// No test framework here, so that the fuzz targets can use it too.
#pragma once

#include <array>
#include <cmath>
#include <cstdint>
#include <vector>

#include "src/dct/dct.h"

namespace model {

using Block = std::array<short, 64>;
using Frame = std::vector<short>;

inline short wrap(int v) { return static_cast<short>(static_cast<std::uint16_t>(v)); }

// Scan order built by walking the anti-diagonals, alternating direction.
inline std::array<int, 64> zigzagByWalking() {
  std::array<int, 64> zz{};
  int k = 0;
  for (int d = 0; d < 15; ++d) {
    for (int i = 0; i <= d; ++i) {
      const int r = d % 2 == 0 ? d - i : i;  // even diagonals run upwards
      if (r < 8 && d - r < 8) zz[k++] = 8 * r + d - r;
    }
  }
  return zz;
}

// The four-neighbour prediction of a w x h frame: a pixel stands in for a
// neighbour outside the frame, the sum wraps and is quartered toward zero.
inline Frame smooth(const Frame& f, int w, int h) {
  Frame next(f.size());
  auto at = [&](int x, int y, int k) { return f[3 * (y * w + x) + k]; };
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x)
      for (int k = 0; k < 3; ++k) {
        const int sum = wrap(at(x > 0 ? x - 1 : x, y, k) + at(x < w - 1 ? x + 1 : x, y, k) +
                             at(x, y > 0 ? y - 1 : y, k) + at(x, y < h - 1 ? y + 1 : y, k));
        next[3 * (y * w + x) + k] = static_cast<short>(sum < 0 ? -((-sum) / 4) : sum / 4);
      }
  return next;
}

// The output bytes of a frame, three per pixel.
inline void convert(const Frame& f, signed char* out) {
  for (std::size_t i = 0; i < f.size(); i += 3) {
    const short c0 = f[i], c1 = f[i + 1], c2 = f[i + 2];
    const short first = wrap(wrap(c0 - c2) - (c2 >> 2));
    const short second = wrap(wrap(c0 - c1) - (c1 >> 2));
    const short third = wrap(wrap(wrap(3 * c0) - second) - first);
    int j = 0;
    for (short v : {first, second, third}) out[i + j++] = static_cast<signed char>(v <= 0 ? 0 : v >= 255 ? 255 : v);
  }
}

struct Decoder {
  int w = 0, h = 0;
  Frame frame;  // the current frame
  std::vector<short> table = std::vector<short>(64, 0);

  // Sizes and restarts from (0, 128, 128); false and no change for a size
  // whose samples do not fit below 2^31.
  bool reinit(int w_, int h_) {
    if (w_ < 0 || h_ < 0 || 3.0 * w_ * h_ >= 2147483648.0) return false;
    w = w_;
    h = h_;
    frame.assign(3 * static_cast<std::size_t>(w) * h, 128);
    for (std::size_t i = 0; i < frame.size(); i += 3) frame[i] = 0;
    return true;
  }

  // Each entry truncated toward zero; -32768 for anything that does not land
  // in 16 bits, infinities and NaN. Computed in double, where every float is
  // exact.
  void setTable(const float* values, int count) {
    if (count != 64 || values == nullptr) return;
    for (int i = 0; i < 64; ++i) {
      const double v = values[i];
      table[i] = std::isnan(v) || v <= -32769.0 || v >= 32768.0 ? -32768 : static_cast<short>(std::trunc(v));
    }
  }

  Block residual(const signed char* payload, int block) const {
    static const auto zz = zigzagByWalking();
    Block b{};
    for (int k = 0; k < 64; ++k) b[zz[k]] = wrap(payload[64 * block + k] * table[zz[k]]);
    kelvo4::idctC(b.data());
    return b;
  }

  // One frame; false, changing nothing, when a length or a needed buffer is
  // wrong. The output is written only when accepted and converting.
  bool decode(const signed char* payload, int length, signed char* out, int outLength, bool convert) {
    const int n = w * h;
    if (length != n + n / 2 || (convert && outLength != 3 * n)) return false;
    if ((payload == nullptr && length != 0) || (convert && out == nullptr && outLength != 0)) return false;
    if (n == 0) return true;  // no samples, though one side may be near 2^31
    frame = smooth(frame, w, h);
    const int bw = w / 8, bh = h / 8, mw = w / 16, mh = h / 16;
    std::vector<Block> blocks;
    for (int b = 0; b < bw * bh + 2 * mw * mh; ++b) blocks.push_back(residual(payload, b));
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x) {
        short* p = &frame[3 * (y * w + x)];
        if (x < 8 * bw && y < 8 * bh) p[0] = wrap(p[0] + blocks[(y / 8) * bw + x / 8][8 * (y % 8) + x % 8]);
        if (x < 16 * mw && y < 16 * mh) {
          const int m = bw * bh + 2 * ((y / 16) * mw + x / 16);
          const int s = 8 * ((y % 16) / 2) + (x % 16) / 2;
          p[1] = wrap(p[1] + blocks[m][s]);
          p[2] = wrap(p[2] + blocks[m + 1][s]);
        }
      }
    if (convert) model::convert(frame, out);
    return true;
  }
};

}  // namespace model
