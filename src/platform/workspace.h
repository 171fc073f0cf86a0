#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <string_view>

#include "platform/semaphore.h"

namespace platform {

// What looking for an installed application came to.
struct ApplicationSearch {
  enum class Outcome {
    Found,         // at `location`, from where this workspace can open it
    NotFound,      // the system knows of no application with that identifier
    CouldNotLook,  // the system could not be asked, or what it found can't be opened from here
  };
  Outcome outcome = Outcome::CouldNotLook;
  std::string location;
};

// How a launch ended, as far as the workspace can tell.
struct LaunchOutcome {
  bool failed = false;
  std::string reason;  // the system's words for why it failed; empty where it gave none
};

class Workspace {
 public:
  virtual ~Workspace() = default;
  virtual ApplicationSearch findApplication(std::string_view bundleIdentifier) = 0;
  // Starts launching the application at `location` with default options and returns without
  // waiting for the application to be running; `completion` is called once, from a thread of the
  // workspace's choosing or from inside this call, when the launch has succeeded or failed.
  virtual void openApplication(const std::string& location,
                               std::function<void(LaunchOutcome)> completion) = 0;
  // Waits on the thread that shows the alerts until `launched` is signalled or `bound` has
  // passed; true when it was signalled. A plain wait, unless the desktop must go on serving the
  // process's events meanwhile.
  virtual bool awaitLaunch(Semaphore& launched, std::chrono::milliseconds bound) {
    return launched.waitUntil(std::chrono::steady_clock::now() + bound);
  }
};

}  // namespace platform
