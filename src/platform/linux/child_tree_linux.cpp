// On Linux the program is started by a keeper: a process of this executable's own, between it and
// the program, that holds the program's whole tree (see keeper_linux.cpp) and ends it when asked.
// The executable itself takes no orphans, so the processes its caller had started before (a
// shell's background job, the reader of a process substitution) are never mistaken for the
// program's.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <thread>

#include "platform/linux/control_group.h"
#include "platform/linux/keeper.h"
#include "platform/linux/process_tree.h"
#include "platform/posix/child_tree.h"

namespace platform::posix_impl {
namespace {

using linux_impl::KeeperRecord;
using Clock = std::chrono::steady_clock;

// The longest the keeper is waited for while it works: its walk of the tree gives up sooner.
constexpr std::chrono::seconds keeperWorkCap(60);
// How long what the kernel holds is waited for once the keeper is gone.
constexpr std::chrono::milliseconds kernelHoldLimit(500);

// The executable's side of the keeper.
class KeptTree final : public ChildTree {
 public:
  KeptTree(pid_t keeper, Fd report, Fd requests)
      : keeper_(keeper), report_(std::move(report)), requests_(std::move(requests)) {}

  std::optional<ProcessEnd> look() override {
    readReport();
    return end_;
  }

  // The keeper is waited for while it gets somewhere, however long the tree takes to end. One that
  // falls silent for `patience` while it is not even waiting for the processor (stopped in the
  // kernel, or held there), or that was killed, is ended here, and its group with it.
  void endAll(std::chrono::milliseconds patience) override {
    // A keeper that someone stopped is let go on: the request must be acted on.
    ::kill(keeper_, SIGCONT);
    ssize_t ignored = ::write(requests_.get(), "e", 1);
    (void)ignored;
    requests_.reset();
    const auto start = Clock::now();
    auto lastWord = start;
    while (!keeperDone_ && Clock::now() - start < keeperWorkCap) {
      pollfd report{report_.get(), POLLIN, 0};
      ::poll(&report, 1, 10);
      if (readReport()) {
        lastWord = Clock::now();
      } else if (Clock::now() - lastWord >= patience && !keeperRunnable()) {
        break;
      }
    }
    auto ended = keeperDone_ ? reapKeeper(Clock::now() + patience) : std::nullopt;
    if (ended && WIFEXITED(*ended)) {
      return;
    }
    ::kill(keeper_, SIGKILL);
    if (!ended) {
      reapKeeper(Clock::now() + patience);
    }
    endGroupOfLostKeeper();
  }

 private:
  // Takes in what the keeper sent; true when anything came.
  bool readReport() {
    bool any = false;
    KeeperRecord records[64];
    for (;;) {
      ssize_t n = ::read(report_.get(), records, sizeof records);
      if (n < 0 && errno == EINTR) {
        continue;
      }
      if (n <= 0) {
        if (n == 0) {
          keeperDone_ = true;
          if (!end_) {
            end_ = ProcessEnd{};  // the keeper is gone, and the program went with it
          }
        }
        return any;
      }
      any = true;
      for (size_t i = 0; i < static_cast<size_t>(n) / sizeof(KeeperRecord); ++i) {
        take(records[i]);
      }
    }
  }

  void take(const KeeperRecord& record) {
    if (record.kind == KeeperRecord::ProgramEnded && !end_) {
      end_ = record.value == 1   ? ProcessEnd{record.status, 0}
             : record.value == 0 ? ProcessEnd{std::nullopt, record.status}
                                 : ProcessEnd{};
    }
  }

  // The keeper's wait status once reaped; none at `deadline`.
  std::optional<int> reapKeeper(Clock::time_point deadline) {
    for (;;) {
      int status = 0;
      pid_t reaped = ::waitpid(keeper_, &status, WNOHANG);
      if (reaped == keeper_) {
        return status;
      }
      if ((reaped < 0 && errno != EINTR) || Clock::now() >= deadline) {
        return std::nullopt;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }

  // Whether the keeper waits only for the processor: on a machine that busy, silence is no sign
  // of a keeper stuck in the kernel.
  bool keeperRunnable() const {
    if (!linux_impl::procIsOurs()) {
      return false;
    }
    auto stat = readStat(keeper_);
    auto close = stat.rfind(')');
    return close != std::string::npos && close + 2 < stat.size() && stat[close + 2] == 'R';
  }

  static std::string readStat(pid_t pid) {
    Fd stat(::open(("/proc/" + std::to_string(pid) + "/stat").c_str(), O_RDONLY | O_CLOEXEC));
    char text[512];
    ssize_t n = stat ? ::read(stat.get(), text, sizeof text) : -1;
    return n > 0 ? std::string(text, static_cast<size_t>(n)) : std::string();
  }

  // The group lies below the one this executable is in, under the keeper's name: once the keeper
  // can't, it is ended and removed from here.
  void endGroupOfLostKeeper() const {
    auto group = linux_impl::ControlGroup::open(linux_impl::keeperGroupName(keeper_));
    if (!group) {
      return;
    }
    group->killAll();
    size_t left = group->processes().size();
    linux_impl::awaitWhileProgressing([&group] { return group->isEmpty(); },
                                      [&group, &left] {
                                        size_t now = group->processes().size();
                                        bool fewer = now < left;
                                        left = now;
                                        return fewer;
                                      },
                                      [&group] {
                                        return linux_impl::procIsOurs() &&
                                               linux_impl::anyMayStillGo(group->processes());
                                      },
                                      linux_impl::EndLimits{});
    auto deadline = Clock::now() + kernelHoldLimit;
    while (!group->remove() && Clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }

  pid_t keeper_;
  Fd report_;
  Fd requests_;
  std::optional<ProcessEnd> end_;
  bool keeperDone_ = false;
};

}  // namespace

std::unique_ptr<ChildTree> startChildTree(const SpawnPlan& plan) {
  auto report = makePipe();
  auto requests = makePipe();
  if (!report || !requests || ::fcntl(report->read.get(), F_SETFL, O_NONBLOCK) != 0) {
    return nullptr;
  }
  // What the keeper sends wakes the wait at once, as the program's own end would.
  wakeOnInput(report->read.get());
  pid_t keeper = ::fork();
  if (keeper == 0) {
    linux_impl::runKeeper(plan, linux_impl::KeeperPipes{std::move(*report), std::move(*requests)});
  }
  if (keeper < 0) {
    return nullptr;
  }
  return std::make_unique<KeptTree>(keeper, std::move(report->read), std::move(requests->write));
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

// A signal to the waiting thread whenever `readFd` has something to read (or its writers have all
// gone): the wait is woken at once rather than at the next tick. SIGCHLD, which the wait takes as
// a wake-up and which, left over after it, is ignored by default.
void wakeOnInput(int readFd) {
  f_owner_ex owner{F_OWNER_TID, static_cast<pid_t>(::gettid())};
  if (::fcntl(readFd, F_SETOWN_EX, &owner) == 0 && ::fcntl(readFd, F_SETSIG, SIGCHLD) == 0) {
    ::fcntl(readFd, F_SETFL, ::fcntl(readFd, F_GETFL) | O_ASYNC);
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
