// NEON prediction and conversion: 16-bit lanes, whose wrap-around is exactly
// the decoder's arithmetic. NEON is part of the aarch64 baseline.
#include <arm_neon.h>

#include <cstdint>

#include "stage_rows.h"

namespace kelvo4 {

namespace {

// The prediction's interior on 8 samples at a time (see smoothRowsWith).
struct SmoothStepNeon {
  static std::ptrdiff_t smooth(const short* row, const short* up, const short* down, short* out, std::ptrdiff_t i,
                               std::ptrdiff_t end) {
    for (; i + 8 <= end; i += 8) {
      const int16x8_t sum = vaddq_s16(vaddq_s16(vld1q_s16(row + i - 3), vld1q_s16(row + i + 3)),
                                      vaddq_s16(vld1q_s16(up + i), vld1q_s16(down + i)));
      // Quotient by 4 truncated toward zero: negative sums get 3 added first.
      const int16x8_t bias = vandq_s16(vshrq_n_s16(sum, 15), vdupq_n_s16(3));
      vst1q_s16(out + i, vshrq_n_s16(vaddq_s16(sum, bias), 2));
    }
    return i;
  }
};

struct PixelLanesNeon {
  static int16x8_t add(int16x8_t a, int16x8_t b) { return vaddq_s16(a, b); }
  static int16x8_t sub(int16x8_t a, int16x8_t b) { return vsubq_s16(a, b); }
  static int16x8_t shift2(int16x8_t a) { return vshrq_n_s16(a, 2); }
};

}  // namespace

void smoothRowsNeon(const BandContext& ctx, const short* src, short* dst, int y0, int y1) {
  smoothRowsWith<SmoothStepNeon>(ctx, src, dst, y0, y1);
}

void convertNeon(const short* frame, signed char* out, std::size_t pixels) {
  std::size_t p = 0;
  for (; p + 8 <= pixels; p += 8) {
    const int16x8x3_t c = vld3q_s16(frame + 3 * p);
    int16x8_t first, second, third;
    convertLanes<PixelLanesNeon>(c.val[0], c.val[1], c.val[2], first, second, third);
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
