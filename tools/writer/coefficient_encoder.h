// The coefficient encoder: payloads to coded frames (see coefficients.h),
// for the writer and the encoder; not in the library.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "src/stream/coefficients.h"

namespace kelvo4 {

namespace coefficients {

// The difference (wrapping) of a block and the same block of the frame
// before; a rough estimate of a block's bits (a token and the plain bits
// per non-zero coefficient); and whether a block is better coded as its
// difference: the estimate must drop by more than the mark costs. The
// encoder's rate model makes the same choice.
void difference(const signed char* block, const signed char* previous, signed char* out);
int estimatedBits(const signed char* block);
inline bool codeAsDifference(int blockBits, int differenceBits) { return differenceBits + 2 < blockBits; }
inline bool codeAsDifference(const signed char* block, const signed char* difference) {
  return codeAsDifference(estimatedBits(block), estimatedBits(difference));
}

}  // namespace coefficients

// Codes the payloads of a w x h frame sequence (both multiples of 16), one
// frame after the other. Frames stored otherwise (raw) still pass through
// storedRaw, so both sides keep the same state.
class CoefficientEncoder {
 public:
  CoefficientEncoder(int width, int height);
  ~CoefficientEncoder();
  CoefficientEncoder(const CoefficientEncoder&) = delete;
  CoefficientEncoder& operator=(const CoefficientEncoder&) = delete;

  // Codes a payload into out (replacing its contents). The coder's state
  // moves on only with commit() (the coded frame was stored) or storedRaw().
  // Each block of a frame that is not a key frame is coded as its difference
  // from the frame before where codeAsDifference says so; marks (one per
  // block, non-zero for a difference), when given, say it instead: a caller
  // that decided it already spares the estimates. Either way the frame
  // decodes to the payload.
  void encode(const signed char* payload, bool key, std::vector<unsigned char>& out,
              const std::uint8_t* marks = nullptr);
  void commit();
  // The payload was stored as it is: the tables stay, the rest moves on.
  void storedRaw(const signed char* payload, bool key);

  // The cost in 1/16 bits of each token in each context under the tables in
  // force (a context without a table: a flat estimate), for rate-aware
  // quantisation.
  void tokenCosts(std::vector<std::uint16_t>& costs) const;

 private:
  coefficients::BlockLayout layout_;
  std::vector<std::uint8_t> counts_, previous_;   // non-zero counts per block
  std::vector<signed char> last_, pendingLast_;  // the payload of the frame before, and this one
  std::vector<coefficients::Frequencies> tables_, pending_;
  std::vector<std::uint8_t> has_, pendingHas_;
  // The frame's tokens in order, each as its code context * kTokens + token,
  // and its plain bits: room for the most a frame can have, allocated at the
  // first frame.
  std::unique_ptr<std::uint16_t[]> tokens_;
  std::unique_ptr<unsigned char[]> bits_;
  // Per token code: how often it occurs in the frame; its frequency and
  // first slot in the frame's tables.
  std::vector<std::uint32_t> tokenCounts_, symbols_;
  // Kept from frame to frame so that their memory is not asked for again:
  // the words of the two coders, the table update and the same compressed.
  std::vector<std::uint16_t> words_[2];
  std::vector<unsigned char> update_, packedUpdate_;
  void* zstd_ = nullptr;
};

}  // namespace kelvo4
