#include "src/stream/stream_worker.h"

#include <cerrno>
#include <cxxabi.h>

#include "src/decoder/handle.h"

namespace kelvo4 {

StreamWorker::StreamWorker(FrameSlots& slots, StreamParser& parser, const std::atomic<kelvo4_decoder*>& decoder)
    : slots_(slots), parser_(parser), decoder_(decoder), thread_([this] { run(); }) {}

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
    if (kelvo4_decoder* d = decoder_.load(std::memory_order_acquire)) helpDecode(d, 0);
    lock.lock();
    job_ = nullptr;
    done_.notify_one();
  }
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
