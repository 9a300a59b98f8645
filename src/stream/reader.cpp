#include "src/stream/reader.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "src/platform/platform.h"

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
      throw StreamFailure(EIO, name_ + ": at byte " + std::to_string(os::tell(file_)) + ": read failed: " +
                                 std::strerror(errno));
    return got;
  }
  bool seekable() const override { return true; }
  std::uint64_t size() const override { return size_; }
  void seek(std::uint64_t offset) override {
    if (!os::seek(file_, static_cast<std::int64_t>(offset), SEEK_SET))
      throw StreamFailure(EIO, name_ + ": at byte " + std::to_string(offset) + ": cannot seek: " + std::strerror(errno));
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
        throw StreamFailure(code, name_ + ": at byte " + std::to_string(offset_ + done) + ": read failed: " +
                                    std::strerror(code));
      }
      if (got == 0) break;
      if (static_cast<std::size_t>(got) > n - done)
        throw StreamFailure(EIO, name_ + ": at byte " + std::to_string(offset_ + done) + ": the read function returned " +
                                     std::to_string(got) + " bytes where at most " + std::to_string(n - done) +
                                     " were asked for");
      done += static_cast<std::size_t>(got);
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
  // A FIFO would block the open until a writer came: it is refused below.
  std::FILE* file = os::openWithoutWaiting(path);
  const os::FileInfo info = file ? os::fileInfo(file) : os::FileInfo{};
  if (!file && errno != EISDIR) throw StreamFailure(errno, path + ": " + std::strerror(errno));
  if (info.kind != os::Kind::Regular) {
    if (file) std::fclose(file);
    if (!file || info.kind == os::Kind::Directory)
      throw StreamFailure(EISDIR, path + ": is a folder, not a stream file");
    throw StreamFailure(EINVAL, path + ": not a regular file (read it through a read function)");
  }
  return std::make_unique<FileSource>(file, path, info.size);
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

void StreamParser::fail(const std::string& message) const { throw StreamFailure(EBADMSG, message); }

StreamParser::StreamParser(std::unique_ptr<ByteSource> source, std::string name, long long maxPixels)
    : source_(std::move(source)), name_(std::move(name)), fileBytes_(source_->size()), maxPixels_(maxPixels) {
  readHeader();
}

void StreamParser::checkPixels(std::uint32_t w, std::uint32_t h) const {
  if (maxPixels_ >= 0 && static_cast<long long>(w) * h > maxPixels_)
    throw StreamFailure(EFBIG, at(kHeaderWidthAt) + "a picture of " + std::to_string(w) + "x" + std::to_string(h) + " is more than the " +
                                 std::to_string(maxPixels_) + " pixels this reader is set to accept");
}

