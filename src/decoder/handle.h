// Internal access to decoder handles for the encoder and the tests.
#pragma once

#include "kelvo4/decoder.h"
#include "src/decoder/stages.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace kelvo4 {

// Reads the settings of an open call (null: the defaults) into threads (1 ..
// KELVO4_MAX_THREADS) and maxPixels (as given). -EINVAL, with `message`, for
// settings too small, threads out of range or a non-zero byte beyond the
// fields this library knows.
int readSettings(const kelvo4_settings* settings, int& threads, std::int64_t& maxPixels, std::string& message);

// The bytes an output of width x height pixels of bytesPerPixel takes with
// rows `stride` bytes apart (0 for an empty region); false when stride is
// below a row's bytes or the extent passes SIZE_MAX. Sizes are not negative.
bool outputExtent(int width, int height, std::size_t bytesPerPixel, std::size_t stride, std::size_t& bytes);

// Threads from outside a handle that take bands of the frames it decodes.
// The handle tells them of each frame as it starts, with takeBands(frame,
// helper) to call for its bands (helper 0 .. helpers - 1, each on one thread
// at a time; it returns once no band is left), and once its own threads are
// done: frameDone returns when no helper is in the frame any more.
class FrameHelpers {
 public:
  virtual void frameStarted(void (*takeBands)(void* frame, int helper), void* frame) = 0;
  virtual void frameDone() = 0;

 protected:
  ~FrameHelpers() = default;
};

// kelvo4_decoder_open with room for `helpers` threads from outside, which
// take bands of each frame through `frameHelpers` (null when helpers is 0);
// frameHelpers outlives every decode.
int openDecoder(kelvo4_decoder** out, int width, int height, int threads, int helpers = 0,
                FrameHelpers* frameHelpers = nullptr);

// Test hook: the handle runs the stages of the processor's flags within
// `flags` (see kCpuLevels).
void useStages(kelvo4_decoder* d, unsigned flags);
// The handle's table as the decoder uses it: 64 factors in natural order.
const short* decoderTable(const kelvo4_decoder* d);
// The prediction the next decode starts from: the current frame filtered
// into dst (3 * width * height samples), rows [y0, y1) only.
void predictNext(const kelvo4_decoder* d, short* dst, int y0, int y1);
// The frame the next decode overwrites (3 * width * height samples), for
// predictNext to fill: decodePredicted then adds the payload's residual to
// it as it stands, without predicting the frame again.
short* spareFrame(kelvo4_decoder* d);
// kelvo4_decoder_decode_region to rgb24 (width x height of the frame's top
// left) for a frame whose prediction fills spareFrame(d).
int decodePredicted(kelvo4_decoder* d, const void* payload, std::size_t payloadLength, std::uint8_t* rgb, int width,
                    int height, std::size_t rgbLength);

}  // namespace kelvo4
