#include "src/stream/stream_slots.h"

#include <zstd.h>

#include <cerrno>
#include <cxxabi.h>
#include <new>

#include "src/stream/coefficient_decoder.h"

namespace kelvo4 {

std::string thrown() {
  try {
    throw;
  } catch (const std::exception& e) {
    return std::string("an exception was thrown: ") + e.what();
  } catch (...) {
    return "an exception of unknown type was thrown";
  }
}

FrameSlots::FrameSlots(bool alternate) : alternate_(alternate), zstd_(ZSTD_createDCtx()) {
  if (zstd_ == nullptr) throw std::bad_alloc();
}

FrameSlots::~FrameSlots() { ZSTD_freeDCtx(zstd_); }

void FrameSlots::settle() {
  for (Slot& s : slots_)
    if (s.state == Slot::kFetching) s.state = Slot::kReady;
}

void FrameSlots::clear() {
  for (Slot& s : slots_) s.state = Slot::kEmpty;
  head_ = 0;
}

void FrameSlots::fill(StreamParser& parser, Slot& s) {
  try {
    s.code = 0;
    s.end = !parser.readRecord(s.record);
    if (s.end) return;
    const bool packed = s.record.compressed || s.record.coded;
    parser.readStored(s.record, packed ? s.packed : s.payload);
    if (s.record.compressed) decompress(parser, s);
    if (parser.info().version < 3) return;
    // A coded frame is checked before anything is allocated for decoding it:
    // a stream whose header claims a large picture costs no more than its
    // bytes until a frame of that size arrives.
    CoefficientError error;
    if (s.record.coded && !CoefficientDecoder::check(reinterpret_cast<const unsigned char*>(s.packed.data()),
                                                     s.record.stored, error))
      throw corrupt(parser, s, error);
    if (!coder_) coder_ = std::make_unique<CoefficientDecoder>(parser.info().codedWidth, parser.info().codedHeight);
    if (s.record.coded)
      decode(parser, s);
    else
      coder_->storedRaw(s.payload.data(), s.record.key);
  } catch (const StreamFailure& e) {
    s.code = -e.code().value();
    s.message = e.what();
  } catch (const std::bad_alloc&) {
    s.code = -ENOMEM;
    s.message = parser.name() + ": out of memory at frame " + std::to_string(s.record.frame) + " for its " +
                std::to_string(parser.payloadBytes()) + "-byte payload";
  } catch (abi::__forced_unwind&) {
    throw;  // the thread is being cancelled
  } catch (...) {
    // Only a read function can throw anything else (C++ code behind the C
    // API): it must not end the process, least of all on the worker.
    s.code = -EIO;
    s.message = parser.name() + ": " + thrown();
  }
}

void FrameSlots::decompress(const StreamParser& parser, Slot& s) {
  const std::size_t raw = parser.payloadBytes(), stored = s.record.stored;
  const std::string where = parser.at(s.record.frame, s.record.offset);
  const unsigned long long content = ZSTD_getFrameContentSize(s.packed.data(), stored);
  if (content != raw || ZSTD_findFrameCompressedSize(s.packed.data(), stored) != stored)
    throw StreamFailure(EBADMSG, where + "corrupt compressed payload");
  s.payload.resize(raw);
  const std::size_t made = ZSTD_decompressDCtx(zstd_, s.payload.data(), raw, s.packed.data(), stored);
  if (ZSTD_isError(made) || made != raw)
    throw StreamFailure(EBADMSG, where + "corrupt compressed payload" +
                                   (ZSTD_isError(made) ? std::string(": ") + ZSTD_getErrorName(made) : ""));
}

void FrameSlots::decode(const StreamParser& parser, Slot& s) {
  s.payload.resize(parser.payloadBytes());
  // The frame before is in the other slot when frames take turns, else
  // still in this one (a key frame needs none).
  const Slot& before = alternate_ ? slots_[&s == &slots_[0] ? 1 : 0] : s;
  if (before.payload.size() != s.payload.size() && !s.record.key)
    throw StreamFailure(EBADMSG, parser.at(s.record.frame, s.record.offset) + "no frame before this one");
  CoefficientError error;
  if (!coder_->decodeChecked(reinterpret_cast<const unsigned char*>(s.packed.data()), s.record.stored, s.record.key,
                             before.payload.data(), s.payload.data(), error))
    throw corrupt(parser, s, error);
}

StreamFailure FrameSlots::corrupt(const StreamParser& parser, const Slot& s, const CoefficientError& error) {
  // The coded frame follows the record's head and table.
  const std::uint64_t at = s.record.offset + recordHeadBytes(s.record.hasTable) + error.offset;
  return StreamFailure(EBADMSG, parser.at(s.record.frame, at) + "corrupt coded payload: " + error.reason);
}

}  // namespace kelvo4