void StreamParser::readHeader() {
  unsigned char head[kV1HeaderBytes];
  const std::size_t got = source_->read(head, kHeaderStartBytes);
  if (got >= 4 && std::memcmp(head, kStreamMagic, 4) != 0) fail(at(0) + "bad magic: not a stream file");
  if (got < kHeaderStartBytes) fail(at(got) + "truncated header (" + std::to_string(got) + " bytes)");
  info_.version = static_cast<int>(getU32(head + kHeaderVersionAt));
  // The rest of a header of `bytes` bytes.
  const auto readRest = [&](std::size_t bytes) {
    const std::size_t rest = source_->read(head + kHeaderStartBytes, bytes - kHeaderStartBytes);
    if (rest < bytes - kHeaderStartBytes)
      fail(at(kHeaderStartBytes + rest) + "truncated header (" + std::to_string(kHeaderStartBytes + rest) + " of " +
           std::to_string(bytes) +
           " bytes)");
  };
  if (info_.version == 1) {
    readRest(kV1HeaderBytes);
    // Version 1 frames have the picture's own size, whatever it is.
    const std::uint32_t w = getU32(head + kHeaderWidthAt), h = getU32(head + kHeaderHeightAt);
    if (w < 1 || h < 1 || w > static_cast<std::uint32_t>(kMaxSide) || h > static_cast<std::uint32_t>(kMaxSide) ||
        !sizeSupported(static_cast<int>(w), static_cast<int>(h)))
      fail(at(kHeaderWidthAt) + "impossible frame size " + std::to_string(w) + "x" + std::to_string(h));
    checkPixels(w, h);
    info_.width = info_.codedWidth = static_cast<int>(w);
    info_.height = info_.codedHeight = static_cast<int>(h);
    payloadBytes_ = kelvo4::payloadBytes(info_.codedWidth, info_.codedHeight);
    if (const int bad = getTable(head + kV1HeaderTableAt, v1Table_); bad >= 0)
      fail(at(kV1HeaderTableAt + 4 * bad) + notFinite(bad));
    offset_ = kV1HeaderBytes;
    if (fileBytes_ > 0) {
      const std::uint64_t frameBytes = kelvo4::payloadBytes(static_cast<int>(w), static_cast<int>(h));
      const std::uint64_t frames = (fileBytes_ - kV1HeaderBytes) / frameBytes;
      const std::uint64_t rest = (fileBytes_ - kV1HeaderBytes) % frameBytes;
      info_.frameCount = static_cast<long long>(frames);
      if (rest != 0)
        damage("truncated at byte " + std::to_string(fileBytes_) + ", frame " + std::to_string(frames) + ": " +
               std::to_string(rest) + " of " + std::to_string(frameBytes) + " bytes");
    }
    keys_ = {{0, kV1HeaderBytes}};
    return;
  }
  if (info_.version != 2 && info_.version != 3)
    fail(at(kHeaderVersionAt) + "unsupported format version " + std::to_string(info_.version));
  readRest(kHeaderBytes);
  const std::uint32_t w = getU32(head + kHeaderWidthAt), h = getU32(head + kHeaderHeightAt);
  const std::uint32_t cw = getU32(head + kHeaderCodedWidthAt), ch = getU32(head + kHeaderCodedHeightAt);
  if (w > static_cast<std::uint32_t>(kMaxSide) || h > static_cast<std::uint32_t>(kMaxSide) ||
      !validFrameSize(static_cast<int>(w), static_cast<int>(h)))
    fail(at(kHeaderWidthAt) + "impossible frame size " + std::to_string(w) + "x" + std::to_string(h) +
         ": each side 1 to 32768, and 3 x coded width x coded height below 2^31");
  checkPixels(w, h);
  info_.width = static_cast<int>(w);
  info_.height = static_cast<int>(h);
  info_.codedWidth = codedSide(info_.width);
  info_.codedHeight = codedSide(info_.height);
  if (cw != static_cast<std::uint32_t>(info_.codedWidth) || ch != static_cast<std::uint32_t>(info_.codedHeight))
    fail(at(kHeaderCodedWidthAt) + "coded size " + std::to_string(cw) + "x" + std::to_string(ch) + " does not fit the picture size " +
         std::to_string(w) + "x" + std::to_string(h));
  info_.rateNum = getU32(head + kHeaderRateNumAt);
  info_.rateDen = getU32(head + kHeaderRateDenAt);
  if ((info_.rateNum == 0) != (info_.rateDen == 0))
    fail(at(kHeaderRateNumAt) + "impossible frame rate " + std::to_string(info_.rateNum) + "/" + std::to_string(info_.rateDen));
  payloadBytes_ = kelvo4::payloadBytes(info_.codedWidth, info_.codedHeight);
  const std::uint32_t count = getU32(head + kHeaderFrameCountAt);
  const std::uint64_t indexAt = getU64(head + kHeaderIndexOffsetAt);
  offset_ = kHeaderBytes;
  if (count != kUnknownCount) info_.frameCount = count;
  if (!source_->seekable()) return;
  // A file: through its index, or, when the index is missing, damaged or does
  // not fit the header, by walking the records up to the first damage.
  std::string indexDamage;
  const bool cut = indexAt > fileBytes_ - kIndexHeadBytes;  // the file ends before its index
  try {
    // Every frame takes at least a record header.
    if (count != kUnknownCount && count > (fileBytes_ - kHeaderBytes) / kRecordBytes)
      fail(at(kHeaderFrameCountAt) + "claims " + std::to_string(count) + " frames in " + std::to_string(fileBytes_) + " bytes");
    if (indexAt != 0) return readIndex(indexAt);
  } catch (const StreamFailure& e) {
    if (e.code().value() != EBADMSG) throw;
    indexDamage = e.what();
    keys_.clear();
  }
  // The records are walked to the end of the file, not to where the header
  // places the index: an offset that is wrong must not cut the frames short.
  // They end at the index, or at the first damage.
  scan(fileBytes_, count, cut ? 0 : indexAt);
  // What the walk found comes first; a file cut before its index says so
  // already. Records that end cleanly elsewhere than where the header places
  // the index (before the end of the file, for an offset past it) show the
  // offset wrong, not the file cut.
  if (damage_.empty() && !indexDamage.empty() && indexAt >= kHeaderBytes && indexAt != end_ &&
      (!cut || end_ < fileBytes_))
    damage_ = at(kHeaderIndexOffsetAt) + "the header places the key frame index at byte " + std::to_string(indexAt) +
              (indexAt < end_ ? ", inside the frame records, which end at byte "
                              : ", but the frame records end at byte ") +
              std::to_string(end_);
  else if (damage_.empty())
    damage_ = indexDamage;
  else if (!indexDamage.empty() && !cut)
    damage_ += " (and " + indexDamage.substr(name_.size() + 2) + ")";
}

