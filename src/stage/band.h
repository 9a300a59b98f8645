// Internal: the band walk and block decoding that the levels of stages
// build from their own pieces, as templates, so that each ISA folder
// instantiates its levels where the pieces can be inlined. Internal linkage
// throughout (see stage_rows.h).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "src/stage/stage_shared.h"

namespace kelvo4 {

// Decodes two neighbouring blocks together when both hold more than a lone
// DC value, adding them to the pixels at `pixels` (luma blocks side by side,
// or the two chroma blocks of a macroblock), the rows of quant in
// kPairedRowOrder; false, having done nothing, otherwise.
using AddPairFn = bool (*)(const short* quant, const signed char* a, const signed char* b, short* pixels,
                           std::ptrdiff_t stride);

namespace {

// Skips the work that zero coefficients would do: whole zero blocks, lone DC
// coefficients and, where Idct can, the row transforms of zero rows.
template <PrepareBlockFn Prepare, IdctRowsFn Idct>
bool decodeBlockSparse(const short* quant, const signed char* block, short* out) {
  unsigned rows;
  const BlockKind kind = Prepare(quant, block, out, rows);
  if (kind == BlockKind::Coefficients) Idct(out, rows);
  return kind != BlockKind::Zero;
}

// Decodes two blocks into a and b, one by one.
template <PrepareBlockFn Prepare, IdctRowsFn Idct>
inline void decodeTwo(const short* quant, const signed char* pa, const signed char* pb, short* a, short* b,
                      BlockKind& ka, BlockKind& kb) {
  unsigned ra = 0, rb = 0;
  ka = Prepare(quant, pa, a, ra);
  kb = Prepare(quant, pb, b, rb);
  if (ka == BlockKind::Coefficients) Idct(a, ra);
  if (kb == BlockKind::Coefficients) Idct(b, rb);
}

// Packed pixels through a byte conversion, a stretch of pixels at a time.
template <ConvertFn Convert>
void convertArgbVia(const short* frame, std::uint32_t* out, std::size_t pixels) {
  constexpr std::size_t kStretch = 64;
  signed char bytes[3 * kStretch];
  for (std::size_t p = 0; p < pixels; p += kStretch) {
    const std::size_t n = std::min(kStretch, pixels - p);
    Convert(frame + 3 * p, bytes, n);
    packArgb(bytes, out + p, n);
  }
}

// The band of addBandC, with zero blocks skipped, lone DC values in closed
// form and, with kPairs, neighbouring blocks decoded and added together by
// LumaPair and ChromaPair. (kPairs is its own parameter: whether a function's
// address is null is not a constant expression in every build.)
template <PrepareBlockFn Prepare, IdctRowsFn Idct, AddLumaFn AddLuma, AddChromaFn AddChroma, bool kPairs = false,
          AddPairFn LumaPair = nullptr, AddPairFn ChromaPair = nullptr>
void addBandFast(BandContext& ctx, const signed char* payload, short* frame, int band) {
  const int bw = ctx.width >> 3, bh = ctx.height >> 3, mw = ctx.width >> 4, mh = ctx.height >> 4;
  const std::ptrdiff_t stride = ctx.width3;
  const short* quant = ctx.quant;
  alignas(32) short a[64], b[64], paired[64];
  if constexpr (kPairs)
    for (int i = 0; i < 64; ++i) paired[i] = quant[i / 8 * 8 + kPairedRowOrder[i % 8]];
  for (int by = 2 * band; by < 2 * band + 2 && by < bh; ++by) {
    const signed char* row = payload + 64 * by * bw;
    short* pixels = frame + 8 * by * stride;
    for (int bx = 0; bx < bw; bx += 2) {
      ctx.prefetch.step();
      BlockKind ka, kb = BlockKind::Zero;
      if (bx + 1 < bw) {
        if constexpr (kPairs)
          if (LumaPair(paired, row + 64 * bx, row + 64 * (bx + 1), pixels + 24 * bx, stride)) continue;
        decodeTwo<Prepare, Idct>(quant, row + 64 * bx, row + 64 * (bx + 1), a, b, ka, kb);
      } else {
        unsigned ra = 0;
        ka = Prepare(quant, row + 64 * bx, a, ra);
        if (ka == BlockKind::Coefficients) Idct(a, ra);
      }
      if (ka != BlockKind::Zero) AddLuma(pixels + 24 * bx, stride, a);
      if (kb != BlockKind::Zero) AddLuma(pixels + 24 * (bx + 1), stride, b);
    }
  }
  if (band >= mh) return;
  for (int mx = 0; mx < mw; ++mx) {
    const signed char* pair = payload + 64 * bw * bh + 128 * (band * mw + mx);
    short* mb = frame + 16 * band * stride + 48 * mx;
    ctx.prefetch.step();
    if constexpr (kPairs)
      if (ChromaPair(paired, pair, pair + 64, mb, stride)) continue;
    BlockKind ku, kv;
    decodeTwo<Prepare, Idct>(quant, pair, pair + 64, a, b, ku, kv);
    if (ku == BlockKind::Zero && kv == BlockKind::Zero) continue;
    AddChroma(mb, stride, a, b);
  }
}

// The scalar stages around a level's inverse transform (the MMX and SSE
// levels of 32-bit x86, which have no vector stages of their own).
template <IdctRowsFn Idct>
constexpr Stages kScalarWith = {smoothRowsC, convertC, convertArgbVia<convertC>,
                                addBandFast<prepareBlock, Idct, addLumaC, addChromaC>,
                                decodeBlockSparse<prepareBlock, Idct>};

}  // namespace
}  // namespace kelvo4
