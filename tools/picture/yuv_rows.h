// Internal to the YUV4MPEG2 reader: a row of Y'CbCr pixels to rgb24, in a
// scalar reference form and, where the build has SSE2, a vector form with
// exactly the same results.
#pragma once

#include <cstdint>

namespace kelvo4 {

// Y'CbCr to R'G'B' in 16-bit fixed point, per unit of luma and of chroma.
struct YuvMatrix {
  int lumaOffset, y, rv, gu, gv, bu;
};

// count pixels: luma samples, and each pixel's Cb and Cr centred on 0 in
// 1/16 steps (16 * (sample - 128) for a sample sitting on the pixel; within
// [-2048, 2032]); factors below 2^18. Writes 3 * count bytes of rgb.
using YuvRowFn = void (*)(const std::uint8_t* luma, const short* cb, const short* cr, int count, const YuvMatrix& m,
                          std::uint8_t* rgb);

void yuvRowC(const std::uint8_t* luma, const short* cb, const short* cr, int count, const YuvMatrix& m,
             std::uint8_t* rgb);
// The SSE2 form when this build has it and the CPU flags allow it, else null.
YuvRowFn yuvRowSse2();
// The fastest form the CPU flags allow.
YuvRowFn bestYuvRow();

}  // namespace kelvo4