void StreamParser::readIndex(std::uint64_t indexAt) {
  const std::string bad = at(indexAt) + "bad key frame index: ";
  if (indexAt > fileBytes_ - kIndexHeadBytes)
    fail(name_ + ": truncated at byte " + std::to_string(fileBytes_) + ": the key frame index, which the header " +
         "places at byte " + std::to_string(indexAt) + ", is missing");
  if (indexAt < kHeaderBytes) fail(at(kHeaderIndexOffsetAt) + "index offset " + std::to_string(indexAt) + " inside the header");
  unsigned char head[kIndexHeadBytes];
  source_->seek(indexAt);
  if (!readBytes(head, kIndexHeadBytes)) fail(bad + "cannot read it");
  const std::uint32_t count = getU32(head + kIndexCountAt);
  if (std::memcmp(head, kIndexMagic, 4) != 0 || count == 0 ||
      count > (fileBytes_ - indexAt - kIndexHeadBytes) / kIndexEntryBytes ||
      (info_.frameCount >= 0 && count > static_cast<std::uint64_t>(info_.frameCount)))
    fail(bad + "no index there or a count of " + std::to_string(count));
  std::vector<unsigned char> entries(kIndexEntryBytes * static_cast<std::size_t>(count));
  if (!readBytes(entries.data(), entries.size())) fail(bad + "truncated");
  std::vector<KeyFrame> listed;
  for (std::uint32_t i = 0; i < count; ++i) {
    const unsigned char* e = &entries[kIndexEntryBytes * i];
    const KeyFrame key{getU32(e + kEntryFrameAt), getU64(e + kEntryOffsetAt)};
    const bool first = i == 0;
    if ((first && (key.frame != 0 || key.offset != kHeaderBytes)) ||
        (!first && (key.frame <= listed.back().frame || key.offset <= listed.back().offset)) ||
        key.offset >= indexAt || (info_.frameCount >= 0 && key.frame >= info_.frameCount))
      fail(bad + "entry " + std::to_string(i) + " (frame " + std::to_string(key.frame) + " at byte " +
           std::to_string(key.offset) + ") is out of order or beyond the frames");
    listed.push_back(key);
  }
  // An entry pairs a frame number with an offset, and only counting the
  // records before it shows that the two belong together. So the record
  // headers are walked, and the index must list the key frames the walk
  // finds. Beyond a malformed record, where the walk stops, the entries
  // still let the frames after it be reached, but only when the records
  // agree with every one of them: walked from an entry's offset, they reach
  // the next entry's offset (the last entry: the index) after exactly the
  // frames between the two. A record carries no frame number, so nothing
  // less tells frame 4's record from frame 8's, and the numbers beyond the
  // damage hang together only through that chain, anchored at the frame
  // count: one entry that fails leaves the others unanchored, and then none
  // beyond the damage is trusted.
  const Walk walked = walk(kHeaderBytes, 0, indexAt);
  for (std::size_t i = 0; i < listed.size(); ++i) {
    const KeyFrame& key = listed[i];
    const std::string entry = "entry " + std::to_string(i) + " (frame " + std::to_string(key.frame) + " at byte " +
                              std::to_string(key.offset) + ") ";
    if (key.offset < walked.end) {
      if (i < walked.keys.size() && key.frame == walked.keys[i].frame && key.offset == walked.keys[i].offset) continue;
      auto there = std::find_if(walked.keys.begin(), walked.keys.end(),
                                [&](const KeyFrame& k) { return k.offset == key.offset; });
      fail(bad + entry + (there == walked.keys.end() ? std::string("is no key frame's record")
                                                     : "is the record of frame " + std::to_string(there->frame)));
    }
    const bool last = i + 1 == listed.size();
    const std::uint64_t to = last ? indexAt : listed[i + 1].offset;
    const long long want = (last ? info_.frameCount : listed[i + 1].frame) - key.frame;
    const Walk w = walk(key.offset, key.frame, to);
    std::string wrong;
    if (w.keys.empty() || w.keys.front().offset != key.offset)
      wrong = "is no key frame's record";
    else if (!w.damage.empty())
      wrong = "disagrees with the records: walked from there, they are damaged (" + w.damage.substr(name_.size() + 2) + ")";
    else if (info_.frameCount >= 0 && w.frames - key.frame != want)
      wrong = "disagrees with the records: walked from there, they reach byte " + std::to_string(to) +
              (last ? " (the index)" : " (entry " + std::to_string(i + 1) + ")") + " after " +
              std::to_string(w.frames - key.frame) + " frames, not " + std::to_string(want);
    else if (key.frame <= walked.frames)
      wrong = "disagrees with the records: they hold " + std::to_string(walked.frames) +
              " frames before the malformed record, so it cannot be frame " + std::to_string(key.frame);
    // The file is then read as if it had no index.
    if (!wrong.empty()) fail(bad + entry + wrong);
  }
  if (walked.damage.empty() && listed.size() < walked.keys.size())
    fail(bad + "it lists " + std::to_string(listed.size()) + " of the " + std::to_string(walked.keys.size()) +
         " key frames");
  keys_ = std::move(listed);
  end_ = indexAt;
  if (info_.frameCount < 0) {
    keys_.clear();
    scan(indexAt, kUnknownCount, 0);
  }
  source_->seek(kHeaderBytes);
}

