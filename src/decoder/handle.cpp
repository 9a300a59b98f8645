// Decoder handles: the frame pipeline on state of their own, with worker
// threads that share each frame's bands.
#include "kelvo4/decoder.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <memory>
#include <new>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "src/decoder/entry_point.h"
#include "src/decoder/handle.h"
#include "src/platform/platform.h"
#include "src/decoder/stages.h"
#include "src/decoder/worker_pool.h"

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
  bool predicted;  // the frame starts from the spare frame's prediction
  int bands, chunkBands, chunks;
  std::atomic<int> nextChunk{0};

  FrameJob(kelvo4_decoder* d, const signed char* p, const kelvo4::Output& o, bool fromSpare, int bandCount,
           int workers)
      : decoder(d), payload(p), output(o), predicted(fromSpare), bands(bandCount) {
    chunkBands = std::max(1, bands / (kRunsPerWorker * workers));
    chunks = (bands + chunkBands - 1) / chunkBands;
  }
  static constexpr int kRunsPerWorker = 2;
};

std::string sizeText(int width, int height) { return std::to_string(width) + "x" + std::to_string(height); }

// The message of the last open that failed on this thread.
thread_local std::string lastOpenError;

template <class Body>
int guarded(std::string& message, Body&& body) {
  return kelvo4::guardedCall(&message, std::forward<Body>(body));
}

}  // namespace

struct kelvo4_decoder {
  int width = 0, height = 0, width3 = 0;
  std::unique_ptr<short[]> current, previous;
  alignas(32) short quant[64] = {};
  kelvo4::Stages stages = kelvo4::stagesFor(kelvo4::cpuFlags());
  std::vector<Worker> workers;  // the handle's threads, then the helpers'
  std::unique_ptr<kelvo4::WorkerPool> pool;
  int helpers = 0;  // threads from outside that take bands of each frame
  kelvo4::FrameHelpers* frameHelpers = nullptr;
  std::string message;  // the last failure's

  kelvo4_decoder(int threads, int helperCount, kelvo4::FrameHelpers* helping)
      : workers(static_cast<std::size_t>(threads + helperCount)), helpers(helperCount), frameHelpers(helping) {
    for (Worker& w : workers) w.ctx.block = w.block;
  }

  int fail(int code, const std::string& text) {
    message = text;
    return code;
  }

