// Playing a stream file at 1920x1080: the whole path (read, decode the
// coefficients, decode the frame, convert, crop) through kelvo4_stream on one
// and two threads, beside the decoder alone on the same payloads, and the
// coefficient decoder alone beside zstd decompression (level 3, as version 2
// files stored them) of the same payloads, and the coefficient encoder alone.
//
// The stream is made here, by the encoder at its default settings, from a pan
// over a photograph: KELVO4_BENCH_PHOTO, or build-photos/data/astronaut.png
// (scripts/measure-encoder.sh unpacks it), or else a picture of the built-in
// clip.
#include <benchmark/benchmark.h>
#include <zstd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "bench/bench_util.h"
#include "tools/clip/clip_generator.h"
#include "tools/encoder/encoder.h"
#include "kelvo4/kelvo4.hpp"
#include "src/stream/coefficient_decoder.h"
#include "tools/writer/coefficient_encoder.h"
#include "tools/platform/tool_platform.h"
#include "tools/writer/writer.h"

namespace {

constexpr int kWidth = 1920, kHeight = 1080, kFrames = 30;

struct Frame {
  bool key, hasTable;
  std::vector<float> table;
  std::vector<signed char> payload;
  std::vector<char> packed;  // as zstd at level 3 stores it
  std::vector<unsigned char> coded;  // as the coefficient coder does
};

// The stream file and the frames it holds, made once.
struct Material {
  std::string path, source;
  std::vector<Frame> frames;
  std::uint64_t fileBytes = 0;

