// Internal: threads started once that run one job at a time together with
// the caller, for decoder handles and the encoder.
#pragma once

#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace kelvo4 {

// Threads started once, that run one job per frame together with the caller.
class WorkerPool {
 public:
  using Job = void (*)(void* context, int worker);

  // Starts count - 1 threads; throws std::system_error or std::bad_alloc.
  explicit WorkerPool(int count) {
    threads_.reserve(static_cast<std::size_t>(count - 1));
    try {
      for (int i = 1; i < count; ++i) threads_.emplace_back([this, i] { serve(i); });
    } catch (...) {
      stop();
      throw;
    }
  }
  ~WorkerPool() { stop(); }

  // Runs job(context, i) for every worker i, the caller being worker 0, and
  // returns when all have finished. Allocates nothing.
  void run(Job job, void* context) {
    if (threads_.empty()) return job(context, 0);
    {
      std::lock_guard lock(mutex_);
      job_ = job;
      context_ = context;
      busy_ = static_cast<int>(threads_.size());
      ++generation_;
    }
    wake_.notify_all();
    job(context, 0);
    std::unique_lock lock(mutex_);
    done_.wait(lock, [this] { return busy_ == 0; });
  }

 private:
  void serve(int worker) {
    std::unique_lock lock(mutex_);
    unsigned seen = 0;  // the generation before the first job
    for (;;) {
      wake_.wait(lock, [&] { return stopping_ || generation_ != seen; });
      if (stopping_) return;
      seen = generation_;
      const Job job = job_;
      void* const context = context_;
      lock.unlock();
      job(context, worker);
      lock.lock();
      if (--busy_ == 0) done_.notify_one();
    }
  }

  void stop() {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    wake_.notify_all();
    for (std::thread& t : threads_) t.join();
    threads_.clear();
  }

  std::mutex mutex_;
  std::condition_variable wake_, done_;
  Job job_ = nullptr;
  void* context_ = nullptr;
  int busy_ = 0;
  unsigned generation_ = 0;
  bool stopping_ = false;
  std::vector<std::thread> threads_;
};

}  // namespace kelvo4
