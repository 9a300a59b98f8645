// Fuzz target for the coefficient coder. The first byte picks a frame size
// and what the rest is:
// - coded frames, each a flag byte (bit 0: key frame), a 16-bit length and
//   that many bytes, decoded one after the other; a frame that decodes must
//   code and decode back to the same payload;
// - or payload bytes (repeated to fill a frame), coded and decoded, which
//   must give them back, then decoded again with one byte of the coded frame
//   changed as the last two input bytes say, which must be refused or give
//   some payload, never a crash or a read beyond the coded bytes.
// Frames get a valid check before they are decoded, so that the fuzzer
// reaches what lies behind it.
#include <cstdint>
#include <algorithm>
#include <cstdlib>
#include <vector>

#include "src/stream/coefficient_decoder.h"
#include "tools/writer/coefficient_encoder.h"

namespace {

using namespace kelvo4;

constexpr int kSizes[4][2] = {{16, 16}, {32, 16}, {32, 64}, {80, 48}};

void sign(std::vector<unsigned char>& frame) {
  if (frame.size() < 16) return;
  const std::uint32_t check = coefficients::frameCheck(frame.data(), frame.size());
  for (int i = 0; i < 4; ++i) frame[12 + i] = static_cast<unsigned char>(check >> (8 * i));
}

// Codes payload on a fresh encoder and decodes it on a fresh decoder.
void roundTrip(int w, int h, const std::vector<signed char>& payload) {
  CoefficientEncoder encoder(w, h);
  CoefficientDecoder decoder(w, h);
  std::vector<unsigned char> coded;
  encoder.encode(payload.data(), true, coded);
  std::vector<signed char> back(payload.size());
  CoefficientError error;
  if (!decoder.decode(coded.data(), coded.size(), true, back.data(), back.data(), error) || back != payload) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const int w = kSizes[data[0] & 3][0], h = kSizes[data[0] & 3][1];
  const std::size_t n = static_cast<std::size_t>(w) * h * 3 / 2;
  std::vector<signed char> payload(n);
  CoefficientError error;
  if (data[0] & 0x80) {
    if (size < 4) return 0;
    for (std::size_t i = 0; i < n; ++i) payload[i] = static_cast<signed char>(data[1 + i % (size - 3)]);
    CoefficientEncoder encoder(w, h);
    std::vector<unsigned char> coded;
    encoder.encode(payload.data(), true, coded);
    std::vector<signed char> back(n);
    CoefficientDecoder decoder(w, h);
    if (!decoder.decode(coded.data(), coded.size(), true, back.data(), back.data(), error) || back != payload) std::abort();
    const std::size_t at = (data[size - 2] | std::size_t{data[size - 1]} << 8) % coded.size();
    coded[at] = static_cast<unsigned char>(coded[at] + 1);
    sign(coded);
    // An exact-size copy, so that ASan sees any read of the frame beyond its
    // end (the decoder reads tokens and bits from a padded copy of its own).
    std::vector<unsigned char> exact(coded);
    CoefficientDecoder damaged(w, h);
    damaged.decode(exact.data(), exact.size(), true, back.data(), back.data(), error);
    return 0;
  }
  CoefficientDecoder decoder(w, h);
  std::size_t p = 1;
  for (bool first = true; p + 3 <= size; first = false) {
    const bool key = first || (data[p] & 1);
    const std::size_t length = std::min<std::size_t>(data[p + 1] | std::size_t{data[p + 2]} << 8, size - p - 3);
    std::vector<unsigned char> frame(data + p + 3, data + p + 3 + length);
    p += 3 + length;
    sign(frame);
    if (decoder.decode(frame.data(), frame.size(), key, payload.data(), payload.data(), error)) roundTrip(w, h, payload);
  }
  return 0;
}
