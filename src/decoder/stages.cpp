// The choice of stages and one band of the frame pipeline. Nothing here
// keeps state: the size, the table and the scratch come in through a
// BandContext.
#include "src/decoder/stages.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace kelvo4 {

short toFactor(float v) {
  // Truncation toward zero; anything that does not land in 16 bits, and NaN
  // (every comparison false), gives -32768. The bounds are exact in float.
  if (!(v > -32769.0f && v < 32768.0f)) return -32768;
  return static_cast<short>(static_cast<int>(v));
}

void fillInitialFrame(short* frame, std::size_t samples) {
  for (std::size_t i = 0; i < samples; i += 3) {
    frame[i] = 0;
    frame[i + 1] = 128;
    frame[i + 2] = 128;
  }
}

// Unsigned: a height near 2^31 (beside a width of 0) must not overflow.
int bandCount(int height) { return static_cast<int>((static_cast<unsigned>(height) + 15u) >> 4); }

int blockCount(int width, int height) { return (width >> 3) * (height >> 3) + 2 * (width >> 4) * (height >> 4); }

Stages stagesFor(unsigned flags) {
  Stages stages = scalarStages();
#if KELVO4_X86
  initStagesX86(stages, flags);
#elif KELVO4_ARM
  initStagesArm(stages, flags);
#else
  (void)flags;
#endif
  return stages;
}

void decodeBand(const Stages& stages, BandContext& ctx, const signed char* payload, const short* prev, short* cur,
                const Output& out, int band, bool predicted) {
  const int height = ctx.height;
  const std::ptrdiff_t stride = ctx.width3;
  const int y0 = 16 * band, y1 = height - y0 > 16 ? y0 + 16 : height;
  if (!predicted) {
    stages.smoothRows(ctx, prev, cur, y0, y1);
    // The source rows the next band's prediction reads beyond this one's.
    const int n0 = y1 + 1 < height ? y1 + 1 : height, n1 = y1 + 17 < height ? y1 + 17 : height;
    ctx.prefetch.begin(reinterpret_cast<const char*>(prev + static_cast<std::ptrdiff_t>(n0) * stride),
                       reinterpret_cast<const char*>(prev + static_cast<std::ptrdiff_t>(n1) * stride));
  } else {
    ctx.prefetch = {};
  }
  stages.addBand(ctx, payload, cur, band);
  const int rows = std::min(y1, out.height);
  const std::size_t w = static_cast<std::size_t>(out.width);
  if (out.bytes != nullptr) {
    const std::size_t outStride = out.stride != 0 ? out.stride : 3 * w;
    if (out.width == ctx.width && outStride == 3 * w) {
      if (rows > y0)
        stages.convert(cur + y0 * stride, out.bytes + y0 * stride, static_cast<std::size_t>(rows - y0) * w);
    } else {
      for (int y = y0; y < rows; ++y) stages.convert(cur + y * stride, out.bytes + outStride * static_cast<std::size_t>(y), w);
    }
  } else if (out.argb != nullptr) {
    const std::size_t outStride = out.stride != 0 ? out.stride : 4 * w;
    for (int y = y0; y < rows; ++y) {
      unsigned char* row = out.argb + outStride * static_cast<std::size_t>(y);
      if (reinterpret_cast<std::uintptr_t>(row) % alignof(std::uint32_t) == 0) {
        stages.convertArgb(cur + y * stride, reinterpret_cast<std::uint32_t*>(row), w);
        continue;
      }
      // A row at an address no uint32_t may have: converted a stretch at a
      // time where one may, then copied bytewise.
      constexpr std::size_t kStretch = 64;
      std::uint32_t pixels[kStretch];
      for (std::size_t p = 0; p < w; p += kStretch) {
        const std::size_t n = std::min(kStretch, w - p);
        stages.convertArgb(cur + y * stride + 3 * static_cast<std::ptrdiff_t>(p), pixels, n);
        std::memcpy(row + 4 * p, pixels, 4 * n);
      }
    }
  }
}

}  // namespace kelvo4
