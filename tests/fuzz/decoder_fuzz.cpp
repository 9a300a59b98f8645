// Differential fuzz target for the decoder. The input picks a frame size (up to
// 64x64), a table of raw floats (so NaN, infinities and huge values occur) and
// a sequence of reinitDLL, setQuantizationTable and decodeFrame calls with
// right and wrong lengths, null buffers and both convert flags, each run on
// one of the sets of stages (scalar, SSE2, SSSE3, AVX2; the fastest stands in
// for one the processor lacks). The same calls go to the plain model; after
// every call the decoder's frame, table, size and output bytes must equal the
// model's, and a rejected call must leave everything untouched.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "Kelvo4.h"
#include "pipeline_model.h"
#include "stages.h"

namespace {

constexpr int kMaxSide = 64;
constexpr int kMaxCalls = 24;
constexpr signed char kSentinel = 0x5A;

[[noreturn]] void fail(const char* what, int call) {
  std::fprintf(stderr, "decoder differs from the model: %s (call %d, %dx%d)\n", what, call, width, height);
  std::abort();
}

// splitmix64, for payloads larger than the input.
struct Rng {
  std::uint64_t s;
  std::uint64_t next() {
    std::uint64_t z = (s += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
};

std::vector<float> table(FuzzedDataProvider& fdp, int count) {
  std::vector<float> t(count);
  switch (fdp.ConsumeIntegralInRange(0, 2)) {
    case 0:  // raw bit patterns
      for (auto& f : t) {
        const auto bits = fdp.ConsumeIntegral<std::uint32_t>();
        std::memcpy(&f, &bits, sizeof f);
      }
      break;
    case 1:  // small factors, as real streams use
      for (auto& f : t) f = static_cast<float>(fdp.ConsumeIntegralInRange(-4, 40)) + 0.5f * fdp.ConsumeBool();
      break;
    default:  // anywhere around the 16-bit range, fractions included
      for (auto& f : t) f = fdp.ConsumeFloatingPointInRange(-70000.0f, 70000.0f);
  }
  return t;
}

void fillPayload(FuzzedDataProvider& fdp, std::vector<signed char>& p) {
  const int mode = fdp.ConsumeIntegralInRange(0, 3);
  Rng rng{fdp.ConsumeIntegral<std::uint64_t>()};
  switch (mode) {
    case 0: {  // bytes from the input, zeros after them
      const auto bytes = fdp.ConsumeBytes<signed char>(std::min<std::size_t>(p.size(), fdp.ConsumeIntegral<std::uint16_t>()));
      std::fill(std::copy(bytes.begin(), bytes.end(), p.begin()), p.end(), 0);
      break;
    }
    case 1:  // every byte random
      for (auto& b : p) b = static_cast<signed char>(rng.next());
      break;
    case 2:  // sparse: zero blocks, lone DC values, a few coefficients
      for (std::size_t i = 0; i < p.size(); ++i) {
        const std::uint64_t r = rng.next();
        p[i] = (i % 64 == 0 ? r % 2 : r % 24 == 0) ? static_cast<signed char>(r >> 32) : 0;
      }
      break;
    default:  // extremes only
      for (auto& b : p) {
        static constexpr signed char kValues[] = {-128, -1, 0, 1, 127};
        b = kValues[rng.next() % 5];
      }
  }
}

// A length near the accepted one, or the accepted one itself.
int chooseLength(FuzzedDataProvider& fdp, int right) {
  switch (fdp.ConsumeIntegralInRange(0, 7)) {
    case 0: return right + 1;
    case 1: return right - 1;
    case 2: return fdp.ConsumeIntegralInRange(0, 3 * kMaxSide * kMaxSide);
    default: return right;
  }
}

void checkState(const model::Decoder& m, int call) {
  // 3 * width wraps for a huge width beside a zero height.
  if (width != m.w || height != m.h || width3 != static_cast<int>(3u * static_cast<unsigned>(m.w))) fail("size", call);
  if (!std::equal(m.table.begin(), m.table.end(), quant)) fail("table", call);
  if (!m.frame.empty() && !std::equal(m.frame.begin(), m.frame.end(), oldfr)) fail("frame", call);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider fdp(data, size);
  model::Decoder m;
  const int w = fdp.ConsumeIntegralInRange(0, kMaxSide), h = fdp.ConsumeIntegralInRange(0, kMaxSide);
  if (!reinitDLL(w, h) || !m.reinit(w, h)) fail("valid size refused", -1);
  // The table persists between inputs: load one so that the model knows it.
  const auto first = table(fdp, 64);
  setQuantizationTable(first.data(), 64);
  m.setTable(first.data(), 64);
  checkState(m, -1);

  for (int call = 0; call < kMaxCalls && fdp.remaining_bytes() > 0; ++call) {
    const int op = fdp.ConsumeIntegralInRange(0, 9);
    if (op == 0) {
      int nw = fdp.ConsumeIntegralInRange(0, kMaxSide), nh = fdp.ConsumeIntegralInRange(0, kMaxSide);
      switch (fdp.ConsumeIntegralInRange(0, 6)) {
        case 0: nw = -1 - nw; break;                            // negative
        case 1: nw = 1 << 16, nh = 1 << 15; break;              // samples beyond 2^31
        case 2: nw = fdp.ConsumeIntegral<int>(), nh = fdp.ConsumeIntegral<int>(); break;
        case 3:  // a huge side beside a zero one: no samples at all
          if (fdp.ConsumeBool()) nw = 0x7FFFFFFF - nw, nh = 0;
          else nh = 0x7FFFFFFF - nh, nw = 0;
          break;
        default: break;
      }
      // Keep accepted sizes small; the rest must be refused before allocating.
      if (nw > kMaxSide && nh > 0 && 3.0 * nw * nh < 2147483648.0) nw = kMaxSide;
      if (nh > kMaxSide && nw > 0 && 3.0 * nw * nh < 2147483648.0) nh = kMaxSide;
      const bool accepted = reinitDLL(nw, nh);
      if (accepted != m.reinit(nw, nh)) fail("reinitDLL result", call);
    } else if (op == 1) {
      static constexpr int kCounts[] = {64, 64, 64, 63, 65, 0};
      const int count = kCounts[fdp.ConsumeIntegralInRange(0, 5)];
      const auto t = table(fdp, count);
      // An exact-size buffer: any read past the count is a heap overflow.
      setQuantizationTable(count ? t.data() : nullptr, count);
      m.setTable(count ? t.data() : nullptr, count);
    } else {
      const int n = width * height;
      const int length = chooseLength(fdp, n + n / 2);
      const bool convert = fdp.ConsumeBool();
      const int outLength = chooseLength(fdp, 3 * n);
      const bool nullPayload = fdp.ConsumeIntegralInRange(0, 15) == 0;
      const bool nullOutput = fdp.ConsumeIntegralInRange(0, 7) == 0;
      static constexpr kelvo4::StageLevel kLevels[] = {kelvo4::StageLevel::Scalar, kelvo4::StageLevel::Sse2,
                                                       kelvo4::StageLevel::Ssse3, kelvo4::StageLevel::Avx2};
      kelvo4::useStages(kLevels[fdp.ConsumeIntegralInRange(0, 3)]);
      std::vector<signed char> payload(length > 0 ? length : 0);
      fillPayload(fdp, payload);
      // Exact sizes again, so that ASan sees any access beyond them.
      std::vector<signed char> out(outLength > 0 ? outLength : 0, kSentinel), expected(out);
      const signed char* p = nullPayload ? nullptr : payload.data();
      signed char* o = nullOutput ? nullptr : out.data();
      decodeFrame(p, length, o, outLength, convert);
      const bool accepted = m.decode(p, length, nullOutput ? nullptr : expected.data(), outLength, convert);
      if (out != expected) fail(accepted ? "output bytes" : "output written by a rejected call", call);
      // An accepted frame leaves its last block's residual in the scratch block.
      const int blocks = (m.w / 8) * (m.h / 8) + 2 * (m.w / 16) * (m.h / 16);
      if (accepted && blocks > 0) {
        const model::Block last = m.residual(p, blocks - 1);
        if (!std::equal(last.begin(), last.end(), in)) fail("scratch block", call);
      }
    }
    checkState(m, call);
  }
  kelvo4::forceScalarStages(false);
  return 0;
}
