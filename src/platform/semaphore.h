#pragma once

#include <chrono>
#include <memory>
#include <semaphore>

namespace platform {

// A counting semaphore waited on with a deadline on the monotonic clock. Shared by pointer so
// that a signal arriving after the waiter has given up still finds it alive.
class Semaphore {
 public:
  explicit Semaphore(std::ptrdiff_t initial) : count_(initial) {}
  void signal() { count_.release(); }
  // True when signalled before `deadline`.
  bool waitUntil(std::chrono::steady_clock::time_point deadline) {
    return count_.try_acquire_until(deadline);
  }

 private:
  std::counting_semaphore<> count_;
};

inline std::shared_ptr<Semaphore> makeSemaphore(std::ptrdiff_t initial) {
  return std::make_shared<Semaphore>(initial);
}

}  // namespace platform
