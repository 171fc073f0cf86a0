// On Linux the program is started by a keeper: a process of this executable's own, between it
// and the program, that makes itself the subreaper of the program's tree. Every process below the
// program that loses its parent, detached into a session of its own or not, is handed to the
// keeper and nowhere else, so ending "the program and everything below it" is ending everything
// below the keeper. The executable itself takes no orphans, so the processes its caller had
// started before (a shell's background job, the reader of a process substitution) are never
// mistaken for the program's.
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <thread>

#include "platform/linux/process_tree.h"
#include "platform/posix/child_tree.h"

namespace platform::posix_impl {
namespace {

using Clock = std::chrono::steady_clock;

// How long the keeper gives what it ends to die; only a process stuck in the kernel takes longer.
constexpr std::chrono::milliseconds keeperEndLimit(500);
// How often the keeper looks again unprompted: an exit that a tracer holds back, or an executable
// gone without a word, is noticed this late at most.
constexpr std::chrono::milliseconds keeperLookInterval(100);

// What the keeper sends once the program has ended.
struct EndReport {
  int exited;  // 1: `status` is its exit status; 0: the signal that ended it
  int status;
};

void closeAllBut(int keep, int highestFd) {
  if (::close_range(STDERR_FILENO + 1, static_cast<unsigned>(keep) - 1, 0) == 0 &&
      ::close_range(static_cast<unsigned>(keep) + 1, ~0U, 0) == 0) {
    return;
  }
  for (int fd = STDERR_FILENO + 1; fd < highestFd; ++fd) {
    if (fd != keep) {
      ::close(fd);
    }
  }
}

class Keeper {
 public:
  Keeper(pid_t program, int reportFd, pid_t executable)
      : program_(program),
        reportFd_(reportFd),
        executable_(executable),
        procIsOurs_(linux_impl::procIsOurs()) {}

  [[noreturn]] void run() {
    sigset_t wanted;
    sigemptyset(&wanted);
    sigaddset(&wanted, SIGCHLD);
    sigaddset(&wanted, SIGTERM);
    timespec interval{0, std::chrono::nanoseconds(keeperLookInterval).count()};
    for (;;) {
      siginfo_t info{};
      int signal = ::sigtimedwait(&wanted, &info, &interval);
      reportProgramEnd();
      reapEndedOrphans();
      // Only the executable's request, or its end, ends the tree: a SIGTERM that the caller sent
      // to the whole process group is the executable's to act on, or to ignore.
      if ((signal == SIGTERM && info.si_pid == executable_) || ::getppid() != executable_) {
        endEverything();
      }
    }
  }

 private:
  void reportProgramEnd() {
    if (reported_) {
      return;
    }
    auto end = endedChild(program_);
    if (!end) {
      return;
    }
    reported_ = true;
    EndReport report{end->exitStatus ? 1 : 0, end->exitStatus ? *end->exitStatus : end->signal};
    ssize_t ignored = ::write(reportFd_, &report, sizeof report);
    (void)ignored;
    if (::getppid() == executable_) {
      ::kill(executable_, SIGCHLD);
    }
  }

  // Orphans that ended are reaped at once, so they don't linger as zombies until the end. The
  // program is left unreaped until then: its pid names its process group.
  void reapEndedOrphans() {
    if (!procIsOurs_) {
      return;
    }
    for (pid_t child : linux_impl::childrenOf(::getpid())) {
      if (child != program_) {
        reapChild(child, false);
      }
    }
  }

