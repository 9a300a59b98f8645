#include "Kelvo4.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <new>
#include <utility>

#include "dct.h"
#include "stages.h"

#if defined(__x86_64__) || defined(__i386__)
#include <emmintrin.h>
#endif

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

// Low 16 bits of v as a two's-complement sample.
inline short wrap16(int v) { return static_cast<short>(static_cast<std::uint16_t>(v)); }

inline unsigned char clampByte(short v) { return v <= 0 ? 0 : v >= 255 ? 255 : static_cast<unsigned char>(v); }

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
  // Wraps like the 32-bit sum it stands for: a width near 2^31 is accepted
  // beside a height of 0, and then no row is ever read.
  width3 = static_cast<int>(3u * static_cast<unsigned>(w));
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

namespace kelvo4 {

std::uint64_t nonzeroBytes(const signed char* block) {
#if defined(__x86_64__) || defined(__i386__)
  std::uint64_t zero = 0;
  for (int i = 0; i < 4; ++i) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(block + 16 * i));
    zero |= static_cast<std::uint64_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, _mm_setzero_si128()))) << (16 * i);
  }
  return ~zero;
#else
  std::uint64_t mask = 0;
  for (int k = 0; k < 64; ++k) mask |= static_cast<std::uint64_t>(block[k] != 0) << k;
  return mask;
#endif
}

void idctRows(short* block, unsigned rows) {
#if defined(__x86_64__) || defined(__i386__)
  idctRowsSse2(block, rows);
#else
  Vrel_IDct16_MMX(block);
#endif
}

bool decodeBlockC(const signed char* block) {
  for (int k = 0; k < 64; ++k) {
    const int pos = kZigzag[k];
    // The dequantised coefficient keeps the low 16 bits of the product: no saturation.
    in[pos] = wrap16(block[k] * quant[pos]);
  }
  Vrel_IDct16_MMX(in);
  return true;
}

BlockKind prepareBlock(const signed char* block, short* out, unsigned& rows) {
  std::uint64_t nonzero = nonzeroBytes(block);
  if (nonzero == 0) {
    // Zero coefficients transform to a zero residual, whatever the table.
    std::fill(out, out + 64, short{0});
    return BlockKind::Zero;
  }
  if (nonzero == 1) {
    // A lone DC coefficient D gives floor((D + 4) / 8) across row 0 and
    // floor((D + 3) / 8) elsewhere, limited to [-512, 511]: the transform's
    // own result for every 16-bit D.
    const int d = wrap16(block[0] * quant[0]);
    std::fill(out, out + 8, static_cast<short>(std::clamp((d + 4) >> 3, -512, 511)));
    std::fill(out + 8, out + 64, static_cast<short>(std::clamp((d + 3) >> 3, -512, 511)));
    return BlockKind::Residual;
  }
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

bool decodeBlockSparse(const signed char* block) {
  unsigned rows;
  const BlockKind kind = prepareBlock(block, in, rows);
  if (kind == BlockKind::Coefficients) idctRows(in, rows);
  return kind != BlockKind::Zero;
}

}  // namespace kelvo4

void internalIDCT(const signed char* payload, int offset) { kelvo4::active.decodeBlock(payload + offset); }

namespace {

// Unsigned: a height near 2^31 (beside a width of 0) must not overflow.
int bands() { return static_cast<int>((static_cast<unsigned>(height) + 15u) >> 4); }

// The pipeline leaves the last block of the payload in `in`, as a walk that
// decodes every block there would.
void leaveLastBlockInScratch(const signed char* payload) {
  const int blocks = (width >> 3) * (height >> 3) + 2 * (width >> 4) * (height >> 4);
  if (blocks > 0) internalIDCT(payload, 64 * (blocks - 1));
}

}  // namespace

void addTile(const signed char* payload, short* frame) {
  if (width <= 0 || height <= 0) return;  // no block, and no band worth walking
  // Every sample receives at most one residual, so the band order gives the
  // same frame as a walk of the payload from front to back.
  for (int band = 0; band < bands(); ++band) kelvo4::active.addBand(payload, frame, band);
  leaveLastBlockInScratch(payload);
}

