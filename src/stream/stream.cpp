// kelvo4_stream: the parser (reader.h), a decoder handle at the coded size,
// the slots frames pass through (stream_slots.h), and with more than one
// thread a worker that reads and decompresses the frame after the one being
// decoded (stream_worker.h).
//
// Frames pass through two slots. The slot at the head holds the frame that
// next() returns; while the caller decodes it, the worker reads and
// decompresses the frame after it into the other slot, then helps decode the
// frame (so N threads are N threads' work: the decoder has N - 1 of its own).
// The source and the parser are used by whichever thread fills a slot, never
// by two at once.
#include "kelvo4/stream.h"

#include <algorithm>
#include <cxxabi.h>
#include <cstring>
#include <functional>
#include <memory>
#include <new>
#include <string>
#include <system_error>

#include "src/decoder/entry_point.h"
#include "src/decoder/handle.h"
#include "src/stream/reader.h"
#include "src/stream/stream_slots.h"
#include "src/stream/stream_steps.h"
#include "src/stream/stream_worker.h"

namespace {

using kelvo4::Slot;
using kelvo4::StreamFailure;
using kelvo4::thrown;

thread_local std::string lastOpenError;

}  // namespace

struct kelvo4_stream {
  explicit kelvo4_stream(int threads) : threads(threads), slots(threads > 1) {}

  int threads = 1;
  kelvo4::FrameSlots slots;  // made first: it holds the zstd context
  std::unique_ptr<kelvo4::StreamParser> parser;
  kelvo4_decoder* decoder = nullptr;            // made by the caller, helped by the worker
  std::unique_ptr<kelvo4::StreamWorker> worker;  // threads > 1: it fills the next slot
  long long position = 0;
  int failure = 0;  // sticky, until a seek in a file succeeds
  std::string message;

  ~kelvo4_stream() {
    worker.reset();
    kelvo4_decoder_close(&decoder);
  }

  // Waits until the worker is idle; the slot it filled is then ready. Slot
  // states are only ever looked at and changed on the caller's thread.
  void settle() {
    if (!worker) return;
    worker->wait();
    slots.settle();
  }

  // Waits until the worker is idle, so that what the parser has learnt (key
  // frames, the frame count, damage), which its reading adds to, holds still.
  void quiet() const {
    if (worker) worker->wait();
  }

  int fail(int code, std::string text) {
    message = std::move(text);
    return code;
  }

  // Everything the next frame needs short of decoding it: its slot filled,
  // and the fetch of the frame after it started.
  int prepare() {
    if (failure) return fail(failure, message);
    Slot& s = slots.head();
    if (s.state == Slot::kEmpty) {
      slots.fill(*parser, s);
      s.state = Slot::kReady;
    } else if (s.state == Slot::kFetching) {
      settle();
    }
    if (s.code) {
      failure = s.code;
      return fail(s.code, s.message);
    }
    if (s.end) return 0;
    if (worker && slots.next().state == Slot::kEmpty) worker->post(slots.next());
    return 1;
  }

  // Decodes the prepared frame into out (null: not written), the top-left
  // width x height pixels with rows stride bytes apart.
  int emit(void* out, std::size_t outLength, int format, int width, int height, std::size_t stride) {
    Slot& s = slots.head();
    if (s.state != Slot::kReady || s.code || s.end) return fail(-EINVAL, "no frame prepared");
    const kelvo4::StreamInfo& info = parser->info();
    int rc = 0;
    if (decoder == nullptr) {
      rc = kelvo4::openDecoder(&decoder, info.codedWidth, info.codedHeight, worker ? threads - 1 : 1,
                               worker ? 1 : 0, worker.get());
    } else if (s.record.key) {
      rc = kelvo4_decoder_reinit(decoder, info.codedWidth, info.codedHeight);
    }
    if (rc == 0 && s.record.hasTable) rc = kelvo4_decoder_set_table(decoder, s.record.table, 64);
    if (rc == 0)
      rc = kelvo4_decoder_decode_into(decoder, s.payload.data(), s.payload.size(), out, outLength,
                                      static_cast<kelvo4_format>(format), width, height, stride);
    // The decoder stays (the Java binding calls this holding its array, so
    // nothing here may wait for the decoder's threads): a seek to a key frame
    // restarts it.
    if (rc < 0) {
      failure = rc;
      return fail(rc, parser->at(s.record.frame, s.record.offset) + "the decoder failed: " + std::strerror(-rc));
    }
    s.state = Slot::kEmpty;
    slots.advance();
    ++position;
    return 1;
  }

