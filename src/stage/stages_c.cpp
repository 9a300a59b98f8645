// The scalar stages: the reference every level of vector stages matches,
// and the pieces the vector forms share and finish with.
#include <algorithm>
#include <bit>
#include <cstdint>

#include "src/dct/dct.h"
#include "src/stage/band.h"
#include "src/stage/stage_rows.h"

namespace kelvo4 {

bool decodeBlockC(const short* quant, const signed char* block, short* out) {
  for (int k = 0; k < 64; ++k) {
    const int pos = kZigzag[k];
    // The dequantised coefficient keeps the low 16 bits of the product: no saturation.
    out[pos] = wrap16(block[k] * quant[pos]);
  }
  idctC(out);
  return true;
}

BlockKind prepareClosedForm(const short* quant, const signed char* block, std::uint64_t nonzero, short* out) {
  if (nonzero == 0) {
    // Zero coefficients transform to a zero residual, whatever the table.
    std::fill(out, out + 64, short{0});
    return BlockKind::Zero;
  }
  // A lone DC coefficient D gives floor((D + 4) / 8) across row 0 and
  // floor((D + 3) / 8) elsewhere, limited to [-512, 511]: the transform's
  // own result for every 16-bit D.
  const int d = wrap16(block[0] * quant[0]);
  std::fill(out, out + 8, static_cast<short>(std::clamp((d + 4) >> 3, -512, 511)));
  std::fill(out + 8, out + 64, static_cast<short>(std::clamp((d + 3) >> 3, -512, 511)));
  return BlockKind::Residual;
}

BlockKind prepareBlock(const short* quant, const signed char* block, short* out, unsigned& rows) {
  return prepareBlockFrom(quant, block, nonzeroBytes(block), out, rows);
}

BlockKind prepareBlockFrom(const short* quant, const signed char* block, std::uint64_t nonzero, short* out,
                           unsigned& rows) {
  if (nonzero <= 1) return prepareClosedForm(quant, block, nonzero, out);
  std::fill(out, out + 64, short{0});
  rows = 0;
  for (; nonzero; nonzero &= nonzero - 1) {
    const int k = std::countr_zero(nonzero);
    const int pos = kZigzag[k];
    out[pos] = wrap16(block[k] * quant[pos]);
    rows |= 1u << (pos >> 3);
  }
  return BlockKind::Coefficients;
}

void smoothRowsC(const BandContext& ctx, const short* src, short* dst, int y0, int y1) {
  smoothRowsWith<>(ctx, src, dst, y0, y1);
}

void packArgb(const signed char* bytes, std::uint32_t* out, std::size_t pixels) {
  const auto* b = reinterpret_cast<const unsigned char*>(bytes);
  for (std::size_t x = 0; x < pixels; ++x)
    out[x] = 0xFF000000u | std::uint32_t{b[3 * x]} << 16 | std::uint32_t{b[3 * x + 1]} << 8 | b[3 * x + 2];
}

void convertC(const short* frame, signed char* out, std::size_t pixels) {
  for (std::size_t i = 0; i < 3 * pixels; i += 3) {
    const auto bytes = convertPixel(frame[i], frame[i + 1], frame[i + 2]);
    for (int k = 0; k < 3; ++k) out[i + k] = static_cast<signed char>(bytes[k]);
  }
}

void addLumaC(short* base, std::ptrdiff_t stride, const short* block) {
  for (int r = 0; r < 8; ++r)
    for (int c = 0; c < 8; ++c) {
      short& s = base[r * stride + 3 * c];
      s = wrap16(s + block[8 * r + c]);
    }
}

void addChromaC(short* base, std::ptrdiff_t stride, const short* u, const short* v) {
  for (int r = 0; r < 8; ++r)
    for (int c = 0; c < 8; ++c) {
      short* p = base + 2 * r * stride + 6 * c;
      for (short* s : {p, p + 3, p + stride, p + stride + 3}) {
        s[1] = wrap16(s[1] + u[8 * r + c]);
        s[2] = wrap16(s[2] + v[8 * r + c]);
      }
    }
}

void addBandC(BandContext& ctx, const signed char* payload, short* frame, int band) {
  const int bw = ctx.width >> 3, bh = ctx.height >> 3, mw = ctx.width >> 4, mh = ctx.height >> 4;
  const std::ptrdiff_t stride = ctx.width3;
  for (int by = 2 * band; by < 2 * band + 2 && by < bh; ++by) {
    for (int bx = 0; bx < bw; ++bx) {
      decodeBlockC(ctx.quant, payload + 64 * (by * bw + bx), ctx.block);
      addLumaC(frame + 8 * by * stride + 24 * bx, stride, ctx.block);
    }
  }
  if (band >= mh) return;
  short u[64];
  for (int mx = 0; mx < mw; ++mx) {
    const int offset = 64 * bw * bh + 128 * (band * mw + mx);
    decodeBlockC(ctx.quant, payload + offset, ctx.block);
    std::copy(ctx.block, ctx.block + 64, u);
    decodeBlockC(ctx.quant, payload + offset + 64, ctx.block);
    addChromaC(frame + 16 * band * stride + 48 * mx, stride, u, ctx.block);
  }
}

Stages scalarStages() { return {smoothRowsC, convertC, convertArgbVia<convertC>, addBandC, decodeBlockC}; }

}  // namespace kelvo4
