#include "reader.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace kelvo4 {

namespace {

// zstd cannot expand a block of 128 KiB from fewer than a few bytes: a frame
// of S bytes never holds more than this times S (plus one block).
constexpr std::uint64_t kMaxExpansion = 32768;
// Bytes from a read function are taken in steps of this, so that a stored
// size the stream does not hold fails at its end before it is allocated.
constexpr std::size_t kReadStep = std::size_t{1} << 22;

std::string notFinite(int i) { return "dequantisation factor " + std::to_string(i) + " is not finite"; }

class FileSource final : public ByteSource {
 public:
  FileSource(std::FILE* file, std::string name, std::uint64_t size)
      : file_(file), name_(std::move(name)), size_(size) {}
  ~FileSource() override { std::fclose(file_); }
  std::size_t read(void* out, std::size_t n) override {
    const std::size_t got = std::fread(out, 1, n, file_);
    if (got < n && std::ferror(file_))
      throw StreamError(EIO, name_ + ": at byte " + std::to_string(ftello(file_)) + ": read failed: " +
                                 std::strerror(errno));
    return got;
  }
  bool seekable() const override { return true; }
  std::uint64_t size() const override { return size_; }
  void seek(std::uint64_t offset) override {
    if (fseeko(file_, static_cast<off_t>(offset), SEEK_SET) != 0)
      throw StreamError(EIO, name_ + ": at byte " + std::to_string(offset) + ": cannot seek: " + std::strerror(errno));
  }

 private:
  std::FILE* file_;
  std::string name_;
  std::uint64_t size_;
};

class CallbackSource final : public ByteSource {
 public:
  CallbackSource(kelvo4_stream_read_fn read, void* user, std::string name)
      : read_(read), user_(user), name_(std::move(name)) {}
  std::size_t read(void* out, std::size_t n) override {
    std::size_t done = 0;
    while (done < n) {
      const std::ptrdiff_t got = read_(user_, static_cast<char*>(out) + done, n - done);
      if (got < 0) {
        const int code = got < -4095 ? EIO : static_cast<int>(-got);
        throw StreamError(code, name_ + ": at byte " + std::to_string(offset_ + done) + ": read failed: " +
                                    std::strerror(code));
      }
      if (got == 0) break;
      done += std::min(static_cast<std::size_t>(got), n - done);
    }
    offset_ += done;
    return done;
  }

 private:
  kelvo4_stream_read_fn read_;
  void* user_;
  std::string name_;
  std::uint64_t offset_ = 0;
};

}  // namespace

std::unique_ptr<ByteSource> openFileSource(const std::string& path) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (!file) throw StreamError(errno, path + ": " + std::strerror(errno));
  struct stat st;
  if (fstat(fileno(file), &st) != 0 || !S_ISREG(st.st_mode)) {
    const bool directory = S_ISDIR(st.st_mode);
    std::fclose(file);
    if (directory) throw StreamError(EISDIR, path + ": is a directory");
    throw StreamError(EINVAL, path + ": not a regular file (read it through a read function)");
  }
  return std::make_unique<FileSource>(file, path, static_cast<std::uint64_t>(st.st_size));
}

std::unique_ptr<ByteSource> callbackSource(kelvo4_stream_read_fn read, void* user, const std::string& name) {
  return std::make_unique<CallbackSource>(read, user, name);
}

std::string StreamParser::at(std::uint64_t offset) const {
  return name_ + ": at byte " + std::to_string(offset) + ": ";
}

std::string StreamParser::at(long long frame, std::uint64_t offset) const {
  return name_ + ": frame " + std::to_string(frame) + " at byte " + std::to_string(offset) + ": ";
}

void StreamParser::fail(const std::string& message) const { throw StreamError(EBADMSG, message); }

StreamParser::StreamParser(std::unique_ptr<ByteSource> source, std::string name)
    : source_(std::move(source)), name_(std::move(name)), fileBytes_(source_->size()) {
  readHeader();
  payloadBytes_ = kelvo4::payloadBytes(info_.codedWidth, info_.codedHeight);
}