  int reinit(int w, int h) {
    if (!kelvo4::sizeSupported(w, h))
      return fail(-EINVAL, "size " + sizeText(w, h) + ": no side may be negative, and 3 x width x height must be below 2^31");
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
      return fail(-ENOMEM, "out of memory for frames of " + sizeText(w, h));
    }
    // Both frames are written in full from the first decode on.
    kelvo4::os::prefault(current.get(), samples * sizeof(short));
    kelvo4::os::prefault(previous.get(), samples * sizeof(short));
    width = w;
    height = h;
    width3 = w3;
    kelvo4::fillInitialFrame(current.get(), samples);
    setContexts();
    return 0;
  }

  // Checks a payload of the frame size, present unless it is empty.
  int checkPayload(const void* payload, std::size_t length) {
    if (length != kelvo4::payloadBytes(width, height))
      return fail(-EINVAL, "payload of " + std::to_string(length) + " bytes: a " + sizeText(width, height) +
                               " frame takes " + std::to_string(kelvo4::payloadBytes(width, height)));
    if (payload == nullptr && length != 0) return fail(-EINVAL, "no payload");
    return 0;
  }

  // Checks an output of `length` bytes for `pixels` pixels of `bytesPerPixel`.
  int checkOutput(const void* output, std::size_t length, std::size_t pixels, std::size_t bytesPerPixel) {
    if (length != pixels * bytesPerPixel)
      return fail(-EINVAL, "output of " + std::to_string(length) + " bytes: " + std::to_string(pixels) +
                               " pixels take " + std::to_string(pixels * bytesPerPixel));
    if (output == nullptr && length != 0) return fail(-EINVAL, "no output");
    return 0;
  }

  // What kelvo4_decoder_decode_into checks after the payload, then the
  // decode; with `predicted`, from the prediction in the spare frame.
  int decodeInto(const void* payload, void* output, std::size_t length, kelvo4_format format, int w, int h,
                 std::size_t stride, bool predicted = false) {
    kelvo4::Output out;
    if (output != nullptr || length != 0) {
      if (format != KELVO4_RGB24 && format != KELVO4_ARGB32)
        return fail(-EINVAL, "format " + std::to_string(static_cast<int>(format)) +
                                 ": neither KELVO4_RGB24 nor KELVO4_ARGB32");
      if (w < 0 || h < 0 || w > width || h > height)
        return fail(-EINVAL, "region " + sizeText(w, h) + ": not within the " + sizeText(width, height) + " frame");
      const std::size_t bpp = format == KELVO4_RGB24 ? 3 : 4;
      std::size_t need = 0;
      if (!kelvo4::outputExtent(w, h, bpp, stride, need))
        return fail(-EINVAL, "stride of " + std::to_string(stride) + " bytes: rows of " + std::to_string(w) +
                                 " pixels take " + std::to_string(static_cast<std::size_t>(w) * bpp) +
                                 " bytes, and " + std::to_string(h) + " of them must fit in memory");
      if (output == nullptr) return fail(-EINVAL, "no output");
      if (length < need)
        return fail(-EINVAL, "output of " + std::to_string(length) + " bytes: " + sizeText(w, h) +
                                 " pixels with rows " + std::to_string(stride) + " bytes apart take " +
                                 std::to_string(need));
      out.width = w;
      out.height = h;
      out.stride = stride;
      if (format == KELVO4_RGB24)
        out.bytes = static_cast<signed char*>(output);
      else
        out.argb = static_cast<unsigned char*>(output);
    }
    decode(static_cast<const signed char*>(payload), out, predicted);
    return 0;
  }

  // kelvo4_decoder_decode_region's checks, then the decode; with
  // `predicted`, from the prediction in the spare frame.
  int decodeRegion(const void* payload, std::size_t payloadLength, void* output, kelvo4_format format, int w, int h,
                   std::size_t length, bool predicted) {
    if (format != KELVO4_RGB24 && format != KELVO4_ARGB32)
      return fail(-EINVAL,
                  "format " + std::to_string(static_cast<int>(format)) + ": neither KELVO4_RGB24 nor KELVO4_ARGB32");
    if (const int rc = checkPayload(payload, payloadLength); rc < 0) return rc;
    if (w < 0 || h < 0 || w > width || h > height)
      return fail(-EINVAL, "region " + sizeText(w, h) + ": not within the " + sizeText(width, height) + " frame");
    const std::size_t pixels = static_cast<std::size_t>(w) * static_cast<std::size_t>(h);
    const std::size_t bpp = format == KELVO4_RGB24 ? 3 : 4;
    if (const int rc = checkOutput(output, length, pixels, bpp); rc < 0) return rc;
    return decodeInto(payload, output, length, format, w, h, bpp * static_cast<std::size_t>(w), predicted);
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
        kelvo4::decodeBand(d.stages, ctx, job.payload, d.previous.get(), d.current.get(), job.output, band,
                           job.predicted);
    }
  }

  void decode(const signed char* payload, const kelvo4::Output& output, bool predicted) {
    std::swap(current, previous);
    if (width == 0 || height == 0) return;
    FrameJob job(this, payload, output, predicted, kelvo4::bandCount(height), static_cast<int>(workers.size()));
    if (frameHelpers) frameHelpers->frameStarted(helpDecode, &job);
    if (pool && job.bands > 1)
      pool->run(decodeBands, &job);
    else
      decodeBands(&job, 0);
    if (frameHelpers) frameHelpers->frameDone();
  }

  // Helper number `helper` takes bands of the frame until none is left.
  static void helpDecode(void* frame, int helper) {
    const kelvo4_decoder& d = *static_cast<FrameJob*>(frame)->decoder;
    if (helper >= 0 && helper < d.helpers) decodeBands(frame, static_cast<int>(d.workers.size()) - d.helpers + helper);
  }
};

