#pragma once

#include <pthread.h>

#include <chrono>
#include <memory>

namespace platform::posix_impl {

// Interrupts the waiting thread with SIGCHLD at a steady interval until stopped: what bounds a
// wait that is otherwise woken only by signals. Per system: a timer of the kernel's where there
// is one, so that no thread has to be made (a limit on processes counts threads too), else a
// thread (tick_thread.h).
class Tick {
 public:
  Tick();
  ~Tick();  // stops it
  Tick(const Tick&) = delete;
  Tick& operator=(const Tick&) = delete;

  // Starts interrupting `waiter`, the calling thread; false when the system gives no way to.
  bool start(pthread_t waiter, std::chrono::milliseconds interval);
  void stop();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace platform::posix_impl
