// The keeper: a process of this executable's own, between it and the program, that holds the
// program's tree in the strongest way the system offers, and ends all of it when the executable
// asks or has gone.
//
// - A control group below the executable's own, where cgroup v2 lets one be made: the program is
//   started inside it (CLONE_INTO_CGROUP), nothing it starts can leave it, and cgroup.kill ends
//   them all at once. The keeper removes the group once it is empty.
// - Else a PID namespace (in a user namespace of its own where that is what makes it allowed):
//   its first process, a second process of this executable's, starts the program and reaps the
//   orphans of the tree. When it goes, however it goes, the kernel ends everything in the
//   namespace.
// - Else a walk of the tree: the keeper is the subreaper of the program's tree, and stops, lists
//   and kills what is below it, round after round.
//
// The keeper takes nothing of the caller's: it ignores every signal the caller sends the process
// group (all are blocked), holds none of the caller's descriptors once the program is started,
// and its own standard streams are the null device.
#include "platform/linux/keeper.h"

#include <fcntl.h>
#include <linux/sched.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/linux/control_group.h"
#include "platform/linux/process_tree.h"

namespace platform::linux_impl {
namespace {

using posix_impl::Fd;
using posix_impl::SpawnPlan;
using Clock = std::chrono::steady_clock;

// How often the keeper looks again unprompted: an exit that a tracer holds back is noticed this
// late at most.
constexpr int lookIntervalMs = 100;
// How long the end waits on what the kernel holds (a process in an uninterruptible sleep) once
// nothing more is getting done.
constexpr std::chrono::milliseconds kernelHoldLimit(500);

// What the namespace's first process reads from the keeper.
constexpr char goAheadByte = 'g';
constexpr char endAllByte = 'e';

// A new process, as fork makes one, with the clone3 `flags` (and the group's folder for
// CLONE_INTO_CGROUP): 0 in the new process, -1 where the kernel refuses. The new process only
// makes async-signal-safe calls before it execs or, as the namespace's first process, before it
// forks again through the C library.
pid_t cloneProcess(uint64_t flags, int groupFolder = -1) {
  clone_args args{};
  args.flags = flags;
  args.exit_signal = SIGCHLD;
  if (groupFolder >= 0) {
    args.cgroup = static_cast<uint64_t>(groupFolder);
  }
  return static_cast<pid_t>(::syscall(SYS_clone3, &args, sizeof args));
}

// How the keeper holds the program's tree, from the best the system offers to the least.
enum class KeeperWay {
  // A control group of its own below the executable's: the kernel ends everything in it at once,
  // and nothing in it escapes by forking or detaching.
  Group,
  // A PID namespace of its own, whose first process is the keeper's: when that one goes, the
  // kernel ends everything in the namespace, whatever ended it.
  PidNamespace,
  // A walk of the process tree below the keeper, a subreaper, round after round.
  Walk,
  // As the walk, but /proc can't be trusted: only the program and the group it leads are ended.
  ProgramOnly,
};

class Reporter {
 public:
  explicit Reporter(int fd) : fd_(fd) {}
  void programEnded(int waitStatus) const {
    if (WIFEXITED(waitStatus)) {
      send({KeeperRecord::ProgramEnded, 1, WEXITSTATUS(waitStatus)});
    } else if (WIFSIGNALED(waitStatus)) {
      send({KeeperRecord::ProgramEnded, 0, WTERMSIG(waitStatus)});
    }
  }
  void programGone() const { send({KeeperRecord::ProgramEnded, -1, 0}); }
  void progress() const { send({KeeperRecord::Progress, 0, 0}); }