  [[noreturn]] void endEverything() {
    auto deadline = Clock::now() + keeperEndLimit;
    if (procIsOurs_) {
      linux_impl::endAllDescendants(deadline);
    } else {
      // Without a /proc to trust, no pid but the program's own is known to be ours, and the
      // group it leads, where it made one: the program is not reaped yet, so both are still its.
      if (::getpgid(program_) == program_) {
        ::kill(-program_, SIGKILL);
      }
      ::kill(program_, SIGKILL);
      while (!reapChild(program_, false) && Clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
    }
    ::_exit(0);
  }

  pid_t program_;
  int reportFd_;
  pid_t executable_;
  bool procIsOurs_;
  bool reported_ = false;
};

[[noreturn]] void runKeeper(const SpawnPlan& plan, int reportFd, pid_t executable) {
  // Signals wait for the keeper to ask for them: the terminal's interrupt, for one, is the
  // executable's to act on.
  sigset_t all;
  sigfillset(&all);
  ::sigprocmask(SIG_SETMASK, &all, nullptr);
  ::signal(SIGCHLD, SIG_DFL);
  ::signal(SIGTERM, SIG_DFL);
  // Should the executable go, even by SIGKILL, the keeper still ends the tree.
  if (::prctl(PR_SET_PDEATHSIG, SIGTERM, 0, 0, 0) != 0 || ::getppid() != executable) {
    ::_exit(0);
  }
  ::prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0);
  const pid_t self = ::getpid();
  pid_t program = ::fork();
  if (program == 0) {
    becomeProgram(plan, self);
  }
  if (program < 0) {
    failInChild(plan);
  }
  if (plan.ownProcessGroup) {
    ::setpgid(program, program);  // as the program does, so the group exists whoever goes first
  }
  // The keeper holds nothing of the caller's: not its standard streams, which a reader waits on
  // until every writer is gone, nor the program's pipes.
  int null = ::open("/dev/null", O_RDWR);
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO && null >= 0; ++fd) {
    ::dup2(null, fd);
  }
  closeAllBut(reportFd, plan.highestFd);
  Keeper(program, reportFd, executable).run();
}

class KeptTree final : public ChildTree {
 public:
  KeptTree(pid_t keeper, Fd report) : keeper_(keeper), report_(std::move(report)) {}

  std::optional<ProcessEnd> look() override {
    if (!end_) {
      readReport();
    }
    return end_;
  }

  void endAll(Clock::time_point deadline) override {
    ::kill(keeper_, SIGTERM);
    while (!reapChild(keeper_, false)) {
      if (Clock::now() >= deadline) {
        ::kill(keeper_, SIGKILL);
        reapChild(keeper_, true);
        return;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }

 private:
  void readReport() {
    EndReport report{};
    ssize_t n;
    do {
      n = ::read(report_.get(), &report, sizeof report);
    } while (n < 0 && errno == EINTR);
    if (n == static_cast<ssize_t>(sizeof report)) {
      end_ = report.exited ? ProcessEnd{report.status, 0} : ProcessEnd{std::nullopt, report.status};
    } else if (n == 0) {
      end_ = ProcessEnd{};  // the keeper is gone, and the program went with it
    }
  }

  pid_t keeper_;
  Fd report_;
  std::optional<ProcessEnd> end_;
};

}  // namespace

std::unique_ptr<ChildTree> startChildTree(const SpawnPlan& plan) {
  auto report = makePipe();
  if (!report || ::fcntl(report->read.get(), F_SETFL, O_NONBLOCK) != 0) {
    return nullptr;
  }
  const pid_t executable = ::getpid();
  pid_t keeper = ::fork();
  if (keeper == 0) {
    runKeeper(plan, report->write.get(), executable);
  }
  if (keeper < 0) {
    return nullptr;
  }
  return std::make_unique<KeptTree>(keeper, std::move(report->read));
}

void prepareChildForExec(const SpawnPlan&, pid_t expectedParent) {
  // The program dies with its parent, even one killed by SIGKILL. If the parent went before the
  // request was made, nothing would ever send that signal, so the child ends here.
  if (::prctl(PR_SET_PDEATHSIG, SIGKILL, 0, 0, 0) != 0 || ::getppid() != expectedParent) {
    ::_exit(127);
  }
}

void closeInheritedDescriptorsOnExec(const SpawnPlan& plan) {
  // Close-on-exec rather than closed: the failure report's pipe must stay open until the exec.
  if (::close_range(STDERR_FILENO + 1, ~0U, CLOSE_RANGE_CLOEXEC) == 0) {
    return;
  }
  for (int fd = STDERR_FILENO + 1; fd < plan.highestFd; ++fd) {
    ::fcntl(fd, F_SETFD, FD_CLOEXEC);
  }
}

// The keeper ends the whole tree, whatever groups it made, so the program stays in the caller's
// group: a terminal's interrupt and job control reach it as they would without the pack.
bool programGetsOwnGroup() {
  return false;
}

// A 256 KiB pipe, where the system allows one: a writer of large blocks (1 MiB) then waits a
// quarter as often as with the default 64 KiB, and small writes (Python's 8 KiB) lose nothing,
// where a 1 MiB pipe is read cache-cold. Measured: see docs/performance.md.
void sizeOutputPipe(int readFd) {
  ::fcntl(readFd, F_SETPIPE_SZ, 1 << 18);
}

}  // namespace platform::posix_impl
