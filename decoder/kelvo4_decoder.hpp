// C++ face of the decoder handles (kelvo4_decoder.h): an owning, move-only
// object whose failures throw std::system_error carrying the errno value
// (std::bad_alloc for ENOMEM).
#pragma once

#include <cerrno>
#include <cstdint>
#include <new>
#include <system_error>
#include <utility>

#include "kelvo4_decoder.h"

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
  void setTable(const float* values, int count = 64) { check(kelvo4_decoder_set_table(d_, values, count), "set_table"); }
  // Decodes one frame; output (3 * width * height bytes) may be null to skip
  // the conversion.
  void decode(const signed char* payload, int payloadLength, signed char* output = nullptr, int outputLength = 0) {
    check(kelvo4_decoder_decode(d_, payload, payloadLength, output, outputLength, output != nullptr), "decode");
  }
  void decodeArgb(const signed char* payload, int payloadLength, std::uint32_t* argb, int pixelCount) {
    check(kelvo4_decoder_decode_argb(d_, payload, payloadLength, argb, pixelCount), "decode");
  }

  const short* frame() const { return kelvo4_decoder_frame(d_); }
  int width() const { return kelvo4_decoder_width(d_); }
  int height() const { return kelvo4_decoder_height(d_); }
  // Bytes a frame payload of this decoder's size takes.
  int payloadBytes() const { return width() * height() + width() * height() / 2; }
  kelvo4_decoder* get() const { return d_; }

 private:
  static void check(int rc, const char* what) {
    if (rc == -ENOMEM) throw std::bad_alloc();
    if (rc < 0) throw std::system_error(-rc, std::generic_category(), what);
  }

  kelvo4_decoder* d_ = nullptr;
};

}  // namespace kelvo4
