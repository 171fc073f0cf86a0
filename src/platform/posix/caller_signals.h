#pragma once

#include <signal.h>

namespace platform::posix_impl {

// How this process's signals stood when it was started, before it changed any for its own sake.
// A program it starts gets them back: what the caller ignored stays ignored, what it blocked
// stays blocked, and everything else is at its default.
struct CallerSignals {
  sigset_t ignored;
  sigset_t blocked;
};

// The caller's state: for what prepareProcessSignals changes, as it found it (or, where it has
// not run, as in a test, as it is at the first call); for every other signal, as it is at the
// first call, which comes before a run installs its handlers.
const CallerSignals& callerSignals();

}  // namespace platform::posix_impl