  // The bytes next() writes for a frame in format, or 0 for a bad format.
  std::size_t outputBytes(int format) const {
    const std::size_t n = static_cast<std::size_t>(parser->info().width) * parser->info().height;
    return format == KELVO4_RGB24 ? 3 * n : format == KELVO4_ARGB32 ? 4 * n : 0;
  }

  int checkOutput(const void* out, std::size_t outLength, int format) {
    if (out == nullptr && outLength == 0) return 0;
    const std::size_t need = outputBytes(format);
    if (out == nullptr || need == 0 || outLength != need)
      return fail(-EINVAL, parser->name() + ": output of " + std::to_string(outLength) + " bytes in format " +
                               std::to_string(format) + ", the picture needs " + std::to_string(need));
    return 0;
  }

  // The checks of kelvo4_stream_next_into, made before anything is read.
  int checkRegion(const void* out, std::size_t outLength, int format, int width, int height, std::size_t stride) {
    if (out == nullptr && outLength == 0) return 0;
    const kelvo4::StreamInfo& info = parser->info();
    if (format != KELVO4_RGB24 && format != KELVO4_ARGB32)
      return fail(-EINVAL, parser->name() + ": format " + std::to_string(format) +
                               ": neither KELVO4_RGB24 nor KELVO4_ARGB32");
    if (width < 0 || height < 0 || width > info.width || height > info.height)
      return fail(-EINVAL, parser->name() + ": region " + std::to_string(width) + "x" + std::to_string(height) +
                               ": not within the " + std::to_string(info.width) + "x" + std::to_string(info.height) +
                               " picture");
    const std::size_t bpp = format == KELVO4_RGB24 ? 3 : 4;
    std::size_t need = 0;
    if (!kelvo4::outputExtent(width, height, bpp, stride, need))
      return fail(-EINVAL, parser->name() + ": stride of " + std::to_string(stride) + " bytes: rows of " +
                               std::to_string(width) + " pixels take " +
                               std::to_string(static_cast<std::size_t>(width) * bpp));
    if (out == nullptr || outLength < need)
      return fail(-EINVAL, parser->name() + ": output of " + std::to_string(outLength) + " bytes: " +
                               std::to_string(width) + "x" + std::to_string(height) + " pixels with rows " +
                               std::to_string(stride) + " bytes apart take " + std::to_string(need));
    return 0;
  }

  // The picture with rows without gaps, in format.
  int emitPicture(void* out, std::size_t outLength, int format) {
    const kelvo4::StreamInfo& info = parser->info();
    const std::size_t bpp = format == KELVO4_RGB24 ? 3 : 4;
    return emit(out, outLength, format, info.width, info.height, bpp * static_cast<std::size_t>(info.width));
  }

  int seek(long long frame) {
    settle();  // the worker may be reading to the end, which sets the count
    const long long count = parser->info().frameCount;
    const std::string& damage = parser->damage();
    // Past the intact frames of a damaged file, the damage is why.
    if (frame > count && count >= 0 && !damage.empty())
      return fail(-ERANGE, parser->name() + ": no frame " + std::to_string(frame) + ": the file has " +
                               std::to_string(count) + " intact frames, then " +
                               damage.substr(parser->name().size() + 2));
    if (frame < 0 || (count >= 0 && frame > count))
      return fail(-ERANGE, parser->name() + ": no frame " + std::to_string(frame) + " (the stream has " +
                               (count >= 0 ? std::to_string(count) : std::string("an unknown number of")) + " frames)");
    if (!parser->seekable()) {
      if (frame < position)
        return fail(-ESPIPE, parser->name() + ": cannot seek back from frame " + std::to_string(position) + " to " +
                                 std::to_string(frame) + " in a stream that is not a file");
    } else if (count > 0) {
      // The end is reached from the last frame's key frame.
      const kelvo4::KeyFrame key = parser->keyFor(std::min(frame, count - 1));
      if (failure || frame < position || key.frame > position) {
        settle();
        slots.clear();
        failure = 0;
        try {
          parser->seekTo(key);
        } catch (const StreamFailure& e) {
          failure = -e.code().value();
          return fail(failure, e.what());
        }
        position = key.frame;
      }
    }
    while (position < frame) {
      const int rc = prepare();
      if (rc < 0) return rc;
      if (rc == 0)
        return fail(-ERANGE, parser->name() + ": no frame " + std::to_string(frame) + " (the stream ends after " +
                                 std::to_string(position) + " frames)");
      if (const int e = emit(nullptr, 0, 0, 0, 0, 0); e < 0) return e;
    }
    return 0;
  }
};

