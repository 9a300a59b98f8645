// The constants of both transforms, computed at compile time from their
// definitions. The multipliers are cosines in fixed point, rounded to
// nearest (no product lies within 0.02 of a half, so a double series
// settles every one); the rounding offsets are tuned values and stay
// literals. Each table lays out the same coefficients for one kernel.
#pragma once

#include <cstdint>
#include <numbers>

namespace kelvo4 {

// cos(k pi/16) for k in [0, 8], by its series.
constexpr double cosPi16(int k) {
  const double x = k * std::numbers::pi / 16;
  double term = 1, sum = 1;
  for (int i = 1; i <= 12; ++i) {
    term *= -x * x / ((2 * i - 1) * (2 * i));
    sum += term;
  }
  return sum;
}

constexpr double tanPi16(int k) { return cosPi16(8 - k) / cosPi16(k); }

// Rounds half away from zero.
constexpr std::int16_t roundToInt16(double v) {
  return static_cast<std::int16_t>(v < 0 ? -static_cast<long>(0.5 - v) : static_cast<long>(v + 0.5));
}

// cos(a pi/16) for any whole a is sign * cos(index pi/16), index in [0, 8]
// (below 8 for the frequencies and sample pairs of a row).
struct ReducedCos {
  int sign, index;
};
constexpr ReducedCos reduceCos(int a) {
  a %= 32;
  if (a > 16) a = 32 - a;
  return a > 8 ? ReducedCos{-1, 16 - a} : ReducedCos{1, a};
}

// Both transforms fold the column pass's scaling of row r into the row
// pass: row r is scaled by cos(m pi/16), m = 4 for rows 0 and 4, else r or
// 8 - r. c[r][j] = 2^15 cos(m pi/16) cos(j pi/16), with j = 0 standing for
// the DC weight cos(pi/4).
struct RowCosines {
  std::int16_t c[8][8];
};
constexpr RowCosines rowCosines() {
  RowCosines t{};
  for (int r = 0; r < 8; ++r) {
    const int m = r % 4 == 0 ? 4 : r < 4 ? r : 8 - r;
    for (int j = 0; j < 8; ++j) t.c[r][j] = roundToInt16(32768 * cosPi16(m) * cosPi16(j == 0 ? 4 : j));
  }
  return t;
}

// Row r's weight of input pair n (samples n and 7 - n) in frequency k, the
// forward transform's matrix; the inverse uses it transposed.
constexpr std::int16_t rowCoef(const RowCosines& cos, int r, int k, int n) {
  const ReducedCos c = reduceCos((2 * n + 1) * k);
  return static_cast<std::int16_t>(c.sign * cos.c[r][c.index]);
}

// A table of 32 multipliers for each row of a block, in groups of four.
struct RowTables {
  alignas(64) std::int16_t row[8][32];
};

// Inverse row tables. Group g takes the pair of a row's inputs (x[i], x[i']),
// i = pairs[2g], i' = pairs[2g + 1]: its first two values multiply the pair
// into the 32-bit sum of output j, the last two into that of output j + 1,
// j = outputs[g]; even inputs feed the sums a0..a3, odd ones b0..b3.
constexpr RowTables idctTables(const int (&pairs)[16], const int (&outputs)[8]) {
  const RowCosines cos = rowCosines();
  RowTables t{};
  for (int r = 0; r < 8; ++r)
    for (int g = 0; g < 8; ++g)
      for (int v = 0; v < 4; ++v) t.row[r][4 * g + v] = rowCoef(cos, r, pairs[2 * g + v % 2], outputs[g] + v / 2);
  return t;
}
// Forward row tables: group g holds C[k][n], C[k][n+1], C[k+1][n],
// C[k+1][n+1] with k = 2 (g / 2) and n = 2 (g % 2), C[k][n] = rowCoef.
constexpr RowTables fdctTables() {
  const RowCosines cos = rowCosines();
  RowTables t{};
  for (int r = 0; r < 8; ++r)
    for (int i = 0; i < 32; ++i) t.row[r][i] = rowCoef(cos, r, i / 8 * 2 + i % 4 / 2, i / 4 % 2 * 2 + i % 2);
  return t;
}

// Inverse row rounding constants, one per row, in two equal 32-bit lanes.
// Row 0 adds just under 32 * 2048: every column output carries row 0 with
// weight one into the final shift by 6, so this rounds all 64 samples. Rows
// 1 to 7 add small tuned biases.
struct RowRounding {
  alignas(8) std::int32_t row[8][2];
};
constexpr RowRounding idctRounding() {
  constexpr std::int32_t bias[8] = {65535, 3612, 2271, 1203, 1023, 102, 398, 469};
  RowRounding t{};
  for (int r = 0; r < 8; ++r) t.row[r][0] = t.row[r][1] = bias[r];
  return t;
}

// Forward rounding offsets, added before the final division by 16: per row
// (vertical frequency v), output u. Half of 16, except 6 for F(0,0), F(0,4),
// F(4,0), F(4,4) and 10 for F(1,0).
struct FdctRounding {
  alignas(16) std::int16_t row[8][8];
};
constexpr FdctRounding fdctRounding() {
  FdctRounding t{};
  for (int v = 0; v < 8; ++v)
    for (int u = 0; u < 8; ++u) t.row[v][u] = v % 4 == 0 && u % 4 == 0 ? 6 : v == 1 && u == 0 ? 10 : 8;
  return t;
}

// Column multipliers shared by both transforms, in four equal 16-bit lanes:
// 2^16 tan(pi/16), 2^16 tan(pi/8), 2^16 (tan(3pi/16) - 1) and 2^15 cos(pi/4).
struct Lanes4 {
  alignas(8) std::int16_t v[4];
};
constexpr Lanes4 splat4(double v) {
  const std::int16_t x = roundToInt16(v);
  return {{x, x, x, x}};
}

// The tables the kernels load (dct_tables.cpp; those in the layouts of the
// x86 kernels in x86/), built from the definitions above. Kept out of sight of the kernels' compiler, which would otherwise
// rebuild the constants in registers instead of loading them. Hidden, so the
// kernels reach them directly, not through the global offset table.
#pragma GCC visibility push(hidden)
extern const RowCosines kRowCos;
extern const RowTables kFdctRow;
extern const RowRounding kIdctRowRnd;
extern const FdctRounding kFdctRowRnd;
extern const Lanes4 kTan1, kTan2, kTan3, kSqrt2;
#pragma GCC visibility pop

}  // namespace kelvo4
