// Encoding speed at 1280x720 and 1920x1080 on one and two threads, default
// settings, on a pan over a picture of the built-in clip: frames per second
// of encodeFrame (coding, and the encoder's own decode of each frame).
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "bench/bench_util.h"
#include "tools/clip/clip_generator.h"
#include "tools/encoder/encoder.h"
#include "tools/writer/writer.h"

namespace {

void encodeBench(benchmark::State& state, int w, int h, int threads) {
  const kelvo4::Image scene = kelvo4::clipFrame(640, 360, 0);
  std::vector<kelvo4::Image> frames;
  for (int f = 0; f < 8; ++f) frames.push_back(kelvo4::photoFrame(scene, w, h, kelvo4::Motion::Pan, f));
  kelvo4::Encoder encoder(w, h, kelvo4::EncoderSettings{kelvo4::kDefaultQuality, 3, threads});
  std::vector<signed char> payload(kelvo4::payloadBytes(encoder.codedWidth(), encoder.codedHeight()));
  // A first pass fills the encoder's colour table, as any longer clip does.
  for (const auto& f : frames) encoder.encodeFrame(f.rgb.data(), payload.data());
  std::size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(encoder.encodeFrame(frames[i++ % frames.size()].rgb.data(), payload.data()));
  }
  state.SetItemsProcessed(state.iterations());
  state.counters["fps"] = benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

int registerAll() {
  for (auto [w, h] : {std::pair{1280, 720}, {1920, 1080}}) {
    const std::string size = std::to_string(w) + "x" + std::to_string(h);
    for (int threads : {1, 2})
      benchmark::RegisterBenchmark(("encode/" + size + "/threads:" + std::to_string(threads)).c_str(), encodeBench, w,
                                   h, threads)
          ->UseRealTime()
          ->Unit(benchmark::kMillisecond);
    bench::ratioTo("encode/" + size + "/threads:2/real_time", "encode/" + size + "/threads:1/real_time");
  }
  return 0;
}

const int registered = registerAll();

}  // namespace
