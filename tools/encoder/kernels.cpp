// The scalar references of the encoder's block helpers, and the choice of a
// set from the CPU flags.
#include "tools/encoder/kernels.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "src/cpu/cpu.h"
#include "src/decoder/stages.h"
#include "tools/writer/coefficient_encoder.h"
#include "tools/encoder/level_search.h"
#if KELVO4_ENCODER_X86
#include "tools/encoder/x86/x86.h"
#endif

namespace kelvo4 {

namespace {

using encoding::clampInt;

void transformC(const short* samples, short* coef) {
  int peak = 0;
  for (int i = 0; i < 64; ++i) peak = std::max(peak, std::min(std::abs(int{samples[i]}), 32767));
  // Cleared: on 32-bit x86 the floating point that follows runs on the x87
  // registers that MMX shares.
  transformScaled(samples, coef, peak, exportedKernels().fdctClear);
}

void reconstructC(const short* bytes, const short* quant, short* samples) {
  for (int i = 0; i < 64; ++i)
    samples[i] = static_cast<short>(static_cast<std::uint16_t>(static_cast<unsigned>(bytes[i]) *
                                                              static_cast<unsigned>(quant[i])));
  exportedKernels().idct(samples);
}

long blockErrorC(const short* target, const short* samples, short* diff) {
  long e = 0;
  for (int i = 0; i < 64; ++i) {
    const int d = clampInt(target[i] - samples[i], -32768, 32767);
    diff[i] = static_cast<short>(d);
    e += d * d;
  }
  return e;
}

bool quantiseIntoC(const short* coef, const float* reciprocal, short* bytes) {
  bool changed = false;
  for (int i = 0; i < 64; ++i) {
    const int step = static_cast<int>(std::nearbyint(std::clamp(coef[i] * reciprocal[i], -32768.0f, 32767.0f)));
    const int b = clampInt(bytes[i] + step, -128, 127);
    changed |= b != bytes[i];
    bytes[i] = static_cast<short>(b);
  }
  return changed;
}

std::uint64_t beyondC(const short* coef, int limit) {
  std::uint64_t mask = 0;
  for (int i = 0; i < 64; ++i) mask |= std::uint64_t{std::abs(int{coef[i]}) > limit} << i;
  return mask;
}

bool keepZerosC(const short* bytes, short* trial) {
  bool moved = false;
  for (int i = 0; i < 64; ++i) {
    if (bytes[i] == 0) trial[i] = 0;
    moved |= trial[i] != bytes[i];
  }
  return moved;
}

void lumaResidualC(const short* target, const short* prediction, int blocks, short* out) {
  for (int b = 0; b < blocks; ++b, target += 24, prediction += 24, out += 64)
    for (int c = 0; c < 8; ++c) out[c] = static_cast<short>(clampInt(target[3 * c] - prediction[3 * c], -32768, 32767));
}

constexpr EncoderKernels kScalarHelpers = {transformC,   reconstructC,  blockErrorC,   quantiseIntoC,
                                           beyondC,      keepZerosC,    nonzeroBytes,  squaredErrorC,
                                           lumaResidualC, coefficients::estimatedBits, nullptr, nullptr};
constexpr EncoderKernels kScalar =
    encoding::withSearch(kScalarHelpers, encoding::codeTransformedWith<kScalarHelpers>);

}  // namespace

void transformScaled(const short* samples, short* coef, int peak, void (*fdct)(short* block)) {
  int shift = 0;
  while ((peak >> shift) > 255) ++shift;
  alignas(16) short block[64];
  for (int i = 0; i < 64; ++i) {
    // Rounded halving, kept within the kernel's range.
    const int v = shift ? (samples[i] + (1 << (shift - 1))) >> shift : samples[i];
    block[i] = static_cast<short>(clampInt(v, -256, 255));
  }
  fdct(block);
  for (int i = 0; i < 64; ++i) coef[i] = static_cast<short>(clampInt(block[i] * (1 << shift), -32768, 32767));
}

std::uint64_t squaredErrorC(const std::uint8_t* a, const std::uint8_t* b, std::size_t count) {
  std::uint64_t sse = 0;
  for (std::size_t i = 0; i < count; ++i) {
    const int d = int{a[i]} - b[i];
    sse += static_cast<std::uint64_t>(d * d);
  }
  return sse;
}

const EncoderKernels& encoderKernelsFor(unsigned flags) {
  const EncoderKernels* kernels = &kScalar;
#if KELVO4_ENCODER_X86
  initEncoderKernelsX86(kernels, flags);
#else
  (void)flags;
#endif
  return *kernels;
}

const EncoderKernels& bestEncoderKernels() { return encoderKernelsFor(cpuFlags()); }

}  // namespace kelvo4
