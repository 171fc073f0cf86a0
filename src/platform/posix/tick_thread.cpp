#include "platform/posix/tick_thread.h"

#include <signal.h>

#include <system_error>

namespace platform::posix_impl {

bool TickThread::start(pthread_t waiter, std::chrono::milliseconds interval) {
  sigset_t all, mine;
  sigfillset(&all);
  ::pthread_sigmask(SIG_SETMASK, &all, &mine);
  try {
    ticker_ = std::thread([this, waiter, interval] {
      std::unique_lock lock(mutex_);
      while (!stop_.wait_for(lock, interval, [this] { return stopping_; })) {
        ::pthread_kill(waiter, SIGCHLD);
      }
    });
  } catch (const std::system_error&) {
  }
  ::pthread_sigmask(SIG_SETMASK, &mine, nullptr);
  return ticker_.joinable();
}

void TickThread::stop() {
  if (!ticker_.joinable()) {
    return;
  }
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  stop_.notify_one();
  ticker_.join();
}

}  // namespace platform::posix_impl