void StreamParser::readHeader() {
  unsigned char head[kV1HeaderBytes];
  const std::size_t got = source_->read(head, 8);
  if (got >= 4 && std::memcmp(head, kStreamMagic, 4) != 0) fail(at(0) + "bad magic: not a stream file");
  if (got < 8) fail(at(got) + "truncated header (" + std::to_string(got) + " bytes)");
  info_.version = static_cast<int>(getU32(head + 4));
  // The rest of a header of `bytes` bytes.
  const auto readRest = [&](std::size_t bytes) {
    const std::size_t rest = source_->read(head + 8, bytes - 8);
    if (rest < bytes - 8)
      fail(at(8 + rest) + "truncated header (" + std::to_string(8 + rest) + " of " + std::to_string(bytes) +
           " bytes)");
  };
  if (info_.version == 1) {
    readRest(kV1HeaderBytes);
    // Version 1 frames have the picture's own size, whatever it is.
    const std::uint32_t w = getU32(head + 8), h = getU32(head + 12);
    if (w < 1 || h < 1 || w > static_cast<std::uint32_t>(kMaxSide) || h > static_cast<std::uint32_t>(kMaxSide) ||
        !sizeSupported(static_cast<int>(w), static_cast<int>(h)))
      fail(at(8) + "impossible frame size " + std::to_string(w) + "x" + std::to_string(h));
    info_.width = info_.codedWidth = static_cast<int>(w);
    info_.height = info_.codedHeight = static_cast<int>(h);
    if (const int bad = getTable(head + 16, v1Table_); bad >= 0) fail(at(16 + 4 * bad) + notFinite(bad));
    offset_ = kV1HeaderBytes;
    if (fileBytes_ > 0) info_.frameCount = static_cast<long long>((fileBytes_ - kV1HeaderBytes) / kelvo4::payloadBytes(static_cast<int>(w), static_cast<int>(h)));
    keys_ = {{0, kV1HeaderBytes}};
    return;
  }
  if (info_.version != 2) fail(at(4) + "unsupported format version " + std::to_string(info_.version));
  readRest(kHeaderBytes);
  const std::uint32_t w = getU32(head + 8), h = getU32(head + 12), cw = getU32(head + 16), ch = getU32(head + 20);
  if (w > static_cast<std::uint32_t>(kMaxSide) || h > static_cast<std::uint32_t>(kMaxSide) ||
      !validFrameSize(static_cast<int>(w), static_cast<int>(h)))
    fail(at(8) + "impossible frame size " + std::to_string(w) + "x" + std::to_string(h));
  info_.width = static_cast<int>(w);
  info_.height = static_cast<int>(h);
  info_.codedWidth = codedSide(info_.width);
  info_.codedHeight = codedSide(info_.height);
  if (cw != static_cast<std::uint32_t>(info_.codedWidth) || ch != static_cast<std::uint32_t>(info_.codedHeight))
    fail(at(16) + "coded size " + std::to_string(cw) + "x" + std::to_string(ch) + " does not fit the picture size " +
         std::to_string(w) + "x" + std::to_string(h));
  info_.rateNum = getU32(head + 24);
  info_.rateDen = getU32(head + 28);
  if ((info_.rateNum == 0) != (info_.rateDen == 0))
    fail(at(24) + "impossible frame rate " + std::to_string(info_.rateNum) + "/" + std::to_string(info_.rateDen));
  const std::uint32_t count = getU32(head + 32);
  const std::uint64_t indexAt = getU64(head + 36);
  offset_ = kHeaderBytes;
  if (count != kUnknownCount) {
    // Every frame takes at least a record header.
    if (fileBytes_ > 0 && count > (fileBytes_ - kHeaderBytes) / kRecordBytes)
      fail(at(32) + "claims " + std::to_string(count) + " frames in " + std::to_string(fileBytes_) + " bytes");
    info_.frameCount = count;
  }
  if (!source_->seekable()) return;
  if (indexAt != 0)
    readIndex(indexAt);
  else
    scan();
}

