// The exported kernels and the constant tables of both transforms.
#include "dct.h"
#include "cpu.h"

#if KELVO4_DCT_X86
#include <mmintrin.h>
#endif

// Inverse row tables. In a group the first two values multiply a pair of a
// row's inputs into one 32-bit sum, the last two the same pair into another.
// MMX groups 1-8: (x0,x4)->a0,a1; (x2,x6)->a0,a1; (x0,x4)->a2,a3;
// (x2,x6)->a2,a3; (x1,x5)->b0,b1; (x3,x7)->b0,b1; (x1,x5)->b2,b3;
// (x3,x7)->b2,b3.
alignas(16) const int16_t iTab1_MMX[32] = {
    16384, 16384, 16384, -16384, 21407, 8867, 8867, -21407,
    16384, -16384, 16384, 16384, -8867, 21407, -21407, -8867,
    22725, 12873, 19266, -22725, 19266, 4520, -4520, -12873,
    12873, 4520, 4520, 19266, -22725, 19266, -12873, -22725,
};

alignas(16) const int16_t iTab2_MMX[32] = {
    22725, 22725, 22725, -22725, 29692, 12299, 12299, -29692,
    22725, -22725, 22725, 22725, -12299, 29692, -29692, -12299,
    31521, 17855, 26722, -31521, 26722, 6270, -6270, -17855,
    17855, 6270, 6270, 26722, -31521, 26722, -17855, -31521,
};

alignas(16) const int16_t iTab3_MMX[32] = {
    21407, 21407, 21407, -21407, 27969, 11585, 11585, -27969,
    21407, -21407, 21407, 21407, -11585, 27969, -27969, -11585,
    29692, 16819, 25172, -29692, 25172, 5906, -5906, -16819,
    16819, 5906, 5906, 25172, -29692, 25172, -16819, -29692,
};

alignas(16) const int16_t iTab4_MMX[32] = {
    19266, 19266, 19266, -19266, 25172, 10426, 10426, -25172,
    19266, -19266, 19266, 19266, -10426, 25172, -25172, -10426,
// The same constants for pairs (x0,x2) (x4,x6) (x0,x2) (x4,x6) (x1,x3) (x5,x7)
// (x1,x3) (x5,x7), feeding the sums in the same order as above.
    26722, 15137, 22654, -26722, 22654, 5315, -5315, -15137,
    15137, 5315, 5315, 22654, -26722, 22654, -15137, -26722,
};

alignas(16) const int16_t iTab1[32] = {
    16384, 21407, 16384, 8867, 16384, 8867, -16384, -21407,
    16384, -8867, 16384, -21407, -16384, 21407, 16384, -8867,
    22725, 19266, 19266, -4520, 12873, 4520, -22725, -12873,
    12873, -22725, 4520, -12873, 4520, 19266, 19266, -22725,
};

alignas(16) const int16_t iTab2[32] = {
    22725, 29692, 22725, 12299, 22725, 12299, -22725, -29692,
    22725, -12299, 22725, -29692, -22725, 29692, 22725, -12299,
    31521, 26722, 26722, -6270, 17855, 6270, -31521, -17855,
    17855, -31521, 6270, -17855, 6270, 26722, 26722, -31521,
};

alignas(16) const int16_t iTab3[32] = {
    21407, 27969, 21407, 11585, 21407, 11585, -21407, -27969,
    21407, -11585, 21407, -27969, -21407, 27969, 21407, -11585,
    29692, 25172, 25172, -5906, 16819, 5906, -29692, -16819,
    16819, -29692, 5906, -16819, 5906, 25172, 25172, -29692,
};

alignas(16) const int16_t iTab4[32] = {
    19266, 25172, 19266, 10426, 19266, 10426, -19266, -25172,
    19266, -10426, 19266, -25172, -19266, 25172, 19266, -10426,
    26722, 22654, 22654, -5315, 15137, 5315, -26722, -15137,
    15137, -26722, 5315, -15137, 5315, 22654, 22654, -26722,
};

