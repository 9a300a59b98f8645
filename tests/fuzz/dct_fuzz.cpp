// Fuzz target for the DCT kernels: the input is one block of 64 16-bit values
// (missing bytes read as zero), run through every inverse and every forward
// version this processor has and checked against the scalar reference.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "dct_check.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  dctcheck::Block in{};
  std::memcpy(in.data(), data, std::min(size, sizeof in));
  // One more byte, if present, moves the block to an odd word offset.
  const bool odd = size > sizeof in && (data[sizeof in] & 1);
  for (const dctcheck::Kernel& k : {dctcheck::kInverse, dctcheck::kForward}) {
    for (const kelvo4::DctVersion& v : k.versions.subspan(1)) {
      if (!kelvo4::dctCpuHas(v.cpu)) continue;
      const std::string failure = dctcheck::check(v, k, in, odd);
      if (failure.empty()) continue;
      std::fputs(failure.c_str(), stderr);
      std::abort();
    }
  }
  return 0;
}
