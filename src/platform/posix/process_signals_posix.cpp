#include <csignal>

#include "platform/process_signals.h"

namespace platform {

void prepareProcessSignals() {
  std::signal(SIGPIPE, SIG_IGN);
  // A write past the file-size limit then fails like any other write, rather than ending the
  // process: the exit status answers for the pack, not for where its output went.
  std::signal(SIGXFSZ, SIG_IGN);
  std::signal(SIGCHLD, SIG_DFL);
}

}  // namespace platform
