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

// The state recorded by prepareProcessSignals; where that has not run (in a test, say), the
// state as it is at the first call.
const CallerSignals& callerSignals();

}  // namespace platform::posix_impl
