// Internal to the encoder: the choice of a block's levels in AVX2
// (level_search_avx2.cpp), for x86-64 processors that have it.
#pragma once

namespace kelvo4::encoding {

struct Steps;
struct RateTerms;

// chooseLevels (level_search.h) with the same results, eight candidates at
// a time; only where cpuFlags() has kCpuAvx2.
bool chooseLevelsAvx2(const short* coef, const short* quant, const Steps& steps, const RateTerms& rate,
                      short* bytes);

}  // namespace kelvo4::encoding
