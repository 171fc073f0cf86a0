#include "platform/posix/run_signals.h"

#include <unistd.h>

namespace platform::posix_impl {
namespace {

constexpr int terminationSignals[] = {SIGTERM, SIGINT, SIGHUP};

// What the handler records: all it may touch are these.
volatile sig_atomic_t woken = 0;
volatile sig_atomic_t terminatedBy = 0;

extern "C" void noteSignal(int signal) {
  if (signal != SIGCHLD && terminatedBy == 0) {
    terminatedBy = signal;
  }
  woken = 1;
}

bool isIgnored(int signal) {
  struct sigaction current {};
  return ::sigaction(signal, nullptr, &current) == 0 && current.sa_handler == SIG_IGN;
}

}  // namespace

RunSignals::RunSignals() : waiter_(::pthread_self()) {
  woken = 0;
  terminatedBy = 0;
  ::pthread_sigmask(SIG_SETMASK, nullptr, &previousMask_);
  sigemptyset(&wakeSignals_);
  sigaddset(&wakeSignals_, SIGCHLD);
  for (int signal : terminationSignals) {
    if (!isIgnored(signal) && !sigismember(&previousMask_, signal)) {
      sigaddset(&wakeSignals_, signal);
    }
  }
  struct sigaction note {};
  note.sa_handler = noteSignal;
  note.sa_mask = wakeSignals_;
  note.sa_flags = 0;  // no SA_RESTART: a blocked read must return when a signal comes
  for (int signal = 1; signal < NSIG; ++signal) {
    if (sigismember(&wakeSignals_, signal) == 1) {
      Installed& slot = installed_[installedCount_++];
      slot.signal = signal;
      ::sigaction(signal, &note, &slot.previous);
    }
  }
  // The child's exit and the tick must get through, even where the caller blocked SIGCHLD; the
  // child gets the caller's mask back.
  sigset_t childExit;
  sigemptyset(&childExit);
  sigaddset(&childExit, SIGCHLD);
  ::pthread_sigmask(SIG_UNBLOCK, &childExit, nullptr);
}

RunSignals::~RunSignals() {
  restore();
}

bool RunSignals::startTicking(std::chrono::milliseconds interval) {
  return tick_.start(waiter_, interval);
}

bool RunSignals::takeWake() {
  if (woken == 0) {
    return false;
  }
  woken = 0;
  return true;
}

void RunSignals::awaitWake() {
  // Held back between the look and the wait, and let through by the wait itself, a signal can't
  // come unseen in between.
  sigset_t held;
  ::pthread_sigmask(SIG_BLOCK, &wakeSignals_, &held);
  if (!takeWake()) {
    ::sigsuspend(&held);
    takeWake();
  }
  ::pthread_sigmask(SIG_SETMASK, &held, nullptr);
}

int RunSignals::termination() const {
  return terminatedBy;
}

void RunSignals::restore() {
  if (restored_) {
    return;
  }
  restored_ = true;
  tick_.stop();
  for (int i = 0; i < installedCount_; ++i) {
    ::sigaction(installed_[i].signal, &installed_[i].previous, nullptr);
  }
  ::pthread_sigmask(SIG_SETMASK, &previousMask_, nullptr);
}

void RunSignals::endProcessByTermination() {
  int signal = terminatedBy;
  restore();
  ::signal(signal, SIG_DFL);
  ::raise(signal);
  // Not reached unless the signal could not end the process (the first process of a PID
  // namespace ignores signals it has no handler for).
  ::_exit(128 + signal);
}

}  // namespace platform::posix_impl
