// NEON prediction and conversion: 16-bit lanes, whose wrap-around is exactly
// the decoder's arithmetic. NEON is part of the aarch64 baseline.
#if defined(__aarch64__)

#include <arm_neon.h>

#include <cstdint>

#include "stages.h"

namespace kelvo4 {

namespace {

// Quotient by 4 truncated toward zero: negative sums get 3 added first.
inline int16x8_t quarterNeon(int16x8_t sum) {
  const int16x8_t bias = vandq_s16(vshrq_n_s16(sum, 15), vdupq_n_s16(3));
  return vshrq_n_s16(vaddq_s16(sum, bias), 2);
}

inline short quarterScalar(int l, int r, int u, int d) {
  int s = static_cast<std::int16_t>(static_cast<std::uint16_t>(l + r + u + d));
  if (s < 0) s += 3;
  return static_cast<short>(s >> 2);
}

void smoothRowNeon(int w, const short* row, const short* up, const short* down, short* out) {
  // Edge pixels stand in for their missing horizontal neighbour.
  for (int k = 0; k < 3; ++k) {
    const int last = 3 * (w - 1) + k;
    out[k] = quarterScalar(row[k], row[w > 1 ? 3 + k : k], up[k], down[k]);
    if (w > 1) out[last] = quarterScalar(row[last - 3], row[last], up[last], down[last]);
  }
  // Interior samples 3 to 3w - 4: left and right are 3 samples away.
  const std::ptrdiff_t end = 3 * static_cast<std::ptrdiff_t>(w) - 3;
  std::ptrdiff_t i = 3;
  for (; i + 8 <= end; i += 8) {
    const int16x8_t sum = vaddq_s16(vaddq_s16(vld1q_s16(row + i - 3), vld1q_s16(row + i + 3)),
                                    vaddq_s16(vld1q_s16(up + i), vld1q_s16(down + i)));
    vst1q_s16(out + i, quarterNeon(sum));
  }
  for (; i < end; ++i) out[i] = quarterScalar(row[i - 3], row[i + 3], up[i], down[i]);
}

}  // namespace

void smoothRowsNeon(const BandContext& ctx, const short* src, short* dst, int y0, int y1) {
  if (ctx.width <= 0) return;
  const std::ptrdiff_t stride = ctx.width3;
  for (int y = y0; y < y1; ++y) {
    const short* row = src + y * stride;
    smoothRowNeon(ctx.width, row, y > 0 ? row - stride : row, y < ctx.height - 1 ? row + stride : row,
                  dst + y * stride);
  }
}

void convertNeon(const short* frame, signed char* out, std::size_t pixels) {
  std::size_t p = 0;
  for (; p + 8 <= pixels; p += 8) {
    const int16x8x3_t c = vld3q_s16(frame + 3 * p);
    // Plain lane arithmetic wraps in 16 bits, as the scalar form reduces.
    const int16x8_t first = vsubq_s16(vsubq_s16(c.val[0], c.val[2]), vshrq_n_s16(c.val[2], 2));
    const int16x8_t second = vsubq_s16(vsubq_s16(c.val[0], c.val[1]), vshrq_n_s16(c.val[1], 2));
    const int16x8_t third = vsubq_s16(vsubq_s16(vmulq_n_s16(c.val[0], 3), second), first);
    // Saturating narrowing to unsigned bytes is the clamp to [0, 255].
    uint8x8x3_t b;
    b.val[0] = vqmovun_s16(first);
    b.val[1] = vqmovun_s16(second);
    b.val[2] = vqmovun_s16(third);
    vst3_u8(reinterpret_cast<std::uint8_t*>(out + 3 * p), b);
  }
  convertC(frame + 3 * p, out + 3 * p, pixels - p);
}

}  // namespace kelvo4

#endif