namespace kelvo4 {

int readSettings(const kelvo4_settings* settings, int& threads, std::int64_t& maxPixels, std::string& message) {
  threads = 1;
  maxPixels = 0;
  if (settings == nullptr) return 0;
  const std::size_t size = settings->size;
  if (size < KELVO4_SETTINGS_SIZE_1_1) {
    message = "settings of " + std::to_string(size) + " bytes: they take at least " +
              std::to_string(KELVO4_SETTINGS_SIZE_1_1) + " (set size to sizeof(kelvo4_settings))";
    return -EINVAL;
  }
  // A newer program's fields: zero means what it meant before them, anything
  // else is a setting this library cannot honour.
  const auto* bytes = reinterpret_cast<const unsigned char*>(settings);
  for (std::size_t i = sizeof(kelvo4_settings); i < size; ++i)
    if (bytes[i] != 0) {
      message = "settings of " + std::to_string(size) + " bytes: byte " + std::to_string(i) +
                " is set, and this library knows settings up to byte " + std::to_string(sizeof(kelvo4_settings)) +
                " only";
      return -EINVAL;
    }
  if (settings->threads < 0 || settings->threads > KELVO4_MAX_THREADS) {
    message = "threads " + std::to_string(settings->threads) + ": 0 to " + std::to_string(KELVO4_MAX_THREADS);
    return -EINVAL;
  }
  threads = std::max(1, settings->threads);
  maxPixels = settings->max_pixels;
  return 0;
}

bool outputExtent(int width, int height, std::size_t bytesPerPixel, std::size_t stride, std::size_t& bytes) {
  const std::size_t row = static_cast<std::size_t>(width) * bytesPerPixel;
  bytes = 0;
  if (stride < row) return false;
  if (width == 0 || height == 0) return true;
  const auto gaps = static_cast<std::size_t>(height - 1);
  if (gaps != 0 && stride > (SIZE_MAX - row) / gaps) return false;
  bytes = stride * gaps + row;
  return true;
}

void useStages(kelvo4_decoder* d, unsigned flags) { d->stages = stagesFor(cpuFlags() & flags); }

int openDecoder(kelvo4_decoder** out, int width, int height, int threads, int helpers, FrameHelpers* frameHelpers) {
  if (out == nullptr) return -EINVAL;
  *out = nullptr;
  return guarded(lastOpenError, [&] {
    if (threads < 1 || threads > KELVO4_MAX_THREADS || helpers < 0 || helpers > KELVO4_MAX_THREADS) {
      lastOpenError = "threads must be 1 to " + std::to_string(KELVO4_MAX_THREADS);
      return -EINVAL;
    }
    std::unique_ptr<kelvo4_decoder> d;
    try {
      d = std::make_unique<kelvo4_decoder>(threads, helpers, helpers > 0 ? frameHelpers : nullptr);
      if (const int rc = d->reinit(width, height); rc != 0) {
        lastOpenError = d->message;
        return rc;
      }
      if (threads > 1) d->pool = std::make_unique<kelvo4::WorkerPool>(threads);
    } catch (const std::system_error&) {
      lastOpenError = "cannot start a thread";
      return -EAGAIN;
    }
    *out = d.release();
    return 0;
  });
}

const short* decoderTable(const kelvo4_decoder* d) { return d->quant; }

void predictNext(const kelvo4_decoder* d, short* dst, int y0, int y1) {
  d->stages.smoothRows(d->workers[0].ctx, d->current.get(), dst, y0, y1);
}

short* spareFrame(kelvo4_decoder* d) { return d->previous.get(); }

int decodePredicted(kelvo4_decoder* d, const void* payload, std::size_t payloadLength, std::uint8_t* rgb, int width,
                    int height, std::size_t rgbLength) {
  return guarded(d->message, [&] {
    return d->decodeRegion(payload, payloadLength, rgb, KELVO4_RGB24, width, height, rgbLength, true);
  });
}

}  // namespace kelvo4

