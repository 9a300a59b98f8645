// Pictures read for the encoder: 16-bit PNG samples and their transfer.
#include <gtest/gtest.h>
#include <png.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "kelvo_image.h"

namespace {

// Writes a 256 x 1 16-bit RGB PNG whose pixel x holds (x, 255 - x, x / 2)
// times 257, with a gAMA of 1 (linear light) or no transfer chunk at all.
void writeDeepPng(const std::string& path, bool linear) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  png_init_io(png, f);
  png_set_IHDR(png, info, 256, 1, 16, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
               PNG_FILTER_TYPE_DEFAULT);
  if (linear) png_set_gAMA_fixed(png, info, PNG_FP_1);
  png_write_info(png, info);
  std::vector<png_byte> row;
  for (int x = 0; x < 256; ++x)
    for (int v : {x, 255 - x, x / 2}) row.insert(row.end(), {static_cast<png_byte>(v), static_cast<png_byte>(v)});
  png_write_row(png, row.data());
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  std::fclose(f);
}

// Untagged 16-bit samples are sRGB like 8-bit ones: exactly the 8-bit values
// (libpng alone takes them for linear light and brightens them). A file whose
// gAMA says linear is still brightened to sRGB.
TEST(Pictures, SixteenBitPngIsSrgbUnlessTagged) {
  const std::string path = ::testing::TempDir() + "kelvo_" + std::to_string(getpid()) + "_deep.png";
  for (const bool linear : {false, true}) {
    writeDeepPng(path, linear);
    const kelvo::Image image = kelvo::readImage(path);
    ASSERT_EQ(image.width * image.height, 256);
    for (int i = 0; i < 3 * 256; ++i) {
      const int x = i / 3, v = i % 3 == 0 ? x : i % 3 == 1 ? 255 - x : x / 2;
      // libpng's curve for gamma leaves the sRGB one in the darkest steps.
      if (linear && v < 16) continue;
      const double l = v / 255.0, srgb = l <= 0.0031308 ? 12.92 * l : 1.055 * std::pow(l, 1 / 2.4) - 0.055;
      const int expected = linear ? static_cast<int>(std::lround(255 * srgb)) : v;
      ASSERT_NEAR(image.rgb[i], expected, linear ? 2 : 0) << "pixel " << x << (linear ? ", linear" : ", untagged");
    }
  }
  std::remove(path.c_str());
}

}  // namespace