void StreamParser::readIndex(std::uint64_t indexAt) {
  const std::string bad = at(indexAt) + "bad key frame index: ";
  if (indexAt < kHeaderBytes || indexAt > fileBytes_ - 8) fail(at(36) + "index beyond the file");
  unsigned char head[8];
  source_->seek(indexAt);
  if (!readBytes(head, 8)) fail(bad + "cannot read it");
  const std::uint32_t count = getU32(head + 4);
  if (std::memcmp(head, kIndexMagic, 4) != 0 || count == 0 ||
      count > (fileBytes_ - indexAt - 8) / kIndexEntryBytes ||
      (info_.frameCount >= 0 && count > static_cast<std::uint64_t>(info_.frameCount)))
    fail(bad + "no index there or a count of " + std::to_string(count));
  std::vector<unsigned char> entries(kIndexEntryBytes * static_cast<std::size_t>(count));
  if (!readBytes(entries.data(), entries.size())) fail(bad + "truncated");
  keys_.clear();
  for (std::uint32_t i = 0; i < count; ++i) {
    const unsigned char* e = &entries[kIndexEntryBytes * i];
    const KeyFrame key{getU32(e), getU64(e + 4)};
    const bool first = i == 0;
    if ((first && (key.frame != 0 || key.offset != kHeaderBytes)) ||
        (!first && (key.frame <= keys_.back().frame || key.offset <= keys_.back().offset)) ||
        key.offset >= indexAt || (info_.frameCount >= 0 && key.frame >= info_.frameCount))
      fail(bad + "entry " + std::to_string(i) + " (frame " + std::to_string(key.frame) + " at byte " +
           std::to_string(key.offset) + ") is out of order or beyond the frames");
    keys_.push_back(key);
  }
  end_ = indexAt;
  if (info_.frameCount < 0) scan();
  source_->seek(kHeaderBytes);
}

// Walks the record headers, skipping tables and payloads: the key frames and
// the frame count of a file written without them (to a pipe).
void StreamParser::scan() {
  const bool indexed = end_ != 0;
  std::uint64_t pos = kHeaderBytes;
  long long frame = 0;
  std::vector<KeyFrame> keys;
  while (pos + kRecordBytes <= (end_ ? end_ : fileBytes_)) {
    unsigned char record[kRecordBytes];
    source_->seek(pos);
    if (!readBytes(record, kRecordBytes)) break;
    if (std::memcmp(record, kIndexMagic, 4) == 0) {
      end_ = pos;
      break;
    }
    const std::uint64_t size = kRecordBytes + ((record[0] & kTableFlag) ? kTableBytes : 0) + getU32(record + 4);
    if (record[0] > 7 || size > fileBytes_ - pos) fail(at(frame, pos) + "bad frame record");
    if (record[0] & kKeyFlag) keys.push_back({frame, pos});
    pos += size;
    ++frame;
  }
  source_->seek(kHeaderBytes);
  if (!indexed) keys_ = std::move(keys);
  info_.frameCount = frame;
}

KeyFrame StreamParser::keyFor(long long frame) const {
  auto it = std::upper_bound(keys_.begin(), keys_.end(), frame,
                             [](long long f, const KeyFrame& k) { return f < k.frame; });
  if (it == keys_.begin()) return {0, static_cast<std::uint64_t>(info_.version == 1 ? kV1HeaderBytes : kHeaderBytes)};
  return *--it;
}

void StreamParser::seekTo(const KeyFrame& k) {
  source_->seek(k.offset);
  offset_ = k.offset;
  next_ = k.frame;
  keyNext_ = true;
  v1First_ = -1;
}

