#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "platform/posix/caller_signals.h"
#include "platform/posix/spawn.h"

namespace platform::posix_impl {
namespace {

std::vector<char*> nullTerminated(std::vector<std::string>& strings) {
  std::vector<char*> pointers;
  pointers.reserve(strings.size() + 1);
  for (auto& s : strings) {
    pointers.push_back(s.data());
  }
  pointers.push_back(nullptr);
  return pointers;
}

int highestDescriptorBound() {
  struct rlimit files {};
  if (::getrlimit(RLIMIT_NOFILE, &files) != 0 || files.rlim_cur == RLIM_INFINITY) {
    return 1 << 16;
  }
  return static_cast<int>(std::min<rlim_t>(files.rlim_cur, 1 << 20));
}

// The caller's dispositions and mask, whatever this process changed for its own sake (broken
// pipes ignored, signals it handles during the run).
void restoreCallerSignals(const SpawnPlan& plan) {
  struct sigaction action {};
  for (int signal = 1; signal < NSIG; ++signal) {
    if (signal != SIGKILL && signal != SIGSTOP) {
      action.sa_handler = sigismember(&plan.callerIgnored, signal) == 1 ? SIG_IGN : SIG_DFL;
      ::sigaction(signal, &action, nullptr);
    }
  }
  ::sigprocmask(SIG_SETMASK, &plan.callerBlocked, nullptr);
}

}  // namespace

bool moveAboveStandardStreams(Fd& fd) {
  if (fd.get() > STDERR_FILENO) {
    return true;
  }
  int moved = ::fcntl(fd.get(), F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
  if (moved < 0) {
    return false;
  }
  fd.reset(moved);
  return true;
}

std::optional<Pipe> makePipe() {
  int ends[2];
  if (::pipe(ends) != 0) {
    return std::nullopt;
  }
  Pipe pipe{Fd(ends[0]), Fd(ends[1])};
  for (Fd* end : {&pipe.read, &pipe.write}) {
    if (::fcntl(end->get(), F_SETFD, FD_CLOEXEC) != 0 || !moveAboveStandardStreams(*end)) {
      return std::nullopt;
    }
  }
  return pipe;
}

SpawnPlan::SpawnPlan(const ChildLaunch& launch, int output, int failure)
    : program(launch.program),
      argv{launch.program},
      envp(launch.environment),
      outputFd(output),
      failureFd(failure),
      ownProcessGroup(programGetsOwnGroup()),
      callerIgnored(callerSignals().ignored),
      callerBlocked(callerSignals().blocked),
      highestFd(highestDescriptorBound()) {
  argv.insert(argv.end(), launch.arguments.begin(), launch.arguments.end());
  argvPointers = nullTerminated(argv);
  envpPointers = nullTerminated(envp);
}

void failInChild(const SpawnPlan& plan) {
  int error = errno;
  ssize_t ignored = ::write(plan.failureFd, &error, sizeof error);
  (void)ignored;
  ::_exit(127);
}

void becomeProgram(const SpawnPlan& plan, pid_t expectedParent) {
  prepareChildForExec(plan, expectedParent);
  if (plan.ownProcessGroup) {
    ::setpgid(0, 0);
  }
  if (::dup2(plan.outputFd, STDOUT_FILENO) < 0) {
    failInChild(plan);
  }
  int error = plan.errorFd >= 0 ? plan.errorFd : ::open("/dev/null", O_WRONLY);
  if (error < 0 || (error != STDERR_FILENO && ::dup2(error, STDERR_FILENO) < 0)) {
    failInChild(plan);
  }
  if (error != STDERR_FILENO && error != plan.errorFd) {
    ::close(error);
  }
  closeInheritedDescriptorsOnExec(plan);
  restoreCallerSignals(plan);
  ::execve(plan.program.c_str(), plan.argvPointers.data(), plan.envpPointers.data());
  failInChild(plan);
}

std::optional<ProcessEnd> processEndOf(int code, int status) {
  switch (code) {
    case CLD_EXITED:
      return ProcessEnd{status, 0};
    case CLD_KILLED:
    case CLD_DUMPED:
      return ProcessEnd{std::nullopt, status};
    default:
      return std::nullopt;
  }
}

std::optional<ProcessEnd> endedChild(pid_t pid) {
  siginfo_t info{};
  int r;
  do {
    r = ::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT);
  } while (r < 0 && errno == EINTR);
  if (r < 0) {
    return ProcessEnd{};  // not a child, or reaped already: it has ended, how is not known
  }
  if (info.si_pid != pid) {
    return std::nullopt;
  }
  return processEndOf(info.si_code, info.si_status);
}

bool reapChild(pid_t pid, bool wait) {
  pid_t r;
  do {
    r = ::waitpid(pid, nullptr, wait ? 0 : WNOHANG);
  } while (r < 0 && errno == EINTR);
  return r == pid || (r < 0 && errno == ECHILD);
}

}  // namespace platform::posix_impl
