// NEON frame stages: prediction, dequantisation, residual placement and
// conversion in 16-bit lanes, whose wrap-around is exactly the decoder's
// arithmetic. NEON is part of the aarch64 baseline; on 32-bit Arm these run
// only on processors that have it, and the dequantisation has an AArch32
// form of its own (64-byte table lookups and across-lane maxima are aarch64
// only).
#include <arm_neon.h>

#include <cstdint>

#include "src/arm/neon.h"
#include "src/stage/stage_rows.h"

namespace kelvo4 {

namespace {

// The prediction's interior on 8 samples at a time (see smoothRowsWith).
struct SmoothStepNeon {
  static std::ptrdiff_t smooth(const short* row, const short* up, const short* down, short* out, std::ptrdiff_t i,
                               std::ptrdiff_t end) {
    // Pointers that step with the loop, which AArch32 addressing prefers.
    const short *left = row + i - 3, *right = row + i + 3, *above = up + i, *below = down + i;
    short* to = out + i;
    for (; i + 8 <= end; i += 8, left += 8, right += 8, above += 8, below += 8, to += 8) {
      const int16x8_t sum = vaddq_s16(vaddq_s16(vld1q_s16(left), vld1q_s16(right)),
                                      vaddq_s16(vld1q_s16(above), vld1q_s16(below)));
      // Quotient by 4 truncated toward zero: negative sums get 3 added first.
      const int16x8_t bias = vandq_s16(vshrq_n_s16(sum, 15), vdupq_n_s16(3));
      vst1q_s16(to, vshrq_n_s16(vaddq_s16(sum, bias), 2));
    }
    return i;
  }
};

struct PixelLanesNeon {
  static int16x8_t add(int16x8_t a, int16x8_t b) { return vaddq_s16(a, b); }
  static int16x8_t sub(int16x8_t a, int16x8_t b) { return vsubq_s16(a, b); }
  static int16x8_t shift2(int16x8_t a) { return vshrq_n_s16(a, 2); }
};

// The scan index of each natural position: a table lookup over the 64-byte
// scan puts a block into natural order.
struct ScanIndex {
  alignas(16) std::uint8_t of[64];
};
constexpr ScanIndex scanIndex() {
  ScanIndex s{};
  for (int k = 0; k < 64; ++k) s.of[kZigzag[k]] = static_cast<std::uint8_t>(k);
  return s;
}
constexpr ScanIndex kScanIndex = scanIndex();

// Whether any byte of v is non-zero.
inline bool anyNonzero(uint8x16_t v) {
#if defined(__aarch64__)
  return vmaxvq_u8(v) != 0;
#else
  const uint32x2_t words = vreinterpret_u32_u8(vorr_u8(vget_low_u8(v), vget_high_u8(v)));
  return vget_lane_u32(vpmax_u32(words, words), 0) != 0;
#endif
}

}  // namespace

void smoothRowsNeon(const BandContext& ctx, const short* src, short* dst, int y0, int y1) {
  smoothRowsWith<SmoothStepNeon>(ctx, src, dst, y0, y1);
}

namespace {

// The three output bytes of the 8 pixels whose components start at s.
inline uint8x8x3_t convertEightNeon(const short* s) {
  const int16x8x3_t c = vld3q_s16(s);
  int16x8_t first, second, third;
  convertLanes<PixelLanesNeon>(c.val[0], c.val[1], c.val[2], first, second, third);
  // Saturating narrowing to unsigned bytes is the clamp to [0, 255].
  return {{vqmovun_s16(first), vqmovun_s16(second), vqmovun_s16(third)}};
}

}  // namespace

void convertNeon(const short* frame, signed char* out, std::size_t pixels) {
  std::size_t p = 0;
  for (; p + 8 <= pixels; p += 8) vst3_u8(reinterpret_cast<std::uint8_t*>(out + 3 * p), convertEightNeon(frame + 3 * p));
  convertC(frame + 3 * p, out + 3 * p, pixels - p);
}

void convertArgbNeon(const short* frame, std::uint32_t* out, std::size_t pixels) {
  std::size_t p = 0;
  for (; p + 8 <= pixels; p += 8) {
    const uint8x8x3_t b = convertEightNeon(frame + 3 * p);
    // Little-endian 0xFFRRGGBB: bytes B, G, R, 0xFF.
    vst4_u8(reinterpret_cast<std::uint8_t*>(out + p), uint8x8x4_t{{b.val[2], b.val[1], b.val[0], vdup_n_u8(0xFF)}});
  }
  signed char bytes[24];
  convertC(frame + 3 * p, bytes, pixels - p);
  packArgb(bytes, out + p, pixels - p);
}

void addLumaNeon(short* base, std::ptrdiff_t stride, const short* block) {
  // Structure loads split the 8 pixels of a row into their components.
  for (int r = 0; r < 8; ++r) {
    short* row = base + r * stride;
    int16x8x3_t px = vld3q_s16(row);
    px.val[0] = vaddq_s16(px.val[0], vld1q_s16(block + 8 * r));
    vst3q_s16(row, px);
  }
}

void addChromaNeon(short* base, std::ptrdiff_t stride, const short* u, const short* v) {
  for (int r = 0; r < 8; ++r) {
    // Each residual serves two neighbouring pixels of two rows.
    const int16x8_t ur = vld1q_s16(u + 8 * r), vr = vld1q_s16(v + 8 * r);
    const int16x8x2_t uHalf = vzipq_s16(ur, ur), vHalf = vzipq_s16(vr, vr);
    for (int dy = 0; dy < 2; ++dy)
      for (int h = 0; h < 2; ++h) {
        short* p = base + (2 * r + dy) * stride + 24 * h;
        int16x8x3_t px = vld3q_s16(p);
        px.val[1] = vaddq_s16(px.val[1], uHalf.val[h]);
        px.val[2] = vaddq_s16(px.val[2], vHalf.val[h]);
        vst3q_s16(p, px);
      }
  }
}

BlockKind prepareBlockNeon(const short* quant, const signed char* block, short* out, unsigned& rows) {
  const auto* scan = reinterpret_cast<const std::uint8_t*>(block);
  const uint8x16_t s0 = vld1q_u8(scan), s1 = vld1q_u8(scan + 16), s2 = vld1q_u8(scan + 32), s3 = vld1q_u8(scan + 48);
  // Nothing beyond byte 0: a zero block or a lone DC coefficient.
  const uint8x16_t rest = vorrq_u8(vorrq_u8(vsetq_lane_u8(0, s0, 0), s1), vorrq_u8(s2, s3));
  if (!anyNonzero(rest)) return prepareClosedForm(quant, block, block[0] != 0, out);
#if defined(__aarch64__)
  const uint8x16x4_t table = {{s0, s1, s2, s3}};
  unsigned nonzeroRows = 0;
  for (int p = 0; p < 4; ++p) {
    const int8x16_t bytes = vreinterpretq_s8_u8(vqtbl4q_u8(table, vld1q_u8(kScanIndex.of + 16 * p)));
    // Sign-extended coefficients times the table; the products keep their
    // low 16 bits.
    const int16x8_t r0 = vmulq_s16(vmovl_s8(vget_low_s8(bytes)), vld1q_s16(quant + 16 * p));
    const int16x8_t r1 = vmulq_s16(vmovl_high_s8(bytes), vld1q_s16(quant + 16 * p + 8));
    vst1q_s16(out + 16 * p, r0);
    vst1q_s16(out + 16 * p + 8, r1);
    nonzeroRows |= static_cast<unsigned>(vmaxvq_u16(vreinterpretq_u16_s16(r0)) != 0) << (2 * p);
    nonzeroRows |= static_cast<unsigned>(vmaxvq_u16(vreinterpretq_u16_s16(r1)) != 0) << (2 * p + 1);
  }
  rows = nonzeroRows;
#else
  // A lookup reaches 32 bytes: vtbl4 finds the first 32 scan bytes (0 for
  // indices beyond them), then vtbx4 the last 32 at the index less 32, which
  // wraps out of its range for the first 32 and leaves their bytes.
  const uint8x8x4_t front = {{vget_low_u8(s0), vget_high_u8(s0), vget_low_u8(s1), vget_high_u8(s1)}};
  const uint8x8x4_t back = {{vget_low_u8(s2), vget_high_u8(s2), vget_low_u8(s3), vget_high_u8(s3)}};
  for (int r = 0; r < 8; ++r) {
    const uint8x8_t index = vld1_u8(kScanIndex.of + 8 * r);
    const uint8x8_t natural = vtbx4_u8(vtbl4_u8(front, index), back, vsub_u8(index, vdup_n_u8(32)));
    // Sign-extended coefficients times the table; the products keep their
    // low 16 bits.
    vst1q_s16(out + 8 * r, vmulq_s16(vmovl_s8(vreinterpret_s8_u8(natural)), vld1q_s16(quant + 8 * r)));
  }
  // Every row may hold coefficients: the NEON inverse transforms them all
  // anyway, so finding the zero ones would be wasted work.
  rows = 0xFF;
#endif
  return BlockKind::Coefficients;
}

}  // namespace kelvo4
