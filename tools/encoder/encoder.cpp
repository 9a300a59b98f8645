// The frame loop of the encoder: each frame's components and residuals,
// its table, the levels of its blocks and the bits the next frame's tokens
// will cost, spread over the threads by macroblock rows.
#include "tools/encoder/encoder.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cmath>
#include <cstdlib>
#include <stdexcept>
#include <string>

#include "tools/encoder/colours.h"
#include "tools/writer/coefficient_encoder.h"
#include "src/stage/format.h"
#include "src/decoder/handle.h"
#include "tools/encoder/kernels.h"
#include "tools/encoder/levels.h"
#include "src/platform/platform.h"
#include "src/stream/stream_format.h"

namespace kelvo4 {

namespace {

namespace cf = coefficients;
using encoding::clampInt;
using encoding::kBins;
using encoding::kChromaWeight;
using encoding::kCounted;

int checkedSize(int w, int h) {
  if (!validFrameSize(w, h))
    throw std::invalid_argument("impossible frame size " + std::to_string(w) + "x" + std::to_string(h));
  return w;
}

// The squared error of a luma sample worth one bit at each quality, between
// these points on a log scale. Up to 65, 12.5 qualities halve it. From 0.87
// to 0.5 the tables' factors move from 3 to 2 to 1: over 0.62 to 0.5 alone
// a frame grows by a third and gains about 2 dB, so that span takes 17
// qualities. Below 0.5 the levels already hold about all that the
// picture's components can show (within 0.4 dB on pans and stills), so the
// last eight qualities go down to an eighth.
struct LambdaPoint {
  int quality;
  double lambda;
};
constexpr LambdaPoint kLambdaPoints[] = {{1, 30.27}, {50, 2.0}, {65, 0.8706}, {75, 0.62}, {92, 0.5}, {100, 0.125}};

double lambdaOf(int quality) {
  const LambdaPoint* p = kLambdaPoints;
  while (p[1].quality < quality && p[1].quality < 100) ++p;
  const double t = static_cast<double>(quality - p[0].quality) / (p[1].quality - p[0].quality);
  return p[0].lambda * std::pow(p[1].lambda / p[0].lambda, t);
}

// A key frame's lambda beside the others': it starts from nothing, so at the
// same lambda it comes out below the frames that refine it, and every frame
// after it is predicted from it. 0.35 lifted first frames by about half a dB
// for 1% more bytes over a 30-frame clip.
constexpr double kKeyLambda = 0.35;
// A frame becomes a key frame when the statistics say it would cost less
// than this share of the frame predicted from the one before. They favour
// the prediction: on pans of photographs, 1.20 at half a pixel per frame,
// 1.05 at two (where key frames cost about as much) and 1.00 at four (where
// they cost 10% less); 1.37 on a still.
constexpr double kKeyCostShare = 1.04;

// Bits of a token before any frame was counted, and the weight of that prior
// (in tokens) beside a context's counts: a zero run grows the cost of a
// token, as does its magnitude class.
float priorBits(int token) {
  if (token == cf::kEndOfBlock) return 2.0f;
  if (token == cf::kSixteenZeros) return 7.0f;
  if (token == cf::kDifference) return 3.0f;
  const int run = (token - 2) / 8, cls = (token - 2) % 8 + 1;
  return 2.5f + 0.6f * static_cast<float>(run) + 1.2f * static_cast<float>(cls - 1);
}
constexpr double kPriorTokens = 16;

double psnrOf(std::uint64_t sse, std::size_t count) {
  if (sse == 0 || count == 0) return 99.0;
  return 10.0 * std::log10(255.0 * 255.0 * static_cast<double>(count) / static_cast<double>(sse));
}

}  // namespace

double psnr(const std::uint8_t* a, const std::uint8_t* b, std::size_t count) {
  return psnrOf(bestEncoderKernels().squaredError(a, b, count), count);
}

Encoder::Encoder(int w, int h, const EncoderSettings& settings)
    : width_(checkedSize(w, h)),
      height_(h),
      codedWidth_(codedSide(w)),
      codedHeight_(codedSide(h)),
      passes_(settings.passes),
      decoder_(codedWidth_, codedHeight_, settings.threads),
      kernels_(&bestEncoderKernels()),
      colours_(std::make_unique<ColourCache>(kernels_->colourRow)),
      residualStats_(settings.threads),
      keyStats_(settings.threads) {
  const std::size_t samples = payloadBytes(codedWidth_, codedHeight_);
  const std::size_t components = 3 * static_cast<std::size_t>(codedWidth_) * codedHeight_;
  residuals_ = std::make_unique_for_overwrite<short[]>(samples);
  coefficients_ = std::make_unique_for_overwrite<short[]>(samples);
  target_ = std::make_unique_for_overwrite<short[]>(components);
  // The first frame writes them all.
  os::prefault(residuals_.get(), samples * sizeof(short), true);
  os::prefault(coefficients_.get(), samples * sizeof(short), true);
  os::prefault(target_.get(), components * sizeof(short), true);
  decoded_.width = w;
  decoded_.height = h;
  os::growPrefaulted(decoded_.rgb, 3 * static_cast<std::size_t>(w) * h, true);
  counts_.resize(samples / 64);
  previous_.resize(samples / 64);
  marks_.resize(samples / 64);
  tokenCounts_.assign(static_cast<std::size_t>(settings.threads),
                      std::vector<std::uint32_t>(static_cast<std::size_t>(cf::kContexts) * cf::kTokens));
  const int quality = std::clamp(settings.quality, 1, 100);
  baseLambda_ = lambda_ = static_cast<float>(lambdaOf(quality));
  updateRates(false);
  if (settings.threads > 1) pool_ = std::make_unique<kelvo4::WorkerPool>(settings.threads);
}

Encoder::~Encoder() = default;

// One frame's work, shared by the threads: each takes whole macroblock rows.
struct Encoder::Job {
  Encoder& encoder;
  const std::uint8_t* rgb;
  signed char* payload;
  const short* quant;
  bool key;
  bool weighKey = false;  // count the sampled blocks as a key frame would have them too
  bool again = false;     // analysing again as a key frame: the components are known
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

// Here, where the analysis calls it for every coefficient, so that it inlines.
inline void Encoder::Statistics::count(int worker, int i, int v, std::uint32_t n) {
  const auto w = static_cast<std::size_t>(worker), at = static_cast<std::size_t>(i);
  histograms[w][static_cast<std::size_t>(v) * 128 + at] += n;
  tops[w][at] = std::max(tops[w][at], static_cast<std::uint16_t>(v + 1));
}

// The magnitudes and their tops in loops of their own, which the compiler
// makes vector code of; then the scattered counts.
inline void Encoder::Statistics::countBlock(int worker, int first, const short* coef, bool once) {
  const auto w = static_cast<std::size_t>(worker);
  std::uint16_t v[64];
  for (int i = 0; i < 64; ++i) v[i] = static_cast<std::uint16_t>(std::min(std::abs(int{coef[i]}), kBins - 1));
  std::uint16_t* top = &tops[w][static_cast<std::size_t>(first)];
  for (int i = 0; i < 64; ++i) top[i] = std::max(top[i], static_cast<std::uint16_t>(v[i] + 1));
  std::uint32_t* counts = &histograms[w][static_cast<std::size_t>(first)];
  for (int i = 0; i < 64; ++i) counts[std::size_t{v[i]} * 128 + static_cast<std::size_t>(i)] += once && v[i] > kCounted ? 1 : 4;
}

// The macroblock row's pixels as components, its prediction, its residual
// blocks (in payload order) and their transforms.
void Encoder::analyseRow(const Job& job, int my, int worker) {
  const int w = codedWidth_, y0 = 16 * my;
  const std::uint8_t* rgb = job.rgb;
  // A frame analysed again as a key frame has its components already.
  for (int y = y0; y < y0 + 16 && y < height_ && !job.again; ++y) {
    short* row = &target_[3 * static_cast<std::size_t>(y) * w];
    colours_->findRow(rgb + 3 * static_cast<std::size_t>(y) * width_, width_, row);
    // The margin repeats the edge pixels: smooth content the blocks code
    // cheaply and the prediction carries into the picture without a seam.
    for (int x = width_; x < w; ++x) std::copy(row + 3 * (width_ - 1), row + 3 * width_, row + 3 * x);
  }
  for (int y = std::max(y0, height_); y < y0 + 16 && !job.again; ++y)
    std::copy_n(&target_[3 * static_cast<std::size_t>(height_ - 1) * w], 3 * w,
                &target_[3 * static_cast<std::size_t>(y) * w]);
  // The prediction, made in the decoder's spare frame: the decode starts
  // from it as it stands.
  short* const prediction = kelvo4::spareFrame(decoder_.get());
  kelvo4::predictNext(decoder_.get(), prediction, y0, y0 + 16);

  // The residual from the prediction, and from the start of a key frame
  // (0, 128, 128 everywhere).
  auto residual = [&](int x, int y, int k) {
    const std::size_t i = 3 * (static_cast<std::size_t>(y) * w + x) + k;
    return target_[i] - prediction[i];
  };
  auto fromStart = [&](int x, int y, int k) {
    return target_[3 * (static_cast<std::size_t>(y) * w + x) + k] - (k ? 128 : 0);
  };
  // One block in four describes the frame well enough, at a quarter of the
  // scattered counting (of chroma, both blocks of every fourth macroblock:
  // c1 and c2 alternate). Only the few magnitudes beyond kCounted, which
  // tell the range the factors need, are counted in every block: a sample
  // can miss them all. The sampled blocks are also counted as a key frame
  // would have them, when the encoder may choose one.
  auto count = [&](std::size_t block, int chroma, auto&& samplesAt) {
    short* coef = &coefficients_[64 * block];
    kernels_->transform(&residuals_[64 * block], coef);
    if ((chroma ? block / 2 % 4 : block % 4) != 0) {
      for (std::uint64_t big = kernels_->beyond(coef, kCounted); big; big &= big - 1) {
        const int i = std::countr_zero(big);
        residualStats_.count(worker, 64 * chroma + i, std::min(std::abs(int{coef[i]}), kBins - 1), 1);
      }
      return;
    }
    residualStats_.countBlock(worker, 64 * chroma, coef, true);
    if (!job.weighKey) return;
    alignas(16) short samples[64], keyCoef[64];
    samplesAt(fromStart, samples);
    kernels_->transform(samples, keyCoef);
    keyStats_.countBlock(worker, 64 * chroma, keyCoef, false);
  };
  // The residual blocks are written a pixel row at a time, straight from the
  // interleaved components: gathering each block through the coordinates
  // took a tenth of the encoder's instructions.
  const int bw = w / 8, mw = w / 16;
  const std::size_t lumaRow = static_cast<std::size_t>(2 * my) * bw;
  const std::size_t chromaRow = static_cast<std::size_t>(bw) * (codedHeight_ / 8) + 2 * static_cast<std::size_t>(my) * mw;
  auto clampShort = [](int v) { return static_cast<short>(clampInt(v, -32768, 32767)); };
  for (int y = 0; y < 16; ++y) {
    const std::size_t at = 3 * static_cast<std::size_t>(y0 + y) * w;
    kernels_->lumaResidual(&target_[at], &prediction[at], bw,
                           &residuals_[64 * (lumaRow + static_cast<std::size_t>(y / 8) * bw) + 8 * (y % 8)]);
  }
  // One residual sample serves a 2x2 group; the group mean of the wanted
  // residuals minimises the squared error over its four pixels.
  for (int r = 0; r < 8; ++r) {
    const std::size_t at = 3 * static_cast<std::size_t>(y0 + 2 * r) * w;
    const short *t = &target_[at], *p = &prediction[at];
    const short *t1 = t + 3 * w, *p1 = p + 3 * w;
    short* out = &residuals_[64 * chromaRow + 8 * r];
    for (int mx = 0; mx < mw; ++mx, t += 48, p += 48, t1 += 48, p1 += 48)
      for (int k = 1; k <= 2; ++k, out += 64)
        for (int c = 0; c < 8; ++c) {
          const int i = 6 * c + k;
          out[c] = clampShort(groupMean(t[i] - p[i], t[i + 3] - p[i + 3], t1[i] - p1[i], t1[i + 3] - p1[i + 3]));
        }
  }
  for (int by = 2 * my; by < 2 * my + 2; ++by)
    for (int bx = 0; bx < bw; ++bx) {
      auto luma = [&](auto&& from, short* samples) {
        for (int r = 0; r < 8; ++r)
          for (int c = 0; c < 8; ++c) samples[8 * r + c] = clampShort(from(8 * bx + c, 8 * by + r, 0));
      };
      count(static_cast<std::size_t>(by) * bw + bx, 0, luma);
    }
  for (int mx = 0; mx < mw; ++mx)
    for (int k = 1; k <= 2; ++k) {
      const std::size_t block = chromaRow + 2 * static_cast<std::size_t>(mx) + (k - 1);
      auto chroma = [&](auto&& from, short* samples) {
        for (int r = 0; r < 8; ++r)
          for (int c = 0; c < 8; ++c) {
            const int x = 16 * mx + 2 * c, y = y0 + 2 * r;
            samples[8 * r + c] =
                clampShort(groupMean(from(x, y, k), from(x + 1, y, k), from(x, y + 1, k), from(x + 1, y + 1, k)));
          }
      };
      count(block, 1, chroma);
      // What the group means leave: a predicted frame keeps the detail of
      // the prediction within each group, which after a fast pan is detail
      // in the wrong place, and a key frame none.
      if (job.weighKey && block / 2 % 4 == 0) {
        auto spread = [&](auto&& from) {
          std::int64_t sum = 0;  // exact, and no chain of additions in floating point
          for (int r = 0; r < 8; ++r)
            for (int c = 0; c < 8; ++c) {
              const int x = 16 * mx + 2 * c, y = y0 + 2 * r;
              const int v[4] = {from(x, y, k), from(x + 1, y, k), from(x, y + 1, k), from(x + 1, y + 1, k)};
              const int mean = groupMean(v[0], v[1], v[2], v[3]);
              for (const int e : v) sum += std::int64_t{e - mean} * (e - mean);  // a residual spans 17 bits
            }
          // A pixel weighs a quarter of a chroma sample, and one group in
          // four is sampled.
          return static_cast<double>(sum) * kChromaWeight;
        };
        residualStats_.spread[static_cast<std::size_t>(worker)] += spread(residual);
        keyStats_.spread[static_cast<std::size_t>(worker)] += spread(fromStart);
      }
    }
}

void Encoder::codeRow(const Job& job, int my, int worker) {
  const encoding::Steps steps(job.quant);
  const int bw = codedWidth_ / 8, mw = codedWidth_ / 16;
  std::uint32_t* tokens = tokenCounts_[static_cast<std::size_t>(worker)].data();
  // A block's context takes the non-zero counts of its left and upper
  // neighbours as the coefficient coder does, except that an upper one in the
  // macroblock row above counts as missing: another thread may be coding it.
  auto code = [&](std::size_t block, std::ptrdiff_t left, std::ptrdiff_t above, int chroma) {
    const int act = cf::activity(left >= 0 ? counts_[static_cast<std::size_t>(left)] : -1,
                                 above >= 0 ? counts_[static_cast<std::size_t>(above)] : -1,
                                 job.key ? 0 : previous_[block]);
    int context[cf::kBands];
    encoding::RateTerms rate;
    rate.lambda = chroma ? lambda_ / kChromaWeight : lambda_;
    for (int b = 0; b < cf::kBands; ++b) {
      context[b] = cf::contextOf(chroma, b, act) * cf::kTokens;
      rate.band[b] = &bits_[static_cast<std::size_t>(context[b])];
    }
    signed char* zigzag = job.payload + 64 * block;
    const long err = kernels_->codeTransformed(&residuals_[64 * block], &coefficients_[64 * block], job.quant, steps,
                                               zigzag, passes_, &rate);
    // A block that the coder takes as its difference from the frame before
    // may keep the levels it had there if the error they add costs less than
    // the difference's bits: a settled still then costs next to nothing.
    signed char change[64];
    const signed char* coded = zigzag;
    if (!job.key && !last_.empty()) {
      const signed char* before = &last_[64 * block];
      cf::difference(zigzag, before, change);
      const int changeBits = kernels_->estimatedBits(change);
      if (cf::codeAsDifference(kernels_->estimatedBits(zigzag), changeBits)) {
        coded = change;
        alignas(16) short bytes[64], samples[64], diff[64];
        for (int k = 0; k < 64; ++k) bytes[kZigzag[k]] = before[k];
        kernels_->reconstruct(bytes, job.quant, samples);
        const long kept = kernels_->blockError(&residuals_[64 * block], samples, diff);
        if (static_cast<float>(kept - err) < rate.lambda * static_cast<float>(changeBits)) {
          std::copy(before, before + 64, zigzag);
          std::fill(change, change + 64, static_cast<signed char>(0));
        }
      }
    }
    // The tokens the coder will make of it, for the next frame's costs.
    const std::uint64_t nonzero = kernels_->nonzeroMask(coded);
    cf::forEachToken(coded, nonzero, coded == change,
                     [&](int token, int position, int) { ++tokens[context[cf::kBand[position]] + token]; });
    counts_[block] = static_cast<std::uint8_t>(std::popcount(nonzero));
    marks_[block] = coded == change;
  };
  for (int by = 2 * my; by < 2 * my + 2; ++by)
    for (int bx = 0; bx < bw; ++bx) {
      const std::size_t block = static_cast<std::size_t>(by) * bw + bx;
      code(block, bx ? static_cast<std::ptrdiff_t>(block) - 1 : -1,
           by % 2 ? static_cast<std::ptrdiff_t>(block) - bw : -1, 0);
    }
  const std::size_t chroma = static_cast<std::size_t>(bw) * (codedHeight_ / 8) + 2 * static_cast<std::size_t>(my) * mw;
  for (std::size_t block = chroma; block < chroma + 2 * static_cast<std::size_t>(mw); ++block)
    code(block, block >= chroma + 2 ? static_cast<std::ptrdiff_t>(block) - 2 : -1, -1, 1);
}

void Encoder::updateRates(bool counted) {
  const std::size_t cells = static_cast<std::size_t>(cf::kContexts) * cf::kTokens;
  bits_.resize(cells);
  double prior[cf::kTokens], total = 0;
  for (int t = 0; t < cf::kTokens; ++t) total += prior[t] = std::exp2(-priorBits(t));
  for (double& p : prior) p /= total;
  for (int ctx = 0; ctx < cf::kContexts; ++ctx) {
    const std::size_t at = static_cast<std::size_t>(ctx) * cf::kTokens;
    double n[cf::kTokens], sum = 0;
    for (int t = 0; t < cf::kTokens; ++t) {
      n[t] = 0;
      if (counted)
        for (const auto& counts : tokenCounts_) n[t] += counts[at + static_cast<std::size_t>(t)];
      sum += n[t];
    }
    for (int t = 0; t < cf::kTokens; ++t)
      bits_[at + static_cast<std::size_t>(t)] =
          static_cast<float>(std::log2((sum + kPriorTokens) / (n[t] + kPriorTokens * prior[t])));
  }
}

double Encoder::encodeFrame(const std::uint8_t* rgb, signed char* payload, bool key) {
  if (key) decoder_.reinit(codedWidth_, codedHeight_);
  lambda_ = key ? static_cast<float>(baseLambda_ * kKeyLambda) : baseLambda_;
  residualStats_.clear();
  Job job{*this, rgb, payload, nullptr, key};
  job.weighKey = !key && started_ && chooseKeys_;
  if (job.weighKey) keyStats_.clear();
  run(&Encoder::analyseRow, job);
  double cost = 0, keyCost = 0;
  Table fitted = fitTable(residualStats_, true, &cost);
  if (job.weighKey) {
    fitTable(keyStats_, false, &keyCost);
    // The estimate leaves out how the coder's contexts and the levels that
    // repeat the frame before's favour one or the other (see kKeyCostShare).
    if (keyCost < kKeyCostShare * cost) {
      job.key = key = true;
      job.again = true;
      job.weighKey = false;
      decoder_.reinit(codedWidth_, codedHeight_);
      residualStats_.clear();
      run(&Encoder::analyseRow, job);
      fitted = fitTable(residualStats_, true, nullptr);
    }
  }
  keyFrame_ = key;
  tableChanged_ = !started_ || fitted != table_;
  if (tableChanged_) {
    if (started_)
      for (int i = 0; i < 64; ++i)
        if (fitted[i] != table_[i]) left_[i] = table_[i];
    table_ = fitted;
    decoder_.setTable(table_.data());
  }
  started_ = true;
  job.quant = kelvo4::decoderTable(decoder_.get());
  for (auto& counts : tokenCounts_) std::fill(counts.begin(), counts.end(), 0u);
  run(&Encoder::codeRow, job);
  updateRates(true);
  previous_.swap(counts_);
  const int length = static_cast<int>(payloadBytes(codedWidth_, codedHeight_));
  if (last_.empty()) os::growPrefaulted(last_, static_cast<std::size_t>(length), true);
  std::copy_n(payload, length, last_.data());
  // The decode starts from the prediction the analysis made.
  const int rc = kelvo4::decodePredicted(decoder_.get(), payload, static_cast<std::size_t>(length), decoded_.rgb.data(),
                                         width_, height_, decoded_.rgb.size());
  if (rc != 0) throw std::logic_error("the encoder's decoder refused its own payload");
  const std::uint64_t sse = kernels_->squaredError(rgb, decoded_.rgb.data(), decoded_.rgb.size());
  return psnrOf(sse, decoded_.rgb.size());
}

}  // namespace kelvo4

