// Fuzz target for the picture reader (PNG through libpng, binary PPM), on the
// input as a file. A picture read must have the size it says; a refusal must
// show the input's bytes escaped; no allocation may exceed what the file can
// hold (scripts/fuzz.sh runs this with a small malloc limit).
#include <cstdint>
#include <cstdlib>
#include <string>

#include "tests/fuzz/fuzz_file.h"
#include "tools/picture/image.h"

// Pictures above 8 megapixels are refused before they are read, as the tools
// refuse those above their limit; this still leaves the checks for pictures
// above 16 MiB of rgb24 within reach.
constexpr long long kMaxPixels = 1 << 23;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static kelvo4::fuzz::MemoryFile file("picture");
  try {
    const kelvo4::Image image = kelvo4::readImage(file.hold(data, size), kMaxPixels);
    if (image.rgb.size() != 3 * static_cast<std::size_t>(image.width) * image.height) std::abort();
  } catch (const kelvo4::ImageError& e) {
    kelvo4::fuzz::checkPrintable(e.what());
  }
  return 0;
}
