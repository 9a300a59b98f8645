#include "encoder.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <new>
#include <stdexcept>
#include <string>

#include "dct.h"
#include "handle.h"
#include "format.h"
#include "stream_format.h"

#if defined(__SSE2__) && defined(__x86_64__)
#include <emmintrin.h>
#define KELVO4_ENCODER_SSE2 1
#else
#define KELVO4_ENCODER_SSE2 0
#endif

namespace kelvo4 {

namespace {

// Factors above this could give a dequantised coefficient (byte times factor)
// beyond 12646, where the inverse transform's row sums start to wrap.
constexpr int kMaxFactor = 96;

// The finest DC and AC factors at the default quality, as measured (see the
// README).
constexpr int kDefaultDc = 14;
constexpr int kDefaultAc = 3;

int clampInt(int v, int lo, int hi) { return std::min(std::max(v, lo), hi); }

// Forward transform of residual samples on the fastest exact kernel, which
// takes samples within [-256, 255]: wider blocks are halved until they fit
// and their coefficients doubled back, saturating at the 16-bit limits (far
// beyond the 127 x 96 that a byte can code).
void transform(const short* samples, short* coef) {
  int peak = 0;
  for (int i = 0; i < 64; ++i) peak = std::max(peak, std::abs(int{samples[i]}));
  int shift = 0;
  while ((peak >> shift) > 255) ++shift;
  alignas(16) short block[64];
  for (int i = 0; i < 64; ++i) {
    // Rounded halving, kept within the kernel's range.
    const int v = shift ? (samples[i] + (1 << (shift - 1))) >> shift : samples[i];
    block[i] = static_cast<short>(clampInt(v, -256, 255));
  }
#if KELVO4_ENCODER_SSE2
  kelvo4::fdctSse(block);
  _mm_empty();
#else
  // Cleared: on 32-bit x86 the floating point below runs on the x87
  // registers that MMX shares.
  exportedKernels().fdctClear(block);
#endif
  for (int i = 0; i < 64; ++i) coef[i] = static_cast<short>(clampInt(block[i] * (1 << shift), -32768, 32767));
}

// What the decoder makes of 64 natural-order bytes: the dequantised product
// wraps in 16 bits, then the inverse transform.
void reconstruct(const short* bytes, const short* quant, short* samples) {
#if KELVO4_ENCODER_SSE2
  for (int i = 0; i < 64; i += 8)
    _mm_store_si128(reinterpret_cast<__m128i*>(samples + i),
                    _mm_mullo_epi16(_mm_load_si128(reinterpret_cast<const __m128i*>(bytes + i)),
                                    _mm_loadu_si128(reinterpret_cast<const __m128i*>(quant + i))));
  kelvo4::idctSse2(samples);
#else
  for (int i = 0; i < 64; ++i)
    samples[i] = static_cast<short>(static_cast<std::uint16_t>(static_cast<unsigned>(bytes[i]) *
                                                              static_cast<unsigned>(quant[i])));
  Vrel_IDct16_MMX(samples);
#endif
}

// Squared error of samples against target; diff gets target - samples.
// Residuals and samples stay within 16 bits' reach of each other.
long blockError(const short* target, const short* samples, short* diff) {
#if KELVO4_ENCODER_SSE2
  __m128i sum = _mm_setzero_si128();
  for (int i = 0; i < 64; i += 8) {
    const __m128i d = _mm_subs_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(target + i)),
                                     _mm_load_si128(reinterpret_cast<const __m128i*>(samples + i)));
    _mm_store_si128(reinterpret_cast<__m128i*>(diff + i), d);
    const __m128i squares = _mm_madd_epi16(d, d);
    // Pairs of squares reach 2^31 only for 16-bit extremes: add them as
    // unsigned 64-bit halves.
    sum = _mm_add_epi64(sum, _mm_add_epi64(_mm_unpacklo_epi32(squares, _mm_setzero_si128()),
                                           _mm_unpackhi_epi32(squares, _mm_setzero_si128())));
  }
  return static_cast<long>(static_cast<std::uint64_t>(_mm_cvtsi128_si64(sum)) +
                           static_cast<std::uint64_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(sum, sum))));
