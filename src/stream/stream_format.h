// Stream files: what kelvo-encode stores a coded sequence in, and what the
// library's stream reader plays.
//
// Version 3, all integers little-endian:
//   header, 48 bytes
//     0   "KLV4"                    magic
//     4   u32 version               3
//     8   u32 width, u32 height     the picture's size, 1 .. kMaxSide each
//     16  u32 coded width, height   each side rounded up to a multiple of 16
//     24  u32 rate num, rate den    frames per second as a fraction; 0/0 unknown
//     32  u32 frame count           0xFFFFFFFF when unknown (written to a pipe)
//     36  u64 index offset          0 when there is no index
//     44  u32 reserved              0
//   then the frames, each a record
//     0   u8 flags                  1 key frame, 2 table follows, 4 compressed
//                                   with zstd (version 2), 8 coded by the
//                                   coefficient coder (coefficients.h)
//     1   3 bytes reserved          0
//     4   u32 stored size S         bytes of the payload as stored
//     8   64 x float32              the new table, natural order (flag 2 only)
//     ..  S bytes                   the payload of the coded size: raw, one
//                                   zstd frame that holds exactly that many
//                                   bytes, or a coded frame
//   then, at the index offset, the key frames
//     0   "KIDX"
//     4   u32 K                     key frame count
//     8   K x (u32 frame, u64 offset of its record)
// Frame 0 is a key frame, and every key frame carries a table. A table
// applies from its frame on; a key frame restarts the decoder (reinit at the
// coded size) before it, so decoding can start there. The coded picture's
// margin repeats the edge pixels; readers crop to the picture's size.
//
// Version 2 (still read) is the same with payloads raw or compressed by zstd.
// The coefficient coder carries state from frame to frame, back to the last
// key frame, so version 3 frames are read in order from a key frame.
//
// Version 1 (still read): "KLV4", u32 1, u32 width, u32 height, 64 float32,
// then raw payloads of width x height, the count following from the length.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string>
#include <system_error>

#include "src/stage/format.h"
#include "src/platform/platform.h"

namespace kelvo4 {

// A failure of a stream file inside the library: the errno value and the
// message that names the file, the frame and the byte offset. The C calls
// return the value and keep the message, from which kelvo4.hpp's StreamError
// is made again for C++ callers.
class StreamFailure : public std::runtime_error {
 public:
  StreamFailure(int code, const std::string& message) : std::runtime_error(message), code_(code) {}
  std::error_code code() const noexcept { return {code_, std::generic_category()}; }

 private:
  int code_;
};

inline constexpr std::uint32_t kStreamVersion = 3;
inline constexpr char kStreamMagic[4] = {'K', 'L', 'V', '4'};
inline constexpr char kIndexMagic[4] = {'K', 'I', 'D', 'X'};
inline constexpr int kHeaderBytes = 48;
inline constexpr int kV1HeaderBytes = 272;
inline constexpr int kRecordBytes = 8;  // a frame record before its table and payload
inline constexpr int kTableBytes = 256;
inline constexpr int kIndexEntryBytes = 12;
// Where the header's fields are. The magic and the version (its first
// kHeaderStartBytes) tell how long the rest is.
inline constexpr int kHeaderVersionAt = 4, kHeaderStartBytes = 8;
inline constexpr int kHeaderWidthAt = 8, kHeaderHeightAt = 12;  // also in version 1
inline constexpr int kHeaderCodedWidthAt = 16, kHeaderCodedHeightAt = 20;
inline constexpr int kHeaderRateNumAt = 24, kHeaderRateDenAt = 28;
inline constexpr int kHeaderFrameCountAt = 32, kHeaderIndexOffsetAt = 36;
inline constexpr int kV1HeaderTableAt = 16;
// A record header's fields (the flags are its first byte).
inline constexpr int kRecordStoredAt = 4;
// The index: "KIDX", the count, then the entries, each a frame and an offset.
inline constexpr int kIndexCountAt = 4, kIndexHeadBytes = 8;
inline constexpr int kEntryFrameAt = 0, kEntryOffsetAt = 4;
inline constexpr unsigned kKeyFlag = 1, kTableFlag = 2, kCompressedFlag = 4, kCodedFlag = 8;
inline constexpr std::uint32_t kUnknownCount = 0xFFFFFFFF;
// Largest accepted picture side; with 3 * w * h < 2^31 (at the coded size) it
// keeps every size computation of the decoder within 32 bits.
inline constexpr int kMaxSide = 32768;

// The bytes of a frame record before its payload: the record header, and the
// table when it carries one.
constexpr std::size_t recordHeadBytes(bool hasTable) { return kRecordBytes + (hasTable ? kTableBytes : 0); }

// The bytes of a whole frame record, with a stored payload of `stored` bytes.
constexpr std::uint64_t recordBytes(bool hasTable, std::uint64_t stored) { return recordHeadBytes(hasTable) + stored; }

// A side rounded up to a multiple of 16.
constexpr int codedSide(int side) { return (side + 15) / 16 * 16; }

// True when a w x h picture can be coded: both sides in 1 .. kMaxSide and
// 3 * w * h below 2^31 at the coded size.
constexpr bool validFrameSize(int w, int h) {
  return w >= 1 && h >= 1 && w <= kMaxSide && h <= kMaxSide && sizeSupported(codedSide(w), codedSide(h));
}

// What a stream's header says.
struct StreamInfo {
  int width = 0, height = 0;            // the picture
  int codedWidth = 0, codedHeight = 0;  // what the decoder is sized to
  std::uint32_t rateNum = 0, rateDen = 0;  // 0/0: unknown
  long long frameCount = -1;               // -1: unknown
  int version = kStreamVersion;
};

// A key frame and the offset of its record, as the index lists them.
struct KeyFrame {
  long long frame;
  std::uint64_t offset;
};

// os::openFile, except that "-" is standard input, or standard output for a
// mode that writes; null with errno set when the file cannot be opened.
inline std::FILE* openFile(const std::string& path, const char* mode) {
  if (path == "-") return mode[0] == 'r' ? stdin : stdout;
  return os::openFile(path, mode);
}

inline void putU32(unsigned char* p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}

inline void putU64(unsigned char* p, std::uint64_t v) {
  putU32(p, static_cast<std::uint32_t>(v));
  putU32(p + 4, static_cast<std::uint32_t>(v >> 32));
}

inline std::uint32_t getU32(const unsigned char* p) {
  return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 | std::uint32_t{p[3]} << 24;
}

inline std::uint64_t getU64(const unsigned char* p) { return getU32(p) | std::uint64_t{getU32(p + 4)} << 32; }

// A table as 64 little-endian float32 values.
inline void putTable(unsigned char* p, const float* table) {
  for (int i = 0; i < 64; ++i) {
    std::uint32_t bits;
    std::memcpy(&bits, &table[i], 4);
    putU32(p + 4 * i, bits);
  }
}

// Reads 64 float32 factors; returns the index of the first that is not
// finite, or -1.
inline int getTable(const unsigned char* p, float* table) {
  for (int i = 0; i < 64; ++i) {
    const std::uint32_t bits = getU32(p + 4 * i);
    std::memcpy(&table[i], &bits, 4);
    if (!std::isfinite(table[i])) return i;
  }
  return -1;
}

}  // namespace kelvo4
