// A program outside the project that finds the installed library with
// find_package and decodes one frame through it.
#include <Kelvo4.h>
#include <vrel_dct.h>

int main() {
  if (!reinitDLL(16, 16)) return 1;
  signed char payload[384] = {}, output[768];
  decodeFrame(payload, 384, output, 768, true);
  short block[64] = {80};
  Vrel_IDct16_MMX(block);
  // The initial frame converts to (0, 0, 255); DC 80 gives 10 everywhere.
  return static_cast<unsigned char>(output[2]) == 255 && block[63] == 10 ? 0 : 1;
}
