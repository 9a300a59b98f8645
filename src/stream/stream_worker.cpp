#include "src/stream/stream_worker.h"

#include <cerrno>
#include <cxxabi.h>

namespace kelvo4 {

StreamWorker::StreamWorker(FrameSlots& slots, StreamParser& parser)
    : slots_(slots), parser_(parser), thread_([this] { run(); }) {}

StreamWorker::~StreamWorker() {
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
  }
  wake_.notify_one();
  thread_.join();
}

void StreamWorker::run() {
  std::unique_lock lock(mutex_);
  for (;;) {
    wake_.wait(lock, [&] { return stop_ || job_ != nullptr; });
    if (stop_) return;
    Slot* s = job_;
    lock.unlock();
    try {
      slots_.fill(parser_, *s);
    } catch (abi::__forced_unwind&) {
      throw;
    } catch (...) {
      // Only building fill's message can get here (std::bad_alloc).
      s->code = -ENOMEM;
      s->message.clear();
    }
    // The caller may be decoding the frame before it meanwhile.
    help();
    lock.lock();
    job_ = nullptr;
    done_.notify_one();
  }
}

void StreamWorker::help() {
  void (*take)(void*, int);
  void* frame;
  {
    std::lock_guard lock(helpMutex_);
    if (frame_ == nullptr) return;
    take = takeBands_;
    frame = frame_;
    helping_ = true;
  }
  take(frame, 0);
  std::lock_guard lock(helpMutex_);
  helping_ = false;
  helpDone_.notify_one();
}

void StreamWorker::frameStarted(void (*takeBands)(void* frame, int helper), void* frame) {
  std::lock_guard lock(helpMutex_);
  takeBands_ = takeBands;
  frame_ = frame;
}

void StreamWorker::frameDone() {
  std::unique_lock lock(helpMutex_);
  frame_ = nullptr;
  helpDone_.wait(lock, [this] { return !helping_; });
}

void StreamWorker::post(Slot& s) {
  s.state = Slot::kFetching;
  {
    std::lock_guard lock(mutex_);
    job_ = &s;
  }
  wake_.notify_one();
}

void StreamWorker::wait() const {
  std::unique_lock lock(mutex_);
  done_.wait(lock, [&] { return job_ == nullptr; });
}

}  // namespace kelvo4