#else
  long e = 0;
  for (int i = 0; i < 64; ++i) {
    const int d = clampInt(target[i] - samples[i], -32768, 32767);
    diff[i] = static_cast<short>(d);
    e += d * d;
  }
  return e;
#endif
}

// 1/q of each factor, 0 for a useless one.
struct Steps {
  alignas(16) float reciprocal[64];
  explicit Steps(const short* quant) {
    for (int i = 0; i < 64; ++i) reciprocal[i] = quant[i] == 0 ? 0.0f : 1.0f / static_cast<float>(quant[i]);
  }
};

// Adds round(coef / factor) to each byte, limited to the signed byte range.
// Returns false when nothing changed. Steps beyond the 16-bit range clamp
// anyway.
bool quantiseInto(const short* coef, const Steps& steps, short* bytes) {
#if KELVO4_ENCODER_SSE2
  __m128i changed = _mm_setzero_si128();
  const __m128i lo = _mm_set1_epi16(-128), hi = _mm_set1_epi16(127);
  for (int i = 0; i < 64; i += 8) {
    const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(coef + i));
    // Sign extension through the high half of each 32-bit lane.
    auto stepsOf = [&](__m128i widened, int j) {
      return _mm_cvtps_epi32(_mm_mul_ps(_mm_cvtepi32_ps(_mm_srai_epi32(widened, 16)), _mm_load_ps(steps.reciprocal + j)));
    };
    const __m128i step = _mm_packs_epi32(stepsOf(_mm_unpacklo_epi16(c, c), i), stepsOf(_mm_unpackhi_epi16(c, c), i + 4));
    const __m128i old = _mm_load_si128(reinterpret_cast<const __m128i*>(bytes + i));
    const __m128i b = _mm_min_epi16(_mm_max_epi16(_mm_adds_epi16(old, step), lo), hi);
    changed = _mm_or_si128(changed, _mm_xor_si128(b, old));
    _mm_store_si128(reinterpret_cast<__m128i*>(bytes + i), b);
  }
  return _mm_movemask_epi8(_mm_cmpeq_epi8(changed, _mm_setzero_si128())) != 0xFFFF;
#else
  bool changed = false;
  for (int i = 0; i < 64; ++i) {
    const int step = static_cast<int>(std::nearbyint(std::clamp(coef[i] * steps.reciprocal[i], -32768.0f, 32767.0f)));
    const int b = clampInt(bytes[i] + step, -128, 127);
    changed |= b != bytes[i];
    bytes[i] = static_cast<short>(b);
  }
  return changed;
#endif
}

}  // namespace

std::array<int, 3> rgbToComponents(int r, int g, int b) {
  // c + (c >> 2) is close to 1.25c - 0.375, which the starting points invert.
  auto inverse = [](int d) { return static_cast<int>(std::floor((d + 0.375) / 1.25)); };
  const int base = static_cast<int>(std::lround((r + g + b) / 3.0));
  // Near 0 or 255 a channel can clamp, and components well beyond the linear
  // inverse may then come closer: search wider there.
  auto edge = [](int v) { return v < 4 || v > 251; };
  const bool clamped = edge(r) || edge(g) || edge(b);
  const int reach0 = clamped ? 3 : 1, lo = clamped ? -3 : -1, hi = clamped ? 4 : 2;
  std::array<int, 3> best{};
  int bestErr = -1;
  for (int d0 = 0; d0 <= 2 * reach0; ++d0) {
    // Candidates nearest the linear inverse come first and win ties.
    const int c0 = base + (d0 % 2 ? -(d0 + 1) / 2 : d0 / 2);
    const int c2Lo = inverse(c0 - r), c1Lo = inverse(c0 - g);
    for (int c2 = c2Lo + lo; c2 <= c2Lo + hi; ++c2) {
      for (int c1 = c1Lo + lo; c1 <= c1Lo + hi; ++c1) {
        const auto out = kelvo4::convertPixel(c0, c1, c2);
        const int er = out[0] - r, eg = out[1] - g, eb = out[2] - b;
        const int err = er * er + eg * eg + eb * eb;
        if (bestErr < 0 || err < bestErr) {
          bestErr = err;
          best = {c0, c1, c2};
        }
      }
    }
  }
  return best;
}

