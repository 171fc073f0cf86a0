// On Linux the program is started by a keeper: a process of this executable's own, between it and
// the program, that holds the program's whole tree (see keeper_linux.cpp) and ends it when asked.
// The executable itself takes no orphans, so the processes its caller had started before (a
// shell's background job, the reader of a process substitution) are never mistaken for the
// program's.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <thread>

#include "platform/linux/control_group.h"
#include "platform/linux/keeper.h"
#include "platform/linux/process_tree.h"
#include "platform/linux/system_calls.h"
#include "platform/posix/child_tree.h"

namespace platform::linux_impl {
namespace {

using posix_impl::ChildTree;
using posix_impl::Fd;
using posix_impl::ProcessEnd;
using Clock = std::chrono::steady_clock;

// The longest the keeper is waited for while it works: its walk of the tree gives up sooner.
constexpr std::chrono::seconds keeperWorkCap(60);
// How long what the kernel holds is waited for once the keeper is gone.
constexpr std::chrono::milliseconds kernelHoldLimit(500);
// How often a keeper that someone stopped is let go on while the program runs.
constexpr std::chrono::milliseconds goOnInterval(100);

// The executable's side of the keeper.
class KeptTree final : public ChildTree {
 public:
  KeptTree(pid_t keeper, Fd channel) : keeper_(keeper), channel_(std::move(channel)) {}

  std::optional<ProcessEnd> look() override {
    // A keeper that someone stopped is let go on, a tick's time at most after: the program's end
    // is seen only through it. Not at every look: input on the pipes wakes the wait far more
    // often than that.
    if (Clock::now() - lastGoOn_ >= goOnInterval) {
      letKeeperGoOn();
      lastGoOn_ = Clock::now();
    }
    readReport();
    return end_;
  }

  // The keeper is waited for while it gets somewhere, however long the tree takes to end. One that
  // falls silent for `patience` while it is not even waiting for the processor (stopped in the
  // kernel, or held there), or that was killed, is ended here, and its group with it.
  void endAll(std::chrono::milliseconds patience) override {
    letKeeperGoOn();
    ssize_t ignored = ::send(channel_.get(), "e", 1, MSG_DONTWAIT | MSG_NOSIGNAL);
    (void)ignored;
    const auto start = Clock::now();
    auto lastWord = start;
    // The keeper's end of the channel closes when it has gone: nothing else holds it once the
    // keeper and the first process of its namespace have exited (the program closes it before its
    // exec).
    while (!keeperDone_ && Clock::now() - start < keeperWorkCap) {
      pollfd report{channel_.get(), POLLIN, 0};
      ::poll(&report, 1, 10);
      if (readReport()) {
        lastWord = Clock::now();
      } else if (Clock::now() - lastWord >= patience && !keeperRunnable()) {
        break;
      }
      letKeeperGoOn();
    }
    auto ended = reapKeeper(Clock::now() + (keeperDone_ ? patience : std::chrono::milliseconds(0)));
    if (!ended) {
      // Not reaped yet, its pid is still this process's child's.
      ::kill(keeper_, SIGKILL);
      ended = reapKeeper(Clock::now() + patience);
    }
    if (!ended || !WIFEXITED(*ended)) {
      endGroupOfLostKeeper();
    }
  }

 private:
  void letKeeperGoOn() const {
    if (!keeperReaped_) {
      ::kill(keeper_, SIGCONT);
    }
  }

  // Takes in what the keeper sent; true when anything came.
  bool readReport() {
    bool any = false;
    for (;;) {
      char buffer[64 * sizeof(KeeperRecord)];
      Fd passed;
      ssize_t n = receive(buffer, sizeof buffer, passed);
      if (n < 0 && errno == EINTR) {
        continue;
      }
      if (n <= 0) {
        if (n == 0) {
          keeperDone_ = true;
        }
        if (keeperDone_ && !end_) {
          end_ = ProcessEnd{};  // the keeper is gone, and the program went with it
        }
        return any;
      }
      any = true;
      pending_.append(buffer, static_cast<size_t>(n));
      takeRecords(std::move(passed));
    }
  }

