// The keeper: a process of this executable's own, between it and the program, that holds the
// program's tree in the strongest way the system offers, and ends all of it when the executable
// asks or has gone. In the order they are tried:
//
// - A PID namespace of its own, where the keeper may make one without a user namespace (as root):
//   its first process, a second process of this executable's, starts the program and reaps the
//   orphans of the tree. When it goes, however it goes, the kernel ends everything in the
//   namespace, whatever user it runs as.
// - A control group below the executable's own, where cgroup v2 lets one be made (a group
//   delegated to the user): the program is started inside it (CLONE_INTO_CGROUP), and cgroup.kill
//   ends everything in it at once. The keeper's own children are ended besides, should one have
//   moved itself out, and the group is removed, with any made inside it, once it is empty.
// - A PID namespace in a user namespace of its own, where the system lets any user make one: as
//   the first, but the program's supplementary groups read as the overflow group, and a setuid
//   program started in it gains nothing.
// - Else a walk of the tree: the keeper is the subreaper of the program's tree, and stops, lists
//   and kills what is below it, round after round, each process through a descriptor of its own.
//
// The keeper takes nothing of the caller's: it is in a process group of its own, so that a signal
// the caller sends its whole group reaches the executable and not it (it blocks every signal
// anyway); it holds none of the caller's descriptors once the program is started, and its own
// standard streams are the null device. Other processes of the user can't reach into it through
// /proc: it is not dumpable.
#include "platform/linux/keeper.h"

#include <fcntl.h>
#include <linux/sched.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "platform/linux/control_group.h"
#include "platform/linux/process_tree.h"
#include "platform/linux/system_calls.h"

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

// The signal the kernel sends the keeper when the executable has gone (a parent-death signal):
// the executable's end is seen even where a process of the tree holds the channel open.
constexpr int executableGoneSignal = SIGUSR1;

// What the namespace's first process reads from the keeper, and what it tells the keeper while it
// ends the namespace: that it got somewhere, and that it is leaving.
constexpr char goAheadByte = 'g';
constexpr char endAllByte = 'e';
constexpr char progressByte = 'p';
constexpr char leavingByte = 'x';

// A new process, as fork makes one, with the clone3 `flags` and the group's folder for
// CLONE_INTO_CGROUP: 0 in the new process, -1 where the kernel refuses.
pid_t cloneIntoGroup(int groupFolder) {
  clone_args args{};
  args.flags = CLONE_INTO_CGROUP;
  args.exit_signal = SIGCHLD;
  args.cgroup = static_cast<uint64_t>(groupFolder);
  return static_cast<pid_t>(::syscall(SYS_clone3, &args, sizeof args));
}

// A new process in new namespaces (`flags`), through clone rather than clone3: a filter of the
// system's (a container's, or a test's) can tell it by its flags. 0 in the new process, -1 where
// the kernel refuses.
pid_t cloneWithNamespaces(unsigned long flags) {
  return static_cast<pid_t>(::syscall(SYS_clone, flags | SIGCHLD, nullptr, nullptr, nullptr, 0));
}

// How the keeper holds the program's tree.
enum class KeeperWay {
  PidNamespace,  // a PID namespace of its own, with or without a user namespace
  Group,         // a control group of its own below the executable's
  Walk,          // a walk of the process tree below the keeper, a subreaper
  // As the walk, but /proc can't be trusted: only the program and the group it leads are ended.
  ProgramOnly,
};

class Reporter {
 public:
  explicit Reporter(int fd) : fd_(fd) {}
  void programEnded(int waitStatus) const {
    if (WIFEXITED(waitStatus)) {
      sendRecord(fd_, {KeeperRecord::ProgramEnded, 1, WEXITSTATUS(waitStatus)});
    } else if (WIFSIGNALED(waitStatus)) {
      sendRecord(fd_, {KeeperRecord::ProgramEnded, 0, WTERMSIG(waitStatus)});
    }
  }
  void programGone() const { sendRecord(fd_, {KeeperRecord::ProgramEnded, -1, 0}); }
  void progress() const { sendRecord(fd_, {KeeperRecord::Progress, 0, 0}); }
  void groupMade(int folder) const { sendRecord(fd_, {KeeperRecord::GroupMade, 0, 0}, folder); }

