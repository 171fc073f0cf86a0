#pragma once

#include <string_view>

namespace platform {

class StandardOutput {
 public:
  virtual ~StandardOutput() = default;
  // Writes all of `bytes`; false when standard output could not take them.
  virtual bool write(std::string_view bytes) = 0;
};

StandardOutput& systemStandardOutput();

// Sets the signal dispositions the executable relies on, whatever its caller left: broken pipes
// are ignored, so that a reader that went away ends a write with an error rather than the
// process; child processes are left for the executable to reap, not discarded by the system.
void prepareProcessSignals();

}  // namespace platform
