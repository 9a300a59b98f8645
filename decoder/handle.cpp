// Decoder handles: the frame pipeline on state of their own, with worker
// threads that share each frame's bands.
#include "kelvo4/decoder.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <new>
#include <system_error>
#include <utility>
#include <vector>

#include "handle.h"
#include "stages.h"
#include "worker_pool.h"

namespace {

// One thread's scratch: its block and its prefetch cursor.
struct Worker {
  alignas(32) short block[64] = {};
  kelvo4::BandContext ctx;
};

// One frame being decoded. Its bands go in runs of neighbouring bands to
// whichever worker asks first: a run keeps the rows that two bands share, and
// the prefetched rows of the next band, with one worker, while a few runs per
// worker still even out workers that start late or run slower.
struct FrameJob {
  kelvo4_decoder* decoder;
  const signed char* payload;
  kelvo4::Output output;
  int bands, chunkBands, chunks;
  std::atomic<int> nextChunk{0};

  FrameJob(kelvo4_decoder* d, const signed char* p, const kelvo4::Output& o, int bandCount, int workers)
      : decoder(d), payload(p), output(o), bands(bandCount) {
    chunkBands = std::max(1, bands / (kRunsPerWorker * workers));
    chunks = (bands + chunkBands - 1) / chunkBands;
  }
  static constexpr int kRunsPerWorker = 2;
};

// A payload of the frame size, present unless it is empty.
bool payloadFits(const signed char* payload, int length, int width, int height) {
  return kelvo4::isPayloadLength(length, width, height) && (payload != nullptr || length == 0);
}

}  // namespace

struct kelvo4_decoder {
  int width = 0, height = 0, width3 = 0;
  std::unique_ptr<short[]> current, previous;
  alignas(32) short quant[64] = {};
  const kelvo4::Stages* stages = &kelvo4::bestStages();
  std::vector<Worker> workers;  // the handle's threads, then the helpers'
  std::unique_ptr<kelvo4::WorkerPool> pool;
  // Threads from outside that may take bands of the frame being decoded
  // (kelvo4::helpDecode): the frame's job while it runs, and how many of them
  // are in it.
  int helpers = 0;
  std::mutex helpMutex;
  std::condition_variable helpDone;
  FrameJob* active = nullptr;
  int helping = 0;

  kelvo4_decoder(int threads, int helperCount)
      : workers(static_cast<std::size_t>(threads + helperCount)), helpers(helperCount) {
    for (Worker& w : workers) w.ctx.block = w.block;
  }

  int reinit(int w, int h) {
    if (!kelvo4::sizeSupported(w, h)) return -EINVAL;
    if (current && w == width && h == height) {
      // A restart at the same size (a key frame) keeps the buffers.
      kelvo4::fillInitialFrame(current.get(), static_cast<std::size_t>(width3) * static_cast<std::size_t>(height));
      return 0;
    }
    current.reset();
    previous.reset();
    width = height = width3 = 0;
    const int w3 = static_cast<int>(3u * static_cast<unsigned>(w));
    const std::size_t samples = static_cast<std::size_t>(w3) * static_cast<std::size_t>(h);
    try {
      current.reset(new short[samples]);
      previous.reset(new short[samples]);
    } catch (const std::bad_alloc&) {
      current.reset();
      previous.reset();
      setContexts();
      return -ENOMEM;
    }
    width = w;
    height = h;
    width3 = w3;
    kelvo4::fillInitialFrame(current.get(), samples);
    setContexts();
    return 0;
  }

  void setContexts() {
    for (Worker& worker : workers) {
      worker.ctx.width = width;
      worker.ctx.height = height;
      worker.ctx.width3 = width3;
      worker.ctx.quant = quant;
    }
  }

  static void decodeBands(void* context, int worker) {
    FrameJob& job = *static_cast<FrameJob*>(context);
    kelvo4_decoder& d = *job.decoder;
    kelvo4::BandContext& ctx = d.workers[static_cast<std::size_t>(worker)].ctx;
    for (int chunk; (chunk = job.nextChunk.fetch_add(1, std::memory_order_relaxed)) < job.chunks;) {
      const int end = std::min(job.bands, (chunk + 1) * job.chunkBands);
      for (int band = chunk * job.chunkBands; band < end; ++band)
        kelvo4::decodeBand(*d.stages, ctx, job.payload, d.previous.get(), d.current.get(), job.output, band);
    }
  }

  void decode(const signed char* payload, const kelvo4::Output& output) {
    std::swap(current, previous);
    if (width == 0 || height == 0) return;
    FrameJob job(this, payload, output, kelvo4::bandCount(height), static_cast<int>(workers.size()));
    if (helpers > 0) {
      std::lock_guard lock(helpMutex);
      active = &job;
    }
    if (pool && job.bands > 1)
      pool->run(decodeBands, &job);
    else
      decodeBands(&job, 0);
    if (helpers > 0) {
      std::unique_lock lock(helpMutex);
      active = nullptr;
      helpDone.wait(lock, [this] { return helping == 0; });
    }
  }

