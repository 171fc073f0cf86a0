#include <csignal>

#include "platform/posix/caller_signals.h"
#include "platform/process_signals.h"

namespace platform {
namespace posix_impl {
namespace {

// The signals this process sets for itself at start-up; every other disposition stays the
// caller's until a run changes it, and a run's own changes are undone before its child starts.
constexpr int changedAtStart[] = {SIGPIPE, SIGXFSZ, SIGCHLD};

bool isChangedAtStart(int signal) {
  for (int changed : changedAtStart) {
    if (changed == signal) {
      return true;
    }
  }
  return false;
}

bool isIgnored(int signal) {
  struct sigaction current {};
  return ::sigaction(signal, nullptr, &current) == 0 && current.sa_handler == SIG_IGN;
}

// What start-up found, before it changed anything: only what it changes, so that the other
// modes pay for no more than that.
struct StartState {
  sigset_t ignored;
  sigset_t blocked;
};

StartState readStartState() {
  StartState state{};
  sigemptyset(&state.ignored);
  for (int signal : changedAtStart) {
    if (isIgnored(signal)) {
      sigaddset(&state.ignored, signal);
    }
  }
  ::sigprocmask(SIG_SETMASK, nullptr, &state.blocked);
  return state;
}

const StartState& startState() {
  static const StartState state = readStartState();
  return state;
}

}  // namespace

const CallerSignals& callerSignals() {
  static const CallerSignals signals = [] {
    CallerSignals state{};
    sigemptyset(&state.ignored);
    for (int signal = 1; signal < NSIG; ++signal) {
      if (isChangedAtStart(signal) ? sigismember(&startState().ignored, signal) == 1
                                   : isIgnored(signal)) {
        sigaddset(&state.ignored, signal);
      }
    }
    state.blocked = startState().blocked;
    return state;
  }();
  return signals;
}

}  // namespace posix_impl

void prepareProcessSignals() {
  posix_impl::startState();
  std::signal(SIGPIPE, SIG_IGN);
  // A write past the file-size limit then fails like any other write, rather than ending the
  // process: the exit status answers for the pack, not for where its output went.
  std::signal(SIGXFSZ, SIG_IGN);
  std::signal(SIGCHLD, SIG_DFL);
}

}  // namespace platform
