// The process-wide decoder: the exported state and operations, a thin layer
// that runs the frame pipeline with these globals as its state.
#include "kelvo4/Kelvo4.h"

#include <new>
#include <utility>

#include "src/decoder/stages.h"

namespace {

// The table and the block live as long as the process. They start zeroed, so a
// frame decoded before any table is set has every coefficient removed instead
// of reading indeterminate memory. Static storage needs no allocation at load.
alignas(32) short quantStorage[64] = {};
alignas(32) short inStorage[64] = {};

// The stages this decoder runs: the fastest, unless a test chose others.
kelvo4::Stages plainStages = kelvo4::stagesFor(kelvo4::cpuFlags());

void releaseFrames() {
  delete[] oldoldfr;
  delete[] oldfr;
  oldoldfr = nullptr;
  oldfr = nullptr;
}

// The pipeline's view of the globals, read afresh on every call.
kelvo4::BandContext globalContext() {
  kelvo4::BandContext ctx;
  ctx.width = width;
  ctx.height = height;
  ctx.width3 = width3;
  ctx.quant = quant;
  ctx.block = in;
  return ctx;
}

// The pipeline leaves the last block of the payload in `in`, as a walk that
// decodes every block there would.
void leaveLastBlockInScratch(const signed char* payload) {
  const int blocks = kelvo4::blockCount(width, height);
  if (blocks > 0) internalIDCT(payload, 64 * (blocks - 1));
}

}  // namespace

int width = 0, height = 0, width3 = 0;
short* oldfr = nullptr;
short* oldoldfr = nullptr;
short* quant = quantStorage;
short* in = inStorage;

namespace kelvo4 {

void useStages(unsigned flags) { plainStages = stagesFor(cpuFlags() & flags); }

}  // namespace kelvo4

bool reinitDLL(int w, int h) {
  if (!kelvo4::sizeSupported(w, h)) return false;
  releaseFrames();
  width = w;
  height = h;
  // Wraps like the 32-bit sum it stands for: a width near 2^31 is accepted
  // beside a height of 0, and then no row is ever read.
  width3 = static_cast<int>(3u * static_cast<unsigned>(w));
  const std::size_t samples = static_cast<std::size_t>(width3) * static_cast<std::size_t>(height);
  try {
    oldoldfr = new short[samples];
    oldfr = new short[samples];
  } catch (const std::bad_alloc&) {
    releaseFrames();
    width = height = width3 = 0;
    return false;
  }
  kelvo4::fillInitialFrame(oldfr, samples);
  return true;
}

void setQuantizationTable(const float* values, int count) {
  if (count != 64 || values == nullptr) return;
  for (int i = 0; i < 64; ++i) quant[i] = kelvo4::toFactor(values[i]);
}

void internalIDCT(const signed char* payload, int offset) { plainStages.decodeBlock(quant, payload + offset, in); }

void addTile(const signed char* payload, short* frame) {
  if (width <= 0 || height <= 0) return;  // no block, and no band worth walking
  // Every sample receives at most one residual, so the band order gives the
  // same frame as a walk of the payload from front to back.
  kelvo4::BandContext ctx = globalContext();
  for (int band = 0; band < kelvo4::bandCount(height); ++band) plainStages.addBand(ctx, payload, frame, band);
  leaveLastBlockInScratch(payload);
}

void smooth(short* src, short* dst) { plainStages.smoothRows(globalContext(), src, dst, 0, height); }

void decodeYUV(short* frame, signed char* out) {
  plainStages.convert(frame, out, static_cast<std::size_t>(width) * static_cast<std::size_t>(height));
}

void decodeFrame(const signed char* payload, int payloadLength, signed char* output, int outputLength,
                 bool convert) {
  const int n = width * height;  // reinitDLL keeps 3 * n below 2^31
  if (!kelvo4::isPayloadLength(payloadLength, width, height)) return;
  if (convert && outputLength != n * 3) return;
  if ((payload == nullptr && payloadLength != 0) || (convert && output == nullptr && outputLength != 0)) return;
  std::swap(oldfr, oldoldfr);
  // No samples (one side 0): nothing to do, and the bands of a height near
  // 2^31 beside a width of 0 would take seconds to walk.
  if (n == 0) return;
  // Band by band, so each band is predicted, corrected and converted while
  // it is still in cache.
  const kelvo4::Stages& stages = plainStages;
  kelvo4::BandContext ctx = globalContext();
  const kelvo4::Output out{convert ? output : nullptr, nullptr, width, height};
  for (int band = 0; band < kelvo4::bandCount(height); ++band)
    kelvo4::decodeBand(stages, ctx, payload, oldoldfr, oldfr, out, band);
  leaveLastBlockInScratch(payload);
}
