// Internal: the per-row forms of the frame stages, in a scalar reference form
// and the fastest form this processor runs. decodeFrame works band by band
// through them so a band is predicted, corrected and converted while it is
// still in cache; the exported stages run them over the whole frame.
#pragma once

#include <cstddef>

namespace kelvo4 {

// Prediction of rows [y0, y1) of dst from src (see smooth).
using SmoothRowsFn = void (*)(const short* src, short* dst, int y0, int y1);
// Conversion of `pixels` triplets starting at frame to 3 * pixels bytes.
using ConvertFn = void (*)(const short* frame, signed char* out, std::size_t pixels);

void smoothRowsC(const short* src, short* dst, int y0, int y1);
void convertC(const short* frame, signed char* out, std::size_t pixels);
#if defined(__x86_64__) || defined(__i386__)
void smoothRowsSse2(const short* src, short* dst, int y0, int y1);
void convertSsse3(const short* frame, signed char* out, std::size_t pixels);
#endif

struct Stages {
  SmoothRowsFn smoothRows;
  ConvertFn convert;
};

// The stages in use: the fastest this processor runs, chosen once.
extern Stages active;
// Test hook: use the scalar stages (true) or the fastest (false).
void forceScalarStages(bool scalar);

}  // namespace kelvo4
