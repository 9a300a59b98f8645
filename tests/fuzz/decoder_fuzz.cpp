// Differential fuzz target for the decoder. The input picks a frame size (up to
// 64x64), a table of raw floats (so NaN, infinities and huge values occur) and
// a sequence of reinitDLL, setQuantizationTable and decodeFrame calls with
// right and wrong lengths, null buffers and both convert flags, each run on
// one of the sets of stages (scalar, SSE2, SSSE3, AVX2; the fastest stands in
// for one the processor lacks). The same calls go to the plain model; after
// every call the decoder's frame, table, size and output bytes must equal the
// model's, and a rejected call must leave everything untouched. A decoder
// handle with 1 to 3 threads takes the same calls and must agree with both.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

#include "kelvo4/Kelvo4.h"
#include "src/decoder/handle.h"
#include "kelvo4/kelvo4.hpp"
#include "tests/pipeline_model.h"
#include "src/decoder/stages.h"

namespace {

constexpr int kMaxSide = 64;
constexpr int kMaxCalls = 24;

[[noreturn]] void fail(const char* what, int call) {
  std::fprintf(stderr, "decoder differs from the model: %s (call %d, %dx%d)\n", what, call, width, height);
  std::abort();
}

std::vector<float> table(FuzzedDataProvider& fdp, int count) {
  std::vector<float> t(count);
  // Raw bits (NaN, infinities and huge values among them), small factors as
  // streams use, or anywhere around the 16-bit range, fractions included.
  const int mode = fdp.ConsumeIntegralInRange(0, 2);
  for (auto& f : t)
    f = mode == 0   ? std::bit_cast<float>(fdp.ConsumeIntegral<std::uint32_t>())
        : mode == 1 ? static_cast<float>(fdp.ConsumeIntegralInRange(-4, 40)) + 0.5f * fdp.ConsumeBool()
                    : fdp.ConsumeFloatingPointInRange(-70000.0f, 70000.0f);
  return t;
}

void fillPayload(FuzzedDataProvider& fdp, std::vector<signed char>& p) {
  const int mode = fdp.ConsumeIntegralInRange(0, 3);
  std::mt19937_64 rng(fdp.ConsumeIntegral<std::uint64_t>());
  if (mode == 0) {  // bytes from the input, zeros after them
    const std::size_t count = std::min<std::size_t>(p.size(), fdp.ConsumeIntegral<std::uint16_t>());
    const auto bytes = fdp.ConsumeBytes<signed char>(count);
    std::fill(std::copy(bytes.begin(), bytes.end(), p.begin()), p.end(), 0);
    return;
  }
  // Every byte random, sparse (zero blocks, lone DC values, a few
  // coefficients) or extremes only.
  static constexpr signed char kExtremes[] = {-128, -1, 0, 1, 127};
  for (std::size_t i = 0; i < p.size(); ++i) {
    const std::uint64_t r = rng();
    p[i] = mode == 1   ? static_cast<signed char>(r)
           : mode == 2 ? ((i % 64 == 0 ? r % 2 : r % 24 == 0) ? static_cast<signed char>(r >> 32) : 0)
                       : kExtremes[r % 5];
  }
}

// The accepted length, or one up to two away from it.
int nearLength(FuzzedDataProvider& fdp, int right) {
  return right + (fdp.ConsumeIntegralInRange(0, 3) == 0 ? fdp.ConsumeIntegralInRange(-2, 2) : 0);
}

void checkState(const model::Decoder& m, const kelvo4::Decoder& d, int call) {
  // 3 * width wraps for a huge width beside a zero height.
  if (width != m.w || height != m.h || width3 != static_cast<int>(3u * static_cast<unsigned>(m.w))) fail("size", call);
  if (d.width() != m.w || d.height() != m.h) fail("handle size", call);
  if (!std::equal(m.table.begin(), m.table.end(), quant)) fail("table", call);
  if (!std::equal(m.table.begin(), m.table.end(), kelvo4::decoderTable(d.get()))) fail("handle table", call);
  if (!m.frame.empty() && !std::equal(m.frame.begin(), m.frame.end(), oldfr)) fail("frame", call);
  if (d.frame() && !std::equal(m.frame.begin(), m.frame.end(), d.frame())) fail("handle frame", call);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider fdp(data, size);
  model::Decoder m;
  const int w = fdp.ConsumeIntegralInRange(0, kMaxSide), h = fdp.ConsumeIntegralInRange(0, kMaxSide);
  if (!reinitDLL(w, h) || !m.reinit(w, h)) fail("valid size refused", -1);
  // Handles with 1, 2 and 3 threads, opened once: threads are not started per input.
  static kelvo4::Decoder handles[] = {{0, 0, 1}, {0, 0, 2}, {0, 0, 3}};
  kelvo4::Decoder& d = handles[fdp.ConsumeIntegralInRange(0, 2)];
  d.reinit(w, h);
  // The table persists between inputs: load one so that the model knows it.
  const auto first = table(fdp, 64);
  setQuantizationTable(first.data(), 64);
  d.setTable(first.data());
  m.setTable(first.data(), 64);
  checkState(m, d, -1);

  for (int call = 0; call < kMaxCalls && fdp.remaining_bytes() > 0; ++call) {
    const int op = fdp.ConsumeIntegralInRange(0, 9);
    if (op == 0) {
      int nw = fdp.ConsumeIntegralInRange(0, kMaxSide), nh = fdp.ConsumeIntegralInRange(0, kMaxSide);
      switch (fdp.ConsumeIntegralInRange(0, 7)) {
        case 0: nw = -1 - nw; break;                  // negative
        case 1: nw = 1 << 16, nh = 1 << 15; break;    // samples beyond 2^31
        case 2: nw = fdp.ConsumeIntegral<int>(), nh = fdp.ConsumeIntegral<int>(); break;
        case 3: nw = 0x7FFFFFFF - nw, nh = 0; break;  // a huge side beside a zero one: no samples at all
        case 4: nh = 0x7FFFFFFF - nh, nw = 0; break;
        default: break;
      }
      // Keep accepted sizes small; the rest must be refused before allocating.
      if (nw > kMaxSide && nh > 0 && 3.0 * nw * nh < 2147483648.0) nw = kMaxSide;
      if (nh > kMaxSide && nw > 0 && 3.0 * nw * nh < 2147483648.0) nh = kMaxSide;
      const bool accepted = reinitDLL(nw, nh);
      if (accepted != m.reinit(nw, nh)) fail("reinitDLL result", call);
      if (accepted != (kelvo4_decoder_reinit(d.get(), nw, nh) == 0)) fail("handle reinit result", call);
    } else if (op == 1) {
      static constexpr int kCounts[] = {64, 64, 64, 63, 65, 0};
      const int count = kCounts[fdp.ConsumeIntegralInRange(0, 5)];
      const auto t = table(fdp, count);
      // An exact-size buffer: any read past the count is a heap overflow.
      setQuantizationTable(count ? t.data() : nullptr, count);
      kelvo4_decoder_set_table(d.get(), count ? t.data() : nullptr, count);
      m.setTable(count ? t.data() : nullptr, count);
    } else {
      const int n = width * height;
      const int length = nearLength(fdp, n + n / 2);
      const bool convert = fdp.ConsumeBool();
      const int outLength = nearLength(fdp, 3 * n);
      // Any level of stages (the processor's flags within the level's).
      const unsigned level = kelvo4::kCpuLevels[fdp.ConsumeIntegralInRange<std::size_t>(
                                                    0, std::size(kelvo4::kCpuLevels) - 1)].flags;
      kelvo4::useStages(level);
      kelvo4::useStages(d.get(), level);
      std::vector<signed char> payload(length > 0 ? length : 0);
      fillPayload(fdp, payload);
      // Exact sizes again, so that ASan sees any access beyond them.
      std::vector<signed char> out(outLength > 0 ? outLength : 0, 0x5A), expected(out);
      const signed char* p = fdp.ConsumeIntegralInRange(0, 15) == 0 ? nullptr : payload.data();
      signed char* o = fdp.ConsumeIntegralInRange(0, 7) == 0 ? nullptr : out.data();
      std::vector<signed char> handleOut(out);
      decodeFrame(p, length, o, outLength, convert);
      const int rc = kelvo4_decoder_decode(d.get(), p, length, o ? handleOut.data() : nullptr, outLength, convert);
      const bool accepted = m.decode(p, length, o ? expected.data() : nullptr, outLength, convert);
      if (out != expected) fail(accepted ? "output bytes" : "output written by a rejected call", call);
      if (handleOut != expected || (rc == 0) != accepted) fail("handle decode", call);
      // An accepted frame leaves its last block's residual in the scratch block.
      const int blocks = (m.w / 8) * (m.h / 8) + 2 * (m.w / 16) * (m.h / 16);
      if (accepted && blocks > 0) {
        const model::Block last = m.residual(p, blocks - 1);
        if (!std::equal(last.begin(), last.end(), in)) fail("scratch block", call);
      }
    }
    checkState(m, d, call);
  }
  kelvo4::useStages(~0u);
  return 0;
}
