// TEMPORARY: the macOS hooks of the shared wait loop, at their plainest, so that the macOS build
// links against it; they are to be replaced. The program is forked and ended with its process
// group, and nothing below it is tracked yet (DescendantTracker in process_tree_macos.h is made
// for that). macOS has no parent-death signal: after a SIGKILL of this process the program runs
// on.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <thread>

#include "platform/posix/child_tree.h"

namespace platform::posix_impl {
namespace {

using Clock = std::chrono::steady_clock;

class ProgramGroup final : public ChildTree {
 public:
  ProgramGroup(pid_t program, bool ownGroup) : program_(program), ownGroup_(ownGroup) {}

  std::optional<ProcessEnd> look() override {
    if (!end_) {
      end_ = endedChild(program_);
    }
    return end_;
  }

  void endAll(Clock::time_point deadline) override {
    if (ownGroup_) {
      ::kill(-program_, SIGKILL);
    }
    ::kill(program_, SIGKILL);
    while (!reapChild(program_, false) && Clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }

 private:
  pid_t program_;
  bool ownGroup_;
  std::optional<ProcessEnd> end_;
};

}  // namespace

std::unique_ptr<ChildTree> startChildTree(const SpawnPlan& plan) {
  const pid_t self = ::getpid();
  pid_t program = ::fork();
  if (program == 0) {
    becomeProgram(plan, self);
  }
  if (program < 0) {
    return nullptr;
  }
  if (plan.ownProcessGroup) {
    ::setpgid(program, program);  // as the program does, so the group exists whoever goes first
  }
  return std::make_unique<ProgramGroup>(program, plan.ownProcessGroup);
}

// A group of its own lets the whole group be ended; on a terminal it would be a background
// group, stopped when it reads standard input, so there the program stays in the caller's.
bool programGetsOwnGroup() {
  return !::isatty(STDIN_FILENO);
}

// There is no parent-death signal to ask for.
void prepareChildForExec(const SpawnPlan&, pid_t) {}

// Close-on-exec rather than closed: the failure report's pipe must stay open until the exec.
void closeInheritedDescriptorsOnExec(const SpawnPlan& plan) {
  for (int fd = STDERR_FILENO + 1; fd < plan.highestFd; ++fd) {
    ::fcntl(fd, F_SETFD, FD_CLOEXEC);
  }
}

void sizeOutputPipe(int) {}

}  // namespace platform::posix_impl
