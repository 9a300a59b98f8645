// Sizes the decoder, decodes a few generated frames and prints what it did.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "Kelvo4.h"

int main() {
  const int w = 352, h = 288, frames = 30;
  if (!reinitDLL(w, h)) {
    std::fprintf(stderr, "kelvo4-demo: cannot size the decoder to %dx%d\n", w, h);
    return 1;
  }
  std::vector<float> table(64, 4.0f);
  table[0] = 8.0f;
  setQuantizationTable(table.data(), 64);

  const int n = w * h;
  std::vector<signed char> payload(n + n / 2), output(3 * n);
  const auto start = std::chrono::steady_clock::now();
  for (int f = 0; f < frames; ++f) {
    // A DC step per luma block that moves with the frame number.
    for (std::size_t b = 0; b * 64 < payload.size(); ++b)
      payload[b * 64] = static_cast<signed char>(((b + f) % 16) * 4);
    decodeFrame(payload.data(), static_cast<int>(payload.size()), output.data(), static_cast<int>(output.size()),
                true);
    std::uint32_t sum = 0;
    for (signed char v : output) sum = sum * 31u + static_cast<unsigned char>(v);
    std::printf("frame %2d  output checksum %08x\n", f, sum);
  }
  const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
  std::printf("decoded %d frames of %dx%d in %.1f ms\n", frames, w, h, ms);
  return 0;
}
