// C++ face of the decoder handles (decoder.h) and the stream reader
// (stream.h): owning, move-only objects. Every failure throws a kelvo4::Error
// (the errno value and the handle's message), which is also what 1.0 threw:
// a Decoder's a DecoderError (a std::system_error) or, for ENOMEM, a
// DecoderOutOfMemory (a std::bad_alloc); a Stream's a StreamError (a
// std::system_error whose what() is the stream's message) or a
// StreamOutOfMemory (a std::bad_alloc). So one catch of kelvo4::Error sees
// every failure a handle reports, and the catch clauses written for 1.0
// still work. (Only the vector or string a call returns may throw a plain
// std::bad_alloc, as any allocation does.) Lengths are in bytes.
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

// What every exception of this wrapper is, beside its standard type: code()
// is the positive errno value, message() the handle's message. Not a
// std::exception itself, so that catch (const std::exception&) still sees
// each one through its one standard base. (On a DecoderError or StreamError
// itself, code() is std::system_error's, as it always was.)
class Error {
 public:
  Error(int code, std::string message) : code_(code), message_(std::move(message)) {}
  virtual ~Error() = default;
  int code() const noexcept { return code_; }
  const std::string& message() const noexcept { return message_; }

 private:
  int code_;
  std::string message_;
};

// A failure of a decoder: what() is the call and the handle's message.
class DecoderError : public std::system_error, public Error {
 public:
  DecoderError(int code, const std::string& what, std::string message)
      : std::system_error(code, std::generic_category(), what + ": " + message), Error(code, std::move(message)) {}
  using std::system_error::code;  // a std::error_code here, as in 1.0; Error::code() is the int
};

// A decoder that ran out of memory; what() is the handle's message.
class DecoderOutOfMemory : public std::bad_alloc, public Error {
 public:
  explicit DecoderOutOfMemory(std::string message) : Error(ENOMEM, std::move(message)) {}
  const char* what() const noexcept override { return message().c_str(); }
};

class Decoder {
 public:
  // A decoder of width x height at the initial frame, with `threads` threads.
  Decoder(int width, int height, int threads = 1) { check(kelvo4_decoder_open(&d_, width, height, threads), "open"); }
  // A decoder opened with settings (see kelvo4_decoder_open_with).
  Decoder(int width, int height, const kelvo4_settings& settings) {
    check(kelvo4_decoder_open_with(&d_, width, height, &settings), "open");
  }
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

  // Decodes one frame into the top-left width x height pixels of a surface
  // whose rows are stride bytes apart (see kelvo4_decoder_decode_into).
  void decodeInto(const void* payload, std::size_t payloadLength, void* output, std::size_t outputLength,
                  kelvo4_format format, int width, int height, std::size_t stride) {
    check(kelvo4_decoder_decode_into(d_, payload, payloadLength, output, outputLength, format, width, height, stride),
          "decode");
  }

  const short* frame() const { return kelvo4_decoder_frame(d_); }
  int width() const { return kelvo4_decoder_width(d_); }
  int height() const { return kelvo4_decoder_height(d_); }
  kelvo4_decoder* get() const { return d_; }

 private:
  void check(int rc, const char* what) const {
    if (rc == -ENOMEM) throw DecoderOutOfMemory(kelvo4_decoder_error(d_));
    if (rc < 0) throw DecoderError(-rc, what, kelvo4_decoder_error(d_));
  }

  kelvo4_decoder* d_ = nullptr;
};

// A failure of a stream file: the errno value and the message that names the
// file, the frame and the byte offset.
class StreamError : public std::system_error, public Error {
 public:
  StreamError(int code, std::string message)
      : std::system_error(code, std::generic_category()), Error(code, std::move(message)) {}
  using std::system_error::code;  // a std::error_code here, as in 1.0; Error::code() is the int
  const char* what() const noexcept override { return message().c_str(); }
};

// A stream that ran out of memory: a std::bad_alloc whose message names the
// file and the frame.
class StreamOutOfMemory : public std::bad_alloc, public Error {
 public:
  explicit StreamOutOfMemory(std::string message) : Error(ENOMEM, std::move(message)) {}
  const char* what() const noexcept override { return message().c_str(); }
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
  // Opens a stream file or reads one through read(user, buffer, length),
  // with settings (see kelvo4_stream_open_file_with).
  Stream(const std::string& path, const kelvo4_settings& settings) {
    check(kelvo4_stream_open_file_with(&s_, path.c_str(), &settings));
  }
  Stream(kelvo4_stream_read_fn read, void* user, const char* name, const kelvo4_settings& settings) {
    check(kelvo4_stream_open_callback_with(&s_, read, user, name, &settings));
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
  // Decodes the next frame into the top-left width x height pixels of a
  // surface whose rows are stride bytes apart (see kelvo4_stream_next_into).
  bool nextInto(void* out, std::size_t outLength, kelvo4_format format, int width, int height, std::size_t stride) {
    return check(kelvo4_stream_next_into(s_, out, outLength, format, width, height, stride)) == 1;
  }
  // True when a frame follows (see kelvo4_stream_peek).
  bool peek() { return check(kelvo4_stream_peek(s_)) == 1; }
  void seek(std::int64_t frame) { check(kelvo4_stream_seek(s_, frame)); }
  std::int64_t position() const { return kelvo4_stream_position(s_); }
  std::vector<std::int64_t> keyFrames() const {
    // -1 (no stream: a moved-from object) gives no key frames; a failure
    // inside (-EIO) throws.
    const auto count = [this](std::int64_t n) {
      if (n < -1) check(static_cast<int>(n));
      return static_cast<std::size_t>(n < 0 ? 0 : n);
    };
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
