// Runs one kernel or whole frames N times, for counting executed instructions
// under an emulator (scripts/instructions.sh): the difference between
// two runs, divided by the difference in N, is the count per call.
// Usage: instruction_harness idct_c|idct_neon|fdct_c|fdct_neon|frame N
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "kelvo4/Kelvo4.h"
#include "src/arm/neon.h"
#include "src/dct/dct.h"
namespace {
volatile int sink;  // keeps the results alive
}

int main(int argc, char** argv) {
  if (argc != 3) return 2;
  const char* what = argv[1];
  const int n = atoi(argv[2]);
  short block[64];
  unsigned s = 1;
  for (short& c : block) {
    s = s * 1103515245u + 12345u;
    c = static_cast<short>((s >> 16) % 512) - 256;
  }
  if (!strcmp(what, "frame")) {
    const int w = 176, h = 144;
    reinitDLL(w, h);
    float table[64];
    for (int i = 0; i < 64; ++i) table[i] = i ? 3 : 14;
    setQuantizationTable(table, 64);
    const int blocks = (w / 16) * (h / 16) * 6;
    std::vector<signed char> pay(64 * blocks), out(3 * w * h);
    // Mostly zero coefficients, the rest small, as coded frames have.
    for (auto& c : pay) {
      s = s * 1103515245u + 12345u;
      const unsigned r = (s >> 16) % 16;
      c = static_cast<signed char>(r < 10 ? 0 : static_cast<int>(r) - 13);
    }
    for (int i = 0; i < n; ++i)
      decodeFrame(pay.data(), static_cast<int>(pay.size()), out.data(), static_cast<int>(out.size()), true);
    sink = out[5];
    return 0;
  }
  void (*fn)(short*) = !strcmp(what, "idct_c")      ? kelvo4::idctC
                       : !strcmp(what, "idct_neon") ? kelvo4::idctNeon
                       : !strcmp(what, "fdct_c")    ? kelvo4::fdctC
                                                    : kelvo4::fdctNeon;
  for (int i = 0; i < n; ++i) {
    short b[64];
    memcpy(b, block, sizeof b);
    fn(b);
    block[3] ^= b[7] & 1;  // each call depends on the one before
  }
  sink = block[3];
  return 0;
}
