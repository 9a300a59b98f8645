#include "kelvo_stream.h"

#include <sys/stat.h>
#include <zstd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <filesystem>

#include "format.h"

namespace kelvo4 {

namespace {

const char kMagic[4] = {'K', 'L', 'V', '4'};
const char kIndexMagic[4] = {'K', 'I', 'D', 'X'};
constexpr int kV1HeaderBytes = 272;
constexpr int kTableBytes = 256;
constexpr unsigned kKeyFlag = 1, kTableFlag = 2, kCompressedFlag = 4;
// zstd cannot expand a block of 128 KiB from fewer than a few bytes: a frame
// of S bytes never holds more than this times S (plus one block).
constexpr std::uint64_t kMaxExpansion = 32768;

void putU32(unsigned char* p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}

void putU64(unsigned char* p, std::uint64_t v) {
  putU32(p, static_cast<std::uint32_t>(v));
  putU32(p + 4, static_cast<std::uint32_t>(v >> 32));
}

std::uint32_t getU32(const unsigned char* p) {
  return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 | std::uint32_t{p[3]} << 24;
}

std::uint64_t getU64(const unsigned char* p) { return getU32(p) | std::uint64_t{getU32(p + 4)} << 32; }

void putTable(unsigned char* p, const float* table) {
  for (int i = 0; i < 64; ++i) {
    std::uint32_t bits;
    std::memcpy(&bits, &table[i], 4);
    putU32(p + 4 * i, bits);
  }
}

// Reads 64 float32 factors; returns the index of the first that is not
// finite, or -1.
int getTable(const unsigned char* p, float* table) {
  for (int i = 0; i < 64; ++i) {
    const std::uint32_t bits = getU32(p + 4 * i);
    std::memcpy(&table[i], &bits, 4);
    if (!std::isfinite(table[i])) return i;
  }
  return -1;
}

std::string notFinite(int i) { return "dequantisation factor " + std::to_string(i) + " is not finite"; }

std::string at(const std::string& path, std::uint64_t offset) {
  return path + ": at byte " + std::to_string(offset) + ": ";
}

std::string atFrame(const std::string& path, long frame, std::uint64_t offset) {
  return path + ": frame " + std::to_string(frame) + " at byte " + std::to_string(offset) + ": ";
}

std::string errnoText() { return std::strerror(errno); }

}  // namespace

bool validFrameSize(int w, int h) {
  return w >= 1 && h >= 1 && w <= kMaxSide && h <= kMaxSide && kelvo4::sizeSupported(codedSide(w), codedSide(h));
}

StreamWriter::StreamWriter(const std::string& path, const StreamInfo& info, int level)
    : path_(path), level_(level), info_(info) {
  if (!validFrameSize(info.width, info.height))
    throw StreamError(path + ": impossible frame size " + std::to_string(info.width) + "x" +
                      std::to_string(info.height));
  if ((info.rateNum == 0) != (info.rateDen == 0))
    throw StreamError(path + ": impossible frame rate " + std::to_string(info.rateNum) + "/" +
                      std::to_string(info.rateDen));
  info_.codedWidth = codedSide(info.width);
  info_.codedHeight = codedSide(info.height);
  info_.frameCount = 0;
  info_.version = kStreamVersion;
  if (level_ > 0) {
    context_ = ZSTD_createCCtx();
    if (!context_) throw StreamError(path + ": cannot set up compression");
    ZSTD_CCtx_setParameter(static_cast<ZSTD_CCtx*>(context_), ZSTD_c_compressionLevel, level_);
    // The payload's size is known; the header field lets readers check it,
    // and the checksum catches a corrupt frame that would still decompress.
    ZSTD_CCtx_setParameter(static_cast<ZSTD_CCtx*>(context_), ZSTD_c_contentSizeFlag, 1);
    ZSTD_CCtx_setParameter(static_cast<ZSTD_CCtx*>(context_), ZSTD_c_checksumFlag, 1);
  }
  file_ = openFile(path, "wb");
  if (!file_) throw StreamError(path + ": cannot create: " + errnoText());
  owned_ = path != "-";
  unsigned char head[kHeaderBytes] = {};
  std::memcpy(head, kMagic, 4);
  putU32(head + 4, kStreamVersion);
  putU32(head + 8, static_cast<std::uint32_t>(info_.width));
  putU32(head + 12, static_cast<std::uint32_t>(info_.height));
  putU32(head + 16, static_cast<std::uint32_t>(info_.codedWidth));
  putU32(head + 20, static_cast<std::uint32_t>(info_.codedHeight));
  putU32(head + 24, info_.rateNum);
  putU32(head + 28, info_.rateDen);
  putU32(head + 32, kUnknownCount);
  if (std::fwrite(head, 1, sizeof head, file_) != sizeof head) {
    const std::string reason = errnoText();
    abandon();
    throw StreamError(path + ": write failed: " + reason);
  }
  offset_ = kHeaderBytes;
}

StreamWriter::~StreamWriter() {
  abandon();
  ZSTD_freeCCtx(static_cast<ZSTD_CCtx*>(context_));
}

void StreamWriter::writeFrame(const signed char* payload, bool key, const float* table) {
  if (!file_) throw StreamError(path_ + ": stream already closed");
  if (info_.frameCount == 0 && (!key || !table))
    throw StreamError(path_ + ": the first frame must be a key frame with a table");
  if (table)
    std::copy(table, table + 64, table_);
  else if (key)
    table = table_;
  const std::size_t raw = payloadBytes(info_.codedWidth, info_.codedHeight);
  const void* stored = payload;
  std::size_t storedBytes = raw;
  unsigned flags = (key ? kKeyFlag : 0) | (table ? kTableFlag : 0);
  if (context_) {
    packed_.resize(ZSTD_compressBound(raw));
    const std::size_t got =
        ZSTD_compress2(static_cast<ZSTD_CCtx*>(context_), packed_.data(), packed_.size(), payload, raw);
    if (ZSTD_isError(got)) throw StreamError(path_ + ": compression failed: " + ZSTD_getErrorName(got));
    if (got < raw) {
      stored = packed_.data();
      storedBytes = got;
      flags |= kCompressedFlag;
    }
  }
  unsigned char record[kRecordBytes + kTableBytes] = {};
  record[0] = static_cast<unsigned char>(flags);
  putU32(record + 4, static_cast<std::uint32_t>(storedBytes));
  const std::size_t head = kRecordBytes + (table ? kTableBytes : 0);
  if (table) putTable(record + kRecordBytes, table);
  if (std::fwrite(record, 1, head, file_) != head || std::fwrite(stored, 1, storedBytes, file_) != storedBytes)
    throw StreamError(path_ + ": write failed: " + errnoText());
  if (key) keys_.push_back({info_.frameCount, offset_});
  offset_ += head + storedBytes;
  ++info_.frameCount;
}

void StreamWriter::close() {
  if (!file_) return;
  std::vector<unsigned char> index(8 + 12 * keys_.size());
  std::memcpy(index.data(), kIndexMagic, 4);
  putU32(index.data() + 4, static_cast<std::uint32_t>(keys_.size()));
  for (std::size_t i = 0; i < keys_.size(); ++i) {
    putU32(index.data() + 8 + 12 * i, static_cast<std::uint32_t>(keys_[i].frame));
    putU64(index.data() + 12 + 12 * i, keys_[i].offset);
  }
  bool ok = std::fwrite(index.data(), 1, index.size(), file_) == index.size();
  // Where the output can seek (a file, also as standard output), the header
  // learns the count and where the index is; a pipe leaves them unknown.
  if (ok && std::fflush(file_) == 0 && fseeko(file_, 32, SEEK_SET) == 0) {
    unsigned char patch[12];
    putU32(patch, static_cast<std::uint32_t>(info_.frameCount));
    putU64(patch + 4, offset_);
    ok = std::fwrite(patch, 1, sizeof patch, file_) == sizeof patch && fseeko(file_, 0, SEEK_END) == 0;
  }
  ok = std::fflush(file_) == 0 && ok;
  const std::string reason = errnoText();
  if (owned_) ok = std::fclose(file_) == 0 && ok;
  file_ = nullptr;
  if (!ok) {
    if (owned_) std::remove(path_.c_str());
    throw StreamError(path_ + ": write failed: " + reason);
  }
}

void StreamWriter::abandon() {
  if (!file_) return;
  if (owned_) {
    std::fclose(file_);
    std::remove(path_.c_str());
  } else {
    std::fflush(file_);
  }
  file_ = nullptr;
}

StreamReader::StreamReader(const std::string& path) : path_(path) {
  file_ = openFile(path, "rb");
  if (!file_) throw StreamError(path + ": " + errnoText());
  owned_ = path != "-";
  struct stat st;
  if (fstat(fileno(file_), &st) == 0) {
    if (S_ISDIR(st.st_mode)) {
      std::fclose(file_);
      file_ = nullptr;
      throw StreamError(path + ": is a directory");
    }
    if (S_ISREG(st.st_mode)) fileBytes_ = static_cast<std::uint64_t>(st.st_size);
  }
  context_ = ZSTD_createDCtx();
  try {
    unsigned char head[kV1HeaderBytes];
    const std::size_t got = std::fread(head, 1, 8, file_);
    if (got >= 4 && std::memcmp(head, kMagic, 4) != 0) throw StreamError(at(path, 0) + "bad magic: not a stream file");
    if (got < 8) throw StreamError(at(path, got) + "truncated header (" + std::to_string(got) + " bytes)");
    info_.version = static_cast<int>(getU32(head + 4));
    // The rest of a header of `bytes` bytes.
    const auto readHeader = [&](std::size_t bytes) {
      const std::size_t rest = std::fread(head + 8, 1, bytes - 8, file_);
      if (rest < bytes - 8)
        throw StreamError(at(path, 8 + rest) + "truncated header (" + std::to_string(8 + rest) + " of " +
                          std::to_string(bytes) + " bytes)");
    };
    if (info_.version == 1) {
      readHeader(kV1HeaderBytes);
      // Version 1 frames have the picture's own size, whatever it is.
      const std::uint32_t w = getU32(head + 8), h = getU32(head + 12);
      if (w < 1 || h < 1 || w > static_cast<std::uint32_t>(kMaxSide) || h > static_cast<std::uint32_t>(kMaxSide) ||
          !kelvo4::sizeSupported(static_cast<int>(w), static_cast<int>(h)))
        throw StreamError(at(path, 8) + "impossible frame size " + std::to_string(w) + "x" + std::to_string(h));
      info_.width = info_.codedWidth = static_cast<int>(w);
      info_.height = info_.codedHeight = static_cast<int>(h);
      if (const int bad = getTable(head + 16, v1Table_); bad >= 0)
        throw StreamError(at(path, 16 + 4 * bad) + notFinite(bad));
      offset_ = kV1HeaderBytes;
      const std::uint64_t frameBytes = payloadBytes(info_.width, info_.height);
      if (fileBytes_ > 0) info_.frameCount = static_cast<long>((fileBytes_ - kV1HeaderBytes) / frameBytes);
      keys_ = {{0, kV1HeaderBytes}};
      scanned_ = true;
      return;
    }
    if (info_.version != 2)
      throw StreamError(at(path, 4) + "unsupported format version " + std::to_string(info_.version));
    readHeader(kHeaderBytes);
    const std::uint32_t w = getU32(head + 8), h = getU32(head + 12), cw = getU32(head + 16), ch = getU32(head + 20);
    if (w > static_cast<std::uint32_t>(kMaxSide) || h > static_cast<std::uint32_t>(kMaxSide) ||
        !validFrameSize(static_cast<int>(w), static_cast<int>(h)))
      throw StreamError(at(path, 8) + "impossible frame size " + std::to_string(w) + "x" + std::to_string(h));
    info_.width = static_cast<int>(w);
    info_.height = static_cast<int>(h);
    info_.codedWidth = codedSide(info_.width);
    info_.codedHeight = codedSide(info_.height);
    if (cw != static_cast<std::uint32_t>(info_.codedWidth) || ch != static_cast<std::uint32_t>(info_.codedHeight))
      throw StreamError(at(path, 16) + "coded size " + std::to_string(cw) + "x" + std::to_string(ch) +
                        " does not fit the picture size " + std::to_string(w) + "x" + std::to_string(h));
    info_.rateNum = getU32(head + 24);
    info_.rateDen = getU32(head + 28);
    if ((info_.rateNum == 0) != (info_.rateDen == 0))
      throw StreamError(at(path, 24) + "impossible frame rate " + std::to_string(info_.rateNum) + "/" +
                        std::to_string(info_.rateDen));
    const std::uint32_t count = getU32(head + 32);
    const std::uint64_t indexAt = getU64(head + 36);
    offset_ = kHeaderBytes;
    if (count != kUnknownCount) {
      // Every frame takes at least a record header.
      if (fileBytes_ > 0 && count > (fileBytes_ - kHeaderBytes) / kRecordBytes)
        throw StreamError(at(path, 32) + "claims " + std::to_string(count) + " frames in " +
                          std::to_string(fileBytes_) + " bytes");
      info_.frameCount = count;
    }
    if (indexAt != 0 && fileBytes_ > 0) readIndex(indexAt);
  } catch (...) {
    ZSTD_freeDCtx(static_cast<ZSTD_DCtx*>(context_));
    if (owned_ && file_) std::fclose(file_);
    throw;
  }
}

void StreamReader::readIndex(std::uint64_t indexAt) {
  const std::string bad = at(path_, indexAt) + "bad key frame index: ";
  if (indexAt < kHeaderBytes || indexAt > fileBytes_ - 8) throw StreamError(at(path_, 36) + "index beyond the file");
  unsigned char head[8];
  if (fseeko(file_, static_cast<off_t>(indexAt), SEEK_SET) != 0 || std::fread(head, 1, 8, file_) != 8)
    throw StreamError(bad + "cannot read it");
  const std::uint32_t count = getU32(head + 4);
  if (std::memcmp(head, kIndexMagic, 4) != 0 || count == 0 || count > (fileBytes_ - indexAt - 8) / 12 ||
      (info_.frameCount >= 0 && count > static_cast<std::uint64_t>(info_.frameCount)))
    throw StreamError(bad + "no index there or a count of " + std::to_string(count));
  std::vector<unsigned char> entries(12 * static_cast<std::size_t>(count));
  if (std::fread(entries.data(), 1, entries.size(), file_) != entries.size()) throw StreamError(bad + "truncated");
  for (std::uint32_t i = 0; i < count; ++i) {
    const KeyFrame key{static_cast<long>(getU32(&entries[12 * i])), getU64(&entries[12 * i + 4])};
    const bool first = i == 0;
    if ((first && (key.frame != 0 || key.offset != kHeaderBytes)) ||
        (!first && (key.frame <= keys_.back().frame || key.offset <= keys_.back().offset)) ||
        key.offset >= indexAt || (info_.frameCount >= 0 && key.frame >= info_.frameCount))
      throw StreamError(bad + "entry " + std::to_string(i) + " (frame " + std::to_string(key.frame) + " at byte " +
                        std::to_string(key.offset) + ") is out of order or beyond the frames");
    keys_.push_back(key);
  }
  end_ = indexAt;
  scanned_ = true;
  if (fseeko(file_, kHeaderBytes, SEEK_SET) != 0) throw StreamError(at(path_, kHeaderBytes) + "cannot seek");
}

StreamReader::~StreamReader() {
  ZSTD_freeDCtx(static_cast<ZSTD_DCtx*>(context_));
  if (owned_ && file_) std::fclose(file_);
}

bool StreamReader::readBytes(void* out, std::size_t count) {
  return std::fread(out, 1, count, file_) == count;
}

void StreamReader::readGrowing(std::vector<signed char>& out, std::size_t count, long frame) {
  // In steps, so that a size the file does not hold fails at its end instead
  // of allocating it first (a pipe has no length to check against).
  constexpr std::size_t kStep = std::size_t{1} << 22;
  out.clear();
  while (out.size() < count) {
    const std::size_t have = out.size(), step = std::min(kStep, count - have);
    out.resize(have + step);
    if (!readBytes(out.data() + have, step))
      throw StreamError(atFrame(path_, frame, offset_) + "truncated: the payload of " + std::to_string(count) +
                        " bytes runs past the end");
  }
}

bool StreamReader::readFrame(Frame& out) {
  const long frame = next_;
  const std::size_t raw = payloadBytes(info_.codedWidth, info_.codedHeight);
  if (info_.version == 1) {
    unsigned char probe;
    if (!readBytes(&probe, 1)) {
      if (std::ferror(file_)) throw StreamError(atFrame(path_, frame, offset_) + "read failed: " + errnoText());
      return false;
    }
    out.key = frame == 0;
    out.hasTable = frame == 0;
    std::copy(v1Table_, v1Table_ + 64, out.table);
    out.payload.resize(raw);
    out.payload[0] = static_cast<signed char>(probe);
    if (!readBytes(out.payload.data() + 1, raw - 1))
      throw StreamError(atFrame(path_, frame, offset_) + "short frame: fewer than " + std::to_string(raw) + " bytes");
    offset_ += raw;
    ++next_;
    return true;
  }
  if (end_ != 0 && offset_ == end_) return endOfFrames(frame);
  unsigned char record[kRecordBytes];
  const std::size_t got = std::fread(record, 1, kRecordBytes, file_);
  if (got == 0 && !std::ferror(file_)) return endOfFrames(frame);
  if (got < kRecordBytes) throw StreamError(atFrame(path_, frame, offset_) + "truncated frame record");
  // Without an index in the header (a stream written to a pipe) the index
  // still follows the frames; the frames end there, also for a later call.
  if (std::memcmp(record, kIndexMagic, 4) == 0) {
    end_ = offset_;
    return endOfFrames(frame);
  }
  const unsigned flags = record[0];
  const std::uint32_t stored = getU32(record + 4);
  if (flags > 7 || record[1] || record[2] || record[3])
    throw StreamError(atFrame(path_, frame, offset_) + "not a frame record");
  if (info_.frameCount >= 0 && frame >= info_.frameCount)
    throw StreamError(atFrame(path_, frame, offset_) + "more frames than the " + std::to_string(info_.frameCount) +
                      " the header gives");
  if ((frame == 0 && !(flags & kKeyFlag)) || ((flags & kKeyFlag) && !(flags & kTableFlag)))
    throw StreamError(atFrame(path_, frame, offset_) +
                      (frame == 0 ? "the first frame is not a key frame" : "a key frame without a table"));
  const bool compressed = flags & kCompressedFlag;
  if ((!compressed && stored != raw) || (compressed && (stored == 0 || stored >= raw)))
    throw StreamError(atFrame(path_, frame, offset_) + "stored size " + std::to_string(stored) +
                      " does not fit a payload of " + std::to_string(raw) + " bytes");
  const std::uint64_t need = kRecordBytes + ((flags & kTableFlag) ? kTableBytes : 0) + std::uint64_t{stored};
  const std::uint64_t limit = end_ != 0 ? end_ : fileBytes_;
  if (limit > 0 && need > limit - offset_)
    throw StreamError(atFrame(path_, frame, offset_) + "the record needs " + std::to_string(need) + " bytes, " +
                      std::to_string(limit - offset_) + " are left");
  if (compressed && raw > kMaxExpansion * stored + (std::size_t{1} << 17))
    throw StreamError(atFrame(path_, frame, offset_) + "corrupt compressed payload: " + std::to_string(stored) +
                      " bytes cannot hold " + std::to_string(raw));
  out.key = flags & kKeyFlag;
  out.hasTable = flags & kTableFlag;
  if (out.hasTable) {
    unsigned char table[kTableBytes];
    if (!readBytes(table, kTableBytes)) throw StreamError(atFrame(path_, frame, offset_) + "truncated table");
    if (const int bad = getTable(table, out.table); bad >= 0)
      throw StreamError(atFrame(path_, frame, offset_) + notFinite(bad));
  }
  if (compressed) {
    readGrowing(packed_, stored, frame);
    const unsigned long long content = ZSTD_getFrameContentSize(packed_.data(), stored);
    if (content != raw || ZSTD_findFrameCompressedSize(packed_.data(), stored) != stored)
      throw StreamError(atFrame(path_, frame, offset_) + "corrupt compressed payload");
    out.payload.resize(raw);
    const std::size_t made =
        ZSTD_decompressDCtx(static_cast<ZSTD_DCtx*>(context_), out.payload.data(), raw, packed_.data(), stored);
    if (ZSTD_isError(made) || made != raw)
      throw StreamError(atFrame(path_, frame, offset_) + "corrupt compressed payload" +
                        (ZSTD_isError(made) ? std::string(": ") + ZSTD_getErrorName(made) : std::string()));
  } else {
    readGrowing(out.payload, stored, frame);
  }
  offset_ += need;
  ++next_;
  return true;
}

bool StreamReader::endOfFrames(long frame) {
  if (info_.frameCount >= 0 && frame != info_.frameCount)
    throw StreamError(atFrame(path_, frame, offset_) + "the stream ends after " + std::to_string(frame) + " of " +
                      std::to_string(info_.frameCount) + " frames");
  return false;
}

const std::vector<KeyFrame>& StreamReader::keyFrames() {
  if (scanned_ || fileBytes_ == 0) return keys_;
  // No index: walk the record headers, skipping tables and payloads.
  const std::uint64_t resume = offset_;
  std::uint64_t pos = kHeaderBytes;
  long frame = 0;
  std::vector<KeyFrame> keys;
  while (pos + kRecordBytes <= fileBytes_) {
    unsigned char record[kRecordBytes];
    if (fseeko(file_, static_cast<off_t>(pos), SEEK_SET) != 0 || !readBytes(record, kRecordBytes)) break;
    if (std::memcmp(record, kIndexMagic, 4) == 0) break;
    const std::uint64_t size = kRecordBytes + ((record[0] & kTableFlag) ? kTableBytes : 0) + getU32(record + 4);
    if (record[0] > 7 || size > fileBytes_ - pos) throw StreamError(atFrame(path_, frame, pos) + "bad frame record");
    if (record[0] & kKeyFlag) keys.push_back({frame, pos});
    pos += size;
    ++frame;
  }
  if (fseeko(file_, static_cast<off_t>(resume), SEEK_SET) != 0) throw StreamError(at(path_, resume) + "cannot seek");
  keys_ = std::move(keys);
  if (info_.frameCount < 0) info_.frameCount = frame;
  scanned_ = true;
  return keys_;
}

KeyFrame StreamReader::keyFor(long frame) {
  if (fileBytes_ == 0) throw StreamError(path_ + ": cannot seek in a stream that is not a file");
  if (frame < 0 || (info_.frameCount >= 0 && frame >= info_.frameCount))
    throw StreamError(path_ + ": no frame " + std::to_string(frame) + " (the stream has " +
                      std::to_string(info_.frameCount) + ")");
  const auto& keys = keyFrames();
  auto it = std::upper_bound(keys.begin(), keys.end(), frame, [](long f, const KeyFrame& k) { return f < k.frame; });
  if (it == keys.begin()) throw StreamError(path_ + ": no key frame before frame " + std::to_string(frame));
  return *--it;
}

long StreamReader::seekKey(long frame) {
  const KeyFrame key = keyFor(frame);
  if (fseeko(file_, static_cast<off_t>(key.offset), SEEK_SET) != 0)
    throw StreamError(at(path_, key.offset) + "cannot seek: " + errnoText());
  offset_ = key.offset;
  next_ = key.frame;
  return key.frame;
}

}  // namespace kelvo4