// Walks the record headers from the record of `frame` at `from` up to
// `limit` (where the index is, or the end of the file), skipping tables and
// payloads. The first record that is cut short or malformed ends the intact
// frames.
StreamParser::Walk StreamParser::walk(std::uint64_t from, long long frame, std::uint64_t limit) const {
  Walk w;
  std::uint64_t pos = from;
  while (pos < limit) {
    unsigned char record[kRecordBytes];
    source_->seek(pos);
    const std::size_t got = source_->read(record, std::min<std::uint64_t>(kRecordBytes, limit - pos));
    if (got >= 4 && std::memcmp(record, kIndexMagic, 4) == 0 && limit == fileBytes_) break;  // a piped stream's index
    if (got < kRecordBytes) {
      w.damage = truncated(frame, pos, got, kRecordBytes);
      break;
    }
    if (const std::string wrong = checkRecord(record, frame); !wrong.empty()) {
      w.damage = at(frame, pos) + wrong;
      break;
    }
    const std::uint64_t size = recordBytes(record[0] & kTableFlag, getU32(record + kRecordStoredAt));
    if (size > limit - pos) {
      w.damage = truncated(frame, pos, limit - pos, size);
      break;
    }
    if (record[0] & kKeyFlag) w.keys.push_back({frame, pos});
    pos += size;
    ++frame;
  }
  source_->seek(kHeaderBytes);
  w.frames = frame;
  w.end = pos;
  return w;
}

// The key frames and the number of intact frames of a file written without an
// index (to a pipe) or damaged, by walking its records; the damage the walk
// stops at is what a read there reports. A walk that stops at indexAt (where
// the header places the index, 0: nowhere) has reached the end of the frames.
void StreamParser::scan(std::uint64_t limit, std::uint32_t count, std::uint64_t indexAt) {
  Walk w = walk(kHeaderBytes, 0, limit);
  if (w.end == indexAt) w.damage.clear();
  keys_ = std::move(w.keys);
  if (!w.damage.empty()) damage(std::move(w.damage));
  if (damage_.empty() && count != kUnknownCount && count != w.frames)
    damage(at(w.frames, w.end) + "the stream ends after " + std::to_string(w.frames) + " of the " +
           std::to_string(count) + " frames its header gives");
  info_.frameCount = w.frames;
  end_ = w.end;
}

std::string StreamParser::truncated(long long frame, std::uint64_t offset, std::uint64_t have,
                                    std::uint64_t need) const {
  return name_ + ": truncated at byte " + std::to_string(offset + have) + ", frame " + std::to_string(frame) + ": " +
         std::to_string(have) + " of " + std::to_string(need) + " bytes";
}

void StreamParser::damage(std::string message) {
  damage_ = message.starts_with(name_ + ": ") ? std::move(message) : name_ + ": " + message;
}

