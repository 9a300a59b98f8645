// Internal declarations of the DCT module: every version of the two kernels
// (the vector ones live in x86/ and arm/) and the tables they share. Nothing
// here is exported from the library.
#pragma once

#include "cpu.h"
#include "dct_tables.h"
#include "vrel_dct.h"

// Hidden, so the kernels reach the tables directly, not through the global
// offset table.
#pragma GCC visibility push(hidden)

namespace kelvo4 {

// Scalar references: the integer procedures step by step, portable.
void idctC(short* block);
void fdctC(short* block);

#if KELVO4_X86
// MMX bodies of the exported kernels; idctMmx leaves the MMX state set.
void idctMmx(short* block);
void fdctMmx(short* block);

// Variants for the SSE integer extensions (word shuffles), same results as the
// MMX kernels; neither clears the MMX state.
void idctSse(short* block);
void fdctSse(short* block);

// Inverse on 128-bit registers: rows one at a time, all eight columns at once.
void idctSse2(short* block);
// The same for a block whose rows outside `rows` (bit r for row r) are all
// zero: those rows skip the row transform.
void idctRowsSse2(short* block, unsigned rows);

// Two independent blocks at once on 256-bit registers (AVX2 processors only).
void idctPairAvx2(short* a, short* b);
#endif

#if KELVO4_ARM
// NEON versions, same results as the scalar references; the exported kernels
// call these on 64-bit Arm.
void idctNeon(short* block);
void fdctNeon(short* block);
#endif

}  // namespace kelvo4

#pragma GCC visibility pop
