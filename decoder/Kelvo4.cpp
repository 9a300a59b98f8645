#include "Kelvo4.h"

#include <cmath>
#include <cstdint>
#include <new>
#include <utility>

#include "vrel_dct.h"

namespace {

// The table and the block live as long as the process. They start zeroed, so a
// frame decoded before any table is set has every coefficient removed instead
// of reading indeterminate memory. Static storage needs no allocation at load.
alignas(16) short quantStorage[64] = {};
alignas(16) short inStorage[64] = {};

void releaseFrames() {
  delete[] oldoldfr;
  delete[] oldfr;
  oldoldfr = nullptr;
  oldfr = nullptr;
}

short toFactor(float v) {
  // Truncation toward zero; anything that does not land in 16 bits, and NaN
  // (every comparison false), gives -32768. The bounds are exact in float.
  if (!(v > -32769.0f && v < 32768.0f)) return -32768;
  return static_cast<short>(static_cast<int>(v));
}

// Quotient of a wrapped 16-bit sum by 4, truncated toward zero.
inline short quarter(std::uint16_t sum) {
  int s = static_cast<std::int16_t>(sum);
  if (s < 0) s += 3;
  return static_cast<short>(s >> 2);
}

}  // namespace

int width = 0, height = 0, width3 = 0;
short* oldfr = nullptr;
short* oldoldfr = nullptr;
short* quant = quantStorage;
short* in = inStorage;

bool reinitDLL(int w, int h) {
  // Every later size computation (3 * w * h samples) must fit in 32 bits.
  if (w < 0 || h < 0) return false;
  if (3ULL * static_cast<unsigned>(w) * static_cast<unsigned>(h) >= (1ULL << 31)) return false;
  releaseFrames();
  width = w;
  height = h;
  width3 = w + w + w;
  const std::size_t samples = static_cast<std::size_t>(width3) * static_cast<std::size_t>(height);
  try {
    oldoldfr = new short[samples];
    oldfr = new short[samples];
  } catch (const std::bad_alloc&) {
    releaseFrames();
    width = height = width3 = 0;
    return false;
  }
  for (std::size_t i = 0; i < samples; i += 3) {
    oldfr[i] = 0;
    oldfr[i + 1] = 128;
    oldfr[i + 2] = 128;
  }
  return true;
}

void setQuantizationTable(const float* values, int count) {
  if (count != 64 || values == nullptr) return;
  for (int i = 0; i < 64; ++i) quant[i] = toFactor(values[i]);
}

void decodeFrame(const signed char* payload, int payloadLength, signed char* output, int outputLength,
                 bool convert) {
  const int n = width * height;  // reinitDLL keeps 3 * n below 2^31
  if (payloadLength != n + n / 2) return;
  if (convert && outputLength != n * 3) return;
  if ((payload == nullptr && payloadLength != 0) || (convert && output == nullptr && outputLength != 0)) return;
  std::swap(oldfr, oldoldfr);
  smooth(oldoldfr, oldfr);
}

void smooth(short* src, short* dst) {
  const int w = width, h = height, stride = width3;
  for (int y = 0; y < h; ++y) {
    const short* row = src + static_cast<std::ptrdiff_t>(y) * stride;
    const short* up = y > 0 ? row - stride : row;
    const short* down = y < h - 1 ? row + stride : row;
    short* out = dst + static_cast<std::ptrdiff_t>(y) * stride;
    for (int x = 0; x < w; ++x) {
      const int i = 3 * x;
      const int left = x > 0 ? i - 3 : i;
      const int right = x < w - 1 ? i + 3 : i;
      for (int k = 0; k < 3; ++k) {
        const std::uint16_t sum = static_cast<std::uint16_t>(
            static_cast<std::uint16_t>(row[left + k]) + static_cast<std::uint16_t>(row[right + k]) +
            static_cast<std::uint16_t>(up[i + k]) + static_cast<std::uint16_t>(down[i + k]));
        out[i + k] = quarter(sum);
      }
    }
  }
}
