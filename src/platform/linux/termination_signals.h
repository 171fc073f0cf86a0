#pragma once

#include <signal.h>

#include "platform/posix/fd.h"

namespace platform::linux_impl {

// While it lives, the signals a caller ends a process with (SIGTERM, SIGINT, SIGHUP) are held
// back and become readable on a descriptor, so that a wait on the child can notice them and end
// what it started before this process goes. A signal the caller left ignored stays ignored.
class TerminationSignals {
 public:
  TerminationSignals();
  ~TerminationSignals();  // what arrived and was not read is delivered as usual
  TerminationSignals(const TerminationSignals&) = delete;
  TerminationSignals& operator=(const TerminationSignals&) = delete;

  // Readable when a signal has arrived; -1 when none is watched.
  int fd() const { return fd_.get(); }
  // Reads what arrived; true once a signal has been received.
  bool receive();
  int received() const { return received_; }

  // Ends this process by the signal it received, as its default action would have.
  [[noreturn]] void endProcessByReceivedSignal() const;

 private:
  sigset_t watched_{};
  sigset_t previousMask_{};
  posix_impl::Fd fd_;
  int received_ = 0;
};

}  // namespace platform::linux_impl
