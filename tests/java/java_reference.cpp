// Runs the frame sequence of KelvoDecoderTest.sequence() on the plain C++ API
// and prints one line per decode: the FNV-1a digest of the output, or "-" for
// a frame decoded without conversion. The Java test must print the same.
#include <cstdint>
#include <cstdio>
#include <vector>

#include "Kelvo4.h"

namespace {

std::uint64_t state = 0x4B656C766F34ULL;

int next() {
  state = state * 6364136223846793005ULL + 1442695040888963407ULL;
  return static_cast<int>(state >> 33);
}

void loadTable(float offset) {
  float t[64];
  for (int i = 0; i < 64; ++i) t[i] = 1.0f + static_cast<float>(i % 5) * 0.75f + offset;
  setQuantizationTable(t, 64);
}

}  // namespace

int main() {
  loadTable(0.0f);
  reinitDLL(48, 32);
  for (int f = 0; f < 16; ++f) {
    if (f == 8) reinitDLL(40, 24);
    if (f == 5) loadTable(2.0f);
    const int n = width * height;
    std::vector<signed char> payload(n + n / 2), output(3 * n);
    for (std::size_t k = 0; k < payload.size(); ++k) {
      const std::size_t p = k % 64;
      int v = 0;
      if (p < 6)
        v = next() % 41 - 20;
      else if (p < 15 && next() % 4 == 0)
        v = next() % 7 - 3;
      payload[k] = static_cast<signed char>(v);
    }
    const bool convert = f % 4 != 3;
    decodeFrame(payload.data(), static_cast<int>(payload.size()), output.data(), static_cast<int>(output.size()),
                convert);
    if (!convert) {
      std::puts("-");
      continue;
    }
    std::uint32_t h = 2166136261u;
    for (signed char b : output) h = (h ^ static_cast<unsigned char>(b)) * 16777619u;
    std::printf("%08x\n", h);
  }
  return 0;
}
