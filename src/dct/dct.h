// Internal declarations of the DCT module: every version of the two kernels
// (the vector ones live in x86/ and arm/) and the tables they share. Nothing
// here is exported from the library.
#pragma once

#include "src/cpu/cpu.h"
#include "src/dct/dct_tables.h"
#include "kelvo4/vrel_dct.h"

// Hidden, so the kernels reach the tables directly, not through the global
// offset table.
#pragma GCC visibility push(hidden)

namespace kelvo4 {

// Scalar references: the integer procedures step by step, portable.
void idctC(short* block);
void fdctC(short* block);

// The kernels the exported entry points run, chosen once when the library is
// loaded: the MMX ones on x86 (NEON on Arm) unless the processor or the CPU
// mask rules them out, the scalar references otherwise.
struct ExportedKernels {
  void (*idct)(short* block);  // leaves the MMX state clear
  void (*fdct)(short* block);
  void (*fdctClear)(short* block);  // fdct, then the MMX state cleared
};
const ExportedKernels& exportedKernels();

#if KELVO4_X86
// MMX bodies of the exported kernels, for processors with MMX; idctMmx
// leaves the MMX state set, idctMmxClear clears it.
void idctMmx(short* block);
void idctMmxClear(short* block);
void fdctMmx(short* block);
void fdctMmxClear(short* block);
// Clears the MMX state; for processors with MMX only.
void clearMmxState();

// Variants for the SSE integer extensions (word shuffles), same results as the
// MMX kernels; neither clears the MMX state.
void idctSse(short* block);
void fdctSse(short* block);

// The inverse transforms as the frame stages take them (see IdctRowsFn in
// stages.h): every row transformed, the MMX state cleared after each block,
// since 32-bit x86 computes floating point on the x87 registers MMX shares.
void idctRowsMmx(short* block, unsigned rows);
void idctRowsSse(short* block, unsigned rows);

// Inverse on 128-bit registers: rows one at a time, all eight columns at once.
void idctSse2(short* block);
// The same for a block whose rows outside `rows` (bit r for row r) are all
// zero: those rows skip the row transform.
void idctRowsSse2(short* block, unsigned rows);

// Forward on 128-bit registers, all eight columns at once, then two rows at
// a time. The second form reads in and writes out, which may be the same.
void fdctSse2(short* block);
void fdctSse2(const short* in, short* out);

// Two independent blocks at once on 256-bit registers (AVX2 processors only).
void idctPairAvx2(short* a, short* b);
#endif

#if KELVO4_ARM
// NEON versions, same results as the scalar references; the exported kernels
// call these on processors with NEON.
void idctNeon(short* block);
void fdctNeon(short* block);
#endif

}  // namespace kelvo4

#pragma GCC visibility pop