bool StreamParser::readRecord(Record& r) {
  const long long frame = next_;
  r.frame = frame;
  r.offset = offset_;
  if (info_.version == 1) {
    unsigned char probe;
    if (source_->read(&probe, 1) == 0) {
      if (!source_->seekable()) info_.frameCount = frame;
      return false;
    }
    v1First_ = probe;
    r.key = r.hasTable = frame == 0;
    std::copy(v1Table_, v1Table_ + 64, r.table);
    r.compressed = false;
    r.stored = static_cast<std::uint32_t>(payloadBytes_);
    return true;
  }
  if (end_ != 0 && offset_ == end_) return endOfFrames(frame);
  unsigned char record[kRecordBytes];
  const std::size_t got = source_->read(record, kRecordBytes);
  if (got == 0) return endOfFrames(frame);
  if (got < kRecordBytes) fail(at(frame, offset_) + "truncated frame record");
  // Without an index in the header (a stream written to a pipe) the index
  // still follows the frames; the frames end there, also for a later call.
  if (std::memcmp(record, kIndexMagic, 4) == 0) {
    end_ = offset_;
    return endOfFrames(frame);
  }
  const unsigned flags = record[0];
  const std::uint32_t stored = getU32(record + 4);
  if (flags > 7 || record[1] || record[2] || record[3]) fail(at(frame, offset_) + "not a frame record");
  if (info_.frameCount >= 0 && frame >= info_.frameCount)
    fail(at(frame, offset_) + "more frames than the " + std::to_string(info_.frameCount) + " the header gives");
  if ((frame == 0 && !(flags & kKeyFlag)) || ((flags & kKeyFlag) && !(flags & kTableFlag)))
    fail(at(frame, offset_) + (frame == 0 ? "the first frame is not a key frame" : "a key frame without a table"));
  if (keyNext_ && !(flags & kKeyFlag)) fail(at(frame, offset_) + "the index names no key frame here");
  keyNext_ = false;
  const bool compressed = flags & kCompressedFlag;
  if ((!compressed && stored != payloadBytes_) || (compressed && (stored == 0 || stored >= payloadBytes_)))
    fail(at(frame, offset_) + "stored size " + std::to_string(stored) + " does not fit a payload of " +
         std::to_string(payloadBytes_) + " bytes");
  const std::uint64_t need = kRecordBytes + ((flags & kTableFlag) ? kTableBytes : 0) + std::uint64_t{stored};
  const std::uint64_t limit = end_ != 0 ? end_ : fileBytes_;
  if (limit > 0 && need > limit - offset_)
    fail(at(frame, offset_) + "the record needs " + std::to_string(need) + " bytes, " +
         std::to_string(limit - offset_) + " are left");
  if (compressed && payloadBytes_ > kMaxExpansion * stored + (std::size_t{1} << 17))
    fail(at(frame, offset_) + "corrupt compressed payload: " + std::to_string(stored) + " bytes cannot hold " +
         std::to_string(payloadBytes_));
  r.key = flags & kKeyFlag;
  r.hasTable = flags & kTableFlag;
  r.compressed = compressed;
  r.stored = stored;
  if (r.hasTable) {
    unsigned char table[kTableBytes];
    if (!readBytes(table, kTableBytes)) fail(at(frame, offset_) + "truncated table");
    if (const int bad = getTable(table, r.table); bad >= 0) fail(at(frame, offset_) + notFinite(bad));
  }
  // A read function shows the key frames as they come.
  if (r.key && !source_->seekable() && (keys_.empty() || keys_.back().frame < frame)) keys_.push_back({frame, offset_});
  return true;
}

void StreamParser::readStored(const Record& r, std::vector<signed char>& out) {
  const std::size_t count = r.stored;
  std::size_t have = 0;
  if (info_.version == 1) {
    out.resize(std::min(count, source_->seekable() ? count : kReadStep));
    out[0] = static_cast<signed char>(v1First_);
    have = 1;
    v1First_ = -1;
  }
  // A file has been checked to hold the bytes; a read function's arrive in steps.
  const std::size_t step = source_->seekable() ? count : kReadStep;
  while (have < count) {
    const std::size_t size = std::min(count, have + step);
    if (out.size() < size) out.resize(size);
    const std::size_t got = source_->read(out.data() + have, size - have);
    have += got;
    if (have < size) {
      if (info_.version == 1)
        fail(at(r.frame, r.offset) + "short frame: " + std::to_string(have) + " of " + std::to_string(count) +
             " bytes");
      fail(at(r.frame, r.offset) + "truncated: the payload of " + std::to_string(count) + " bytes runs past the end");
    }
  }
  out.resize(count);
  offset_ = r.offset + (info_.version == 1 ? 0 : kRecordBytes + (r.hasTable ? kTableBytes : 0)) + count;
  next_ = r.frame + 1;
}

bool StreamParser::endOfFrames(long long frame) {
  if (info_.frameCount >= 0 && frame != info_.frameCount)
    fail(at(frame, offset_) + "the stream ends after " + std::to_string(frame) + " of " +
         std::to_string(info_.frameCount) + " frames");
  if (!source_->seekable()) info_.frameCount = frame;
  return false;
}

}  // namespace kelvo4