 private:
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
  // The standard streams are never closed here, so a kept one among them bounds nothing.
  keep.erase(std::remove_if(keep.begin(), keep.end(), [](int fd) { return fd <= STDERR_FILENO; }),
             keep.end());
  std::sort(keep.begin(), keep.end());
  unsigned from = STDERR_FILENO + 1;
  bool closed = true;
  for (int fd : keep) {
    if (static_cast<unsigned>(fd) > from) {
      closed = closeRange(from, static_cast<unsigned>(fd) - 1, 0) == 0 && closed;
    }
    from = std::max(from, static_cast<unsigned>(fd) + 1);
  }
  closed = closeRange(from, ~0U, 0) == 0 && closed;
  if (closed) {
    return;
  }
  // Before Linux 5.9 there is no close_range: one descriptor at a time.
  for (int fd = STDERR_FILENO + 1; fd < highestFd; ++fd) {
    if (!std::binary_search(keep.begin(), keep.end(), fd)) {
      ::close(fd);
    }
  }
}

// Standard streams onto the null device: a reader of the caller's output waits until every
// writer is gone, and a process that merely keeps the tree must not be one.
void nullStandardStreams() {
  Fd null(::open("/dev/null", O_RDWR | O_CLOEXEC));
  // Where a standard stream was closed, the null device lands there: moved above them first, it
  // is not closed again once it has been put in their place.
  if (!posix_impl::moveAboveStandardStreams(null)) {
    return;
  }
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    ::dup2(null.get(), fd);
  }
}

// Every signal waits for the process to ask for it, and those in `watched` are read from the
// descriptor returned: the caller's signals are not this process's to act on.
Fd blockSignalsAndWatch(std::initializer_list<int> watched) {
  sigset_t all;
  sigfillset(&all);
  ::sigprocmask(SIG_SETMASK, &all, nullptr);
  ::signal(SIGCHLD, SIG_DFL);
  sigset_t set;
  sigemptyset(&set);
  for (int signal : watched) {
    sigaddset(&set, signal);
  }
  Fd fd(::signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK));
  // Above the standard streams, which are put onto the null device later: a caller that closed
  // its standard input would otherwise have this land there, and be replaced.
  return posix_impl::moveAboveStandardStreams(fd) ? std::move(fd) : Fd();
}

// Reads every signal that came on `signals`; true when one was `signal` from `sender`.
bool readSignals(int signals, int signal, pid_t sender) {
  bool came = false;
  signalfd_siginfo info[8];
  for (ssize_t n; signals >= 0 && (n = ::read(signals, info, sizeof info)) > 0;) {
    for (size_t i = 0; i < static_cast<size_t>(n) / sizeof info[0]; ++i) {
      came = came || (static_cast<int>(info[i].ssi_signo) == signal &&
                      static_cast<pid_t>(info[i].ssi_pid) == sender);
    }
  }
  return came;
}

bool writeText(const std::string& path, const std::string& text) {
  Fd file(::open(path.c_str(), O_WRONLY | O_CLOEXEC));
  return file && ::write(file.get(), text.data(), text.size()) == static_cast<ssize_t>(text.size());
}

// Maps this process's user and group to themselves in the user namespace of `process`, so that
// the program runs as the user and group it would have run as without it.
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

// Whether the other processes of this user may open this process's descriptors through /proc
// (and read its memory). Another process of the tree could otherwise take a copy of the channel
// to the executable and hold it open after the executable is gone.
void letOthersIn(bool allowed) {
  ::prctl(PR_SET_DUMPABLE, allowed ? 1 : 0, 0, 0, 0);
}

