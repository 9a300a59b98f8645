// The coefficient decoder: coded frames (see coefficients.h) back to
// payloads, in the library.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "src/stream/coefficients.h"

namespace kelvo4 {

// Decodes coded frames in order (a key frame restarts it).
class CoefficientDecoder {
 public:
  CoefficientDecoder(int width, int height);
  ~CoefficientDecoder();
  CoefficientDecoder(const CoefficientDecoder&) = delete;
  CoefficientDecoder& operator=(const CoefficientDecoder&) = delete;

  // Decodes a coded frame of size bytes into payload (the payload bytes of
  // the size); previous holds the payload of the frame before (unless key),
  // and may be payload itself. False with error filled when the frame is
  // corrupt; the state and payload are then undefined until the next key
  // frame.
  bool decode(const unsigned char* data, std::size_t size, bool key, const signed char* previous,
              signed char* payload, CoefficientError& error);
  // What decode checks before it decodes: that the coded frame's lengths fit
  // its size and its check matches. A frame that passes may still fail in
  // decodeChecked, which is decode without this (for a caller that checked
  // it before allocating what decoding takes).
  static bool check(const unsigned char* data, std::size_t size, CoefficientError& error);
  bool decodeChecked(const unsigned char* data, std::size_t size, bool key, const signed char* previous,
                     signed char* payload, CoefficientError& error);
  // A frame stored raw, as CoefficientEncoder::storedRaw.
  void storedRaw(const signed char* payload, bool key);

 private:
  bool readTables(const unsigned char* data, std::size_t size, CoefficientError& error);
  coefficients::BlockLayout layout_;
  std::vector<std::uint8_t> counts_, previous_;
  // Per context, per token its frequency - 1 | its first slot << 8, and the
  // token of each slot (a small table: the tables in use stay in the
  // fastest cache); one more at the end for the contexts without a table,
  // whose every slot gives the token kTokens (entry 0), which no table has.
  struct Table {
    std::uint16_t entry[coefficients::kTokens + 1];
    std::uint8_t slot[coefficients::kProbScale];
  };
  std::vector<Table> tables_;
  std::vector<std::uint8_t> has_;
  std::vector<std::uint8_t> scratch_;  // a table update, decompressed; then the words and bits
  // Per kind and activity of block, per zigzag position: its context's table.
  std::vector<const Table*> byPosition_;
  void* zstd_ = nullptr;
};

}  // namespace kelvo4
