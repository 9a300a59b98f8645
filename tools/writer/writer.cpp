#include "tools/writer/writer.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>

namespace kelvo4 {

StreamWriter::StreamWriter(const std::string& path, const StreamInfo& info, int level)
    : path_(path), level_(level), info_(info) {
  if (!validFrameSize(info.width, info.height))
    throw StreamError(EINVAL, path + ": impossible frame size " + std::to_string(info.width) + "x" +
                      std::to_string(info.height));
  if ((info.rateNum == 0) != (info.rateDen == 0))
    throw StreamError(EINVAL, path + ": impossible frame rate " + std::to_string(info.rateNum) + "/" +
                      std::to_string(info.rateDen));
  info_.codedWidth = codedSide(info.width);
  info_.codedHeight = codedSide(info.height);
  info_.frameCount = 0;
  info_.version = kStreamVersion;
  out_ = std::make_unique<OutputFile>(path);
  unsigned char head[kHeaderBytes] = {};
  std::memcpy(head, kStreamMagic, 4);
  putU32(head + kHeaderVersionAt, kStreamVersion);
  putU32(head + kHeaderWidthAt, static_cast<std::uint32_t>(info_.width));
  putU32(head + kHeaderHeightAt, static_cast<std::uint32_t>(info_.height));
  putU32(head + kHeaderCodedWidthAt, static_cast<std::uint32_t>(info_.codedWidth));
  putU32(head + kHeaderCodedHeightAt, static_cast<std::uint32_t>(info_.codedHeight));
  putU32(head + kHeaderRateNumAt, info_.rateNum);
  putU32(head + kHeaderRateDenAt, info_.rateDen);
  putU32(head + kHeaderFrameCountAt, kUnknownCount);
  out_->write(head, sizeof head);
  offset_ = kHeaderBytes;
  if (level_ > 0) coder_ = std::make_unique<CoefficientEncoder>(info_.codedWidth, info_.codedHeight);
}

StreamWriter::~StreamWriter() = default;

void StreamWriter::writeFrame(const signed char* payload, bool key, const float* table, const std::uint8_t* marks) {
  if (!out_) throw StreamError(EIO, path_ + ": stream already closed");
  if (info_.frameCount == 0 && (!key || !table))
    throw StreamError(EINVAL, path_ + ": the first frame must be a key frame with a table");
  if (table)
    std::copy(table, table + 64, table_);
  else if (key)
    table = table_;
  const std::size_t raw = payloadBytes(info_.codedWidth, info_.codedHeight);
  const void* stored = payload;
  std::size_t storedBytes = raw;
  unsigned flags = (key ? kKeyFlag : 0) | (table ? kTableFlag : 0);
  bool coded = false;
  if (coder_) {
    coder_->encode(payload, key, packed_, marks);
    coded = packed_.size() < raw;
  }
  if (coded) {
    stored = packed_.data();
    storedBytes = packed_.size();
    flags |= kCodedFlag;
    coder_->commit();
  } else if (coder_) {
    coder_->storedRaw(payload, key);
  }
  unsigned char record[recordHeadBytes(true)] = {};
  record[0] = static_cast<unsigned char>(flags);
  putU32(record + kRecordStoredAt, static_cast<std::uint32_t>(storedBytes));
  const std::size_t head = recordHeadBytes(table != nullptr);
  if (table) putTable(record + kRecordBytes, table);
  out_->write(record, head);
  out_->write(stored, storedBytes);
  if (key) keys_.push_back({info_.frameCount, offset_});
  offset_ += recordBytes(table != nullptr, storedBytes);
  ++info_.frameCount;
}

void StreamWriter::close() {
  if (!out_) return;
  std::vector<unsigned char> index(kIndexHeadBytes + kIndexEntryBytes * keys_.size());
  std::memcpy(index.data(), kIndexMagic, 4);
  putU32(index.data() + kIndexCountAt, static_cast<std::uint32_t>(keys_.size()));
  for (std::size_t i = 0; i < keys_.size(); ++i) {
    unsigned char* entry = index.data() + kIndexHeadBytes + kIndexEntryBytes * i;
    putU32(entry + kEntryFrameAt, static_cast<std::uint32_t>(keys_[i].frame));
    putU64(entry + kEntryOffsetAt, keys_[i].offset);
  }
  out_->write(index.data(), index.size());
  // Where the output can seek (a file, also as standard output), the header
  // learns the count and where the index is; a pipe leaves them unknown.
  std::FILE* f = out_->get();
  if (out_->start() >= 0) {
    // The frame count, and the index offset right after it.
    unsigned char patch[kHeaderIndexOffsetAt + 8 - kHeaderFrameCountAt];
    putU32(patch, static_cast<std::uint32_t>(info_.frameCount));
    putU64(patch + (kHeaderIndexOffsetAt - kHeaderFrameCountAt), offset_);
    if (!os::seek(f, out_->start() + kHeaderFrameCountAt, SEEK_SET)) out_->failed();
    out_->write(patch, sizeof patch);
    if (!os::seek(f, 0, SEEK_END)) out_->failed();
  }
  out_->commit();
  out_.reset();
  bytes_ = offset_ + index.size();
}

void StreamWriter::abandon() { out_.reset(); }

}  // namespace kelvo4
