// Frame stages and whole-frame decoding at three sizes, beside two
// references measured in the same run: a skeleton that only moves one
// decode's bytes, and a mature DCT picture decoder (when its library exists).
#include <benchmark/benchmark.h>

#include <cstdint>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <random>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "kelvo4/Kelvo4.h"
#include "bench/bench_util.h"
#include "src/decoder/stages.h"
#include "kelvo4/kelvo4.hpp"

#ifdef KELVO4_HAVE_TURBOJPEG
#include <turbojpeg.h>
#endif

namespace {

struct Size {
  int w, h;
  const char* name;
};
constexpr Size kSizes[] = {{352, 288, "352x288"}, {1280, 720, "1280x720"}, {1920, 1080, "1920x1080"}};

// A table and payloads shaped like real streams: a moderate DC factor,
// factors growing with frequency, and coefficients that are small and
// mostly zero away from the lowest frequencies.
void setRealisticTable() {
  std::vector<float> t(64);
  for (int r = 0; r < 8; ++r)
    for (int c = 0; c < 8; ++c) t[8 * r + c] = static_cast<float>(r + c == 0 ? 16 : 10 + 4 * (r + c));
  setQuantizationTable(t.data(), 64);
}

std::vector<signed char> realisticPayload(int w, int h, unsigned seed) {
  std::mt19937 rng(seed);
  std::normal_distribution<double> dc(0.0, 6.0);
  std::vector<signed char> p(static_cast<std::size_t>(w) * h + static_cast<std::size_t>(w) * h / 2, 0);
  for (std::size_t b = 0; b + 64 <= p.size(); b += 64) {
    p[b] = static_cast<signed char>(std::clamp(static_cast<int>(dc(rng)), -127, 127));
    for (int k = 1; k < 64; ++k) {
      const unsigned chance = k < 6 ? 50 : k < 21 ? 15 : 2;
      if (rng() % 100 < chance) p[b + k] = static_cast<signed char>(static_cast<int>(rng() % 5) - 2);
    }
  }
  return p;
}

struct Clip {
  std::vector<std::vector<signed char>> payloads;
  std::vector<signed char> output;
  std::size_t bytesPerDecode;  // previous frame and payload read, new frame and output written

