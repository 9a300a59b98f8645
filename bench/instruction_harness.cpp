// Runs one kernel or whole frames N times, for counting executed instructions
// under an emulator (scripts/aarch64-instructions.sh): the difference between
// two runs, divided by the difference in N, is the count per call.
// Usage: instruction_harness idct_c|idct_neon|fdct_c|fdct_neon|frame N
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>
#include "Kelvo4.h"
#include "dct.h"
int main(int argc, char** argv) {
  const char* what = argv[1];
  int n = atoi(argv[2]);
  short block[64];
  unsigned s = 1;
  for (int i = 0; i < 64; ++i) { s = s * 1103515245u + 12345u; block[i] = (short)((s >> 16) % 512) - 256; }
  if (!strcmp(what, "frame")) {
    const int w = 176, h = 144;
    reinitDLL(w, h);
    float t[64]; for (int i = 0; i < 64; ++i) t[i] = i ? 3 : 14;
    setQuantizationTable(t, 64);
    const int blocks = (w / 16) * (h / 16) * 6;
    std::vector<signed char> pay(64 * blocks), out(3 * w * h);
    for (auto& b : pay) { s = s * 1103515245u + 12345u; unsigned r = (s >> 16) % 16; b = r < 10 ? 0 : (signed char)(r - 13); }
    for (int i = 0; i < n; ++i) decodeFrame(pay.data(), (int)pay.size(), out.data(), (int)out.size(), true);
    printf("%d blocks per frame\n", blocks);
    return out[5] == 1;
  }
  void (*fn)(short*) = !strcmp(what, "idct_c") ? Vrel_IDct16_C : !strcmp(what, "idct_neon") ? Vrel_IDct16_NEON
                       : !strcmp(what, "fdct_c") ? Vrel_Dct16_C : Vrel_Dct16_NEON;
  for (int i = 0; i < n; ++i) { short b[64]; memcpy(b, block, sizeof b); fn(b); block[3] ^= b[7] & 1; }
  return block[0] == 12345;
}
