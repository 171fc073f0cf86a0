#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <memory>

#if defined(__APPLE__)
#include <dispatch/dispatch.h>
#else
#include <semaphore>
#endif

namespace platform {

// A counting semaphore waited on with a deadline on the monotonic clock. Shared by pointer so
// that a signal arriving after the waiter has given up still finds it alive.
#if defined(__APPLE__)
// On macOS, libdispatch's, whose clock (DISPATCH_TIME_NOW) is the monotonic one steady_clock
// reads there too.
class Semaphore {
 public:
  explicit Semaphore(std::ptrdiff_t initial)
      : semaphore_(dispatch_semaphore_create(static_cast<long>(initial))) {}
  Semaphore(const Semaphore&) = delete;
  Semaphore& operator=(const Semaphore&) = delete;
  ~Semaphore() {
    if (semaphore_) {
      dispatch_release(semaphore_);
    }
  }
  void signal() {
    if (semaphore_) {
      dispatch_semaphore_signal(semaphore_);
    }
  }
  // True when it was signalled; never waits.
  bool tryWait() {
    return semaphore_ && dispatch_semaphore_wait(semaphore_, DISPATCH_TIME_NOW) == 0;
  }
  // True when signalled before `deadline`.
  bool waitUntil(std::chrono::steady_clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(
        deadline - std::chrono::steady_clock::now());
    auto wait = std::max<std::int64_t>(left.count(), 0);
    return semaphore_ &&
           dispatch_semaphore_wait(semaphore_, dispatch_time(DISPATCH_TIME_NOW, wait)) == 0;
  }

 private:
  dispatch_semaphore_t semaphore_;
};
#else
class Semaphore {
 public:
  explicit Semaphore(std::ptrdiff_t initial) : count_(initial) {}
  void signal() { count_.release(); }
  // True when it was signalled; never waits.
  bool tryWait() { return count_.try_acquire(); }
  // True when signalled before `deadline`.
  bool waitUntil(std::chrono::steady_clock::time_point deadline) {
    return count_.try_acquire_until(deadline);
  }

 private:
  std::counting_semaphore<> count_;
};
#endif

inline std::shared_ptr<Semaphore> makeSemaphore(std::ptrdiff_t initial) {
  return std::make_shared<Semaphore>(initial);
}

}  // namespace platform