 private:
  // Never waits: a word of progress that finds the pipe full is one the executable has no room
  // for yet, and a later one says the same.
  void send(KeeperRecord record) const {
    ssize_t ignored = ::write(fd_, &record, sizeof record);
    (void)ignored;
  }
  int fd_;
};

// Reaps every child of this process that has ended, telling `onEnd` of each; true when any was.
template <typename OnEnd>
bool reapChildren(OnEnd onEnd) {
  bool any = false;
  for (;;) {
    int status = 0;
    pid_t pid = ::waitpid(-1, &status, WNOHANG | __WALL);
    if (pid > 0) {
      any = true;
      onEnd(pid, status);
    } else if (!(pid < 0 && errno == EINTR)) {
      return any;
    }
  }
}

bool hasChildren() {
  siginfo_t info{};
  return !(::waitid(P_ALL, 0, &info, WEXITED | WNOHANG | WNOWAIT | __WALL) < 0 && errno == ECHILD);
}

void pauseBriefly() {
  std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

// Whether killed processes are still on their way out; if so, the executable is told that the end
// is still getting somewhere, though slowly.
bool stillGoing(bool going, const Reporter& reporter) {
  if (going) {
    reporter.progress();
  }
  return going;
}

// Closes every descriptor above the standard streams but those in `keep`.
void closeAllBut(std::vector<int> keep, int highestFd) {
  keep.erase(std::remove(keep.begin(), keep.end(), -1), keep.end());
  std::sort(keep.begin(), keep.end());
  unsigned from = STDERR_FILENO + 1;
  bool closed = true;
  for (int fd : keep) {
    if (static_cast<unsigned>(fd) > from) {
      closed = ::close_range(from, static_cast<unsigned>(fd) - 1, 0) == 0 && closed;
    }
    from = static_cast<unsigned>(fd) + 1;
  }
  closed = ::close_range(from, ~0U, 0) == 0 && closed;
  if (closed) {
    return;
  }
  for (int fd = STDERR_FILENO + 1; fd < highestFd; ++fd) {
    if (std::find(keep.begin(), keep.end(), fd) == keep.end()) {
      ::close(fd);
    }
  }
}

// Standard streams onto the null device: a reader of the caller's output waits until every
// writer is gone, and a process that merely keeps the tree must not be one.
void nullStandardStreams() {
  Fd null(::open("/dev/null", O_RDWR | O_CLOEXEC));
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO && null; ++fd) {
    ::dup2(null.get(), fd);
  }
}

// Every signal waits for the process to ask for it, and the end of a child is read from a
// descriptor: the caller's signals to the whole group are not this process's to act on.
Fd blockSignalsAndWatchChildren() {
  sigset_t all;
  sigfillset(&all);
  ::sigprocmask(SIG_SETMASK, &all, nullptr);
  ::signal(SIGCHLD, SIG_DFL);
  sigset_t children;
  sigemptyset(&children);
  sigaddset(&children, SIGCHLD);
  return Fd(::signalfd(-1, &children, SFD_CLOEXEC | SFD_NONBLOCK));
}

void drain(int fd) {
  char buffer[512];
  while (fd >= 0 && ::read(fd, buffer, sizeof buffer) > 0) {
  }
}

// Waits until `fd` is readable (a byte or end of file), a child ends, or the look interval
// passes; true when `fd` is readable.
bool awaitInput(int fd, int childEnds) {
  pollfd watched[2] = {{fd, POLLIN, 0}, {childEnds, POLLIN, 0}};
  int ready = ::poll(watched, childEnds >= 0 ? 2 : 1, lookIntervalMs);
  drain(childEnds);
  return ready > 0 && watched[0].revents != 0;
}

bool writeText(const std::string& path, const std::string& text) {
  Fd file(::open(path.c_str(), O_WRONLY | O_CLOEXEC));
  return file && ::write(file.get(), text.data(), text.size()) == static_cast<ssize_t>(text.size());
}

// Maps this process's user and group to themselves in the user namespace of `process`, so that
// the program sees the ids it would have seen without it.
bool mapOwnIds(pid_t process) {
  std::string proc = "/proc/" + std::to_string(process);
  std::string uid = std::to_string(::geteuid());
  std::string gid = std::to_string(::getegid());
  // Without "deny" an unprivileged process may not write a group map; kernels before 3.19 have
  // no such file and need none.
  bool denied = writeText(proc + "/setgroups", "deny") || errno == ENOENT;
  return denied && writeText(proc + "/uid_map", uid + " " + uid + " 1\n") &&
         writeText(proc + "/gid_map", gid + " " + gid + " 1\n");
}

// The first process of the program's PID namespace: it starts the program, reports its end,
// reaps every orphan of the tree (all of them come to it), and ends them all when the keeper asks.
// When it goes, however, the kernel ends everything left in the namespace.
class NamespaceFirst {
 public:
  NamespaceFirst(const SpawnPlan& plan, int report, Fd fromKeeper)
      : plan_(plan), reporter_(report), report_(report), fromKeeper_(std::move(fromKeeper)) {}