  Material() {
    // Compressed as the stream's writer compresses: content size and checksum.
    std::unique_ptr<ZSTD_CCtx, decltype(&ZSTD_freeCCtx)> zstd(ZSTD_createCCtx(), ZSTD_freeCCtx);
    ZSTD_CCtx_setParameter(zstd.get(), ZSTD_c_compressionLevel, 3);
    ZSTD_CCtx_setParameter(zstd.get(), ZSTD_c_contentSizeFlag, 1);
    ZSTD_CCtx_setParameter(zstd.get(), ZSTD_c_checksumFlag, 1);
    const char* env = std::getenv("KELVO4_BENCH_PHOTO");
    source = env ? env : "build-photos/data/astronaut.png";
    kelvo4::Image scene;
    if (kelvo4::os::fileInfo(source).kind == kelvo4::os::Kind::Regular) {
      scene = kelvo4::readImage(source);
    } else {
      source = "the built-in clip";
      scene = kelvo4::clipFrame(640, 360, 0);
    }
    path = kelvo4::os::textOf(kelvo4::os::pathOf(kelvo4::os::temporaryFolder()) /
                              kelvo4::os::pathOf("kelvo4_bench_" + std::to_string(kelvo4::os::processId()) + ".klv"));
    kelvo4::Encoder encoder(kWidth, kHeight, kelvo4::EncoderSettings{kelvo4::kDefaultQuality, 3, 2});
    kelvo4::StreamWriter writer(path, {kWidth, kHeight, 0, 0, 30, 1});
    kelvo4::CoefficientEncoder coder(encoder.codedWidth(), encoder.codedHeight());
    const std::size_t bytes = kelvo4::payloadBytes(encoder.codedWidth(), encoder.codedHeight());
    for (int f = 0; f < kFrames; ++f) {
      Frame frame{f == 0, false, {}, std::vector<signed char>(bytes), {}, {}};
      const kelvo4::Image picture = kelvo4::photoFrame(scene, kWidth, kHeight, kelvo4::Motion::Pan, f);
      encoder.encodeFrame(picture.rgb.data(), frame.payload.data(), frame.key);
      frame.hasTable = encoder.tableChanged();
      if (frame.hasTable) frame.table.assign(encoder.table().begin(), encoder.table().end());
      writer.writeFrame(frame.payload.data(), frame.key, frame.hasTable ? frame.table.data() : nullptr);
      coder.encode(frame.payload.data(), frame.key, frame.coded);
      coder.commit();
      frame.packed.resize(ZSTD_compressBound(bytes));
      frame.packed.resize(ZSTD_compress2(zstd.get(), frame.packed.data(), frame.packed.size(), frame.payload.data(),
                                         bytes));
      frames.push_back(std::move(frame));
    }
    writer.close();
    fileBytes = kelvo4::os::fileInfo(path).size;
  }
  ~Material() { kelvo4::os::removeFile(path); }
};

const Material& material() {
  static const Material m;
  return m;
}

void report(benchmark::State& state, std::int64_t frames) {
  state.SetItemsProcessed(frames);
  state.counters["fps"] = benchmark::Counter(static_cast<double>(frames), benchmark::Counter::kIsRate);
}

// One frame per iteration through the stream API, from the start again at
// the end.
void playBench(benchmark::State& state, int threads) {
  const Material& m = material();
  kelvo4::Stream stream(m.path, threads);
  std::vector<unsigned char> rgb(3 * static_cast<std::size_t>(kWidth) * kHeight);
  for (auto _ : state) {
    if (!stream.next(rgb.data(), rgb.size())) {
      stream.seek(0);
      stream.next(rgb.data(), rgb.size());
    }
    benchmark::DoNotOptimize(rgb.data());
  }
  report(state, state.iterations());
  state.SetLabel(m.source + ", " + std::to_string(m.fileBytes / kFrames) + " bytes per frame");
}

// The decoder alone: the same payloads, already in memory, decoded,
// converted and cropped on a handle.
void decoderBench(benchmark::State& state, int threads) {
  const Material& m = material();
  const int cw = kelvo4::codedSide(kWidth), ch = kelvo4::codedSide(kHeight);
  kelvo4::Decoder decoder(cw, ch, threads);
  std::vector<unsigned char> rgb(3 * static_cast<std::size_t>(kWidth) * kHeight);
  std::size_t f = 0;
  for (auto _ : state) {
    const Frame& frame = m.frames[f++ % m.frames.size()];
    if (frame.key) decoder.reinit(cw, ch);
    if (frame.hasTable) decoder.setTable(frame.table.data());
    kelvo4_decoder_decode_region(decoder.get(), frame.payload.data(), static_cast<int>(frame.payload.size()),
                                 rgb.data(), KELVO4_RGB24, kWidth, kHeight, static_cast<int>(rgb.size()));
    benchmark::DoNotOptimize(rgb.data());
  }
  report(state, state.iterations());
}

void zstdBench(benchmark::State& state) {
  const Material& m = material();
  std::vector<signed char> payload(m.frames[0].payload.size());
  std::unique_ptr<ZSTD_DCtx, decltype(&ZSTD_freeDCtx)> context(ZSTD_createDCtx(), ZSTD_freeDCtx);
  std::size_t f = 0;
  for (auto _ : state) {
    const Frame& frame = m.frames[f++ % m.frames.size()];
    benchmark::DoNotOptimize(
        ZSTD_decompressDCtx(context.get(), payload.data(), payload.size(), frame.packed.data(), frame.packed.size()));
  }
  report(state, state.iterations());
}

void coderBench(benchmark::State& state) {
  const Material& m = material();
  std::vector<signed char> payload(m.frames[0].payload.size());
  kelvo4::CoefficientDecoder decoder(kelvo4::codedSide(kWidth), kelvo4::codedSide(kHeight));
  kelvo4::CoefficientError error;
  std::size_t f = 0, coded = 0, packed = 0;
  for (const Frame& frame : m.frames) {
    coded += frame.coded.size();
    packed += frame.packed.size();
  }
  for (auto _ : state) {
    const Frame& frame = m.frames[f++ % m.frames.size()];
    if (!decoder.decode(frame.coded.data(), frame.coded.size(), frame.key, payload.data(), payload.data(), error))
      state.SkipWithError(error.reason.c_str());
  }
  report(state, state.iterations());
  char label[96];
  std::snprintf(label, sizeof label, "%zu bytes per frame, %.3fx zstd's %zu", coded / m.frames.size(),
                static_cast<double>(coded) / static_cast<double>(packed), packed / m.frames.size());
  state.SetLabel(label);
}

// The coefficient encoder alone: the same payloads coded in order, from the
// key frame again at the end.
void coderEncodeBench(benchmark::State& state) {
  const Material& m = material();
  kelvo4::CoefficientEncoder coder(kelvo4::codedSide(kWidth), kelvo4::codedSide(kHeight));
  std::vector<unsigned char> coded;
  std::size_t f = 0;
  for (auto _ : state) {
    const Frame& frame = m.frames[f++ % m.frames.size()];
    coder.encode(frame.payload.data(), frame.key, coded);
    coder.commit();
    benchmark::DoNotOptimize(coded.data());
  }
  report(state, state.iterations());
}

int registerAll() {
  const std::string n = "1920x1080";
  for (int threads : {1, 2}) {
    const std::string t = "/threads:" + std::to_string(threads);
    benchmark::RegisterBenchmark(("stream_play/" + n + t).c_str(), playBench, threads)
        ->UseRealTime()
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark(("stream_decoder_alone/" + n + t).c_str(), decoderBench, threads)
        ->UseRealTime()
        ->Unit(benchmark::kMillisecond);
  }
  benchmark::RegisterBenchmark(("stream_zstd_alone/" + n).c_str(), zstdBench)->UseRealTime()->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark(("stream_coder_alone/" + n).c_str(), coderBench)->UseRealTime()->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark(("stream_coder_encode/" + n).c_str(), coderEncodeBench)
      ->UseRealTime()
      ->Unit(benchmark::kMillisecond);
  bench::ratioTo("stream_coder_alone/" + n + "/real_time", "stream_zstd_alone/" + n + "/real_time");
  const std::string play1 = "stream_play/" + n + "/threads:1/real_time";
  bench::ratioTo("stream_play/" + n + "/threads:2/real_time", play1);
  bench::ratioTo(play1, "stream_decoder_alone/" + n + "/threads:1/real_time");
  bench::ratioTo("stream_play/" + n + "/threads:2/real_time", "stream_decoder_alone/" + n + "/threads:1/real_time");
  return 0;
}

const int registered = registerAll();

}  // namespace
