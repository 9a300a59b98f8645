// The two slots frames pass through on their way from the stream to the
// decoder, and what fills one: the record and stored bytes read through the
// parser, a compressed payload decompressed, a coded one decoded by the
// coefficient decoder.
//
// With read ahead, the slot at the head holds the frame that kelvo4_stream
// returns next while the worker fills the other one. Slot states are only
// looked at and changed on the caller's thread; a slot's contents are written
// by whichever thread fills it, never by two at once.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "src/stream/reader.h"

typedef struct ZSTD_DCtx_s ZSTD_DCtx;

namespace kelvo4 {

class CoefficientDecoder;
struct CoefficientError;

// What an exception of any type says, inside a catch (...).
std::string thrown();

// One frame on its way: its record, stored bytes and payload, or what went
// wrong while fetching it.
struct Slot {
  enum State { kEmpty, kFetching, kReady } state = kEmpty;
  Record record;
  bool end = false;  // the stream ended here
  std::vector<signed char> packed, payload;
  int code = 0;  // a negative errno value when fetching failed
  std::string message;
};

class FrameSlots {
 public:
  // alternate: frames take turns in the two slots (read ahead); else the head
  // slot holds every frame. Throws std::bad_alloc.
  explicit FrameSlots(bool alternate);
  ~FrameSlots();
  FrameSlots(const FrameSlots&) = delete;
  FrameSlots& operator=(const FrameSlots&) = delete;

  Slot& head() { return slots_[head_]; }
  // The slot after the head, when frames take turns.
  Slot& next() { return slots_[head_ ^ 1]; }
  // The head's frame is done: the next slot becomes the head.
  void advance() {
    if (alternate_) head_ ^= 1;
  }
  // A slot being fetched is ready (the worker is idle).
  void settle();
  // Both slots empty, the first the head (before reading from a seek).
  void clear();

  // Reads the next record through parser into s and makes its payload; a
  // failure is kept in the slot, to be reported when its frame is asked for,
  // so every frame before it still plays. Used by one thread at a time, like
  // the parser. Throws only std::bad_alloc (building a message).
  void fill(StreamParser& parser, Slot& s);

 private:
  void decompress(const StreamParser& parser, Slot& s);
  void decode(const StreamParser& parser, Slot& s);
  // The failure of a coded frame that did not decode.
  static StreamFailure corrupt(const StreamParser& parser, const Slot& s, const CoefficientError& error);

  bool alternate_;
  ZSTD_DCtx* zstd_ = nullptr;
  std::unique_ptr<CoefficientDecoder> coder_;  // made with the first version 3 frame
  Slot slots_[2];
  int head_ = 0;
};

}  // namespace kelvo4