namespace kelvo4 {

void smoothRowsC(const short* src, short* dst, int y0, int y1) {
  const int w = width, h = height;
  const std::ptrdiff_t stride = width3;
  for (int y = y0; y < y1; ++y) {
    const short* row = src + y * stride;
    const short* up = y > 0 ? row - stride : row;
    const short* down = y < h - 1 ? row + stride : row;
    short* out = dst + y * stride;
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

void convertC(const short* frame, signed char* out, std::size_t pixels) {
  for (std::size_t i = 0; i < 3 * pixels; i += 3) {
    const int c0 = frame[i], c1 = frame[i + 1], c2 = frame[i + 2];
    // Reducing once at the end of each formula equals reducing every
    // intermediate, since all steps are additions and subtractions mod 2^16.
    const short first = wrap16(c0 - c2 - (c2 >> 2));
    const short second = wrap16(c0 - c1 - (c1 >> 2));
    const short third = wrap16(3 * c0 - second - first);
    out[i] = static_cast<signed char>(clampByte(first));
    out[i + 1] = static_cast<signed char>(clampByte(second));
    out[i + 2] = static_cast<signed char>(clampByte(third));
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

void addBandC(const signed char* payload, short* frame, int band) {
  const int bw = width >> 3, bh = height >> 3, mw = width >> 4, mh = height >> 4;
  const std::ptrdiff_t stride = width3;
  for (int by = 2 * band; by < 2 * band + 2 && by < bh; ++by) {
    for (int bx = 0; bx < bw; ++bx) {
      decodeBlockC(payload + 64 * (by * bw + bx));
      addLumaC(frame + 8 * by * stride + 24 * bx, stride, in);
    }
  }
  if (band >= mh) return;
  short u[64];
  for (int mx = 0; mx < mw; ++mx) {
    const int offset = 64 * bw * bh + 128 * (band * mw + mx);
    decodeBlockC(payload + offset);
    std::copy(in, in + 64, u);
    decodeBlockC(payload + offset + 64);
    addChromaC(frame + 16 * band * stride + 48 * mx, stride, u, in);
  }
}

namespace {

// Decodes two blocks into a and b, one by one.
template <PrepareBlockFn Prepare>
inline void decodeTwo(const signed char* pa, const signed char* pb, short* a, short* b, BlockKind& ka,
                      BlockKind& kb) {
  unsigned ra = 0, rb = 0;
  ka = Prepare(pa, a, ra);
  kb = Prepare(pb, b, rb);
  if (ka == BlockKind::Coefficients) idctRows(a, ra);
  if (kb == BlockKind::Coefficients) idctRows(b, rb);
}

// The paired AVX2 forms, where this build has them.
#if defined(__x86_64__) || defined(__i386__)
constexpr auto lumaPair = addLumaPairAvx2;
constexpr auto chromaPair = addChromaPairAvx2;
#else
constexpr bool lumaPair(const signed char*, const signed char*, short*, std::ptrdiff_t) { return false; }
constexpr bool chromaPair(const signed char*, const signed char*, short*, std::ptrdiff_t) { return false; }
#endif

}  // namespace

PrefetchCursor prefetch;

namespace {

// The band of addBandC, with zero blocks skipped, lone DC values in closed
// form and, with Pairs, neighbouring blocks decoded and added together.
template <PrepareBlockFn Prepare, AddLumaFn AddLuma, AddChromaFn AddChroma, bool Pairs>
void addBandFast(const signed char* payload, short* frame, int band) {
  const int bw = width >> 3, bh = height >> 3, mw = width >> 4, mh = height >> 4;
  const std::ptrdiff_t stride = width3;
  alignas(32) short a[64], b[64];
  for (int by = 2 * band; by < 2 * band + 2 && by < bh; ++by) {
    const signed char* row = payload + 64 * by * bw;
    short* pixels = frame + 8 * by * stride;
    for (int bx = 0; bx < bw; bx += 2) {
      prefetch.step();
      BlockKind ka, kb = BlockKind::Zero;
      if (bx + 1 < bw) {
        if (Pairs && lumaPair(row + 64 * bx, row + 64 * (bx + 1), pixels + 24 * bx, stride)) continue;
        decodeTwo<Prepare>(row + 64 * bx, row + 64 * (bx + 1), a, b, ka, kb);
      } else {
        unsigned ra = 0;
        ka = Prepare(row + 64 * bx, a, ra);
        if (ka == BlockKind::Coefficients) idctRows(a, ra);
      }
      if (ka != BlockKind::Zero) AddLuma(pixels + 24 * bx, stride, a);
      if (kb != BlockKind::Zero) AddLuma(pixels + 24 * (bx + 1), stride, b);
    }
  }
  if (band >= mh) return;
  for (int mx = 0; mx < mw; ++mx) {
    const signed char* pair = payload + 64 * bw * bh + 128 * (band * mw + mx);
    short* mb = frame + 16 * band * stride + 48 * mx;
    prefetch.step();
    if (Pairs && chromaPair(pair, pair + 64, mb, stride)) continue;
    BlockKind ku, kv;
    decodeTwo<Prepare>(pair, pair + 64, a, b, ku, kv);
    if (ku == BlockKind::Zero && kv == BlockKind::Zero) continue;
    AddChroma(mb, stride, a, b);
  }
}

}  // namespace

bool stageLevelSupported(StageLevel level) {
  switch (level) {
    case StageLevel::Scalar:
      return true;
#if defined(__x86_64__) || defined(__i386__)
    case StageLevel::Sse2:
      return true;
    case StageLevel::Ssse3:
      return __builtin_cpu_supports("ssse3");
    case StageLevel::Avx2:
      return __builtin_cpu_supports("ssse3") && __builtin_cpu_supports("avx2");
#endif
    default:
      return false;
  }
}

namespace {

Stages stagesFor(StageLevel level) {
  switch (level) {
#if defined(__x86_64__) || defined(__i386__)
    case StageLevel::Avx2:
      return {smoothRowsAvx2, convertAvx2, addBandFast<prepareBlockSsse3, addLumaSsse3, addChromaSsse3, true>,
              decodeBlockSparse};
    case StageLevel::Ssse3:
      return {smoothRowsSse2, convertSsse3, addBandFast<prepareBlockSsse3, addLumaSsse3, addChromaSsse3, false>,
              decodeBlockSparse};
    case StageLevel::Sse2:
      return {smoothRowsSse2, convertC, addBandFast<prepareBlock, addLumaC, addChromaC, false>, decodeBlockSparse};
#endif
    case StageLevel::Scalar:
      return {smoothRowsC, convertC, addBandC, decodeBlockC};
  }
  return {smoothRowsC, convertC, addBandC, decodeBlockC};
}

StageLevel bestLevel() {
  for (StageLevel level : {StageLevel::Avx2, StageLevel::Ssse3, StageLevel::Sse2})
    if (stageLevelSupported(level)) return level;
  return StageLevel::Scalar;
}

}  // namespace

Stages active = stagesFor(bestLevel());

void useStages(StageLevel level) { active = stagesFor(stageLevelSupported(level) ? level : bestLevel()); }

void forceScalarStages(bool scalar) { useStages(scalar ? StageLevel::Scalar : bestLevel()); }

}  // namespace kelvo4

void smooth(short* src, short* dst) { kelvo4::active.smoothRows(src, dst, 0, height); }

void decodeYUV(short* frame, signed char* out) {
  kelvo4::active.convert(frame, out, static_cast<std::size_t>(width) * static_cast<std::size_t>(height));
}

void decodeFrame(const signed char* payload, int payloadLength, signed char* output, int outputLength,
                 bool convert) {
  const int n = width * height;  // reinitDLL keeps 3 * n below 2^31
  if (payloadLength != n + n / 2) return;
  if (convert && outputLength != n * 3) return;
  if ((payload == nullptr && payloadLength != 0) || (convert && output == nullptr && outputLength != 0)) return;
  std::swap(oldfr, oldoldfr);
  // No samples (one side 0): nothing to do, and the bands of a height near
  // 2^31 beside a width of 0 would take seconds to walk.
  if (n == 0) return;
  // Band by band, so each band is predicted, corrected and converted while
  // it is still in cache. Prediction reads only the previous frame, so a
  // band never depends on the bands after it.
  const kelvo4::Stages stages = kelvo4::active;
  for (int band = 0; band < bands(); ++band) {
    const int y0 = 16 * band, y1 = height - y0 > 16 ? y0 + 16 : height;
    stages.smoothRows(oldoldfr, oldfr, y0, y1);
    {
      const int n0 = y1 + 1 < height ? y1 + 1 : height, n1 = y1 + 17 < height ? y1 + 17 : height;
      kelvo4::prefetch.begin(reinterpret_cast<const char*>(oldoldfr + static_cast<std::ptrdiff_t>(n0) * width3),
                             reinterpret_cast<const char*>(oldoldfr + static_cast<std::ptrdiff_t>(n1) * width3));
    }
    stages.addBand(payload, oldfr, band);
    if (convert)
      stages.convert(oldfr + static_cast<std::ptrdiff_t>(y0) * width3, output + static_cast<std::ptrdiff_t>(y0) * width3,
                     static_cast<std::size_t>(y1 - y0) * static_cast<std::size_t>(width));
  }
  leaveLastBlockInScratch(payload);
}