// Row 0 adds just under 32 * 2048: every column output carries row 0 with
// weight one into the final shift by 6, so this rounds all 64 samples. The
// constants of rows 1 to 7 are small biases.
alignas(8) const int32_t Idct_Rnd0[2] = {65535, 65535};
alignas(8) const int32_t Idct_Rnd1[2] = {3612, 3612};
alignas(8) const int32_t Idct_Rnd2[2] = {2271, 2271};
alignas(8) const int32_t Idct_Rnd3[2] = {1203, 1203};
alignas(8) const int32_t Idct_Rnd4[2] = {1023, 1023};
alignas(8) const int32_t Idct_Rnd5[2] = {102, 102};
alignas(8) const int32_t Idct_Rnd6[2] = {398, 398};
alignas(8) const int32_t Idct_Rnd7[2] = {469, 469};

alignas(8) const int16_t tan1[4] = {13036, 13036, 13036, 13036};
alignas(8) const int16_t tan2[4] = {27146, 27146, 27146, 27146};
alignas(8) const int16_t tan3[4] = {-21746, -21746, -21746, -21746};
alignas(8) const int16_t sqrt2[4] = {23170, 23170, 23170, 23170};

// Forward row tables, groups pairing outputs (0,1) (0,1) (2,3) (2,3) (4,5)
// (4,5) (6,7) (6,7) with pair sums and differences n = 0,1 then n = 2,3.
alignas(16) const int16_t fTab1[32] = {
    16384, 16384, 22725, 19266, 16384, 16384, 12873, 4520,
    21407, 8867, 19266, -4520, -8867, -21407, -22725, -12873,
    16384, -16384, 12873, -22725, -16384, 16384, 4520, 19266,
    8867, -21407, 4520, -12873, 21407, -8867, 19266, -22725,
};

alignas(16) const int16_t fTab2[32] = {
    22725, 22725, 31521, 26722, 22725, 22725, 17855, 6270,
    29692, 12299, 26722, -6270, -12299, -29692, -31521, -17855,
    22725, -22725, 17855, -31521, -22725, 22725, 6270, 26722,
    12299, -29692, 6270, -17855, 29692, -12299, 26722, -31521,
};

alignas(16) const int16_t fTab3[32] = {
    21407, 21407, 29692, 25172, 21407, 21407, 16819, 5906,
    27969, 11585, 25172, -5906, -11585, -27969, -29692, -16819,
    21407, -21407, 16819, -29692, -21407, 21407, 5906, 25172,
    11585, -27969, 5906, -16819, 27969, -11585, 25172, -29692,
};

alignas(16) const int16_t fTab4[32] = {
    19266, 19266, 26722, 22654, 19266, 19266, 15137, 5315,
    25172, 10426, 22654, -5315, -10426, -25172, -26722, -15137,
    19266, -19266, 15137, -26722, -19266, 19266, 5315, 22654,
    10426, -25172, 5315, -15137, 25172, -10426, 22654, -26722,
};

// Offsets added before the final division by 16: half of it, except 6 for
// F(0,0), F(0,4), F(4,0), F(4,4) and 10 for F(1,0).
alignas(8) const int16_t Fdct_Rnd0[4] = {6, 8, 8, 8};
alignas(8) const int16_t Fdct_Rnd1[4] = {8, 8, 8, 8};
alignas(8) const int16_t Fdct_Rnd2[4] = {10, 8, 8, 8};
alignas(8) const int16_t MMX_One[4] = {1, 1, 1, 1};

#if KELVO4_DCT_X86
void Vrel_IDct16_MMX(short* block) {
  idctMmx(block);
  _mm_empty();
}

void Vrel_Dct16_MMX(short* block) { fdctMmx(block); }
#elif defined(__aarch64__)
// NEON unless the CPU mask has taken it away, so that a masked run executes
// only the portable code.
void Vrel_IDct16_MMX(short* block) {
  if (kelvo4::cpuFlags() & kelvo4::kCpuNeon) {
    Vrel_IDct16_NEON(block);
  } else {
    Vrel_IDct16_C(block);
  }
}

void Vrel_Dct16_MMX(short* block) {
  if (kelvo4::cpuFlags() & kelvo4::kCpuNeon) {
    Vrel_Dct16_NEON(block);
  } else {
    Vrel_Dct16_C(block);
  }
}
#else
void Vrel_IDct16_MMX(short* block) { Vrel_IDct16_C(block); }

void Vrel_Dct16_MMX(short* block) { Vrel_Dct16_C(block); }
#endif

// The same entry under its plain C name, for callers that link by that name.
extern "C" KELVO4_DCT_EXPORT void vrelIDct16MmxPlain(short* block) asm("Vrel_IDct16_MMX")
    __attribute__((alias("_Z15Vrel_IDct16_MMXPs")));
