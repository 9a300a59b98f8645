// Both kernels on 128-bit NEON registers. The column passes take a row per
// register, all eight columns at once; the row passes work on the transposed
// block, so that lane r carries row r, with the row's own coefficients in
// that lane. Same results as the scalar references for every input. The
// aarch64 forms of a few steps have AArch32 equivalents below them.
#include <arm_neon.h>

#include "src/arm/neon.h"
#include "src/dct/dct_columns.h"

namespace kelvo4 {

namespace {

inline int16x8_t load(const short* p) { return vld1q_s16(p); }
inline void store(short* p, int16x8_t v) { vst1q_s16(p, v); }

// In-place transpose of eight rows of eight 16-bit values: 2x2 transposes
// of 16-bit, then 32-bit, then 64-bit elements.
inline void transpose8(int16x8_t v[8]) {
  int16x8_t a[8];
  for (int i = 0; i < 8; i += 2) {
    const int16x8x2_t t = vtrnq_s16(v[i], v[i + 1]);
    a[i] = t.val[0];
    a[i + 1] = t.val[1];
  }
  int32x4_t b[8];
  for (int i = 0; i < 8; i += 4)
    for (int j = 0; j < 2; j++) {
      const int32x4x2_t t = vtrnq_s32(vreinterpretq_s32_s16(a[i + j]), vreinterpretq_s32_s16(a[i + j + 2]));
      b[i + j] = t.val[0];
      b[i + j + 2] = t.val[1];
    }
  for (int j = 0; j < 4; j++) {
#if defined(__aarch64__)
    const int64x2_t p = vreinterpretq_s64_s32(b[j]), q = vreinterpretq_s64_s32(b[j + 4]);
    v[j] = vreinterpretq_s16_s64(vtrn1q_s64(p, q));
    v[j + 4] = vreinterpretq_s16_s64(vtrn2q_s64(p, q));
#else
    // A q register is a pair of d registers: this only renames halves.
    const int16x8_t p = vreinterpretq_s16_s32(b[j]), q = vreinterpretq_s16_s32(b[j + 4]);
    v[j] = vcombine_s16(vget_low_s16(p), vget_low_s16(q));
    v[j + 4] = vcombine_s16(vget_high_s16(p), vget_high_s16(q));
#endif
  }
}

// The exact 32-bit products of the upper four lanes of a and b.
inline int32x4_t mulHigh(int16x8_t a, int16x8_t b) {
#if defined(__aarch64__)
  return vmull_high_s16(a, b);
#else
  return vmull_s16(vget_high_s16(a), vget_high_s16(b));
#endif
}

// Bits 16 to 31 of each 32-bit lane of lo, then of hi.
inline int16x8_t upperHalves(int32x4_t lo, int32x4_t hi) {
#if defined(__aarch64__)
  return vuzp2q_s16(vreinterpretq_s16_s32(lo), vreinterpretq_s16_s32(hi));
#else
  return vuzpq_s16(vreinterpretq_s16_s32(lo), vreinterpretq_s16_s32(hi)).val[1];
#endif
}

struct ColumnLanesNeon {
  using Vec = int16x8_t;
  static Vec splat(const int16_t* p) { return vld1q_dup_s16(p); }
  static Vec adds(Vec a, Vec b) { return vqaddq_s16(a, b); }
  static Vec subs(Vec a, Vec b) { return vqsubq_s16(a, b); }
  // The high half of each exact 32-bit product: a floor division by 2^16.
  static Vec mulhi(Vec a, Vec b) {
    return upperHalves(vmull_s16(vget_low_s16(a), vget_low_s16(b)), mulHigh(a, b));
  }
  static Vec shift6(Vec a) { return vshrq_n_s16(a, 6); }
  static Vec shl3(Vec a) { return vshlq_n_s16(a, 3); }
  static Vec shl4(Vec a) { return vshlq_n_s16(a, 4); }
  static Vec orOne(Vec a) { return vorrq_s16(a, vdupq_n_s16(1)); }
};

// A 32-bit value per lane of a register of eight rows, as two halves. All
// arithmetic on it wraps modulo 2^32, as the row sums of the reference do.
struct Wide {
  int32x4_t lo, hi;
};
inline Wide mul(int16x8_t c, int16x8_t x) { return {vmull_s16(vget_low_s16(c), vget_low_s16(x)), mulHigh(c, x)}; }
inline Wide operator+(Wide a, Wide b) { return {vaddq_s32(a.lo, b.lo), vaddq_s32(a.hi, b.hi)}; }
inline Wide operator-(Wide a, Wide b) { return {vsubq_s32(a.lo, b.lo), vsubq_s32(a.hi, b.hi)}; }
// a + c x and a - c x, one instruction per half.
inline Wide mulAdd(Wide a, int16x8_t c, int16x8_t x) {
#if defined(__aarch64__)
  return {vmlal_s16(a.lo, vget_low_s16(c), vget_low_s16(x)), vmlal_high_s16(a.hi, c, x)};
#else
  return {vmlal_s16(a.lo, vget_low_s16(c), vget_low_s16(x)), vmlal_s16(a.hi, vget_high_s16(c), vget_high_s16(x))};
#endif
}
inline Wide mulSub(Wide a, int16x8_t c, int16x8_t x) {
#if defined(__aarch64__)
  return {vmlsl_s16(a.lo, vget_low_s16(c), vget_low_s16(x)), vmlsl_high_s16(a.hi, c, x)};
#else
  return {vmlsl_s16(a.lo, vget_low_s16(c), vget_low_s16(x)), vmlsl_s16(a.hi, vget_high_s16(c), vget_high_s16(x))};
#endif
}

// Per-lane constants of the transposed row passes, lane r for row r.
struct RowLanes {
  alignas(16) int16_t idct[8][8];  // rowCosines().c[r][j] in idct[j][r]
  alignas(16) int32_t idctRnd[8];
  alignas(16) int16_t fdct[8][4][8];  // rowCoef(.., r, k, n) in fdct[k][n][r]
  alignas(16) int16_t fdctRnd[8][8];  // rounding offset of output k
};

constexpr RowLanes rowLanes() {
  constexpr RowCosines cos = rowCosines();
  constexpr RowRounding idctRnd = idctRounding();
  constexpr FdctRounding fdctRnd = fdctRounding();
  RowLanes l{};
  for (int r = 0; r < 8; r++) {
    for (int j = 0; j < 8; j++) l.idct[j][r] = cos.c[r][j];
    l.idctRnd[r] = idctRnd.row[r][0];
    for (int k = 0; k < 8; k++) {
      for (int n = 0; n < 4; n++) l.fdct[k][n][r] = rowCoef(cos, r, k, n);
      l.fdctRnd[k][r] = fdctRnd.row[r][k];
    }
  }
  return l;
}
constexpr RowLanes kRowLanes = rowLanes();

// x[k] holds input k of every row; the outputs replace the inputs.
inline void idctRowsNeon(int16x8_t x[8]) {
  const RowLanes& l = kRowLanes;
  const int16x8_t c1 = load(l.idct[1]), c2 = load(l.idct[2]), c3 = load(l.idct[3]), c4 = load(l.idct[4]);
  const int16x8_t c5 = load(l.idct[5]), c6 = load(l.idct[6]), c7 = load(l.idct[7]);
  const Wide r = {vld1q_s32(l.idctRnd), vld1q_s32(l.idctRnd + 4)};
  const Wide e0 = mulAdd(r, c4, x[0]);
  const Wide p = mulAdd(e0, c4, x[4]), m = mulSub(e0, c4, x[4]);
  const Wide a0 = mulAdd(mulAdd(p, c2, x[2]), c6, x[6]), a3 = mulSub(mulSub(p, c2, x[2]), c6, x[6]);
  const Wide a1 = mulSub(mulAdd(m, c6, x[2]), c2, x[6]), a2 = mulAdd(mulSub(m, c6, x[2]), c2, x[6]);
  const Wide b0 = mulAdd(mulAdd(mulAdd(mul(c1, x[1]), c3, x[3]), c5, x[5]), c7, x[7]);
  const Wide b1 = mulSub(mulSub(mulSub(mul(c3, x[1]), c7, x[3]), c1, x[5]), c5, x[7]);
  const Wide b2 = mulAdd(mulAdd(mulSub(mul(c5, x[1]), c1, x[3]), c7, x[5]), c3, x[7]);
  const Wide b3 = mulSub(mulAdd(mulSub(mul(c7, x[1]), c5, x[3]), c3, x[5]), c1, x[7]);
  // Arithmetic shift by 11, then saturation to 16 bits.
  const auto out = [](Wide s) { return vcombine_s16(vqshrn_n_s32(s.lo, 11), vqshrn_n_s32(s.hi, 11)); };
  x[0] = out(a0 + b0);
  x[1] = out(a1 + b1);
  x[2] = out(a2 + b2);
  x[3] = out(a3 + b3);
  x[4] = out(a3 - b3);
  x[5] = out(a2 - b2);
  x[6] = out(a1 - b1);
  x[7] = out(a0 - b0);
}

// z[i] holds input i of every row; the outputs replace the inputs.
inline void fdctRowsNeon(int16x8_t z[8]) {
  const RowLanes& l = kRowLanes;
  int16x8_t e[2][4];  // pair sums, then differences
  for (int n = 0; n < 4; n++) {
    e[0][n] = vqaddq_s16(z[n], z[7 - n]);
    e[1][n] = vqsubq_s16(z[n], z[7 - n]);
  }
  for (int k = 0; k < 8; k++) {
    const int16x8_t* en = e[k % 2];
    const Wide sum = mulAdd(mulAdd(mulAdd(mul(load(l.fdct[k][0]), en[0]), load(l.fdct[k][1]), en[1]),
                                   load(l.fdct[k][2]), en[2]),
                            load(l.fdct[k][3]), en[3]);
    // Bits 16 to 31 of the wrapped sum.
    const int16x8_t h = upperHalves(sum.lo, sum.hi);
    z[k] = vshrq_n_s16(vqaddq_s16(h, load(l.fdctRnd[k])), 4);
  }
}

}  // namespace

void idctNeon(short* block) {
  int16x8_t v[8];
  for (int i = 0; i < 8; i++) v[i] = load(block + 8 * i);
  transpose8(v);
  idctRowsNeon(v);
  transpose8(v);
  idctColumnPass<ColumnLanesNeon>(v);
  for (int i = 0; i < 8; i++) store(block + 8 * i, v[i]);
}

void fdctNeon(short* block) {
  int16x8_t v[8];
  for (int i = 0; i < 8; i++) v[i] = load(block + 8 * i);
  fdctColumnPass<ColumnLanesNeon>(v);
  transpose8(v);
  fdctRowsNeon(v);
  transpose8(v);
  for (int i = 0; i < 8; i++) store(block + 8 * i, v[i]);
}

}  // namespace kelvo4