double psnr(const std::uint8_t* a, const std::uint8_t* b, std::size_t count) {
  std::uint64_t sse = 0;
  std::size_t i = 0;
#if KELVO4_ENCODER_SSE2
  // Squares of byte differences, summed in 32-bit lanes for 16 bytes at a
  // time (at most 4 x 2 x 255^2 per lane and step), 64-bit every 4096 bytes.
  const __m128i zero = _mm_setzero_si128();
  while (i + 16 <= count) {
    __m128i part = zero;
    for (const std::size_t end = std::min(count - 15, i + 4096); i < end; i += 16) {
      const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(a + i));
      const __m128i y = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + i));
      const __m128i dlo = _mm_sub_epi16(_mm_unpacklo_epi8(x, zero), _mm_unpacklo_epi8(y, zero));
      const __m128i dhi = _mm_sub_epi16(_mm_unpackhi_epi8(x, zero), _mm_unpackhi_epi8(y, zero));
      part = _mm_add_epi32(part, _mm_add_epi32(_mm_madd_epi16(dlo, dlo), _mm_madd_epi16(dhi, dhi)));
    }
    alignas(16) std::uint32_t lanes[4];
    _mm_store_si128(reinterpret_cast<__m128i*>(lanes), part);
    sse += std::uint64_t{lanes[0]} + lanes[1] + lanes[2] + lanes[3];
  }
#endif
  for (; i < count; ++i) {
    const int d = int{a[i]} - b[i];
    sse += static_cast<std::uint64_t>(d * d);
  }
  if (sse == 0 || count == 0) return 99.0;
  return 10.0 * std::log10(255.0 * 255.0 * static_cast<double>(count) / static_cast<double>(sse));
}

namespace {

// codeBlock on a block whose forward transform is known.
long codeTransformed(const short* target, const short* transformed, const short* quant, const Steps& steps,
                     signed char* zigzag, int passes) {
  alignas(16) short coef[64];
  alignas(16) short bytes[64] = {}, samples[64], diff[64];
  quantiseInto(transformed, steps, bytes);
  reconstruct(bytes, quant, samples);
  long err = blockError(target, samples, diff);
  // The rounded coefficients miss wherever a byte clamps, the inverse
  // transform rounds or clamps, or the forward one was scaled: move the bytes
  // by the quantised transform of what is still missing while that helps.
  for (int pass = 0; pass < passes && err > 0; ++pass) {
    alignas(16) short trial[64];
    std::copy(bytes, bytes + 64, trial);
    transform(diff, coef);
    if (!quantiseInto(coef, steps, trial)) break;
    alignas(16) short trialSamples[64], trialDiff[64];
    reconstruct(trial, quant, trialSamples);
    const long trialErr = blockError(target, trialSamples, trialDiff);
    if (trialErr >= err) break;
    err = trialErr;
    std::copy(trial, trial + 64, bytes);
    std::copy(trialDiff, trialDiff + 64, diff);
  }
  for (int i = 0; i < 64; ++i) zigzag[i] = static_cast<signed char>(bytes[kelvo4::kZigzag[i]]);
  return err;
}

}  // namespace

long codeBlock(const short* target, const short* quant, signed char* zigzag, int passes) {
  alignas(16) short coef[64];
  transform(target, coef);
  return codeTransformed(target, coef, quant, Steps(quant), zigzag, passes);
}

namespace {

int checkedSize(int w, int h) {
  if (!validFrameSize(w, h))
    throw std::invalid_argument("impossible frame size " + std::to_string(w) + "x" + std::to_string(h));
  return w;
}

// Histogram bins of |coefficient|; larger values share the last bin.
constexpr int kBins = 4096;

}  // namespace

// The nearest components of each colour, found once per encoder: the search
// is the costly part, and pictures repeat their colours. The colour cube is
// kept in blocks of 8 x 8 x 8 colours, each allocated when the first of its
// colours turns up, so the memory follows the colours the pictures use. The
// threads of a frame look up and fill at once: a block is published with a
// single exchange, and threads that find the same colour together store the
// same value.
class Encoder::Colours {
  using Entry = std::atomic<std::uint32_t>;  // 1 << 30 | each component + 512 in 10 bits; 0 until found
  static constexpr int kBlocks = 1 << 15, kBlockColours = 1 << 9;

