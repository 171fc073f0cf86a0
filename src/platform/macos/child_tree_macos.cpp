// The macOS hooks of the shared wait loop. macOS has neither a subreaper nor a parent-death
// signal, so the program is this process's own child, and what it starts is kept track of while
// it runs: on every wake-up of the loop (a tick at least), every process below it is noted by pid
// and unique id, and at the end each one still running is ended, wherever it has gone since,
// with the process group the program leads where it has one. A process that starts and leaves
// between two looks is not seen, and after a SIGKILL of this process the program runs on.
//
// The program is started by a fork whose child becomes it through posix_spawn acting as exec
// (see spawn_request_macos.h). The fork keeps the waiting in this process: a program whose start
// never completes (it lies on a file system that does not answer) holds up its own child, not the
// wait, and the run limit and the termination signals still end it.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <unistd.h>

#include <cerrno>
#include <thread>

#include "platform/macos/process_tree_macos.h"
#include "platform/macos/spawn_request_macos.h"
#include "platform/posix/child_tree.h"

namespace platform::posix_impl {
namespace {

using Clock = std::chrono::steady_clock;

static_assert(macos_impl::spawnSetProcessGroup == POSIX_SPAWN_SETPGROUP);
static_assert(macos_impl::spawnSetSignalDefaults == POSIX_SPAWN_SETSIGDEF);
static_assert(macos_impl::spawnSetSignalMask == POSIX_SPAWN_SETSIGMASK);
static_assert(macos_impl::spawnSetExec == POSIX_SPAWN_SETEXEC);
static_assert(macos_impl::spawnCloseOnExecDefault == POSIX_SPAWN_CLOEXEC_DEFAULT);

// A spawn request turned into posix_spawn's attributes and file actions. Made before the fork:
// making them allocates, which the child of a fork must not.
class PreparedSpawn {
 public:
  explicit PreparedSpawn(const macos_impl::SpawnRequest& request) {
    error_ = ::posix_spawnattr_init(&attributes_);
    attributesMade_ = error_ == 0;
    int actionsError = ::posix_spawn_file_actions_init(&actions_);
    actionsMade_ = actionsError == 0;
    keepFirstError(actionsError);
    if (error_ != 0) {
      return;
    }
    keepFirstError(::posix_spawnattr_setflags(&attributes_, request.flags));
    keepFirstError(::posix_spawnattr_setsigmask(&attributes_, &request.mask));
    keepFirstError(::posix_spawnattr_setsigdefault(&attributes_, &request.defaults));
    keepFirstError(::posix_spawnattr_setpgroup(&attributes_, request.processGroup));
    for (const auto& action : request.fileActions) {
      keepFirstError(add(action));
    }
  }
  PreparedSpawn(const PreparedSpawn&) = delete;
  PreparedSpawn& operator=(const PreparedSpawn&) = delete;
  ~PreparedSpawn() {
    if (actionsMade_) {
      ::posix_spawn_file_actions_destroy(&actions_);
    }
    if (attributesMade_) {
      ::posix_spawnattr_destroy(&attributes_);
    }
  }

  // 0, or the error that kept the spawn from being prepared.
  int error() const { return error_; }

  // In the child of the fork: what the caller ignored is ignored again (exec keeps that, and
  // only that, of this process's dispositions), then the program replaces the child. Only
  // async-signal-safe calls: posix_spawn's own code only hands the prepared request to the
  // kernel.
  [[noreturn]] void becomeProgram(const SpawnPlan& plan) const {
    macos_impl::ignoreSignals(plan.callerIgnored);
    pid_t self = 0;
    errno = ::posix_spawn(&self, plan.program.c_str(), &actions_, &attributes_,
                          plan.argvPointers.data(), plan.envpPointers.data());
    failInChild(plan);
  }

 private:
  int add(const macos_impl::SpawnFileAction& action) {
    using Kind = macos_impl::SpawnFileAction::Kind;
    switch (action.kind) {
      case Kind::Inherit:
        return ::posix_spawn_file_actions_addinherit_np(&actions_, action.fd);
      case Kind::Duplicate:
        return ::posix_spawn_file_actions_adddup2(&actions_, action.fd, action.target);
      case Kind::OpenNullDevice:
        return ::posix_spawn_file_actions_addopen(&actions_, action.target, "/dev/null", O_WRONLY,
                                                  0);
    }
    return EINVAL;
  }

  void keepFirstError(int error) {
    if (error_ == 0) {
      error_ = error;
    }
  }

  posix_spawnattr_t attributes_{};
  posix_spawn_file_actions_t actions_{};
  bool attributesMade_ = false;
  bool actionsMade_ = false;
  int error_ = 0;
};

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
  const bool standardInputOpen = ::fcntl(STDIN_FILENO, F_GETFD) != -1;
  PreparedSpawn spawn(macos_impl::spawnRequestFor(plan, standardInputOpen));
  if (spawn.error() != 0) {
    errno = spawn.error();
    return nullptr;
  }
  pid_t program = ::fork();
  if (program == 0) {
    spawn.becomeProgram(plan);
  }
  if (program < 0) {
    return nullptr;
  }
  if (plan.ownProcessGroup) {
    ::setpgid(program, program);  // as the spawn does, so the group exists whoever goes first
  }
  return std::make_unique<TrackedTree>(program, plan.ownProcessGroup);
}

// A group of its own lets the whole group be ended; on a terminal it would be a background
// group, stopped when it reads standard input, so there the program stays in the caller's.
bool programGetsOwnGroup() {
  return !::isatty(STDIN_FILENO);
}

// macOS has no splice: what is beyond the tail is read and dropped.
size_t discardFromPipe(int, size_t) {
  return 0;
}

// The program is started by posix_spawn (above), never through becomeProgram: the hooks of that
// way have nothing to do here.
void prepareChildForExec(const SpawnPlan&, pid_t) {}
void closeInheritedDescriptorsOnExec(const SpawnPlan&) {}

// A pipe on macOS grows by itself as far as it may; there is no size to choose.
void sizeOutputPipe(int) {}

// macOS can't name the signal that input raises: the tick wakes the wait.
void wakeOnInput(int) {}

}  // namespace platform::posix_impl