// The first process of the program's PID namespace: it starts the program, reports its end,
// reaps every orphan of the tree (all of them come to it), and ends them all when the keeper asks.
// When it goes, however, the kernel ends everything left in the namespace.
class NamespaceFirst {
 public:
  NamespaceFirst(const SpawnPlan& plan, int report, Fd keeper)
      : plan_(plan), reporter_(report), report_(report), toKeeper_(std::move(keeper)) {}

  [[noreturn]] void run() {
    // Should the keeper go, so does this process, and with it the namespace.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL, 0, 0, 0);
    Fd childEnds = blockSignalsAndWatch({SIGCHLD});
    // The keeper may have gone before the parent-death signal was asked for: it would never come.
    if (readFromKeeper() != goAheadByte || keeperGone()) {
      ::_exit(0);
    }
    // The user namespace's maps are written by now: nothing else needs this process's /proc.
    letOthersIn(false);
    // The namespace's own pid of this process (1), as the kernel gives it, not as a C library that
    // keeps a copy of its pid from before the clone would.
    const pid_t self = currentPid();
    program_ = ::fork();
    if (program_ == 0) {
      posix_impl::becomeProgram(plan_, self);
    }
    if (program_ < 0) {
      posix_impl::failInChild(plan_);
    }
    closeAllBut({report_, toKeeper_.get(), childEnds.get()}, plan_.highestFd);
    nullStandardStreams();
    for (;;) {
      bool asked = awaitInput(childEnds.get());
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
  // Waits until the keeper sends a byte or goes, a child ends, or the look interval passes; true
  // when the keeper's pipe is readable.
  bool awaitInput(int childEnds) {
    pollfd watched[2] = {{toKeeper_.get(), POLLIN, 0}, {childEnds, POLLIN, 0}};
    int ready = ::poll(watched, childEnds >= 0 ? 2 : 1, lookIntervalMs);
    readSignals(childEnds, 0, 0);
    return ready > 0 && watched[0].revents != 0;
  }

  // The keeper's next byte; 0 once it has gone.
  char readFromKeeper() {
    char byte = 0;
    ssize_t n;
    do {
      n = ::read(toKeeper_.get(), &byte, 1);
    } while (n < 0 && errno == EINTR);
    return n == 1 ? byte : 0;
  }

  bool keeperGone() const {
    pollfd keeper{toKeeper_.get(), POLLIN, 0};
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
  // What the kernel holds is left to it: once this process exits, the kernel ends the rest and
  // only then lets it be reaped. The keeper hears of each step, and of the leaving.
  [[noreturn]] void endAll() {
    ::kill(-1, SIGKILL);
    awaitWhileProgressing(
        [] { return !hasChildren(); },
        [this] {
          bool reaped = reapOrphans();
          if (reaped) {
            reporter_.progress();
            tellKeeper(progressByte);
          }
          return reaped;
        },
        [this] { return stillGoing(anyMayStillGo(descendantsShownInProc()), reporter_); },
        EndLimits{});
    tellKeeper(leavingByte);
    ::_exit(0);
  }

  void tellKeeper(char byte) const {
    ssize_t ignored = ::send(toKeeper_.get(), &byte, 1, MSG_DONTWAIT | MSG_NOSIGNAL);
    (void)ignored;
  }

  const SpawnPlan& plan_;
  Reporter reporter_;
  int report_;
  Fd toKeeper_;  // a channel of its own with the keeper
  pid_t program_ = -1;
};

class Keeper {
 public:
  Keeper(const SpawnPlan& plan, Fd channel, const KeeperStart& start)
      : plan_(plan), channel_(std::move(channel)), start_(start), reporter_(channel_.get()) {}

  [[noreturn]] void run() {
    signals_ = blockSignalsAndWatch({SIGCHLD, executableGoneSignal});
    watchExecutable();
    // Nothing of the executable's is kept but what the program needs; fewer descriptors held also
    // leave more for the ways below under a low limit.
    closeAllBut({channel_.get(), signals_.get(), plan_.outputFd, plan_.errorFd, plan_.failureFd},
                plan_.highestFd);
    startProgram();
    closeAllBut({channel_.get(), signals_.get(), toFirst_.get(), group_ ? group_->folder() : -1,
                 group_ ? group_->parent() : -1},
                plan_.highestFd);
    nullStandardStreams();
    for (;;) {
      bool asked = awaitRequest();
      reapOrphans();
      if (asked) {
        endEverything();
      }
    }
  }

 private:
  // The executable's end is seen as a signal from the kernel as well as on the channel. If the
  // executable went before the signal was asked for, it would never come.
  void watchExecutable() {
    ::prctl(PR_SET_PDEATHSIG, executableGoneSignal, 0, 0, 0);
    if (::getppid() != start_.executable || requestWaiting(0)) {
      ::_exit(0);
    }
  }

  // Whether the channel has a byte or its end of file within `timeoutMs`.
  bool requestWaiting(int timeoutMs) const {
    pollfd request{channel_.get(), POLLIN, 0};
    return ::poll(&request, 1, timeoutMs) > 0;
  }

  // Waits until the executable asks for the end or has gone, a child ends, or the look interval
  // passes; true when the tree is to be ended.
  bool awaitRequest() {
    pollfd watched[2] = {{channel_.get(), POLLIN, 0}, {signals_.get(), POLLIN, 0}};
    int ready = ::poll(watched, 2, lookIntervalMs);
    bool gone = readSignals(signals_.get(), executableGoneSignal, start_.executable);
    if (ready <= 0 || (!gone && watched[0].revents == 0)) {
      return gone;
    }
    // A byte asks for the end; end of file says the executable has gone. Anything else is no
    // request.
    char byte = 0;
    ssize_t n = ::recv(channel_.get(), &byte, 1, MSG_DONTWAIT);
    return gone || n == 0 || (n == 1 && byte == endAllByte) || (n < 0 && errno != EAGAIN);
  }

  void startProgram() {
    if (startInGroup() || startInNamespace(false) || startInNamespace(true)) {
      return;
    }
    ::prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0);
    way_ = procIsOurs_ ? KeeperWay::Walk : KeeperWay::ProgramOnly;
    program_ = ::fork();
    startedProgram(program_, -1);
  }

  // In the new process: joins the caller's process group, as the program would have been in
  // without the pack (a terminal's job control reaches it), says it got this far on `started`
  // where there is one, and becomes the program.
  void startedProgram(pid_t pid, int started) {
    if (pid == 0) {
      ::setpgid(0, start_.callerGroup);
      if (started >= 0) {
        ssize_t ignored = ::write(started, "s", 1);
        (void)ignored;
      }
      posix_impl::becomeProgram(plan_, keeper_);
    }
    if (pid < 0) {
      posix_impl::failInChild(plan_);
    }
    // Either of the two may come first; the second finds it done.
    ::setpgid(pid, start_.callerGroup);
  }

  bool startInGroup() {
    auto group = ControlGroup::create();
    if (!group) {
      return false;
    }
    auto started = posix_impl::makePipe();
    if (!started) {
      group->remove();
      return false;
    }
    // Orphans of the tree come back here to be reaped, not to the caller's own subreaper.
    ::prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0);
    pid_t pid = cloneIntoGroup(group->folder());
    if (pid == 0) {
      started->read.reset();
    }
    if (pid >= 0) {
      startedProgram(pid, started->write.get());
    }
    started->write.reset();
    // The kernel may have ended the new process at its birth (a group whose parent once had
    // cgroup.kill written, on some kernels): the program never ran, and the next way is tried.
    if (pid < 0 || !reachedItsStart(pid, started->read.get())) {
      ::prctl(PR_SET_CHILD_SUBREAPER, 0, 0, 0, 0);
      group->remove();
      return false;
    }
    program_ = pid;
    group_ = std::move(group);
    way_ = KeeperWay::Group;
    reporter_.groupMade(group_->folder());
    return true;
  }

  // Whether the new process `pid` said it got as far as becoming the program; one that died
  // before is reaped. A request from the executable meanwhile counts as a start: the program is
  // ended with the rest.
  bool reachedItsStart(pid_t pid, int started) {
    for (;;) {
      pollfd watched[2] = {{started, POLLIN, 0}, {channel_.get(), POLLIN, 0}};
      if (::poll(watched, 2, lookIntervalMs) < 0 && errno != EINTR) {
        return true;
      }
      if (watched[0].revents != 0) {
        char byte = 0;
        if (::read(started, &byte, 1) == 1) {
          return true;
        }
        ::waitpid(pid, nullptr, __WALL);
        return false;
      }
      if (watched[1].revents != 0) {
        return true;
      }
    }
  }

  // With `ownUserNamespace`, in a user namespace of its own too, which is what lets any user make
  // a PID namespace where the system allows it; its ids can be mapped only through a /proc of
  // this namespace.
  bool startInNamespace(bool ownUserNamespace) {
    if (ownUserNamespace && !procIsOurs_) {
      return false;
    }
    auto toFirst = makeKeeperChannel();
    if (!toFirst) {
      return false;
    }
    // The maps are written through the new process's /proc files, which belong to the user only
    // while the process is dumpable.
    letOthersIn(ownUserNamespace);
    pid_t first = cloneWithNamespaces(CLONE_NEWPID | (ownUserNamespace ? CLONE_NEWUSER : 0));
    if (first == 0) {
      toFirst->executable.reset();
      NamespaceFirst(plan_, channel_.get(), std::move(toFirst->keeper)).run();
    }
    letOthersIn(false);
    if (first < 0) {
      return false;
    }
    // The program, which the first process starts, stays in the caller's process group.
    ::setpgid(first, start_.callerGroup);
    if ((ownUserNamespace && !mapOwnIds(first)) ||
        ::write(toFirst->executable.get(), &goAheadByte, 1) != 1) {
      // Not reaped yet, the pid is still this child's.
      ::kill(first, SIGKILL);
      ::waitpid(first, nullptr, __WALL);
      return false;
    }
    first_ = first;
    toFirst_ = std::move(toFirst->executable);
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
      case KeeperWay::PidNamespace:
        endNamespace();
        break;
      case KeeperWay::Group:
        endGroup();
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

  // cgroup.kill ends everything in the group and in the groups made inside it; a process that
  // moved itself out of the group is still below the keeper, and comes back to it as a child once
  // its parent is gone. Each of the keeper's children is killed until none is left: unreaped, its
  // pid can't be anyone else's.
  void endGroup() {
    if (!group_->killAll()) {
      walkTree();
    }
    const ControlGroup& group = *group_;
    size_t left = group.processes().size();
    killOwnChildren();
    awaitWhileProgressing([&group] { return !hasChildren() && group.isEmpty(); },
                          [this, &group, &left] {
                            bool reaped = reapOrphans();
                            killOwnChildren();
                            size_t now = group.processes().size();
                            bool fewer = now < left;
                            left = now;
                            if (reaped || fewer) {
                              reporter_.progress();
                            }
                            return reaped || fewer;
                          },
                          [this, &group] {
                            return stillGoing(procIsOurs_ && (anyMayStillGo(group.processes()) ||
                                                              anyMayStillGo(childrenOf(keeper_))),
                                              reporter_);
                          },
                          EndLimits{});
    auto deadline = Clock::now() + kernelHoldLimit;
    while (!group.remove() && Clock::now() < deadline) {
      reapOrphans();
      pauseBriefly();
    }
  }

  void killOwnChildren() const {
    if (procIsOurs_) {
      for (pid_t child : childrenOf(keeper_)) {
        ::kill(child, SIGKILL);
      }
    }
  }

  // The namespace's first process ends the rest and then itself; the kernel lets it be reaped only
  // once the namespace is empty. It is waited for while it gets somewhere, as it says; once it is
  // leaving, what the kernel holds there (a process stuck in the kernel) is waited for as anywhere
  // else, and then left to the kernel, with the first process.
  void endNamespace() {
    if (first_ < 0) {
      return;
    }
    ssize_t ignored = ::write(toFirst_.get(), &endAllByte, 1);
    (void)ignored;
    const pid_t first = first_;
    bool leaving = false;
    awaitWhileProgressing(
        [this] { return first_ < 0; },
        [this, &leaving] {
          bool reaped = reapOrphans();
          bool heard = hearFromFirst(leaving);
          if (heard) {
            reporter_.progress();
          }
          return reaped || heard;
        },
        [this, first, &leaving] {
          return first_ >= 0 && (!leaving || (procIsOurs_ && anyMayStillGo(descendantsOf(first))));
        },
        EndLimits{});
  }

  // Takes in what the first process said; true when it got somewhere.
  bool hearFromFirst(bool& leaving) const {
    bool progressed = false;
    char said[64];
    for (ssize_t n; (n = ::recv(toFirst_.get(), said, sizeof said, MSG_DONTWAIT)) > 0;) {
      for (ssize_t i = 0; i < n; ++i) {
        progressed = progressed || said[i] == progressByte;
        leaving = leaving || said[i] == leavingByte;
      }
    }
    return progressed;
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
  const pid_t keeper_ = currentPid();
  const bool procIsOurs_ = procIsOurs();
  Fd channel_;
  const KeeperStart start_;
  Reporter reporter_;
  Fd signals_;
  KeeperWay way_ = KeeperWay::Walk;
  pid_t program_ = -1;
  bool programReaped_ = false;
  std::optional<ControlGroup> group_;
  pid_t first_ = -1;
  Fd toFirst_;
};

}  // namespace

bool sendRecord(int channel, KeeperRecord record, int fd) {
  iovec bytes{&record, sizeof record};
  msghdr message{};
  message.msg_iov = &bytes;
  message.msg_iovlen = 1;
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
  if (fd >= 0) {
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    cmsghdr* header = CMSG_FIRSTHDR(&message);
    header->cmsg_level = SOL_SOCKET;
    header->cmsg_type = SCM_RIGHTS;
    header->cmsg_len = CMSG_LEN(sizeof(int));
    std::memcpy(CMSG_DATA(header), &fd, sizeof fd);
  }
  // Never waits: a word of progress that finds the channel full is one the executable has no room
  // for yet, and a later one says the same; nor does a channel whose reader has gone raise a
  // signal.
  ssize_t sent;
  do {
    sent = ::sendmsg(channel, &message, MSG_DONTWAIT | MSG_NOSIGNAL);
  } while (sent < 0 && errno == EINTR);
  return sent == static_cast<ssize_t>(sizeof record);
}

std::optional<KeeperChannel> makeKeeperChannel() {
  int ends[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) {
    return std::nullopt;
  }
  KeeperChannel channel{Fd(ends[0]), Fd(ends[1])};
  if (!posix_impl::moveAboveStandardStreams(channel.executable) ||
      !posix_impl::moveAboveStandardStreams(channel.keeper)) {
    return std::nullopt;
  }
  return channel;
}

void runKeeper(const SpawnPlan& plan, KeeperChannel channel, const KeeperStart& start) {
  // Only the executable may hold its end, or its end of file would go unseen.
  channel.executable.reset();
  // A process group of its own: a signal the caller sends its whole group (a terminal's, or a
  // supervisor's SIGKILL to a job) reaches the executable, which the keeper then sees go.
  ::setpgid(0, 0);
  Keeper(plan, std::move(channel.keeper), start).run();
}

}  // namespace platform::linux_impl