 public:
  Colours() : blocks_(new std::atomic<Entry*>[kBlocks]()) {}
  ~Colours() {
    for (int i = 0; i < kBlocks; ++i) delete[] blocks_[i].load(std::memory_order_relaxed);
  }
  Colours(const Colours&) = delete;
  Colours& operator=(const Colours&) = delete;

  // The components of the pixel px (r, g, b) into c.
  void find(const std::uint8_t* px, short* c) {
    const unsigned r = px[0], g = px[1], b = px[2];
    const unsigned index = (r >> 3) << 10 | (g >> 3) << 5 | b >> 3;
    Entry* block = blocks_[index].load(std::memory_order_acquire);
    if (block == nullptr) block = allocate(index);
    Entry* entry = block ? &block[(r & 7) << 6 | (g & 7) << 3 | (b & 7)] : nullptr;
    std::uint32_t packed = entry ? entry->load(std::memory_order_relaxed) : 0;
    if (packed == 0) {
      const auto found = rgbToComponents(px[0], px[1], px[2]);
      packed = 1u << 30 | std::uint32_t(found[0] + 512) << 20 | std::uint32_t(found[1] + 512) << 10 |
               std::uint32_t(found[2] + 512);
      if (entry) entry->store(packed, std::memory_order_relaxed);
    }
    for (int k = 0; k < 3; ++k) c[k] = static_cast<short>(static_cast<int>(packed >> (20 - 10 * k) & 1023) - 512);
  }

 private:
  // The block, zeroed, unless another thread was first; null when out of
  // memory, and then its colours are searched each time.
  Entry* allocate(unsigned index) {
    Entry* fresh = new (std::nothrow) Entry[kBlockColours]();
    if (fresh == nullptr) return nullptr;
    Entry* first = nullptr;
    if (blocks_[index].compare_exchange_strong(first, fresh, std::memory_order_acq_rel, std::memory_order_acquire))
      return fresh;
    delete[] fresh;
    return first;
  }

  std::unique_ptr<std::atomic<Entry*>[]> blocks_;
};

Encoder::Encoder(int w, int h, const EncoderSettings& settings)
    : width_(checkedSize(w, h)),
      height_(h),
      codedWidth_(codedSide(w)),
      codedHeight_(codedSide(h)),
      passes_(settings.passes),
      decoder_(codedWidth_, codedHeight_, settings.threads),
      colours_(std::make_unique<Colours>()),
      histograms_(static_cast<std::size_t>(settings.threads), std::vector<std::uint32_t>(64 * kBins)),
      decoded_(w, h) {
  const std::size_t samples = payloadBytes(codedWidth_, codedHeight_);
  residuals_.resize(samples);
  coefficients_.resize(samples);
  target_.resize(3 * static_cast<std::size_t>(codedWidth_) * codedHeight_);
  prediction_.resize(target_.size());
  // Below the default the steps grow evenly. Above it more and more
  // frequencies, lowest first, take the finest step, and from 75 on the DC
  // steps shrink as well, down to 1 at 100.
  const int quality = std::clamp(settings.quality, 1, 100);
  const double scale = quality < kDefaultQuality ? std::exp2((kDefaultQuality - quality) / 25.0) : 1.0;
  const int fine = std::clamp((quality - kDefaultQuality) * 15 / 25, 0, 15);
  const int dc = quality <= 75 ? static_cast<int>(std::lround(kDefaultDc * scale))
                               : kDefaultDc - (quality - 75) * (kDefaultDc - 1) / 25;
  for (int i = 0; i < 64; ++i) {
    const int ac = (i / 8 + i % 8) <= fine ? 1 : static_cast<int>(std::lround(kDefaultAc * scale));
    floor_[i] = static_cast<float>(std::min(i == 0 ? dc : ac, kMaxFactor));
  }
  if (settings.threads > 1) pool_ = std::make_unique<kelvo4::WorkerPool>(settings.threads);
}

