#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>

#include "platform/linux/termination_signals.h"

namespace platform::linux_impl {
namespace {

constexpr int terminationSignals[] = {SIGTERM, SIGINT, SIGHUP};

bool isIgnored(int signal) {
  struct sigaction current {};
  return ::sigaction(signal, nullptr, &current) == 0 && current.sa_handler == SIG_IGN;
}

}  // namespace

TerminationSignals::TerminationSignals() {
  sigemptyset(&watched_);
  // Blocked signals are queued even when ignored, so an ignored one must not be watched: the
  // caller (nohup, a shell's background job) meant it to pass the process by.
  for (int signal : terminationSignals) {
    if (!isIgnored(signal)) {
      sigaddset(&watched_, signal);
    }
  }
  ::sigprocmask(SIG_BLOCK, &watched_, &previousMask_);
  fd_.reset(::signalfd(-1, &watched_, SFD_CLOEXEC | SFD_NONBLOCK));
  if (!fd_) {
    // Unwatched, a held-back signal would wait for the run's end: let it act as it would have.
    ::sigprocmask(SIG_SETMASK, &previousMask_, nullptr);
  }
}

TerminationSignals::~TerminationSignals() {
  ::sigprocmask(SIG_SETMASK, &previousMask_, nullptr);
}

bool TerminationSignals::receive() {
  signalfd_siginfo info{};
  while (received_ == 0 && fd_) {
    ssize_t n = ::read(fd_.get(), &info, sizeof info);
    if (n == static_cast<ssize_t>(sizeof info)) {
      received_ = static_cast<int>(info.ssi_signo);
    } else if (!(n < 0 && errno == EINTR)) {
      break;
    }
  }
  return received_ != 0;
}

void TerminationSignals::endProcessByReceivedSignal() const {
  ::signal(received_, SIG_DFL);
  sigset_t only;
  sigemptyset(&only);
  sigaddset(&only, received_);
  ::raise(received_);
  ::sigprocmask(SIG_UNBLOCK, &only, nullptr);
  // Not reached unless the signal could not end the process.
  ::_exit(128 + received_);
}

}  // namespace platform::linux_impl