  [[noreturn]] void run() {
    // Should the keeper go, so does this process, and with it the namespace.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL, 0, 0, 0);
    Fd childEnds = blockSignalsAndWatchChildren();
    // The keeper may have gone before the parent-death signal was asked for: it would never come.
    if (readFromKeeper() != goAheadByte || keeperGone()) {
      ::_exit(0);
    }
    const pid_t self = ::getpid();
    program_ = ::fork();
    if (program_ == 0) {
      posix_impl::becomeProgram(plan_, self);
    }
    if (program_ < 0) {
      posix_impl::failInChild(plan_);
    }
    closeAllBut({report_, fromKeeper_.get(), childEnds.get()}, plan_.highestFd);
    nullStandardStreams();
    for (;;) {
      bool asked = awaitInput(fromKeeper_.get(), childEnds.get());
      reapOrphans();
      if (asked) {
        if (readFromKeeper() == endAllByte) {
          endAll();
        }
        ::_exit(0);
      }
    }
  }

 private:
  // The keeper's next byte; 0 once it has gone.
  char readFromKeeper() {
    char byte = 0;
    ssize_t n;
    do {
      n = ::read(fromKeeper_.get(), &byte, 1);
    } while (n < 0 && errno == EINTR);
    return n == 1 ? byte : 0;
  }

  bool keeperGone() const {
    pollfd keeper{fromKeeper_.get(), POLLIN, 0};
    return ::poll(&keeper, 1, 0) > 0 && (keeper.revents & POLLHUP) != 0;
  }

  bool reapOrphans() {
    return reapChildren([this](pid_t pid, int status) {
      if (pid == program_) {
        reporter_.programEnded(status);
      }
    });
  }

  // kill(-1) from a namespace's first process reaches every other process in it; each that goes
  // comes back to this one to be reaped, so having no child left means the namespace is empty.
  [[noreturn]] void endAll() {
    ::kill(-1, SIGKILL);
    awaitWhileProgressing(
        [] { return !hasChildren(); },
        [this] {
          bool reaped = reapOrphans();
          if (reaped) {
            reporter_.progress();
          }
          return reaped;
        },
        [this] { return stillGoing(anyMayStillGo(descendantsShownInProc()), reporter_); },
        EndLimits{});
    ::_exit(0);
  }

  const SpawnPlan& plan_;
  Reporter reporter_;
  int report_;
  Fd fromKeeper_;
  pid_t program_ = -1;
};

class Keeper {
 public:
  Keeper(const SpawnPlan& plan, KeeperPipes& pipes)
      : plan_(plan),
        report_(pipes.report.write.get()),
        requests_(pipes.requests.read.get()),
        reporter_(report_) {}

  [[noreturn]] void run() {
    Fd childEnds = blockSignalsAndWatchChildren();
    ::fcntl(report_, F_SETFL, O_NONBLOCK);
    // The executable may have gone before this process could see to anything.
    if (executableGone()) {
      ::_exit(0);
    }
    startProgram();
    closeAllBut(
        {report_, requests_, childEnds.get(), toFirst_.get(), group_ ? group_->folder() : -1},
        plan_.highestFd);
    nullStandardStreams();
    for (;;) {
      bool asked = awaitInput(requests_, childEnds.get());
      reapOrphans();
      if (asked) {
        endEverything();
      }
    }
  }

 private:
  bool executableGone() const {
    pollfd request{requests_, POLLIN, 0};
    return ::poll(&request, 1, 0) > 0;
  }

  void startProgram() {
    if (startInGroup() || startInNamespace()) {
      return;
    }
    ::prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0);
    way_ = procIsOurs_ ? KeeperWay::Walk : KeeperWay::ProgramOnly;
    program_ = ::fork();
    startedProgram(program_);
  }

  void startedProgram(pid_t pid) {
    if (pid == 0) {
      posix_impl::becomeProgram(plan_, keeper_);
    }
    if (pid < 0) {
      posix_impl::failInChild(plan_);
    }
  }

  bool startInGroup() {
    auto group = ControlGroup::create(keeperGroupName(keeper_));
    if (!group) {
      return false;
    }
    // Orphans of the tree come back here to be reaped, not to the caller's own subreaper.
    ::prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0);
    pid_t pid = cloneProcess(CLONE_INTO_CGROUP, group->folder());
    if (pid < 0) {
      ::prctl(PR_SET_CHILD_SUBREAPER, 0, 0, 0, 0);
      group->remove();
      return false;
    }
    startedProgram(pid);
    program_ = pid;
    group_ = std::move(group);
    way_ = KeeperWay::Group;
    return true;
  }