namespace {

int open(kelvo4_stream** out, int threads, long long maxPixels, const std::string& name,
         const std::function<std::unique_ptr<kelvo4::ByteSource>()>& source) {
  if (out == nullptr) return -EINVAL;
  *out = nullptr;
  if (threads < 1 || threads > KELVO4_MAX_THREADS) {
    lastOpenError = name + ": threads must be 1 to " + std::to_string(KELVO4_MAX_THREADS);
    return -EINVAL;
  }
  try {
    auto s = std::make_unique<kelvo4_stream>(threads);
    s->parser = std::make_unique<kelvo4::StreamParser>(source(), name,
                                                       maxPixels == 0 ? KELVO4_DEFAULT_MAX_PIXELS : maxPixels);
    if (threads > 1) {
      try {
        s->worker = std::make_unique<kelvo4::StreamWorker>(s->slots, *s->parser);
      } catch (const std::system_error&) {
        lastOpenError = name + ": cannot start a thread";
        return -EAGAIN;
      }
    }
    *out = s.release();
    return 0;
  } catch (const StreamFailure& e) {
    lastOpenError = e.what();
    return -e.code().value();
  } catch (const std::bad_alloc&) {
    lastOpenError = name + ": out of memory";
    return -ENOMEM;
  } catch (abi::__forced_unwind&) {
    throw;
  } catch (...) {
    lastOpenError = name + ": " + thrown();
    return -EIO;
  }
}

// What an open call asks for: threads and a pixel limit as the shorthands of
// 1.0 give them (threads from 1 up, as they always took them), or settings.
struct OpenRequest {
  int threads;
  long long maxPixels;
  bool withSettings;
  const kelvo4_settings* settings;
};

int openRequested(kelvo4_stream** out, const OpenRequest& request, const std::string& name,
                  const std::function<std::unique_ptr<kelvo4::ByteSource>()>& source) {
  int threads = request.threads;
  std::int64_t maxPixels = request.maxPixels;
  if (request.withSettings) {
    if (const int rc = kelvo4::readSettings(request.settings, threads, maxPixels, lastOpenError); rc < 0) {
      lastOpenError = name + ": " + lastOpenError;
      return rc;
    }
  }
  return open(out, threads, maxPixels, name, source);
}

int openFile(kelvo4_stream** out, const char* path, const OpenRequest& request) {
  if (out) *out = nullptr;
  return kelvo4::guardedCall(nullptr, [&] {
    if (path == nullptr) {
      lastOpenError = "no file name";
      return -EINVAL;
    }
    return openRequested(out, request, path, [&] { return kelvo4::openFileSource(path); });
  });
}

int openCallback(kelvo4_stream** out, kelvo4_stream_read_fn read, void* user, const char* name,
                 const OpenRequest& request) {
  if (out) *out = nullptr;
  return kelvo4::guardedCall(nullptr, [&] {
    const std::string label = name ? name : "stream";
    if (read == nullptr) {
      lastOpenError = label + ": no read function";
      return -EINVAL;
    }
    return openRequested(out, request, label, [&] { return kelvo4::callbackSource(read, user, label); });
  });
}

// Runs the body of a C entry point on a stream: no exception leaves it. Only
// building a message can throw there (std::bad_alloc).
template <class Body>
int guarded(kelvo4_stream* s, Body&& body) {
  return kelvo4::guardedCall(s ? &s->message : nullptr, std::forward<Body>(body));
}

}  // namespace

namespace kelvo4 {

int streamEmit(kelvo4_stream* s, void* out, std::size_t outLength, int format) {
  if (s == nullptr) return -EINVAL;
  return guarded(s, [&] {
    if (const int rc = s->checkOutput(out, outLength, format); rc < 0) return rc;
    return s->emitPicture(out, outLength, format);
  });
}

int streamEmitInto(kelvo4_stream* s, void* out, std::size_t outLength, int format, int width, int height,
                   std::size_t stride) {
  if (s == nullptr) return -EINVAL;
  return guarded(s, [&] {
    if (const int rc = s->checkRegion(out, outLength, format, width, height, stride); rc < 0) return rc;
    return s->emit(out, outLength, format, width, height, stride);
  });
}

}  // namespace kelvo4

