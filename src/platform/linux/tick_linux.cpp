// A timer of the kernel's, whose every expiry sends SIGCHLD to the waiting thread alone: no thread
// is made, so a limit on the user's processes (which counts threads) can't stop the wait. Where
// the kernel gives no timer (a limit on pending signals of 0 refuses one), a thread does it.
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include "platform/linux/system_calls.h"
#include "platform/posix/tick.h"
#include "platform/posix/tick_thread.h"

namespace platform::posix_impl {
namespace {

timespec timespecOf(std::chrono::milliseconds interval) {
  auto nanoseconds = std::chrono::nanoseconds(interval).count();
  return timespec{static_cast<time_t>(nanoseconds / 1000000000),
                  static_cast<long>(nanoseconds % 1000000000)};
}

}  // namespace

struct Tick::State {
  int timer = 0;
  bool timerMade = false;
  TickThread thread;

  bool startTimer(std::chrono::milliseconds interval) {
    sigevent event{};
    event.sigev_notify = SIGEV_THREAD_ID;
    event.sigev_signo = SIGCHLD;
    event._sigev_un._tid = linux_impl::currentThread();
    if (linux_impl::timerCreate(CLOCK_MONOTONIC, &event, &timer) != 0) {
      return false;
    }
    timerMade = true;
    itimerspec every{timespecOf(interval), timespecOf(interval)};
    if (linux_impl::timerSetTime(timer, &every) != 0) {
      stopTimer();
      return false;
    }
    return true;
  }

  void stopTimer() {
    if (timerMade) {
      linux_impl::timerDelete(timer);
      timerMade = false;
    }
  }
};

Tick::Tick() : state_(std::make_unique<State>()) {}

Tick::~Tick() {
  stop();
}

bool Tick::start(pthread_t waiter, std::chrono::milliseconds interval) {
  return state_->startTimer(interval) || state_->thread.start(waiter, interval);
}

void Tick::stop() {
  state_->stopTimer();
  state_->thread.stop();
}

}  // namespace platform::posix_impl
