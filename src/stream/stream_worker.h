// The read-ahead worker of a kelvo4_stream with more than one thread: it
// fills the slot after the one being decoded, then helps decode that frame
// (so N threads are N threads' work: the decoder has N - 1 of its own).
#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "kelvo4/decoder.h"
#include "src/stream/reader.h"
#include "src/stream/stream_slots.h"

namespace kelvo4 {

class StreamWorker {
 public:
  // Starts the thread (throws std::system_error when it cannot), which fills
  // slots through parser, and helps the decoder in `decoder` once the caller
  // has made it. All three outlive the worker.
  StreamWorker(FrameSlots& slots, StreamParser& parser, const std::atomic<kelvo4_decoder*>& decoder);
  // Stops and joins the thread, after the fill under way.
  ~StreamWorker();
  StreamWorker(const StreamWorker&) = delete;
  StreamWorker& operator=(const StreamWorker&) = delete;

  // Has s filled, marked as being fetched (the worker is idle).
  void post(Slot& s);
  // Waits until the worker is idle: the slot it filled is then ready, and
  // what the parser has learnt (key frames, the frame count, damage), which
  // its reading adds to, holds still.
  void wait() const;

 private:
  void run();

  FrameSlots& slots_;
  StreamParser& parser_;
  const std::atomic<kelvo4_decoder*>& decoder_;
  mutable std::mutex mutex_;
  mutable std::condition_variable wake_, done_;
  Slot* job_ = nullptr;  // guarded by mutex_
  bool stop_ = false;    // the same
  std::thread thread_;   // last: it starts once the rest is made
};

}  // namespace kelvo4
