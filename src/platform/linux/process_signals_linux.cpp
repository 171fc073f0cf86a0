#include <csignal>

#include "platform/process_signals.h"

namespace platform {

void prepareProcessSignals() {
  std::signal(SIGPIPE, SIG_IGN);
  std::signal(SIGCHLD, SIG_DFL);
}

}  // namespace platform