  explicit Clip(const Size& s) {
    for (unsigned i = 0; i < 4; ++i) payloads.push_back(realisticPayload(s.w, s.h, 17 + i));
    const std::size_t pixels = static_cast<std::size_t>(s.w) * s.h;
    output.resize(3 * pixels);
    bytesPerDecode = 2 * (6 * pixels) + payloads[0].size() + output.size();
  }
};

// Rates for `frames` frames of `bytes` bytes each per iteration.
void report(benchmark::State& state, const Size& s, std::size_t bytes, int frames = 1) {
  const double pixels = static_cast<double>(s.w) * s.h;
  const auto count = static_cast<std::int64_t>(state.iterations()) * frames;
  state.SetItemsProcessed(count);
  state.SetBytesProcessed(static_cast<std::int64_t>(count * bytes));
  state.counters["fps"] = benchmark::Counter(static_cast<double>(count), benchmark::Counter::kIsRate);
  state.counters["ns/pixel"] = benchmark::Counter(static_cast<double>(count) * pixels * 1e-9,
                                                  benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void decodeFrameBench(benchmark::State& state, Size s, bool convert) {
  Clip clip(s);
  reinitDLL(s.w, s.h);
  setRealisticTable();
  std::size_t f = 0;
  for (auto _ : state) {
    const auto& p = clip.payloads[f++ % clip.payloads.size()];
    decodeFrame(p.data(), static_cast<int>(p.size()), clip.output.data(), static_cast<int>(clip.output.size()),
                convert);
    benchmark::DoNotOptimize(clip.output.data());
  }
  report(state, s, convert ? clip.bytesPerDecode : clip.bytesPerDecode - clip.output.size());
}

// decodeFrame with conversion on the stages of one level.
void levelBench(benchmark::State& state, Size s, unsigned flags) {
  if (!kelvo4::cpuHas(flags)) {
    state.SkipWithError("this processor lacks the level");
    return;
  }
  kelvo4::useStages(flags);
  decodeFrameBench(state, s, true);
  kelvo4::useStages(~0u);
}

// A stream on a handle of its own: decode and conversion.
struct HandleStream {
  Clip clip;
  kelvo4::Decoder decoder;
  std::size_t next = 0;
  HandleStream(const Size& s, int threads) : clip(s), decoder(s.w, s.h, threads) {
    std::vector<float> t(64);
    for (int i = 0; i < 64; ++i) t[i] = static_cast<float>(i == 0 ? 16 : 10 + 4 * (i / 8 + i % 8));
    decoder.setTable(t.data());
  }
  std::vector<std::uint32_t> argb;  // packed-pixel output, when asked for
  void decodeFrames(int count) {
    for (int i = 0; i < count; ++i) {
      const auto& p = clip.payloads[next++ % clip.payloads.size()];
      if (!argb.empty())
        decoder.decodeArgb(p.data(), static_cast<int>(p.size()), argb.data(), 4 * argb.size());
      else
        decoder.decode(p.data(), static_cast<int>(p.size()), clip.output.data(), static_cast<int>(clip.output.size()));
    }
  }
};

// `streams` streams at once, each on its own thread (the first on the
// benchmark's), each handle with `threads` threads; 8 frames per stream per
// iteration, timed on the wall clock.
void handleBench(benchmark::State& state, Size s, int streams, int threads, bool argb) {
  std::vector<std::unique_ptr<HandleStream>> all;
  for (int i = 0; i < streams; ++i) all.push_back(std::make_unique<HandleStream>(s, threads));
  if (argb) all[0]->argb.resize(static_cast<std::size_t>(s.w) * s.h);
  constexpr int kFrames = 8;
  for (auto _ : state) {
    std::vector<std::thread> others;
    for (int i = 1; i < streams; ++i) others.emplace_back([&, i] { all[i]->decodeFrames(kFrames); });
    all[0]->decodeFrames(kFrames);
    for (auto& t : others) t.join();
    benchmark::ClobberMemory();
  }
  report(state, s, all[0]->clip.bytesPerDecode, streams * kFrames);
}

void smoothBench(benchmark::State& state, Size s) {
  reinitDLL(s.w, s.h);
  for (auto _ : state) {
    smooth(oldfr, oldoldfr);
    benchmark::ClobberMemory();
  }
  report(state, s, 12u * s.w * s.h);
}

void addTileBench(benchmark::State& state, Size s) {
  Clip clip(s);
  reinitDLL(s.w, s.h);
  setRealisticTable();
  std::size_t f = 0;
  for (auto _ : state) {
    addTile(clip.payloads[f++ % clip.payloads.size()].data(), oldfr);
    benchmark::ClobberMemory();
  }
  report(state, s, 12u * s.w * s.h + clip.payloads[0].size());
}

void decodeYuvBench(benchmark::State& state, Size s) {
  Clip clip(s);
  reinitDLL(s.w, s.h);
  for (auto _ : state) {
    decodeYUV(oldfr, clip.output.data());
    benchmark::ClobberMemory();
  }
  report(state, s, 6u * s.w * s.h + clip.output.size());
}

// Moves exactly the bytes of one decode with trivial arithmetic: reads the
// previous frame and the payload, writes the new frame and the output.
void skeletonBench(benchmark::State& state, Size s) {
  Clip clip(s);
  const std::size_t samples = 3u * s.w * s.h;
  std::vector<short> prev(samples, 7), next(samples);
  std::uint32_t check = 0;
  for (auto _ : state) {
    const auto& p = clip.payloads[0];
    for (std::size_t i = 0; i < samples; ++i) {
      const short v = static_cast<short>(prev[i] + 1);
      next[i] = v;
      clip.output[i] = static_cast<signed char>(v);
    }
    for (signed char b : p) check += static_cast<unsigned char>(b);
    std::swap(prev, next);
    benchmark::DoNotOptimize(check);
    benchmark::ClobberMemory();
  }
  report(state, s, clip.bytesPerDecode);
}

#ifdef KELVO4_HAVE_TURBOJPEG
// A deterministic picture with smooth gradients, texture and hard edges.
std::vector<unsigned char> naturalPicture(int w, int h) {
  std::vector<unsigned char> rgb(3u * w * h);
  std::mt19937 rng(3);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      const double sky = 120 + 80.0 * y / h;
      const double ripple = 20 * std::sin(x * 0.05 + y * 0.02) * std::cos(y * 0.031);
      const bool hill = y > h / 2 + 60 * std::sin(x * 0.004);
      const int noise = static_cast<int>(rng() % 13) - 6;
      const double base = hill ? 70 + ripple + noise : sky + ripple / 3 + noise / 2;
      unsigned char* p = &rgb[3u * (static_cast<std::size_t>(y) * w + x)];
      p[0] = static_cast<unsigned char>(std::clamp(base + (hill ? 10 : -40), 0.0, 255.0));
      p[1] = static_cast<unsigned char>(std::clamp(base + (hill ? 40 : -10), 0.0, 255.0));
      p[2] = static_cast<unsigned char>(std::clamp(base + (hill ? -20 : 50), 0.0, 255.0));
    }
  return rgb;
}

void turbojpegBench(benchmark::State& state, Size s) {
  auto rgb = naturalPicture(s.w, s.h);
  tjhandle enc = tjInitCompress();
  unsigned char* jpeg = nullptr;
  unsigned long jpegSize = 0;
  if (!enc || tjCompress2(enc, rgb.data(), s.w, 0, s.h, TJPF_RGB, &jpeg, &jpegSize, TJSAMP_420, 90, 0) != 0) {
    state.SkipWithError("cannot compress the reference picture");
    return;
  }
  tjhandle dec = tjInitDecompress();
  std::vector<unsigned char> out(rgb.size());
  for (auto _ : state) {
    if (tjDecompress2(dec, jpeg, jpegSize, out.data(), s.w, 0, s.h, TJPF_RGB, 0) != 0) {
      state.SkipWithError("decompression failed");
      break;
    }
    benchmark::ClobberMemory();
  }
  state.counters["jpeg_bytes"] = static_cast<double>(jpegSize);
  report(state, s, jpegSize + out.size());
  tjFree(jpeg);
  tjDestroy(enc);
  tjDestroy(dec);
}
#endif

int registerAll() {
  for (const Size& s : kSizes) {
    const std::string n = s.name;
    benchmark::RegisterBenchmark(("smooth/" + n).c_str(), smoothBench, s);
    benchmark::RegisterBenchmark(("addTile/" + n).c_str(), addTileBench, s);
    benchmark::RegisterBenchmark(("decodeYUV/" + n).c_str(), decodeYuvBench, s);
    benchmark::RegisterBenchmark(("decodeFrame_noconvert/" + n).c_str(), decodeFrameBench, s, false);
    benchmark::RegisterBenchmark(("decodeFrame_convert/" + n).c_str(), decodeFrameBench, s, true);
    benchmark::RegisterBenchmark(("skeleton/" + n).c_str(), skeletonBench, s);
    bench::ratioTo("decodeFrame_convert/" + n, "skeleton/" + n);
  }
  // Every level of stages this processor runs side by side, against the
  // scalar one.
  for (const kelvo4::CpuLevel& level : kelvo4::kCpuLevels) {
    if (!kelvo4::cpuHas(level.flags)) continue;
    const std::string name = std::string("decodeFrame_convert_") + level.name + "/" + kSizes[2].name;
    benchmark::RegisterBenchmark(name.c_str(), levelBench, kSizes[2], level.flags);
    if (level.flags != 0) bench::ratioTo(name, std::string("decodeFrame_convert_scalar/") + kSizes[2].name);
  }
  // Wall-clock rates of handles at 1080p: one stream on one and on two
  // threads, and two streams at once on one thread each.
  const Size& hd = kSizes[2];
  const std::string n = hd.name, one = "handle_convert/" + n + "/real_time";
  benchmark::RegisterBenchmark(("handle_convert/" + n).c_str(), handleBench, hd, 1, 1, false)->UseRealTime();
  benchmark::RegisterBenchmark(("handle_convert_2threads/" + n).c_str(), handleBench, hd, 1, 2, false)->UseRealTime();
  benchmark::RegisterBenchmark(("handle_convert_2streams/" + n).c_str(), handleBench, hd, 2, 1, false)->UseRealTime();
  // Packed 0xFFRRGGBB pixels, as Java pictures take them.
  benchmark::RegisterBenchmark(("handle_argb/" + n).c_str(), handleBench, hd, 1, 1, true)->UseRealTime();
  bench::ratioTo("handle_argb/" + n + "/real_time", one);
  bench::ratioTo("handle_convert/" + n + "/real_time", "decodeFrame_convert/" + n);
  bench::ratioTo("handle_convert_2threads/" + n + "/real_time", one);
  bench::ratioTo("handle_convert_2streams/" + n + "/real_time", one);
#ifdef KELVO4_HAVE_TURBOJPEG
  benchmark::RegisterBenchmark("turbojpeg_420_q90_rgb/1920x1080", turbojpegBench, kSizes[2]);
  bench::ratioTo("decodeFrame_convert/1920x1080", "turbojpeg_420_q90_rgb/1920x1080");
#else
  std::printf("libturbojpeg0-dev is not installed: the JPEG reference is not measured\n");
#endif
  return 0;
}

const int registered = registerAll();

}  // namespace