// Why a record header cannot be that of frame `frame`, or "".
std::string StreamParser::checkRecord(const unsigned char* record, long long frame) const {
  const unsigned flags = record[0];
  const std::uint32_t stored = getU32(record + kRecordStoredAt);
  const unsigned known = info_.version == 2 ? 7 : 15;
  if ((flags & ~known) || (flags & kCompressedFlag && flags & kCodedFlag) || record[1] || record[2] || record[3])
    return "not a frame record";
  if (frame == 0 && !(flags & kKeyFlag)) return "the first frame is not a key frame";
  if ((flags & kKeyFlag) && !(flags & kTableFlag)) return "a key frame without a table";
  const bool compressed = flags & (kCompressedFlag | kCodedFlag);
  if ((!compressed && stored != payloadBytes_) || (compressed && (stored == 0 || stored >= payloadBytes_)))
    return "stored size " + std::to_string(stored) + " does not fit a payload of " + std::to_string(payloadBytes_) +
           " bytes";
  if ((flags & kCompressedFlag) && payloadBytes_ > kMaxExpansion * stored + (std::size_t{1} << 17))
    return "corrupt compressed payload: " + std::to_string(stored) + " bytes cannot hold " +
           std::to_string(payloadBytes_);
  return "";
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
  v1First_ = -1;
}

bool StreamParser::readRecord(Record& r) {
  const long long frame = next_;
  r.frame = frame;
  r.offset = offset_;
  if (info_.version == 1) {
    unsigned char probe;
    if (source_->seekable() && frame >= info_.frameCount) return endOfFrames(frame);
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
  if (got < kRecordBytes) fail(truncated(frame, offset_, got, kRecordBytes));
  // Without an index in the header (a stream written to a pipe) the index
  // still follows the frames; the frames end there, also for a later call.
  if (std::memcmp(record, kIndexMagic, 4) == 0) {
    end_ = offset_;
    return endOfFrames(frame);
  }
  const unsigned flags = record[0];
  const std::uint32_t stored = getU32(record + kRecordStoredAt);
  if (const std::string wrong = checkRecord(record, frame); !wrong.empty()) fail(at(frame, offset_) + wrong);
  if (info_.frameCount >= 0 && frame >= info_.frameCount)
    fail(at(frame, offset_) + "more frames than the " + std::to_string(info_.frameCount) + " the header gives");
  const bool compressed = flags & kCompressedFlag;
  const std::uint64_t need = recordBytes(flags & kTableFlag, stored);
  const std::uint64_t limit = end_ != 0 ? end_ : fileBytes_;
  if (limit > 0 && need > limit - offset_)
    fail(at(frame, offset_) + "the record needs " + std::to_string(need) + " bytes, " +
         std::to_string(limit - offset_) + " are left");
  r.key = flags & kKeyFlag;
  r.hasTable = flags & kTableFlag;
  r.compressed = compressed;
  r.coded = flags & kCodedFlag;
  r.stored = stored;
  if (r.hasTable) {
    unsigned char table[kTableBytes];
    if (const std::size_t have = source_->read(table, kTableBytes); have < kTableBytes)
      fail(truncated(frame, offset_, kRecordBytes + have, need));
    if (const int bad = getTable(table, r.table); bad >= 0) fail(at(frame, offset_) + notFinite(bad));
  }
  // A read function shows the key frames as they come.
  if (r.key && !source_->seekable() && (keys_.empty() || keys_.back().frame < frame)) keys_.push_back({frame, offset_});
  return true;
}

void StreamParser::readStored(const Record& r, std::vector<signed char>& out) {
  const std::size_t count = r.stored;
  const std::size_t head = info_.version == 1 ? 0 : recordHeadBytes(r.hasTable);  // before the payload
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
    if (have < size) fail(truncated(r.frame, r.offset, head + have, head + count));
  }
  out.resize(count);
  offset_ = r.offset + head + count;
  next_ = r.frame + 1;
}

bool StreamParser::endOfFrames(long long frame) {
  if (!damage_.empty()) throw StreamFailure(EBADMSG, damage_);
  if (info_.frameCount >= 0 && frame != info_.frameCount)
    fail(at(frame, offset_) + "the stream ends after " + std::to_string(frame) + " of " +
         std::to_string(info_.frameCount) + " frames");
  if (!source_->seekable()) info_.frameCount = frame;
  return false;
}

}  // namespace kelvo4
