// Internal to the YUV4MPEG2 reader: a row of Y'CbCr pixels to rgb24, in a
// scalar reference form and, on x86-64, a vector form (x86/) with exactly
// the same results.
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
// The fastest form these flags allow (within those the processor has), and
// the fastest the CPU flags (with their mask) allow.
YuvRowFn yuvRowFor(unsigned flags);
YuvRowFn bestYuvRow();
// Sets row to the x86 form the flags allow, if any (x86/, on x86-64).
void initYuvRowX86(YuvRowFn& row, unsigned flags);

}  // namespace kelvo4
