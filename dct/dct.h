// Internal declarations of the DCT module: the constant tables and every
// version of the two kernels. Nothing here is exported from the library.
#pragma once

#include <cstdint>

#include "vrel_dct.h"

#if defined(__x86_64__) || defined(__i386__)
#define KELVO4_DCT_X86 1
#else
#define KELVO4_DCT_X86 0
#endif

// Internal: hidden, so the kernels reach the tables directly, not through the
// global offset table.
#pragma GCC visibility push(hidden)

// Inverse row tables, one per coefficient set: eight groups of four values,
// each group two pairs of multipliers for one pair of a row's inputs. The _MMX
// layout pairs (x0,x4) (x2,x6) (x1,x5) (x3,x7), the other one (x0,x2) (x4,x6)
// (x1,x3) (x5,x7). Sets: 1 = rows 0 and 4, 2 = rows 1 and 7, 3 = rows 2 and
// 6, 4 = rows 3 and 5.
extern const int16_t iTab1_MMX[32], iTab2_MMX[32], iTab3_MMX[32], iTab4_MMX[32];
extern const int16_t iTab1[32], iTab2[32], iTab3[32], iTab4[32];

// Inverse row rounding constants, one per row, in two equal 32-bit lanes.
extern const int32_t Idct_Rnd0[2], Idct_Rnd1[2], Idct_Rnd2[2], Idct_Rnd3[2];
extern const int32_t Idct_Rnd4[2], Idct_Rnd5[2], Idct_Rnd6[2], Idct_Rnd7[2];


// Column multipliers shared by both transforms, four equal 16-bit lanes each.
// tan3 holds tan(3pi/16) - 1; sqrt2 holds cos(pi/4) / 2.
extern const int16_t tan1[4], tan2[4], tan3[4], sqrt2[4];

// Forward row tables: C[k][n] (output k, pair n) stored as eight groups
// C[k][n], C[k][n+1], C[k+1][n], C[k+1][n+1] with k = 2 * (g / 2) and
// n = 2 * (g % 2). Tables 1 to 4 scale by cos(j pi/16), j = 4, 1, 2, 3.
extern const int16_t fTab1[32], fTab2[32], fTab3[32], fTab4[32];

// Forward row rounding offsets for four consecutive outputs, and the bit the
// forward column pass forces on, in four lanes.
extern const int16_t Fdct_Rnd0[4], Fdct_Rnd1[4], Fdct_Rnd2[4], MMX_One[4];

// Per row of a block: the inverse row table (in either layout) and rounding
// constant, and the forward row table and rounding offsets of outputs 0-3
// and 4-7.
inline constexpr const int16_t* kIdctRowTabMmx[8] = {iTab1_MMX, iTab2_MMX, iTab3_MMX, iTab4_MMX,
                                                     iTab1_MMX, iTab4_MMX, iTab3_MMX, iTab2_MMX};
inline constexpr const int16_t* kIdctRowTab[8] = {iTab1, iTab2, iTab3, iTab4, iTab1, iTab4, iTab3, iTab2};
inline constexpr const int32_t* kIdctRowRnd[8] = {Idct_Rnd0, Idct_Rnd1, Idct_Rnd2, Idct_Rnd3,
                                                  Idct_Rnd4, Idct_Rnd5, Idct_Rnd6, Idct_Rnd7};
inline constexpr const int16_t* kFdctRowTab[8] = {fTab1, fTab2, fTab3, fTab4, fTab1, fTab4, fTab3, fTab2};
inline constexpr const int16_t* kFdctRowRndLo[8] = {Fdct_Rnd0, Fdct_Rnd2, Fdct_Rnd1, Fdct_Rnd1,
                                                    Fdct_Rnd0, Fdct_Rnd1, Fdct_Rnd1, Fdct_Rnd1};
inline constexpr const int16_t* kFdctRowRndHi[8] = {Fdct_Rnd0, Fdct_Rnd1, Fdct_Rnd1, Fdct_Rnd1,
                                                    Fdct_Rnd0, Fdct_Rnd1, Fdct_Rnd1, Fdct_Rnd1};

// Scalar references: the integer procedures step by step, portable.
void Vrel_IDct16_C(short* block);
void Vrel_Dct16_C(short* block);

#if KELVO4_DCT_X86
// MMX bodies of the exported kernels; idctMmx leaves the MMX state set.
void idctMmx(short* block);
void fdctMmx(short* block);

// Variants for the SSE integer extensions (word shuffles), same results as the
// MMX kernels; neither clears the MMX state.
void Vrel_IDct16_SSE(short* block);
void Vrel_Dct16_SSE(short* block);

// Inverse on 128-bit registers: rows one at a time, all eight columns at once.
void Vrel_IDct16_SSE2(short* block);
// The same for a block whose rows outside `rows` (bit r for row r) are all
// zero: those rows skip the row transform.
void idctRowsSse2(short* block, unsigned rows);

// Two independent blocks at once on 256-bit registers (AVX2 processors only).
void idctPairAvx2(short* a, short* b);
#endif

#if defined(__aarch64__)
// NEON versions, same results as the scalar references; the exported kernels
// call these on 64-bit Arm.
void Vrel_IDct16_NEON(short* block);
void Vrel_Dct16_NEON(short* block);
#endif

#pragma GCC visibility pop