  bool startInNamespace() {
    auto toFirst = posix_impl::makePipe();
    if (!toFirst) {
      return false;
    }
    bool ownIds = false;
    pid_t first = cloneProcess(CLONE_NEWPID);
    // Where only privilege allows a PID namespace, a user namespace of its own makes one
    // allowed; its ids can be mapped only through a /proc of this namespace.
    if (first < 0 && errno != ENOSYS && procIsOurs_) {
      first = cloneProcess(CLONE_NEWUSER | CLONE_NEWPID);
      ownIds = true;
    }
    if (first == 0) {
      toFirst->write.reset();
      NamespaceFirst(plan_, report_, std::move(toFirst->read)).run();
    }
    if (first < 0) {
      return false;
    }
    if ((ownIds && !mapOwnIds(first)) || ::write(toFirst->write.get(), &goAheadByte, 1) != 1) {
      ::kill(first, SIGKILL);
      ::waitpid(first, nullptr, __WALL);
      return false;
    }
    first_ = first;
    toFirst_ = std::move(toFirst->write);
    way_ = KeeperWay::PidNamespace;
    return true;
  }

  bool reapOrphans() {
    return reapChildren([this](pid_t pid, int status) {
      if (pid == program_) {
        programReaped_ = true;
        reporter_.programEnded(status);
      } else if (pid == first_) {
        // The namespace went with its first process, and the program with it.
        first_ = -1;
        reporter_.programGone();
      }
    });
  }

  [[noreturn]] void endEverything() {
    switch (way_) {
      case KeeperWay::Group:
        endGroup();
        break;
      case KeeperWay::PidNamespace:
        endNamespace();
        break;
      case KeeperWay::Walk:
        walkTree();
        break;
      case KeeperWay::ProgramOnly:
        endProgramOnly();
        break;
    }
    ::_exit(0);
  }

  void endGroup() {
    if (!group_->killAll()) {
      walkTree();
    }
    const ControlGroup& group = *group_;
    size_t left = group.processes().size();
    awaitWhileProgressing([&group] { return !hasChildren() && group.isEmpty(); },
                          [this, &group, &left] {
                            bool reaped = reapOrphans();
                            size_t now = group.processes().size();
                            bool fewer = now < left;
                            left = now;
                            if (reaped || fewer) {
                              reporter_.progress();
                            }
                            return reaped || fewer;
                          },
                          [this, &group] {
                            return stillGoing(procIsOurs_ && anyMayStillGo(group.processes()),
                                              reporter_);
                          },
                          EndLimits{});
    auto deadline = Clock::now() + kernelHoldLimit;
    while (!group.remove() && Clock::now() < deadline) {
      reapOrphans();
      pauseBriefly();
    }
  }

  // The namespace's first process ends the rest and then itself; the kernel lets it be reaped
  // only once the namespace is empty.
  void endNamespace() {
    if (first_ < 0) {
      return;
    }
    ssize_t ignored = ::write(toFirst_.get(), &endAllByte, 1);
    (void)ignored;
    while (::waitpid(first_, nullptr, __WALL) < 0 && errno == EINTR) {
    }
  }

  void walkTree() {
    SystemTreeActions actions([this] { return reapOrphans(); }, [this] { reporter_.progress(); });
    endAllDescendants(actions, keeper_, WalkLimits{});
  }

  // Without a /proc to trust, no pid but the program's own is known to be ours, and the group it
  // leads, where it made one: while it is unreaped, both are still its. Once reaped, its pid is
  // never signalled.
  void endProgramOnly() {
    if (!programReaped_) {
      if (::getpgid(program_) == program_) {
        ::kill(-program_, SIGKILL);
      }
      ::kill(program_, SIGKILL);
    }
    auto deadline = Clock::now() + kernelHoldLimit;
    while (!programReaped_ && Clock::now() < deadline) {
      if (!reapOrphans()) {
        pauseBriefly();
      }
    }
    reapOrphans();
  }

  const SpawnPlan& plan_;
  const pid_t keeper_ = ::getpid();
  const bool procIsOurs_ = procIsOurs();
  int report_;
  int requests_;
  Reporter reporter_;
  KeeperWay way_ = KeeperWay::Walk;
  pid_t program_ = -1;
  bool programReaped_ = false;
  std::optional<ControlGroup> group_;
  pid_t first_ = -1;
  Fd toFirst_;
};

}  // namespace

void runKeeper(const SpawnPlan& plan, KeeperPipes pipes) {
  // Only the executable may hold the write end of the requests, or its end would go unseen.
  pipes.requests.write.reset();
  pipes.report.read.reset();
  Keeper(plan, pipes).run();
}

}  // namespace platform::linux_impl
