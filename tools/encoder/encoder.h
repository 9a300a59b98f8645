// Closed-loop encoder for the decoder library.
//
// The encoder owns a decoder handle of the library: for every frame it takes
// the prediction the decoder will make (the filtered current frame), codes the
// residual block by block, and then decodes its own payload, so the next frame
// is predicted from exactly the frame a decoder of the stream will hold. It
// leaves the process-wide decoder alone, so a program may encode and decode at
// once.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

#include "kelvo4/kelvo4.hpp"
#include "src/decoder/worker_pool.h"
#include "tools/picture/image.h"

namespace kelvo4 {

using Table = std::array<float, 64>;
struct EncoderKernels;
class ColourCache;

// The default quality (1 to 100): higher trades a larger stream for a higher
// PSNR. It sets lambda, the squared error worth one bit.
inline constexpr int kDefaultQuality = 50;

// How an encoder works.
struct EncoderSettings {
  int quality = kDefaultQuality;  // 1 .. 100
  int passes = 3;                 // refinement passes per block, 0 .. 8: effort
  int threads = 1;                // 1 .. 64
};

// The integer components whose conversion (convertPixel) is closest to the
// pixel (r, g, b) in squared error; ties go to the candidate nearest the
// linear inverse. Where every channel is within [kInnerLow, kInnerHigh] the
// search stays narrow, and adding the same amount to r, g and b adds it to
// c0 alone (the encoder's colour cache relies on it).
inline constexpr int kInnerLow = 4, kInnerHigh = 251;
std::array<int, 3> rgbToComponents(int r, int g, int b);

// Peak signal-to-noise ratio of two byte arrays in dB; 99 for identical ones.
double psnr(const std::uint8_t* a, const std::uint8_t* b, std::size_t count);

// Codes one residual block: target holds 64 residual samples (row-major), the
// result is 64 bytes in zigzag order that the decoder, with factors quant,
// turns into samples as close to the target as found in squared error. The
// quantised transform is refined against the library's own inverse transform
// for up to `passes` rounds. Returns the remaining squared error.
long codeBlock(const short* target, const short* quant, signed char* zigzag, int passes);

class Encoder {
 public:
  // Each frame gets the table that fits its residuals, and each block the
  // levels, that cost least in squared error plus lambda (from the quality)
  // times bits, the bits as the coefficient coder spends them on the frame
  // before's statistics. Frames whose prediction misses by much (the first,
  // a cut) get the range they need, steady ones the steps worth their bytes.
  // Opens a
  // decoder at the coded size of a w x h picture (each side rounded up to a
  // multiple of 16). Throws std::invalid_argument for a size that
  // validFrameSize rejects.
  Encoder(int width, int height, const EncoderSettings& settings);
  ~Encoder();
  Encoder(const Encoder&) = delete;
  Encoder& operator=(const Encoder&) = delete;

  int width() const { return width_; }
  int height() const { return height_; }
  int codedWidth() const { return codedWidth_; }
  int codedHeight() const { return codedHeight_; }

  // Codes one rgb24 picture of 3 * width * height bytes into payload
  // (payloadBytes(codedWidth, codedHeight) bytes). The margin of the coded
  // size repeats the picture's edge pixels. A key frame restarts the decoder
  // first, as a reader of the stream will. Decodes the payload and returns
  // the PSNR of the decoded picture against rgb.
  double encodeFrame(const std::uint8_t* rgb, signed char* payload, bool key = false);
  // Lets the encoder code a frame as a key frame where that costs less (off
  // by default: only the frames asked for are). A caller that turns it on
  // writes each frame as keyFrame() says.
  void chooseKeyFrames(bool on) { chooseKeys_ = on; }

  // The picture the decoder produced for the last frame, cropped to the
  // picture size.
  const Image& decoded() const { return decoded_; }
  // The table of the last frame (all zero before the first), and whether it
  // differs from the one before (always true for the first frame).
  const Table& table() const { return table_; }
  // Whether the last frame was coded as a key frame: asked for, or chosen
  // because the picture changed more than the prediction can follow.
  bool keyFrame() const { return keyFrame_; }
  bool tableChanged() const { return tableChanged_; }
  // Per block of the last frame, in payload order: 1 where the encoder took
  // the block as its difference from the frame before, as the coefficient
  // coder would (StreamWriter::writeFrame's marks).
  const std::vector<std::uint8_t>& differenceMarks() const { return marks_; }