Encoder::~Encoder() = default;

// One frame's work, shared by the threads: each takes whole macroblock rows.
struct Encoder::Job {
  Encoder& encoder;
  const std::uint8_t* rgb;
  signed char* payload;
  const short* quant;
  RowWork work = nullptr;
  std::atomic<int> nextRow{0};
};

void Encoder::run(RowWork work, Job& job) {
  job.work = work;
  job.nextRow = 0;
  if (pool_)
    pool_->run(rows, &job);
  else
    rows(&job, 0);
}

void Encoder::rows(void* context, int worker) {
  Job& job = *static_cast<Job*>(context);
  for (int my; (my = job.nextRow.fetch_add(1, std::memory_order_relaxed)) < job.encoder.codedHeight_ / 16;)
    (job.encoder.*job.work)(job, my, worker);
}

// The macroblock row's pixels as components, its prediction, its residual
// blocks (in payload order) and their transforms.
void Encoder::analyseRow(const Job& job, int my, int worker) {
  const int w = codedWidth_, y0 = 16 * my;
  const std::uint8_t* rgb = job.rgb;
  for (int y = y0; y < y0 + 16 && y < height_; ++y) {
    short* row = &target_[3 * static_cast<std::size_t>(y) * w];
    const std::uint8_t* px = rgb + 3 * static_cast<std::size_t>(y) * width_;
    for (int x = 0; x < width_; ++x, px += 3) colours_->find(px, row + 3 * x);
    // The margin repeats the edge pixels: smooth content the blocks code
    // cheaply and the prediction carries into the picture without a seam.
    for (int x = width_; x < w; ++x) std::copy(row + 3 * (width_ - 1), row + 3 * width_, row + 3 * x);
  }
  for (int y = std::max(y0, height_); y < y0 + 16; ++y)
    std::copy_n(&target_[3 * static_cast<std::size_t>(height_ - 1) * w], 3 * w,
                &target_[3 * static_cast<std::size_t>(y) * w]);
  // The decoder will start the frame from this prediction.
  kelvo4::predictNext(decoder_.get(), prediction_.data(), y0, y0 + 16);

  auto residual = [&](int x, int y, int k) {
    const std::size_t i = 3 * (static_cast<std::size_t>(y) * w + x) + k;
    return target_[i] - prediction_[i];
  };
  std::uint32_t* histogram = histograms_[static_cast<std::size_t>(worker)].data();
  // A chroma sample covers four pixels, so its errors count four times.
  auto finish = [&](std::size_t block, unsigned weight) {
    short* coef = &coefficients_[64 * block];
    transform(&residuals_[64 * block], coef);
    // One block in four describes the frame well enough, at a quarter of the
    // scattered counting.
    if (block % 4 == 0)
      for (int i = 0; i < 64; ++i) histogram[i * kBins + std::min(std::abs(coef[i]), kBins - 1)] += weight;
  };
  const int bw = w / 8;
  for (int by = 2 * my; by < 2 * my + 2; ++by)
    for (int bx = 0; bx < bw; ++bx) {
      const std::size_t block = static_cast<std::size_t>(by) * bw + bx;
      short* samples = &residuals_[64 * block];
      for (int r = 0; r < 8; ++r)
        for (int c = 0; c < 8; ++c)
          samples[8 * r + c] = static_cast<short>(clampInt(residual(8 * bx + c, 8 * by + r, 0), -32768, 32767));
      finish(block, 1);
    }
  // One residual sample serves a 2x2 group; the group mean of the wanted
  // residuals minimises the squared error over its four pixels.
  const int mw = w / 16;
  for (int mx = 0; mx < mw; ++mx)
    for (int k = 1; k <= 2; ++k) {
      const std::size_t block = static_cast<std::size_t>(bw) * (codedHeight_ / 8) + 2 * (my * mw + mx) + (k - 1);
      short* samples = &residuals_[64 * block];
      for (int r = 0; r < 8; ++r)
        for (int c = 0; c < 8; ++c) {
          const int x = 16 * mx + 2 * c, y = y0 + 2 * r;
          const int sum = residual(x, y, k) + residual(x + 1, y, k) + residual(x, y + 1, k) + residual(x + 1, y + 1, k);
          samples[8 * r + c] = static_cast<short>(clampInt((sum + 2) >> 2, -32768, 32767));
        }
      finish(block, 4);
    }
}

