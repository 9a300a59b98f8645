// The row tables in the layouts of the x86 kernels, built from the
// definitions in dct/dct_tables.h; in a file of their own, out of sight of
// the kernels' compiler (see there).
#include "src/x86/x86.h"

namespace kelvo4 {

namespace {

// The MMX layout pairs (x0,x4) (x2,x6) (x1,x5) (x3,x7), the SSE one (x0,x2)
// (x4,x6) (x1,x3) (x5,x7), each for outputs 0, 1 and then 2, 3; the AVX2
// one gives each pair all four outputs in a row, so that one product of a
// repeated pair yields a whole 32-bit sum a0..a3 or b0..b3.
constexpr int kIdctPairsMmx[16] = {0, 4, 2, 6, 0, 4, 2, 6, 1, 5, 3, 7, 1, 5, 3, 7};
constexpr int kIdctPairsSse[16] = {0, 2, 4, 6, 0, 2, 4, 6, 1, 3, 5, 7, 1, 3, 5, 7};
constexpr int kIdctPairsAvx2[16] = {0, 4, 0, 4, 2, 6, 2, 6, 1, 5, 1, 5, 3, 7, 3, 7};
constexpr int kIdctOutputsMmx[8] = {0, 0, 2, 2, 0, 0, 2, 2};
constexpr int kIdctOutputsAvx2[8] = {0, 2, 0, 2, 0, 2, 0, 2};

// Forward row tables of the SSE2 kernel: the first 16 values give outputs
// 0 to 3, the last 16 outputs 4 to 7. Within each half, the first 8 pair
// with (S0, S1, D0, D1) repeated, the last 8 with (S2, S3, D2, D3): value i
// holds C[k][n], k = 4 (i / 16) + i % 8 / 2, n = 2 (i / 8 % 2) + i % 2, so
// that each product pair sums into output k's 32-bit lane.
constexpr RowTables fdctTablesSse2() {
  const RowCosines cos = rowCosines();
  RowTables t{};
  for (int r = 0; r < 8; ++r)
    for (int i = 0; i < 32; ++i) t.row[r][i] = rowCoef(cos, r, i / 16 * 4 + i % 8 / 2, i / 8 % 2 * 2 + i % 2);
  return t;
}

}  // namespace

constinit const RowTables kIdctRowMmx = idctTables(kIdctPairsMmx, kIdctOutputsMmx);
constinit const RowTables kIdctRowSse = idctTables(kIdctPairsSse, kIdctOutputsMmx);
constinit const RowTables kIdctRowAvx2 = idctTables(kIdctPairsAvx2, kIdctOutputsAvx2);
constinit const RowTables kFdctRowSse2 = fdctTablesSse2();

}  // namespace kelvo4
