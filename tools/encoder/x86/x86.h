// Internal to the encoder: its x86-64 vector code, the SSE2 set of block
// helpers (SSE2 is the baseline there) and the AVX2 set beside it, and the
// init call that picks one.
#pragma once

#include <cstdint>

#include "tools/encoder/kernels.h"

namespace kelvo4 {

namespace encoding {
struct Steps;
struct RateTerms;

// chooseLevels (level_search.h) with the same results, eight candidates at
// a time; only where cpuFlags() has kCpuAvx2.
bool chooseLevelsAvx2(const short* coef, const short* quant, const Steps& steps, const RateTerms& rate,
                      short* bytes);
}  // namespace encoding

// Points kernels at the fastest x86 set the flags allow, if any.
void initEncoderKernelsX86(const EncoderKernels*& kernels, unsigned flags);

// lumaResidual, estimatedBits and the colour cache's lookups (a
// ColourCache::RowFn) in AVX2, for the AVX2 set.
void lumaResidualAvx2(const short* target, const short* prediction, int blocks, short* out);
int estimatedBitsAvx2(const signed char* block);
int colourRowAvx2(const std::uint8_t* px, int count, std::uint32_t* table, short* c,
                  std::uint32_t (*fill)(std::uint32_t* entry, const std::uint8_t* px));

}  // namespace kelvo4
