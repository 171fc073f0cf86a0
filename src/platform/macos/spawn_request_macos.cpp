#include "platform/macos/spawn_request_macos.h"

#include <unistd.h>

namespace platform::macos_impl {

SpawnRequest spawnRequestFor(const posix_impl::SpawnPlan& plan, bool standardInputOpen) {
  SpawnRequest request;
  request.flags = spawnSetExec | spawnCloseOnExecDefault | spawnSetSignalMask |
                  spawnSetSignalDefaults | (plan.ownProcessGroup ? spawnSetProcessGroup : 0);
  request.mask = plan.callerBlocked;
  sigemptyset(&request.defaults);
  for (int signal = 1; signal < NSIG; ++signal) {
    if (signal != SIGKILL && signal != SIGSTOP && sigismember(&plan.callerIgnored, signal) != 1) {
      sigaddset(&request.defaults, signal);
    }
  }
  using Kind = SpawnFileAction::Kind;
  if (standardInputOpen) {
    request.fileActions.push_back({Kind::Inherit, STDIN_FILENO, STDIN_FILENO});
  }
  request.fileActions.push_back({Kind::Duplicate, plan.outputFd, STDOUT_FILENO});
  if (plan.errorFd >= 0) {
    request.fileActions.push_back({Kind::Duplicate, plan.errorFd, STDERR_FILENO});
  } else {
    request.fileActions.push_back({Kind::OpenNullDevice, -1, STDERR_FILENO});
  }
  return request;
}

void ignoreSignals(const sigset_t& signals) {
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  for (int signal = 1; signal < NSIG; ++signal) {
    if (sigismember(&signals, signal) == 1) {
      ::sigaction(signal, &ignore, nullptr);
    }
  }
}

}  // namespace platform::macos_impl
