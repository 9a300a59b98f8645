// Scalar references: the two integer transforms written out step by step.
// Every SIMD version must reproduce these results for every input block.
#include <algorithm>

#include "src/dct/dct.h"

namespace kelvo4 {

namespace {

int16_t clamp16(int32_t v) { return static_cast<int16_t>(std::clamp<int32_t>(v, -32768, 32767)); }

// Saturating 16-bit add and subtract.
int16_t adds(int16_t a, int16_t b) { return clamp16(a + b); }
int16_t subs(int16_t a, int16_t b) { return clamp16(a - b); }

// High half of the signed 16x16-bit product, rounded toward minus infinity.
int16_t mulhi(int16_t a, int16_t c) { return static_cast<int16_t>((int32_t{a} * c) >> 16); }

// Low 16 bits of v, as a signed value.
int16_t wrap16(int32_t v) { return static_cast<int16_t>(static_cast<uint16_t>(v)); }

// 16x16-bit product as a term of a sum that wraps modulo 2^32.
uint32_t term(int16_t c, int16_t x) { return static_cast<uint32_t>(int32_t{c} * x); }

// N(): floor division of the wrapped row sum by 2048, clamped to 16 bits.
int16_t idctRowOut(uint32_t sum) { return clamp16(static_cast<int32_t>(sum) >> 11); }

// Row `row` of the block; c[k] weighs cos(k pi/16).
void idctRow(int16_t* x, int row) {
  const int16_t* c = kRowCos.c[row];
  const uint32_t r = static_cast<uint32_t>(kIdctRowRnd.row[row][0]);
  const uint32_t a0 = term(c[4], x[0]) + term(c[4], x[4]) + term(c[2], x[2]) + term(c[6], x[6]) + r;
  const uint32_t a1 = term(c[4], x[0]) - term(c[4], x[4]) + term(c[6], x[2]) - term(c[2], x[6]) + r;
  const uint32_t a2 = term(c[4], x[0]) - term(c[4], x[4]) - term(c[6], x[2]) + term(c[2], x[6]) + r;
  const uint32_t a3 = term(c[4], x[0]) + term(c[4], x[4]) - term(c[2], x[2]) - term(c[6], x[6]) + r;
  const uint32_t b0 = term(c[1], x[1]) + term(c[3], x[3]) + term(c[5], x[5]) + term(c[7], x[7]);
  const uint32_t b1 = term(c[3], x[1]) - term(c[7], x[3]) - term(c[1], x[5]) - term(c[5], x[7]);
  const uint32_t b2 = term(c[5], x[1]) - term(c[1], x[3]) + term(c[7], x[5]) + term(c[3], x[7]);
  const uint32_t b3 = term(c[7], x[1]) - term(c[5], x[3]) + term(c[3], x[5]) - term(c[1], x[7]);
  x[0] = idctRowOut(a0 + b0);
  x[1] = idctRowOut(a1 + b1);
  x[2] = idctRowOut(a2 + b2);
  x[3] = idctRowOut(a3 + b3);
  x[4] = idctRowOut(a3 - b3);
  x[5] = idctRowOut(a2 - b2);
  x[6] = idctRowOut(a1 - b1);
  x[7] = idctRowOut(a0 - b0);
}

// One column, elements col[0], col[8], ..., col[56]. The nesting of every
// saturating step is part of the result once a clamp is reached.
void idctColumn(int16_t* col) {
  int16_t y[8];
  for (int i = 0; i < 8; i++) y[i] = col[8 * i];
  const int16_t t1 = kTan1.v[0], t2 = kTan2.v[0], t3 = kTan3.v[0], s2 = kSqrt2.v[0];

  const int16_t w0 = subs(adds(mulhi(t3, y[3]), y[3]), y[5]);
  const int16_t w1 = adds(adds(mulhi(t3, y[5]), y[5]), y[3]);
  const int16_t u0 = adds(mulhi(t1, y[7]), y[1]);
  const int16_t u1 = subs(mulhi(t1, y[1]), y[7]);
  const int16_t e0 = subs(u0, w1), e1 = subs(u1, w0);
  const int16_t o0 = adds(w1, u0), o1 = adds(w0, u1);
  const int16_t m0 = adds(o1, e0), m1 = subs(e0, o1);
  // sqrt2 holds cos(pi/4) / 2: the product is doubled back with saturation.
  const int16_t g0 = adds(mulhi(s2, m0), mulhi(s2, m0));
  const int16_t g1 = adds(mulhi(s2, m1), mulhi(s2, m1));
  const int16_t p = adds(mulhi(t2, y[6]), y[2]);
  const int16_t q = subs(mulhi(t2, y[2]), y[6]);
  const int16_t d = subs(y[0], y[4]);
  const int16_t s = adds(adds(y[4], y[4]), d);
  const int16_t dm = subs(d, q), sm = subs(s, p);
  const int16_t dp = adds(adds(q, q), dm), sp = adds(adds(p, p), sm);
  int16_t z[8];
  z[0] = adds(o0, sp);
  z[7] = subs(sp, o0);
  z[3] = adds(e1, sm);
  z[4] = subs(sm, e1);
  z[6] = subs(dp, g0);
  z[1] = adds(adds(g0, g0), z[6]);
  z[5] = subs(dm, g1);
  z[2] = adds(adds(g1, g1), z[5]);
  for (int i = 0; i < 8; i++) col[8 * i] = static_cast<int16_t>(z[i] >> 6);
}

void fdctColumn(int16_t* col) {
  int16_t x[8];
  for (int i = 0; i < 8; i++) x[i] = col[8 * i];
  const int16_t t1 = kTan1.v[0], t2 = kTan2.v[0], t3 = kTan3.v[0], s2 = kSqrt2.v[0];

  const int16_t s07 = adds(x[0], x[7]), d07 = subs(x[0], x[7]);
  const int16_t s16 = adds(x[1], x[6]), d16 = subs(x[1], x[6]);
  const int16_t s25 = adds(x[2], x[5]), d25 = subs(x[2], x[5]);
  const int16_t s34 = adds(x[3], x[4]), d34 = subs(x[3], x[4]);
  int16_t a = subs(s07, s34), b = subs(s16, s25);
  int16_t e0 = adds(adds(s34, s34), a), e1 = adds(adds(s25, s25), b);
  // The scaling by 8 (16 for the terms later multiplied by sqrt2) keeps
  // fraction bits through the multiplies; it drops the bits above 16.
  e0 = wrap16(e0 * 8);
  e1 = wrap16(e1 * 8);
  a = wrap16(a * 8);
  b = wrap16(b * 8);
  const int16_t d07s = wrap16(d07 * 8), d34s = wrap16(d34 * 8);
  const int16_t d16s = wrap16(d16 * 16), d25s = wrap16(d25 * 16);

  int16_t y[8];
  y[4] = subs(e0, e1);
  y[0] = adds(adds(e1, e1), y[4]);
  // The forced low bits are set after saturation.
  y[2] = static_cast<int16_t>(adds(mulhi(b, t2), a) | 1);
  y[6] = static_cast<int16_t>(subs(mulhi(a, t2), b) | 1);
  const int16_t u = subs(d16s, d25s);
  const int16_t w = adds(adds(d25s, d25s), u);
  const int16_t w1 = static_cast<int16_t>(mulhi(w, s2) | 1);
  const int16_t u1 = mulhi(u, s2);
  const int16_t p = subs(d34s, u1), q = subs(d07s, w1);
  const int16_t r = adds(w1, d07s), t = adds(u1, d34s);
  y[1] = adds(mulhi(t, t1), r);
  y[7] = subs(mulhi(r, t1), t);
  // mulhi(v, tan3) + v never saturates: tan3 holds the tangent less one.
  y[3] = subs(q, adds(mulhi(p, t3), p));
  y[5] = adds(p, adds(mulhi(q, t3), q));
  for (int i = 0; i < 8; i++) col[8 * i] = y[i];
}

// Row v of the block (vertical frequency v).
void fdctRow(int16_t* z, int v) {
  int16_t e[2][4];  // pair sums S_n, then differences D_n
  for (int n = 0; n < 4; n++) {
    e[0][n] = adds(z[n], z[7 - n]);
    e[1][n] = subs(z[n], z[7 - n]);
  }
  int16_t out[8];
  for (int k = 0; k < 8; k++) {
    const int16_t* en = e[k % 2];
    uint32_t sum = 0;
    for (int n = 0; n < 4; n++) sum += term(rowCoef(kRowCos, v, k, n), en[n]);
    const int16_t h = static_cast<int16_t>(static_cast<int32_t>(sum) >> 16);
    out[k] = static_cast<int16_t>(adds(h, kFdctRowRnd.row[v][k]) >> 4);
  }
  std::copy(out, out + 8, z);
}

}  // namespace

void idctC(short* block) {
  for (int r = 0; r < 8; r++) idctRow(block + 8 * r, r);
  for (int c = 0; c < 8; c++) idctColumn(block + c);
}

void fdctC(short* block) {
  for (int c = 0; c < 8; c++) fdctColumn(block + c);
  for (int v = 0; v < 8; v++) fdctRow(block + 8 * v, v);
}

void idctRowsC(short* block, unsigned) { idctC(block); }

void idctPairC(short* a, short* b) {
  idctC(a);
  idctC(b);
}

}  // namespace kelvo4
