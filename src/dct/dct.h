// Internal declarations of the DCT module: the scalar references, the table
// of a level's kernels (the vector ones live in x86/ and arm/) and the
// constant tables they share. Nothing here is exported from the library.
#pragma once

#include "src/dct/dct_tables.h"
#include "kelvo4/vrel_dct.h"

// Hidden, so the kernels reach the tables directly, not through the global
// offset table.
#pragma GCC visibility push(hidden)

namespace kelvo4 {

// Scalar references: the integer procedures step by step, portable.
void idctC(short* block);
void fdctC(short* block);

// The inverse as the frame stages take it (see IdctRowsFn): every row
// transformed whatever `rows` says.
void idctRowsC(short* block, unsigned rows);
// Two independent blocks, one after the other.
void idctPairC(short* a, short* b);

// The kernels of one level (see dctFunctionsFor): the scalar references,
// with what the ISA folder of this processor puts in their place.
struct DctFunctions {
  // The exported kernels: the MMX ones on x86 (NEON on Arm) unless the
  // processor or the CPU mask rules them out. idct leaves the MMX state
  // clear; fdctClear is fdct, then the MMX state cleared.
  void (*idct)(short* block);
  void (*fdct)(short* block);
  void (*fdctClear)(short* block);
  // The fastest inverse of the level as the stages take it, and of two
  // blocks at once.
  void (*idctRows)(short* block, unsigned rows);
  void (*idctPair)(short* a, short* b);
};
inline constexpr DctFunctions kScalarDct = {idctC, fdctC, fdctC, idctRowsC, idctPairC};

}  // namespace kelvo4

#pragma GCC visibility pop
