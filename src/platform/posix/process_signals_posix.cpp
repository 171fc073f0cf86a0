#include <csignal>

#include "platform/posix/caller_signals.h"
#include "platform/process_signals.h"

namespace platform {
namespace posix_impl {
namespace {

CallerSignals readSignalState() {
  CallerSignals state{};
  sigemptyset(&state.ignored);
  for (int signal = 1; signal < NSIG; ++signal) {
    struct sigaction current {};
    if (::sigaction(signal, nullptr, &current) == 0 && current.sa_handler == SIG_IGN) {
      sigaddset(&state.ignored, signal);
    }
  }
  ::sigprocmask(SIG_SETMASK, nullptr, &state.blocked);
  return state;
}

CallerSignals& recordedState() {
  static CallerSignals state = readSignalState();
  return state;
}

}  // namespace

const CallerSignals& callerSignals() {
  return recordedState();
}

}  // namespace posix_impl

void prepareProcessSignals() {
  posix_impl::callerSignals();
  std::signal(SIGPIPE, SIG_IGN);
  // A write past the file-size limit then fails like any other write, rather than ending the
  // process: the exit status answers for the pack, not for where its output went.
  std::signal(SIGXFSZ, SIG_IGN);
  std::signal(SIGCHLD, SIG_DFL);
}

}  // namespace platform
