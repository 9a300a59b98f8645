// The scalar stages, the band walk shared by every vector level, the stage
// tables and one band of the frame pipeline. Nothing here keeps state: the
// size, the table and the scratch come in through a BandContext.
#include "src/decoder/stages.h"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>

#include "src/dct/dct.h"
#include "src/stage/stage_rows.h"


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

std::uint64_t nonzeroBytes(const signed char* block) {
  std::uint64_t mask = 0;
  for (int k = 0; k < 64; ++k) mask |= static_cast<std::uint64_t>(block[k] != 0) << k;
  return mask;
}


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

template <PrepareBlockFn Prepare, IdctRowsFn Idct>
bool decodeBlockSparse(const short* quant, const signed char* block, short* out) {
  unsigned rows;
  const BlockKind kind = Prepare(quant, block, out, rows);
  if (kind == BlockKind::Coefficients) Idct(out, rows);
  return kind != BlockKind::Zero;
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

namespace {

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

// The paired AVX2 forms, where this build has them.
#if KELVO4_X86
constexpr auto lumaPair = addLumaPairAvx2;
constexpr auto chromaPair = addChromaPairAvx2;
#else
constexpr bool lumaPair(const short*, const signed char*, const signed char*, short*, std::ptrdiff_t) { return false; }
constexpr bool chromaPair(const short*, const signed char*, const signed char*, short*, std::ptrdiff_t) {
  return false;
}
#endif

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
// form and, with Pairs, neighbouring blocks decoded and added together.
template <PrepareBlockFn Prepare, IdctRowsFn Idct, AddLumaFn AddLuma, AddChromaFn AddChroma, bool Pairs>
void addBandFast(BandContext& ctx, const signed char* payload, short* frame, int band) {
  const int bw = ctx.width >> 3, bh = ctx.height >> 3, mw = ctx.width >> 4, mh = ctx.height >> 4;
  const std::ptrdiff_t stride = ctx.width3;
  const short* quant = ctx.quant;
  alignas(32) short a[64], b[64], paired[64];
  if (Pairs)
    for (int i = 0; i < 64; ++i) paired[i] = quant[i / 8 * 8 + kPairedRowOrder[i % 8]];
  for (int by = 2 * band; by < 2 * band + 2 && by < bh; ++by) {
    const signed char* row = payload + 64 * by * bw;
    short* pixels = frame + 8 * by * stride;
    for (int bx = 0; bx < bw; bx += 2) {
      ctx.prefetch.step();
      BlockKind ka, kb = BlockKind::Zero;
      if (bx + 1 < bw) {
        if (Pairs && lumaPair(paired, row + 64 * bx, row + 64 * (bx + 1), pixels + 24 * bx, stride)) continue;
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
    if (Pairs && chromaPair(paired, pair, pair + 64, mb, stride)) continue;
    BlockKind ku, kv;
    decodeTwo<Prepare, Idct>(quant, pair, pair + 64, a, b, ku, kv);
    if (ku == BlockKind::Zero && kv == BlockKind::Zero) continue;
    AddChroma(mb, stride, a, b);
  }
}

constexpr Stages kScalar = {smoothRowsC, convertC, convertArgbVia<convertC>, addBandC, decodeBlockC};
#if KELVO4_X86
// The scalar stages around the MMX or SSE inverse transform.
template <IdctRowsFn Idct>
constexpr Stages kScalarWith = {smoothRowsC, convertC, convertArgbVia<convertC>,
                                addBandFast<prepareBlock, Idct, addLumaC, addChromaC, false>,
                                decodeBlockSparse<prepareBlock, Idct>};
constexpr Stages kSse2 = {smoothRowsSse2, convertC, convertArgbVia<convertC>,
                          addBandFast<prepareBlockSse2, idctRowsSse2, addLumaC, addChromaC, false>,
                          decodeBlockSparse<prepareBlockSse2, idctRowsSse2>};
constexpr Stages kSsse3 = {smoothRowsSse2, convertSsse3, convertArgbVia<convertSsse3>,
                           addBandFast<prepareBlockSsse3, idctRowsSse2, addLumaSsse3, addChromaSsse3, false>,
                           decodeBlockSparse<prepareBlockSsse3, idctRowsSse2>};
constexpr Stages kAvx2 = {smoothRowsAvx2, convertAvx2, convertArgbAvx2,
                          addBandFast<prepareBlockSsse3, idctRowsSse2, addLumaSsse3, addChromaSsse3, true>,
                          decodeBlockSparse<prepareBlockSsse3, idctRowsSse2>};
#endif
#if KELVO4_ARM
inline void idctRowsNeon(short* block, unsigned) { idctNeon(block); }
constexpr Stages kNeon = {smoothRowsNeon, convertNeon, convertArgbNeon,
                          addBandFast<prepareBlockNeon, idctRowsNeon, addLumaNeon, addChromaNeon, false>,
                          decodeBlockSparse<prepareBlockNeon, idctRowsNeon>};
#endif

}  // namespace

bool stageLevelSupported(StageLevel level) {
  const unsigned flags = cpuFlags();
  switch (level) {
    case StageLevel::Scalar:
      return true;
    case StageLevel::Sse2:
      return flags & kCpuSse2;
    case StageLevel::Ssse3:
      return (flags & kCpuSse2) && (flags & kCpuSsse3);
    case StageLevel::Avx2:
      return (flags & kCpuSse2) && (flags & kCpuSsse3) && (flags & kCpuAvx2);
    case StageLevel::Neon:
      return KELVO4_ARM && (flags & kCpuNeon);
    case StageLevel::Mmx:
      return KELVO4_X86 && (flags & kCpuMmx);
    case StageLevel::Sse:
      return KELVO4_X86 && (flags & kCpuSse);
  }
  return false;
}

const Stages& bestStages() {
  for (StageLevel level : {StageLevel::Neon, StageLevel::Avx2, StageLevel::Ssse3, StageLevel::Sse2, StageLevel::Sse,
                           StageLevel::Mmx})
    if (stageLevelSupported(level)) return stagesFor(level);
  return kScalar;
}

const Stages& stagesFor(StageLevel level) {
  if (!stageLevelSupported(level)) return bestStages();
  switch (level) {
#if KELVO4_X86
    case StageLevel::Avx2:
      return kAvx2;
    case StageLevel::Ssse3:
      return kSsse3;
    case StageLevel::Sse2:
      return kSse2;
    case StageLevel::Sse:
      return kScalarWith<idctRowsSse>;
    case StageLevel::Mmx:
      return kScalarWith<idctRowsMmx>;
#endif
#if KELVO4_ARM
    case StageLevel::Neon:
      return kNeon;
#endif
    default:
      return kScalar;
  }
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
