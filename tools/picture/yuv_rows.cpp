#include "tools/picture/yuv_rows.h"

#include <algorithm>

#include "src/cpu/cpu.h"

namespace kelvo4 {

namespace {

std::uint8_t clampByte(int v) { return static_cast<std::uint8_t>(std::clamp(v, 0, 255)); }

}  // namespace

void yuvRowC(const std::uint8_t* luma, const short* cb, const short* cr, int count, const YuvMatrix& m,
             std::uint8_t* rgb) {
  for (int x = 0; x < count; ++x, rgb += 3) {
    // Luma in 1/16 steps too: with factors below 2^18, |sum| stays below 2^31.
    const int luma16 = (luma[x] - m.lumaOffset) * 16 * m.y;
    const int u = cb[x], v = cr[x];
    constexpr int half = 1 << 19;
    rgb[0] = clampByte((luma16 + m.rv * v + half) >> 20);
    rgb[1] = clampByte((luma16 - m.gu * u - m.gv * v + half) >> 20);
    rgb[2] = clampByte((luma16 + m.bu * u + half) >> 20);
  }
}

YuvRowFn yuvRowFor(unsigned flags) {
  YuvRowFn row = yuvRowC;
#if KELVO4_PICTURE_X86
  initYuvRowX86(row, flags);
#else
  (void)flags;
#endif
  return row;
}

YuvRowFn bestYuvRow() { return yuvRowFor(cpuFlags()); }

}  // namespace kelvo4