  // One read from the channel; a descriptor sent with what was read comes in `passed`.
  ssize_t receive(char* buffer, size_t size, Fd& passed) const {
    iovec bytes{buffer, size};
    msghdr message{};
    message.msg_iov = &bytes;
    message.msg_iovlen = 1;
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))];
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    ssize_t n = ::recvmsg(channel_.get(), &message, MSG_DONTWAIT | MSG_CMSG_CLOEXEC);
    for (cmsghdr* header = n > 0 ? CMSG_FIRSTHDR(&message) : nullptr; header;
         header = CMSG_NXTHDR(&message, header)) {
      if (header->cmsg_level == SOL_SOCKET && header->cmsg_type == SCM_RIGHTS &&
          header->cmsg_len == CMSG_LEN(sizeof(int))) {
        int fd = -1;
        std::memcpy(&fd, CMSG_DATA(header), sizeof fd);
        passed.reset(fd);
      }
    }
    return n;
  }

  void takeRecords(Fd passed) {
    size_t whole = pending_.size() / sizeof(KeeperRecord) * sizeof(KeeperRecord);
    for (size_t at = 0; at < whole; at += sizeof(KeeperRecord)) {
      KeeperRecord record;
      std::memcpy(&record, pending_.data() + at, sizeof record);
      take(record, passed);
    }
    pending_.erase(0, whole);
  }

  void take(const KeeperRecord& record, Fd& passed) {
    if (record.kind == KeeperRecord::ProgramEnded && !end_) {
      end_ = record.value == 1   ? ProcessEnd{record.status, 0}
             : record.value == 0 ? ProcessEnd{std::nullopt, record.status}
                                 : ProcessEnd{};
    } else if (record.kind == KeeperRecord::GroupMade && passed && !group_ &&
               posix_impl::moveAboveStandardStreams(passed)) {
      group_ = ControlGroup::adopt(std::move(passed));
    }
  }

  // The keeper's wait status once reaped; none at `deadline`.
  std::optional<int> reapKeeper(Clock::time_point deadline) {
    for (;;) {
      int status = 0;
      pid_t reaped = ::waitpid(keeper_, &status, WNOHANG);
      if (reaped == keeper_) {
        keeperReaped_ = true;
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
    if (!procIsOurs()) {
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

  // The group the keeper made, known by the folder it handed over: once the keeper can't, what is
  // in it is ended and the group removed from here.
  void endGroupOfLostKeeper() const {
    if (!group_) {
      return;
    }
    const ControlGroup& group = *group_;
    group.killAll();
    size_t left = group.processes().size();
    awaitWhileProgressing([&group] { return group.isEmpty(); },
                          [&group, &left] {
                            size_t now = group.processes().size();
                            bool fewer = now < left;
                            left = now;
                            return fewer;
                          },
                          [&group] { return procIsOurs() && anyMayStillGo(group.processes()); },
                          EndLimits{});
    auto deadline = Clock::now() + kernelHoldLimit;
    while (!group.remove() && Clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }

  pid_t keeper_;
  Fd channel_;
  std::string pending_;  // what came of a record not yet whole
  std::optional<ProcessEnd> end_;
  std::optional<ControlGroup> group_;
  bool keeperDone_ = false;
  bool keeperReaped_ = false;
  Clock::time_point lastGoOn_{};
};

}  // namespace

std::unique_ptr<ChildTree> keptTree(pid_t keeper, Fd channel) {
  return std::make_unique<KeptTree>(keeper, std::move(channel));
}

}  // namespace platform::linux_impl

namespace platform::posix_impl {

std::unique_ptr<ChildTree> startChildTree(const SpawnPlan& plan) {
  // Other processes of this user can't open this process's descriptors through /proc, nor read
  // its memory: a process of the tree could otherwise hold a copy of what it shares with its
  // keeper. The program, once exec'd, is dumpable again.
  ::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
  auto channel = linux_impl::makeKeeperChannel();
  if (!channel || ::fcntl(channel->executable.get(), F_SETFL, O_NONBLOCK) != 0) {
    return nullptr;
  }
  // What the keeper sends wakes the wait at once, as the program's own end would.
  wakeOnInput(channel->executable.get());
  const linux_impl::KeeperStart start{linux_impl::currentPid(), ::getpgrp()};
  pid_t keeper = ::fork();
  if (keeper == 0) {
    linux_impl::runKeeper(plan, std::move(*channel), start);
  }
  if (keeper < 0) {
    return nullptr;
  }
  // The keeper's own process group, made from both sides: whichever comes first, the keeper is out
  // of reach of its caller's group-wide signals from here on.
  ::setpgid(keeper, keeper);
  return linux_impl::keptTree(keeper, std::move(channel->executable));
}

void prepareChildForExec(const SpawnPlan&, pid_t expectedParent) {
  // The program dies with its parent, even one killed by SIGKILL. If the parent went before the
  // request was made, nothing would ever send that signal, so the child ends here.
  if (::prctl(PR_SET_PDEATHSIG, SIGKILL, 0, 0, 0) != 0 || ::getppid() != expectedParent) {
    ::_exit(127);
  }
}

void closeInheritedDescriptorsOnExec(const SpawnPlan& plan) {
  // Closed now, not at the exec: an exec that never completes (a program on a file system that
  // does not answer) would otherwise hold what the keeper shares with the executable, and the
  // executable would wait for its end. Only the failure report's pipe stays until the exec (it
  // is close-on-exec).
  const auto failure = static_cast<unsigned>(plan.failureFd);
  bool closed = failure <= STDERR_FILENO + 1 ||
                linux_impl::closeRange(STDERR_FILENO + 1, failure - 1, 0) == 0;
  if (closed && linux_impl::closeRange(failure + 1, ~0U, 0) == 0) {
    return;
  }
  // Before Linux 5.9 there is no close_range: one descriptor at a time.
  for (int fd = STDERR_FILENO + 1; fd < plan.highestFd; ++fd) {
    if (fd != plan.failureFd) {
      ::close(fd);
    }
  }
}

// A signal to the waiting thread whenever `readFd` has something to read (or its writers have all
// gone): the wait is woken at once rather than at the next tick. SIGCHLD, which the wait takes as
// a wake-up and which, left over after it, is ignored by default.
void wakeOnInput(int readFd) {
  f_owner_ex owner{F_OWNER_TID, linux_impl::currentThread()};
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

size_t discardFromPipe(int readFd, size_t bytes) {
  static Fd null = [] {
    Fd opened(::open("/dev/null", O_WRONLY | O_CLOEXEC));
    return moveAboveStandardStreams(opened) ? std::move(opened) : Fd();
  }();
  ssize_t moved =
      null ? ::splice(readFd, nullptr, null.get(), nullptr, bytes, SPLICE_F_NONBLOCK) : -1;
  return moved > 0 ? static_cast<size_t>(moved) : 0;
}

}  // namespace platform::posix_impl
