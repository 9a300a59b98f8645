// A program outside the project that finds the installed library with
// find_package and decodes one frame through the plain API and a stream file
// through the C++ stream class.
#include <kelvo4/Kelvo4.h>
#include <kelvo4/kelvo4.hpp>
#include <kelvo4/vrel_dct.h>

#include <cstdio>
#include <vector>

int main(int argc, char** argv) {
  if (!reinitDLL(16, 16)) return 1;
  signed char payload[384] = {}, output[768];
  decodeFrame(payload, 384, output, 768, true);
  short block[64] = {80};
  Vrel_IDct16_MMX(block);
  // The initial frame converts to (0, 0, 255); DC 80 gives 10 everywhere.
  if (static_cast<unsigned char>(output[2]) != 255 || block[63] != 10) return 1;
  if (argc < 2) return 0;
  kelvo4::Stream stream(argv[1], 2);
  std::vector<unsigned char> rgb(3 * static_cast<std::size_t>(stream.info().width) * stream.info().height);
  long frames = 0;
  while (stream.next(rgb.data(), rgb.size())) ++frames;
  std::printf("c++ consumer: %ld frames\n", frames);
  return frames == stream.info().frame_count ? 0 : 1;
}
