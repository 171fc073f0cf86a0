// The macOS hooks of the shared wait loop. macOS has neither a subreaper nor a parent-death
// signal, so the program is this process's own child, and what it starts is kept track of while
// it runs: on every wake-up of the loop (a tick at least), every process below it is noted by pid
// and start time, and at the end each one still running is ended, wherever it has gone since,
// with the process group the program leads where it has one. A process that starts and leaves
// between two looks is not seen, and after a SIGKILL of this process the program runs on.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <thread>

#include "platform/macos/process_tree_macos.h"
#include "platform/posix/child_tree.h"

namespace platform::posix_impl {
namespace {

using Clock = std::chrono::steady_clock;

class TrackedTree final : public ChildTree {
 public:
  TrackedTree(pid_t program, bool ownGroup)
      : program_(program), ownGroup_(ownGroup), tracker_(macos_impl::systemProcessTable()) {}

  std::optional<ProcessEnd> look() override {
    tracker_.look(program_);
    if (!end_) {
      end_ = endedChild(program_);
    }
    return end_;
  }

  // The program stays unreaped until its group has been ended: until then neither its pid nor
  // its group's can name another process.
  void endAll(std::chrono::milliseconds patience) override {
    const auto deadline = Clock::now() + patience;
    // Stopped first, the program starts nothing more while what it started is looked for once
    // more and ended.
    signalProgram(SIGSTOP);
    tracker_.look(program_);
    tracker_.endAll(deadline);
    signalProgram(SIGKILL);
    while (!reapChild(program_, false) && Clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }

 private:
  void signalProgram(int signal) {
    if (ownGroup_) {
      ::kill(-program_, signal);
    }
    ::kill(program_, signal);
  }

  pid_t program_;
  bool ownGroup_;
  macos_impl::DescendantTracker tracker_;
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
  return std::make_unique<TrackedTree>(program, plan.ownProcessGroup);
}

// A group of its own lets the whole group be ended; on a terminal it would be a background
// group, stopped when it reads standard input, so there the program stays in the caller's.
bool programGetsOwnGroup() {
  return !::isatty(STDIN_FILENO);
}

// There is no parent-death signal to ask for.
void prepareChildForExec(const SpawnPlan&, pid_t) {}

// Close-on-exec rather than closed: the failure report's pipe must stay open until the exec.
// macOS has no call that does it at once; the loop stops at the descriptor limit.
void closeInheritedDescriptorsOnExec(const SpawnPlan& plan) {
  for (int fd = STDERR_FILENO + 1; fd < plan.highestFd; ++fd) {
    ::fcntl(fd, F_SETFD, FD_CLOEXEC);
  }
}

// A pipe on macOS grows by itself as far as it may; there is no size to choose.
void sizeOutputPipe(int) {}

// macOS can't name the signal that input raises: the tick wakes the wait.
void wakeOnInput(int) {}

}  // namespace platform::posix_impl
