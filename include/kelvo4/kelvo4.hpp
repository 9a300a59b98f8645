// C++ face of the decoder handles (decoder.h) and the stream reader
// (stream.h): owning, move-only objects whose failures throw
// std::system_error carrying the errno value and the handle's message
// (std::bad_alloc for ENOMEM); a stream's are a StreamError whose what() is
// the stream's message. Lengths are in bytes.
#pragma once

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <new>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "decoder.h"
#include "stream.h"

namespace kelvo4 {

class Decoder {
 public:
  // A decoder of width x height at the initial frame, with `threads` threads.
  Decoder(int width, int height, int threads = 1) { check(kelvo4_decoder_open(&d_, width, height, threads), "open"); }
  Decoder(Decoder&& other) noexcept : d_(std::exchange(other.d_, nullptr)) {}
  Decoder& operator=(Decoder&& other) noexcept {
    if (this != &other) {
      kelvo4_decoder_close(&d_);
      d_ = std::exchange(other.d_, nullptr);
    }
    return *this;
  }
  Decoder(const Decoder&) = delete;
  Decoder& operator=(const Decoder&) = delete;
  ~Decoder() { kelvo4_decoder_close(&d_); }

  void reinit(int width, int height) { check(kelvo4_decoder_reinit(d_, width, height), "reinit"); }
  void setTable(const float* values, std::size_t count = 64) {
    check(kelvo4_decoder_set_table(d_, values, count), "set_table");
  }
  // Decodes one frame; output (3 * width * height bytes) may be null to skip
  // the conversion.
  void decode(const void* payload, std::size_t payloadLength, void* output = nullptr, std::size_t outputLength = 0) {
    check(kelvo4_decoder_decode(d_, payload, payloadLength, output, outputLength, output != nullptr), "decode");
  }
  // Decodes one frame into width * height pixels 0xFFRRGGBB (argbLength:
  // 4 bytes each).
  void decodeArgb(const void* payload, std::size_t payloadLength, std::uint32_t* argb, std::size_t argbLength) {
    check(kelvo4_decoder_decode_argb(d_, payload, payloadLength, argb, argbLength), "decode");
  }

  const short* frame() const { return kelvo4_decoder_frame(d_); }
  int width() const { return kelvo4_decoder_width(d_); }
  int height() const { return kelvo4_decoder_height(d_); }
  kelvo4_decoder* get() const { return d_; }

 private:
  void check(int rc, const char* what) const {
    if (rc == -ENOMEM) throw std::bad_alloc();
    if (rc < 0) throw std::system_error(-rc, std::generic_category(), std::string(what) + ": " + kelvo4_decoder_error(d_));
  }

  kelvo4_decoder* d_ = nullptr;
};

// A failure of a stream file: the errno value and the message that names the
// file, the frame and the byte offset.
class StreamError : public std::system_error {
 public:
  StreamError(int code, std::string message)
      : std::system_error(code, std::generic_category()), message_(std::move(message)) {}
  const char* what() const noexcept override { return message_.c_str(); }

 private:
  std::string message_;
};

// A stream that ran out of memory: a std::bad_alloc whose message names the
// file and the frame.
class StreamOutOfMemory : public std::bad_alloc {
 public:
  explicit StreamOutOfMemory(std::string message) : message_(std::move(message)) {}
  const char* what() const noexcept override { return message_.c_str(); }

 private:
  std::string message_;
};

class Stream {
 public:
  // Opens a stream file; threads and maxPixels as for
  // kelvo4_stream_open_file_limited.
  explicit Stream(const std::string& path, int threads = 1, std::int64_t maxPixels = 0) {
    check(kelvo4_stream_open_file_limited(&s_, path.c_str(), threads, maxPixels));
  }
  // Reads a stream in order through read(user, buffer, length).
  Stream(kelvo4_stream_read_fn read, void* user, const char* name = nullptr, int threads = 1,
         std::int64_t maxPixels = 0) {
    check(kelvo4_stream_open_callback_limited(&s_, read, user, name, threads, maxPixels));
  }
  Stream(Stream&& other) noexcept : s_(std::exchange(other.s_, nullptr)) {}
  Stream& operator=(Stream&& other) noexcept {
    if (this != &other) {
      kelvo4_stream_close(&s_);
      s_ = std::exchange(other.s_, nullptr);
    }
    return *this;
  }
  Stream(const Stream&) = delete;
  Stream& operator=(const Stream&) = delete;
  ~Stream() { kelvo4_stream_close(&s_); }

  kelvo4_stream_info info() const {
    kelvo4_stream_info info{};
    info.size = sizeof info;
    check(kelvo4_stream_get_info(s_, &info));
    return info;
  }
  // Decodes the next frame into out (see kelvo4_stream_next; null and 0 to
  // decode without writing). False at the end of the stream.
  bool next(void* out, std::size_t outLength, kelvo4_format format = KELVO4_RGB24) {
    return check(kelvo4_stream_next(s_, out, outLength, format)) == 1;
  }
  // True when a frame follows (see kelvo4_stream_peek).
  bool peek() { return check(kelvo4_stream_peek(s_)) == 1; }
  void seek(std::int64_t frame) { check(kelvo4_stream_seek(s_, frame)); }
  std::int64_t position() const { return kelvo4_stream_position(s_); }
  std::vector<std::int64_t> keyFrames() const {
    // -1 (no stream: a moved-from object) gives no key frames.
    const auto count = [](std::int64_t n) { return static_cast<std::size_t>(n < 0 ? 0 : n); };
    std::vector<std::int64_t> keys(count(kelvo4_stream_key_frames(s_, nullptr, 0)));
    keys.resize(count(kelvo4_stream_key_frames(s_, keys.data(), std::int64_t(keys.size()))));
    return keys;
  }
  // The damage found in a file at open, or "" (see kelvo4_stream_damage).
  std::string damage() const {
    const char* d = kelvo4_stream_damage(s_);
    return d ? d : "";
  }
  kelvo4_stream* get() const { return s_; }

 private:
  int check(int rc) const {
    if (rc == -ENOMEM) throw StreamOutOfMemory(kelvo4_stream_error(s_));
    if (rc < 0) throw StreamError(-rc, kelvo4_stream_error(s_));
    return rc;
  }

  kelvo4_stream* s_ = nullptr;
};

}  // namespace kelvo4
