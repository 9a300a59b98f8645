// Internal to the encoder: the small block helpers its inner loops call, in
// a scalar reference form and, on x86-64, vector forms (x86/) with exactly
// the same results. The encoder picks one set from the CPU flags
// (and their mask) when it opens, so KELVO4_CPU_MASK=0 runs the scalar set.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kelvo4 {

namespace encoding {
struct Steps;
struct RateTerms;
}  // namespace encoding

// The search for a block's levels (see level_search.h).
using CodeTransformedFn = long (*)(const short* target, const short* transformed, const short* quant,
                                   const encoding::Steps& steps, signed char* zigzag, int passes,
                                   const encoding::RateTerms* rate);

// Arrays named as 16-byte aligned below must be; the others need not be.
struct EncoderKernels {
  // Forward transform of 64 residual samples on the fastest exact kernel,
  // which takes samples within [-256, 255]: wider blocks are halved until
  // they fit and their coefficients doubled back, saturating at the 16-bit
  // limits (far beyond the 127 x 96 that a byte can code).
  void (*transform)(const short* samples, short* coef);
  // What the decoder makes of 64 natural-order bytes (aligned): the
  // dequantised product wraps in 16 bits, then the inverse transform, into
  // samples (aligned).
  void (*reconstruct)(const short* bytes, const short* quant, short* samples);
  // Squared error of samples (aligned) against target; diff (aligned) gets
  // target - samples, saturated to 16 bits.
  long (*blockError)(const short* target, const short* samples, short* diff);
  // Adds round(coef / factor), through reciprocal (aligned: 1/q of each
  // factor, 0 for a useless one), to each byte (aligned), limited to the
  // signed byte range. Returns false when nothing changed.
  bool (*quantiseInto)(const short* coef, const float* reciprocal, short* bytes);
  // Bit i set where |coef[i]| > limit (0 <= limit < 32767).
  std::uint64_t (*beyond)(const short* coef, int limit);
  // Clears trial (aligned) where bytes (aligned) is 0; whether trial then
  // differs from bytes.
  bool (*keepZeros)(const short* bytes, short* trial);
  // Bit i set where bytes[i] is non-zero (64 bytes).
  std::uint64_t (*nonzeroMask)(const signed char* bytes);
  // The sum of squared differences of two byte arrays.
  std::uint64_t (*squaredError)(const std::uint8_t* a, const std::uint8_t* b, std::size_t count);
  // The luma residual of a row of blocks: for each of `blocks` runs of 8
  // pixels (3 components each, luma first) in target and prediction, their
  // luma differences, saturated to 16 bits, into 8 samples of out, one
  // block (64 samples) further on for each run.
  void (*lumaResidual)(const short* target, const short* prediction, int blocks, short* out);
  // coefficients::estimatedBits of 64 bytes.
  int (*estimatedBits)(const signed char* block);
  // The colour cache's lookups of a row of pixels (ColourCache::RowFn), or
  // null for its scalar loop.
  int (*colourRow)(const std::uint8_t* px, int count, std::uint32_t* table, short* c,
                   std::uint32_t (*fill)(std::uint32_t* entry, const std::uint8_t* px));
  // The levels of a block from its residual samples and their transform,
  // refined for up to `passes` rounds; with rate terms chosen for error plus
  // rate. zigzag gets them; returns the remaining squared error.
  CodeTransformedFn codeTransformed;
};

// The part of transform beyond the common case, for every form: samples
// whose largest magnitude (|-32768| counted as 32767) is peak, halved until
// they fit fdct's range.
void transformScaled(const short* samples, short* coef, int peak, void (*fdct)(short* block));
// squaredError's scalar form, for the tails of the vector ones.
std::uint64_t squaredErrorC(const std::uint8_t* a, const std::uint8_t* b, std::size_t count);

// The set of the levels these flags allow (within those the processor has),
// and the fastest set the CPU flags (with their mask) allow.
const EncoderKernels& encoderKernelsFor(unsigned flags);
const EncoderKernels& bestEncoderKernels();

}  // namespace kelvo4