 private:
  struct Job;
  using RowWork = void (Encoder::*)(const Job& job, int row, int worker);
  // Runs `work` on every macroblock row, spread over the threads.
  void run(RowWork work, Job& job);
  static void rows(void* job, int worker);
  void analyseRow(const Job& job, int row, int worker);
  void codeRow(const Job& job, int row, int worker);
  // Counts of |coefficient| per position, per thread.
  struct Statistics {
    // Per thread: kBins x 128 counts (luma, then chroma), magnitude-major:
    // the 64 counts of a block then land on a few cache lines, where 64
    // positions kBins apart all fell in one set of the first-level cache.
    std::vector<std::vector<std::uint32_t>> histograms;
    std::vector<std::array<std::uint16_t, 128>> tops;  // per thread: 1 + the largest magnitude counted at each
    // Per thread: the squared error (weighed as the table's costs are) that
    // chroma keeps whatever its levels, its pixels' spread about the mean of
    // their 2x2 group; counted only where key and predicted frames are weighed.
    std::vector<double> spread;
    Statistics(int threads);
    void clear();
    // Counts coefficient i (0 .. 127: chroma from 64 on) of magnitude v
    // (below kBins), n times.
    void count(int worker, int i, int v, std::uint32_t n);
    // Counts the 64 coefficients of a block as coefficients first ..
    // first + 63, 4 times each (a sampled block stands for four), but once
    // where beyond kCounted with `once` (those are counted in every block).
    void countBlock(int worker, int first, const short* coef, bool once);
  };
  // The table that fits statistics best, and its cost (squared error plus
  // lambda times bits, about) into total; with hold, a factor in force
  // stays unless another is clearly better.
  Table fitTable(const Statistics& statistics, bool hold, double* total) const;
  // The bits of each token in each context for the next frame, from the
  // token counts of the frame just coded (none: a prior).
  void updateRates(bool counted);

  int width_, height_, codedWidth_, codedHeight_;
  int passes_;
  float baseLambda_;  // squared error of a luma sample worth one bit, from the quality
  float lambda_;  // the same for the frame being coded
  Table table_{};
  Table left_{};  // per position, the factor it had before its last change (0: none)
  bool tableChanged_ = false, started_ = false, chooseKeys_ = false;
  std::vector<float> bits_;  // per context and token, as coefficients.h numbers them
  std::vector<std::vector<std::uint32_t>> tokenCounts_;  // per thread, per context and token
  std::vector<std::uint8_t> counts_, previous_;  // non-zero coefficients per block: this frame, the one before
  std::vector<std::uint8_t> marks_;  // see differenceMarks()
  std::vector<signed char> last_;  // the payload of the frame before
  // The frame-sized arrays are left uninitialised: every frame writes them
  // in full before reading them, and zeroing them took a tenth of a short
  // clip's time.
  std::unique_ptr<short[]> residuals_;  // per block in payload order, 64 samples
  std::unique_ptr<short[]> coefficients_;  // their forward transforms
  kelvo4::Decoder decoder_;
  std::unique_ptr<short[]> target_;  // best integer components of the source, 3 per coded pixel
  const EncoderKernels* kernels_;  // the block helpers, chosen from the CPU flags at construction
  std::unique_ptr<ColourCache> colours_;  // the components of each colour met so far
  Statistics residualStats_;  // of the residuals from the prediction
  // Of the residuals a key frame would have, on a sample of the blocks: a
  // frame that would cost less so (the picture moved too far for the
  // prediction) becomes one.
  Statistics keyStats_;
  bool keyFrame_ = false;
  Image decoded_;
  std::unique_ptr<kelvo4::WorkerPool> pool_;  // threads for coding, when more than one
};

}  // namespace kelvo4
