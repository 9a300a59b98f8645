// Fuzz target for the YUV4MPEG2 reader. The input is read twice, as a pipe
// (a memory stream without a file descriptor: frames are read as the bytes
// come) and as a regular file (each frame's size is checked against what the
// file holds before it is read): both must give the same pictures and the
// same message. Messages must show the input's bytes escaped, and no
// allocation may exceed what the input holds (scripts/fuzz.sh runs this with
// a small malloc limit).
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "tests/fuzz/fuzz_file.h"
#include "tools/picture/y4m.h"

namespace {

constexpr int kMaxFrames = 4;
// Pictures above 8 megapixels are refused at the header, as the tools refuse
// those above their limit.
constexpr long long kMaxPixels = 1 << 23;

struct Result {
  std::vector<kelvo4::Image> pictures;
  std::string message;
};

Result readAll(std::FILE* f) {
  Result r;
  try {
    kelvo4::Y4mReader reader(f, "input", false, kMaxPixels);
    kelvo4::Image picture;
    while (r.pictures.size() < kMaxFrames && reader.readFrame(picture)) r.pictures.push_back(picture);
  } catch (const kelvo4::ImageError& e) {
    r.message = e.what();
    kelvo4::fuzz::checkPrintable(r.message);
  }
  std::fclose(f);
  return r;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static kelvo4::fuzz::MemoryFile file("y4m");
  const std::string& path = file.hold(data, size);
  // fmemopen refuses an empty buffer; an empty pipe is tried as a file only.
  std::vector<std::uint8_t> copy(data, data + size);
  std::FILE* pipe = size > 0 ? fmemopen(copy.data(), size, "rb") : nullptr;
  const Result fromFile = readAll(std::fopen(path.c_str(), "rb"));
  if (!pipe) return 0;
  const Result fromPipe = readAll(pipe);
  if (fromPipe.message != fromFile.message) {
    std::fprintf(stderr, "pipe: %s\nfile: %s\n", fromPipe.message.c_str(), fromFile.message.c_str());
    std::abort();
  }
  if (fromPipe.pictures.size() != fromFile.pictures.size()) std::abort();
  for (std::size_t i = 0; i < fromPipe.pictures.size(); ++i)
    if (fromPipe.pictures[i].rgb != fromFile.pictures[i].rgb) std::abort();
  return 0;
}
