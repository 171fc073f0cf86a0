#pragma once

namespace platform {

// Sets the signal dispositions the executable relies on, whatever its caller left: broken pipes
// and writes past the file-size limit are ignored, so that a reader that went away or a full
// file ends a write with an error rather than the process; child processes are left for the
// executable to reap, not discarded by the system. What the caller had is recorded first, so
// that a program the executable starts gets it back.
void prepareProcessSignals();

}  // namespace platform
