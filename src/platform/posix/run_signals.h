#pragma once

#include <pthread.h>
#include <signal.h>

#include <chrono>

#include "platform/posix/tick.h"

namespace platform::posix_impl {

// The signals that wake a run while it waits on its child, for as long as the run lasts.
//
// A run waits the way a plain pipe reader does, blocked in read(), rather than in a readiness
// wait before each read: a writer that wakes a reader already blocked in read() costs both
// sides less. What must interrupt that read does so by a signal whose handler only records that
// it came, installed without SA_RESTART so that the read returns EINTR: the child's exit and news
// from the pipes that wake on input (SIGCHLD), the caller's SIGTERM, SIGINT and SIGHUP, and a
// tick (see tick.h). A
// signal that lands between the look at what arrived and the read that follows is not lost for
// long: the next tick ends that read.
//
// Only the termination signals the caller neither ignored nor blocked are watched: an ignored
// one (nohup) was meant to pass the process by, and a blocked one to wait until unblocked.
class RunSignals {
 public:
  RunSignals();
  // Stops the tick; every disposition and the mask are as they were before.
  ~RunSignals();
  RunSignals(const RunSignals&) = delete;
  RunSignals& operator=(const RunSignals&) = delete;

  // Starts interrupting the calling thread every `interval`; false when the system gives no way
  // to. Start it after any fork: where the tick is a thread, a child forked from a process with a
  // second thread may only exec.
  bool startTicking(std::chrono::milliseconds interval);

  // Whether a signal or a tick came since the last look; the look clears it.
  bool takeWake();
  // Blocks until the next signal or tick, unless one came since the last look.
  void awaitWake();
  // The termination signal that came, or 0.
  int termination() const;

  // Ends this process by the termination signal that came, as its default action would have.
  [[noreturn]] void endProcessByTermination();

 private:
  void restore();

  struct Installed {
    int signal;
    struct sigaction previous;
  };
  Installed installed_[4]{};  // SIGCHLD and the watched termination signals
  int installedCount_ = 0;
  sigset_t wakeSignals_{};
  sigset_t previousMask_{};
  bool restored_ = false;

  pthread_t waiter_{};
  Tick tick_;
};

}  // namespace platform::posix_impl