void Encoder::codeRow(const Job& job, int my, int) {
  const Steps steps(job.quant);
  const int bw = codedWidth_ / 8, mw = codedWidth_ / 16;
  auto code = [&](std::size_t block) {
    codeTransformed(&residuals_[64 * block], &coefficients_[64 * block], job.quant, steps, job.payload + 64 * block,
                    passes_);
  };
  for (std::size_t block = static_cast<std::size_t>(2 * my) * bw; block < static_cast<std::size_t>(2 * my + 2) * bw;
       ++block)
    code(block);
  const std::size_t chroma = static_cast<std::size_t>(bw) * (codedHeight_ / 8) + 2 * static_cast<std::size_t>(my) * mw;
  for (std::size_t block = chroma; block < chroma + 2 * static_cast<std::size_t>(mw); ++block) code(block);
}

Table Encoder::fitTable() const {
  // Per position, the factor q with the least expected squared error over the
  // frame's coefficients: those below q / 2 become 0 (their square is the
  // error), those up to 127 q are rounded (error about q^2 / 12), larger ones
  // clamp at 127 q. Then no finer than the quality's floor, which sets what
  // the steady frames cost.
  Table table;
  std::vector<double> count(kBins + 1), sum(kBins + 1), squares(kBins + 1);
  auto range = [](const std::vector<double>& p, int lo, int hi) { return p[std::min(hi, kBins)] - p[std::min(lo, kBins)]; };
  for (int i = 0; i < 64; ++i) {
    for (int v = 0; v < kBins; ++v) {
      double h = 0;
      for (const auto& histogram : histograms_) h += histogram[static_cast<std::size_t>(i) * kBins + v];
      count[v + 1] = count[v] + h;
      sum[v + 1] = sum[v] + h * v;
      squares[v + 1] = squares[v] + h * v * v;
    }
    double best = -1;
    int bestQ = 1;
    for (int q = 1; q <= kMaxFactor; ++q) {
      // Even factors round half of all coefficients by a whole step's half;
      // measured, 2 codes worse than 3 at more bytes.
      if (q == 2) continue;
      const int zeroBelow = (q + 1) / 2, clampAbove = 127 * q + 1;
      const double reach = 127.0 * q;
      const double error = range(squares, 0, zeroBelow) + range(count, zeroBelow, clampAbove) * q * q / 12.0 +
                           range(squares, clampAbove, kBins) - 2 * reach * range(sum, clampAbove, kBins) +
                           reach * reach * range(count, clampAbove, kBins);
      if (best < 0 || error < best) {
        best = error;
        bestQ = q;
      }
    }
    table[i] = static_cast<float>(std::max(bestQ, static_cast<int>(floor_[i])));
  }
  return table;
}

double Encoder::encodeFrame(const std::uint8_t* rgb, signed char* payload, bool key) {
  if (key) decoder_.reinit(codedWidth_, codedHeight_);
  for (auto& h : histograms_) std::fill(h.begin(), h.end(), 0u);
  Job job{*this, rgb, payload, nullptr};
  run(&Encoder::analyseRow, job);
  const Table fitted = fitTable();
  tableChanged_ = !started_ || fitted != table_;
  if (tableChanged_) {
    table_ = fitted;
    decoder_.setTable(table_.data());
  }
  started_ = true;
  job.quant = kelvo4::decoderTable(decoder_.get());
  run(&Encoder::codeRow, job);
  const int length = static_cast<int>(payloadBytes(codedWidth_, codedHeight_));
  const int rc = kelvo4_decoder_decode_region(decoder_.get(), payload, length, decoded_.rgb.data(), KELVO4_RGB24,
                                              width_, height_, static_cast<int>(decoded_.rgb.size()));
  if (rc != 0) throw std::logic_error("the encoder's decoder refused its own payload");
  return psnr(rgb, decoded_.rgb.data(), decoded_.rgb.size());
}

}  // namespace kelvo4