  // Takes bands of the frame being decoded, if any, until none is left.
  void help(int helper) {
    FrameJob* job;
    {
      std::lock_guard lock(helpMutex);
      if (active == nullptr || helper < 0 || helper >= helpers) return;
      job = active;
      ++helping;
    }
    decodeBands(job, static_cast<int>(workers.size()) - helpers + helper);
    std::lock_guard lock(helpMutex);
    if (--helping == 0) helpDone.notify_one();
  }
};

namespace kelvo4 {

void useStages(kelvo4_decoder* d, StageLevel level) { d->stages = &stagesFor(level); }

int openDecoder(kelvo4_decoder** out, int width, int height, int threads, int helpers) {
  if (out == nullptr) return -EINVAL;
  *out = nullptr;
  if (threads < 1 || threads > KELVO4_MAX_THREADS || helpers < 0 || helpers > KELVO4_MAX_THREADS ||
      !kelvo4::sizeSupported(width, height))
    return -EINVAL;
  std::unique_ptr<kelvo4_decoder> d;
  try {
    d = std::make_unique<kelvo4_decoder>(threads, helpers);
    if (const int rc = d->reinit(width, height); rc != 0) return rc;
    if (threads > 1) d->pool = std::make_unique<kelvo4::WorkerPool>(threads);
  } catch (const std::bad_alloc&) {
    return -ENOMEM;
  } catch (const std::system_error&) {
    return -EAGAIN;
  } catch (...) {
    return -EIO;  // nothing else throws here; nothing may leave the C API
  }
  *out = d.release();
  return 0;
}

void helpDecode(kelvo4_decoder* d, int helper) { d->help(helper); }

const short* decoderTable(const kelvo4_decoder* d) { return d->quant; }

void predictNext(const kelvo4_decoder* d, short* dst, int y0, int y1) {
  d->stages->smoothRows(d->workers[0].ctx, d->current.get(), dst, y0, y1);
}

}  // namespace kelvo4

extern "C" {

int kelvo4_decoder_open(kelvo4_decoder** out, int width, int height, int threads) {
  return kelvo4::openDecoder(out, width, height, threads, 0);
}

int kelvo4_decoder_reinit(kelvo4_decoder* d, int width, int height) {
  return d == nullptr ? -EINVAL : d->reinit(width, height);
}

int kelvo4_decoder_set_table(kelvo4_decoder* d, const float* values, int count) {
  if (d == nullptr || values == nullptr || count != 64) return -EINVAL;
  for (int i = 0; i < 64; ++i) d->quant[i] = kelvo4::toFactor(values[i]);
  return 0;
}

int kelvo4_decoder_decode(kelvo4_decoder* d, const signed char* payload, int payload_length, signed char* output,
                          int output_length, int convert) {
  if (d == nullptr) return -EINVAL;
  const int n = d->width * d->height;  // reinit keeps 3 * n below 2^31
  if (!payloadFits(payload, payload_length, d->width, d->height)) return -EINVAL;
  if (convert && (output_length != 3 * n || (output == nullptr && output_length != 0))) return -EINVAL;
  d->decode(payload, {convert ? output : nullptr, nullptr, d->width, d->height});
  return 0;
}

int kelvo4_decoder_decode_argb(kelvo4_decoder* d, const signed char* payload, int payload_length, uint32_t* argb,
                               int pixel_count) {
  return kelvo4_decoder_decode_region(d, payload, payload_length, argb, KELVO4_ARGB32, kelvo4_decoder_width(d),
                                      kelvo4_decoder_height(d), pixel_count);
}

int kelvo4_decoder_decode_region(kelvo4_decoder* d, const signed char* payload, int payload_length, void* output,
                                 int format, int out_width, int out_height, int output_length) {
  if (d == nullptr || (format != KELVO4_RGB24 && format != KELVO4_ARGB32)) return -EINVAL;
  if (!payloadFits(payload, payload_length, d->width, d->height)) return -EINVAL;
  if (out_width < 0 || out_height < 0 || out_width > d->width || out_height > d->height) return -EINVAL;
  const int pixels = out_width * out_height;
  if (output_length != (format == KELVO4_RGB24 ? 3 * pixels : pixels) || (output == nullptr && pixels != 0))
    return -EINVAL;
  kelvo4::Output out;
  out.width = out_width;
  out.height = out_height;
  if (format == KELVO4_RGB24)
    out.bytes = static_cast<signed char*>(output);
  else
    out.argb = static_cast<std::uint32_t*>(output);
  d->decode(payload, out);
  return 0;
}

const short* kelvo4_decoder_frame(const kelvo4_decoder* d) {
  return d == nullptr || d->width == 0 || d->height == 0 ? nullptr : d->current.get();
}

int kelvo4_version(void) { return KELVO4_VERSION; }

int kelvo4_decoder_payload_length(const kelvo4_decoder* d) {
  return d == nullptr ? 0 : static_cast<int>(kelvo4::payloadBytes(d->width, d->height));
}

int kelvo4_decoder_width(const kelvo4_decoder* d) { return d == nullptr ? 0 : d->width; }

int kelvo4_decoder_height(const kelvo4_decoder* d) { return d == nullptr ? 0 : d->height; }

void kelvo4_decoder_close(kelvo4_decoder** d) {
  if (d == nullptr) return;
  delete *d;
  *d = nullptr;
}

}  // extern "C"