extern "C" {

int kelvo4_decoder_open(kelvo4_decoder** out, int width, int height, int threads) {
  // Settings read 0 threads as one; here 0 stays refused, as it always was,
  // and a count out of range is refused with the words it always had.
  if (threads < 1 || threads > KELVO4_MAX_THREADS) return kelvo4::openDecoder(out, width, height, threads, 0);
  const kelvo4_settings settings = {sizeof settings, threads, 0};
  return kelvo4_decoder_open_with(out, width, height, &settings);
}

int kelvo4_decoder_open_with(kelvo4_decoder** out, int width, int height, const kelvo4_settings* settings) {
  if (out == nullptr) return -EINVAL;
  *out = nullptr;
  return guarded(lastOpenError, [&] {
    int threads = 1;
    std::int64_t maxPixels = 0;  // a decoder's size is its caller's
    if (const int rc = kelvo4::readSettings(settings, threads, maxPixels, lastOpenError); rc < 0) return rc;
    return kelvo4::openDecoder(out, width, height, threads, 0);
  });
}

int kelvo4_decoder_reinit(kelvo4_decoder* d, int width, int height) {
  return d == nullptr ? -EINVAL : guarded(d->message, [&] { return d->reinit(width, height); });
}

int kelvo4_decoder_set_table(kelvo4_decoder* d, const float* values, size_t count) {
  if (d == nullptr) return -EINVAL;
  return guarded(d->message, [&] {
    if (values == nullptr) return d->fail(-EINVAL, "no table");
    if (count != 64) return d->fail(-EINVAL, "table of " + std::to_string(count) + " values: it takes 64");
    for (int i = 0; i < 64; ++i) d->quant[i] = kelvo4::toFactor(values[i]);
    return 0;
  });
}

int kelvo4_decoder_decode(kelvo4_decoder* d, const void* payload, size_t payload_length, void* output,
                          size_t output_length, int convert) {
  if (d == nullptr) return -EINVAL;
  return guarded(d->message, [&] {
    if (const int rc = d->checkPayload(payload, payload_length); rc < 0) return rc;
    const std::size_t pixels = static_cast<std::size_t>(d->width) * static_cast<std::size_t>(d->height);
    if (!convert) return d->decodeInto(payload, nullptr, 0, KELVO4_RGB24, 0, 0, 0);
    if (const int rc = d->checkOutput(output, output_length, pixels, 3); rc < 0) return rc;
    return d->decodeInto(payload, output, output_length, KELVO4_RGB24, d->width, d->height,
                         3 * static_cast<std::size_t>(d->width));
  });
}

int kelvo4_decoder_decode_into(kelvo4_decoder* d, const void* payload, size_t payload_length, void* output,
                               size_t output_length, kelvo4_format format, int out_width, int out_height,
                               size_t stride) {
  if (d == nullptr) return -EINVAL;
  return guarded(d->message, [&] {
    if (const int rc = d->checkPayload(payload, payload_length); rc < 0) return rc;
    return d->decodeInto(payload, output, output_length, format, out_width, out_height, stride);
  });
}

int kelvo4_decoder_decode_argb(kelvo4_decoder* d, const void* payload, size_t payload_length, uint32_t* argb,
                               size_t argb_length) {
  return kelvo4_decoder_decode_region(d, payload, payload_length, argb, KELVO4_ARGB32, kelvo4_decoder_width(d),
                                      kelvo4_decoder_height(d), argb_length);
}

int kelvo4_decoder_decode_region(kelvo4_decoder* d, const void* payload, size_t payload_length, void* output,
                                 kelvo4_format format, int out_width, int out_height, size_t output_length) {
  if (d == nullptr) return -EINVAL;
  return guarded(d->message, [&] {
    return d->decodeRegion(payload, payload_length, output, format, out_width, out_height, output_length, false);
  });
}

const short* kelvo4_decoder_frame(const kelvo4_decoder* d) {
  return d == nullptr || d->width == 0 || d->height == 0 ? nullptr : d->current.get();
}

int kelvo4_version(void) { return KELVO4_VERSION; }

size_t kelvo4_decoder_payload_length(const kelvo4_decoder* d) {
  return d == nullptr ? 0 : kelvo4::payloadBytes(d->width, d->height);
}

int kelvo4_decoder_width(const kelvo4_decoder* d) { return d == nullptr ? 0 : d->width; }

int kelvo4_decoder_height(const kelvo4_decoder* d) { return d == nullptr ? 0 : d->height; }

const char* kelvo4_decoder_error(const kelvo4_decoder* d) {
  return d == nullptr ? lastOpenError.c_str() : d->message.c_str();
}

void kelvo4_decoder_close(kelvo4_decoder** d) {
  if (d == nullptr) return;
  delete *d;  // joins the workers, which throw nothing
  *d = nullptr;
}

}  // extern "C"
