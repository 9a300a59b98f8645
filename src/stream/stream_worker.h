// The read-ahead worker of a kelvo4_stream with more than one thread: it
// fills the slot after the one being decoded, then helps decode that frame
// (so N threads are N threads' work: the decoder has N - 1 of its own).
#pragma once

#include <condition_variable>
#include <mutex>
#include <thread>

#include "src/decoder/handle.h"
#include "src/stream/reader.h"
#include "src/stream/stream_slots.h"

namespace kelvo4 {

// The decoder it helps is opened with it as its one helper (openDecoder).
class StreamWorker final : public FrameHelpers {
 public:
  // Starts the thread (throws std::system_error when it cannot), which fills
  // slots through parser. Both outlive the worker.
  StreamWorker(FrameSlots& slots, StreamParser& parser);
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

  void frameStarted(void (*takeBands)(void* frame, int helper), void* frame) override;
  void frameDone() override;

 private:
  void run();
  // Takes bands of the frame being decoded, if any, until none is left.
  void help();

  FrameSlots& slots_;
  StreamParser& parser_;
  mutable std::mutex mutex_;
  mutable std::condition_variable wake_, done_;
  Slot* job_ = nullptr;  // guarded by mutex_
  bool stop_ = false;    // the same
  // The frame being decoded while it is, and whether the thread is in it.
  std::mutex helpMutex_;
  std::condition_variable helpDone_;
  void (*takeBands_)(void*, int) = nullptr;  // guarded by helpMutex_
  void* frame_ = nullptr;                    // the same
  bool helping_ = false;                     // the same
  std::thread thread_;   // last: it starts once the rest is made
};

}  // namespace kelvo4