extern "C" {

int kelvo4_stream_open_file(kelvo4_stream** out, const char* path, int threads) {
  return kelvo4_stream_open_file_limited(out, path, threads, 0);
}

int kelvo4_stream_open_callback(kelvo4_stream** out, kelvo4_stream_read_fn read, void* user, const char* name,
                                int threads) {
  return kelvo4_stream_open_callback_limited(out, read, user, name, threads, 0);
}

int kelvo4_stream_open_file_limited(kelvo4_stream** out, const char* path, int threads, int64_t max_pixels) {
  return openFile(out, path, {threads, max_pixels, false, nullptr});
}

int kelvo4_stream_open_callback_limited(kelvo4_stream** out, kelvo4_stream_read_fn read, void* user,
                                        const char* name, int threads, int64_t max_pixels) {
  return openCallback(out, read, user, name, {threads, max_pixels, false, nullptr});
}

int kelvo4_stream_open_file_with(kelvo4_stream** out, const char* path, const kelvo4_settings* settings) {
  return openFile(out, path, {1, 0, true, settings});
}

int kelvo4_stream_open_callback_with(kelvo4_stream** out, kelvo4_stream_read_fn read, void* user, const char* name,
                                     const kelvo4_settings* settings) {
  return openCallback(out, read, user, name, {1, 0, true, settings});
}

int kelvo4_stream_get_info(const kelvo4_stream* s, kelvo4_stream_info* info) {
  // Every caller's struct has the fields of 1.0; a newer one's may have more
  // after them, which this library leaves alone.
  if (s == nullptr || info == nullptr || info->size < KELVO4_STREAM_INFO_SIZE_1_0) return -EINVAL;
  return kelvo4::guardedCall(nullptr, [&] {
    s->quiet();
    const kelvo4::StreamInfo& i = s->parser->info();
    const kelvo4_stream_info filled = {info->size, i.width, i.height, i.codedWidth, i.codedHeight, i.rateNum,
                                       i.rateDen, i.frameCount, static_cast<int64_t>(s->parser->keys().size()),
                                       i.version};
    // Field by field: the padding after the last may lie beyond info->size.
    const std::size_t from = offsetof(kelvo4_stream_info, width);
    const std::size_t end = std::min<std::size_t>(info->size, KELVO4_STREAM_INFO_SIZE_1_0);
    std::memcpy(reinterpret_cast<char*>(info) + from, reinterpret_cast<const char*>(&filled) + from, end - from);
    return 0;
  });
}

int kelvo4_stream_next(kelvo4_stream* s, void* out, size_t out_length, kelvo4_format format) {
  if (s == nullptr) return -EINVAL;
  return guarded(s, [&] {
    if (const int rc = s->checkOutput(out, out_length, format); rc < 0) return rc;
    const kelvo4::StreamInfo& info = s->parser->info();
    const std::size_t bpp = format == KELVO4_RGB24 ? 3 : 4;
    return out == nullptr ? kelvo4_stream_next_into(s, nullptr, 0, format, 0, 0, 0)
                          : kelvo4_stream_next_into(s, out, out_length, format, info.width, info.height,
                                                    bpp * static_cast<std::size_t>(info.width));
  });
}

int kelvo4_stream_next_into(kelvo4_stream* s, void* out, size_t out_length, kelvo4_format format, int out_width,
                            int out_height, size_t stride) {
  if (s == nullptr) return -EINVAL;
  return guarded(s, [&] {
    if (const int rc = s->checkRegion(out, out_length, format, out_width, out_height, stride); rc < 0) return rc;
    const int rc = s->prepare();
    return rc <= 0 ? rc : s->emit(out, out_length, format, out_width, out_height, stride);
  });
}

int kelvo4_stream_peek(kelvo4_stream* s) {
  return s == nullptr ? -EINVAL : guarded(s, [&] { return s->prepare(); });
}

int kelvo4_stream_seek(kelvo4_stream* s, int64_t frame) {
  return s == nullptr ? -EINVAL : guarded(s, [&] { return s->seek(frame); });
}

int64_t kelvo4_stream_position(const kelvo4_stream* s) { return s == nullptr ? -1 : s->position; }

int64_t kelvo4_stream_key_frames(const kelvo4_stream* s, int64_t* frames, int64_t capacity) {
  if (s == nullptr) return -1;
  return kelvo4::guardedOr(int64_t{-EIO}, [&] {
    s->quiet();
    const auto& keys = s->parser->keys();
    for (std::size_t i = 0; frames != nullptr && i < keys.size() && static_cast<int64_t>(i) < capacity; ++i)
      frames[i] = keys[i].frame;
    return static_cast<int64_t>(keys.size());
  });
}

const char* kelvo4_stream_damage(const kelvo4_stream* s) {
  if (s == nullptr) return nullptr;
  return kelvo4::guardedOr(static_cast<const char*>(nullptr), [&] {
    s->quiet();
    return s->parser->damage().empty() ? nullptr : s->parser->damage().c_str();
  });
}

const char* kelvo4_stream_error(const kelvo4_stream* s) {
  return s == nullptr ? lastOpenError.c_str() : s->message.c_str();
}

void kelvo4_stream_close(kelvo4_stream** s) {
  if (s == nullptr) return;
  delete *s;
  *s = nullptr;
}

}  // extern "C"
