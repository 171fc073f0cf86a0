#pragma once

#include <pthread.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace platform::posix_impl {

// A tick sent by a thread of its own, which takes none of the process's signals: where the
// system has no timer that signals one thread, or gives none.
class TickThread {
 public:
  ~TickThread() { stop(); }
  // False when no thread can be made.
  bool start(pthread_t waiter, std::chrono::milliseconds interval);
  void stop();

 private:
  std::thread ticker_;
  std::mutex mutex_;
  std::condition_variable stop_;
  bool stopping_ = false;
};

}  // namespace platform::posix_impl
