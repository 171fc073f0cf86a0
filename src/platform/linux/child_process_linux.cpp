#include <fcntl.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <optional>
#include <vector>

#include "platform/child_process.h"
#include "platform/posix/fd.h"
#include "platform/linux/process_tree.h"
#include "platform/linux/termination_signals.h"

extern char** environ;

namespace platform {
namespace {

using posix_impl::Fd;
using linux_impl::TerminationSignals;
using Clock = std::chrono::steady_clock;

// Large reads keep a flood of output cheap; the pipe is widened to match where the system lets us.
constexpr size_t readChunk = 1 << 20;
// Without a pidfd the child's exit is noticed by looking this often.
constexpr std::chrono::milliseconds exitPollInterval(20);
// How long the processes the child leaves behind get to die once killed. Only a process stuck in
// the kernel takes longer, and it must not hold the answer back.
constexpr std::chrono::milliseconds endDescendantsLimit(500);

// Moves `fd` above the standard streams. When the executable was started with 0, 1 or 2 closed,
// a new descriptor lands there, and the child's redirections would then clobber or shadow it.
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

struct Pipe {
  Fd read;
  Fd write;
};

std::optional<Pipe> makePipe() {
  int ends[2];
  if (::pipe2(ends, O_CLOEXEC) != 0) {
    return std::nullopt;
  }
  Pipe pipe{Fd(ends[0]), Fd(ends[1])};
  if (!moveAboveStandardStreams(pipe.read) || !moveAboveStandardStreams(pipe.write)) {
    return std::nullopt;
  }
  return pipe;
}

std::vector<char*> nullTerminated(std::vector<std::string>& strings) {
  std::vector<char*> pointers;
  pointers.reserve(strings.size() + 1);
  for (auto& s : strings) {
    pointers.push_back(s.data());
  }
  pointers.push_back(nullptr);
  return pointers;
}

// Everything the new child needs, made before the fork: between fork and exec the child may only
// make async-signal-safe calls, so it allocates nothing and takes no lock.
struct SpawnPlan {
  SpawnPlan(const ChildLaunch& launch, int output, int failure)
      : program(launch.program),
        argv{launch.program},
        envp(launch.environment),
        outputFd(output),
        failureFd(failure),
        parent(::getpid()) {
    argv.insert(argv.end(), launch.arguments.begin(), launch.arguments.end());
    argvPointers = nullTerminated(argv);
    envpPointers = nullTerminated(envp);
    sigemptyset(&noSignals);
    struct rlimit files {};
    highestFd = ::getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur != RLIM_INFINITY
                    ? static_cast<int>(std::min<rlim_t>(files.rlim_cur, 1 << 20))
                    : 1 << 16;
  }

  std::string program;
  std::vector<std::string> argv;
  std::vector<std::string> envp;
  std::vector<char*> argvPointers;
  std::vector<char*> envpPointers;
  int outputFd;
  int failureFd;  // where the child writes errno when it can't become the program
  pid_t parent;
  sigset_t noSignals{};
  int highestFd;
};

// Nothing the caller had open reaches the program, without closing the failure report's pipe
// before the exec has happened.
void closeOtherDescriptorsOnExec(const SpawnPlan& plan) {
  if (::close_range(STDERR_FILENO + 1, ~0U, CLOSE_RANGE_CLOEXEC) == 0) {
    return;
  }
  for (int fd = STDERR_FILENO + 1; fd < plan.highestFd; ++fd) {
    ::fcntl(fd, F_SETFD, FD_CLOEXEC);
  }
}

// The program starts with every signal at its default and none blocked, whatever this process
// ignores (broken pipes, for one) or holds back, or whatever its caller left blocked.
void resetSignals(const SpawnPlan& plan) {
  struct sigaction byDefault {};
  byDefault.sa_handler = SIG_DFL;
  for (int signal = 1; signal < NSIG; ++signal) {
    if (signal != SIGKILL && signal != SIGSTOP) {
      ::sigaction(signal, &byDefault, nullptr);
    }
  }
  ::sigprocmask(SIG_SETMASK, &plan.noSignals, nullptr);
}

[[noreturn]] void failInChild(const SpawnPlan& plan) {
  int error = errno;
  ssize_t ignored = ::write(plan.failureFd, &error, sizeof error);
  (void)ignored;
  ::_exit(127);
}

// Runs in the new child, between fork and exec.
[[noreturn]] void becomeProgram(const SpawnPlan& plan) {
  // The program dies with this process, even one killed by SIGKILL. If this process went before
  // the request was made, nothing would ever send that signal, so the child ends here.
  if (::prctl(PR_SET_PDEATHSIG, SIGKILL, 0, 0, 0) != 0 || ::getppid() != plan.parent) {
    ::_exit(127);
  }
  // Standard output onto the pipe, standard error onto the null device, standard input as it is.
  if (::dup2(plan.outputFd, STDOUT_FILENO) < 0) {
    failInChild(plan);
  }
  int null = ::open("/dev/null", O_WRONLY);
  if (null < 0 || (null != STDERR_FILENO && ::dup2(null, STDERR_FILENO) < 0)) {
    failInChild(plan);
  }
  if (null != STDERR_FILENO) {
    ::close(null);
  }
  closeOtherDescriptorsOnExec(plan);
  resetSignals(plan);
  ::execve(plan.program.c_str(), plan.argvPointers.data(), plan.envpPointers.data());
  failInChild(plan);
}

// Starts the program with its standard output on `outputFd`; its pid, or none when it could not
// be started. The failure pipe tells a program that can't be run from one that has started:
// it reaches end of file at the exec, or carries errno from a child that failed.
std::optional<pid_t> startProgram(const ChildLaunch& launch, int outputFd) {
  auto failure = makePipe();
  if (!failure) {
    return std::nullopt;
  }
  SpawnPlan plan(launch, outputFd, failure->write.get());
  pid_t pid = ::fork();
  if (pid == 0) {
    becomeProgram(plan);
  }
  if (pid < 0) {
    return std::nullopt;
  }
  failure->write.reset();
  int error = 0;
  ssize_t n;
  do {
    n = ::read(failure->read.get(), &error, sizeof error);
  } while (n < 0 && errno == EINTR);
  if (n != 0) {
    while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
    return std::nullopt;
  }
  return pid;
}

// A started child: its pid, a pidfd to wake on its exit where the kernel has them, and whether
// it has been reaped.
class RunningChild {
 public:
  explicit RunningChild(pid_t pid) : pid_(pid) {
    long fd = ::syscall(SYS_pidfd_open, pid, 0);
    if (fd >= 0) {
      exitFd_.reset(static_cast<int>(fd));
      moveAboveStandardStreams(exitFd_);
    }
  }

  int exitFd() const { return exited_ ? -1 : exitFd_.get(); }
  // Without a pidfd that can be watched, an exit is only seen by looking for it.
  bool mustLookForExit() const { return !exited_ && (!exitFd_ || lookForExit_); }
  void lookForExit() { lookForExit_ = true; }

  // The pidfd said the child has exited; until it does, there is nothing to reap.
  void exitReported() { exitReported_ = true; }

  bool hasExited() {
    if (!exited_ && (exitReported_ || mustLookForExit())) {
      pid_t r;
      do {
        r = ::waitpid(pid_, nullptr, WNOHANG);
      } while (r < 0 && errno == EINTR);
      exited_ = r == pid_ || (r < 0 && errno == ECHILD);
    }
    return exited_;
  }

 private:
  pid_t pid_;
  Fd exitFd_;
  bool exitReported_ = false;
  bool lookForExit_ = false;
  bool exited_ = false;
};

int pollTimeoutMs(Clock::duration left) {
  auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
  return static_cast<int>(std::clamp<long long>(ms, 0, 1 << 30));
}

// What a run waits on: the child's output, its exit and the termination signals, in one epoll
// set made once. A wake-up for more output then costs no more than the read that follows, where
// poll would look at every descriptor again each time: a writer that writes 8 KiB at a time
// wakes this process a hundred thousand times a gigabyte.
class ChildEvents {
 public:
  ChildEvents(RunningChild& child, TerminationSignals& termination, int outputFd)
      : child_(child), termination_(termination), outputFd_(outputFd), exitFd_(child.exitFd()) {
    epoll_.reset(::epoll_create1(EPOLL_CLOEXEC));
    moveAboveStandardStreams(epoll_);
    add(termination.fd(), Termination);
    if (!add(child.exitFd(), Exit)) {
      child.lookForExit();
    }
    add(outputFd, Output);
  }

  bool usable() const { return static_cast<bool>(epoll_); }

  // Once the output has ended it is always readable; only the exit and signals are left.
  void stopWatchingOutput() { ::epoll_ctl(epoll_.get(), EPOLL_CTL_DEL, outputFd_, nullptr); }

  // Waits until the output is readable, the child has exited, a termination signal has arrived
  // or `deadline` has passed, whichever comes first; true when the output is readable.
  bool wait(Clock::time_point deadline) {
    auto wait = deadline - Clock::now();
    if (child_.mustLookForExit()) {
      wait = std::min<Clock::duration>(wait, exitPollInterval);
    }
    epoll_event ready[3];
    int n = ::epoll_wait(epoll_.get(), ready, 3, pollTimeoutMs(wait));
    bool readable = false;
    for (int i = 0; i < n; ++i) {
      switch (ready[i].data.u32) {
        case Termination:
          termination_.receive();
          break;
        case Exit:
          // An exited child's pidfd stays readable: it has said all it will.
          child_.exitReported();
          ::epoll_ctl(epoll_.get(), EPOLL_CTL_DEL, exitFd_, nullptr);
          break;
        default:
          readable = true;
      }
    }
    return readable;
  }

 private:
  enum Tag : uint32_t { Termination, Exit, Output };

  bool add(int fd, Tag tag) {
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.u32 = tag;
    return fd >= 0 && epoll_ && ::epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, fd, &event) == 0;
  }

  RunningChild& child_;
  TerminationSignals& termination_;
  int outputFd_;
  int exitFd_;
  Fd epoll_;
};

// Reads the child's output until end of file, the run limit, the drain limit after its exit, or
// a termination signal.
ChildOutcome readUntilEnd(RunningChild& child, TerminationSignals& termination, ChildEvents& events,
                          int outputFd, const OutputSink& sink, const ChildLimits& limits) {
  const auto runDeadline = Clock::now() + limits.runLimit;
  std::optional<Clock::time_point> drainDeadline;
  std::vector<char> buffer(readChunk);
  while (!termination.received()) {
    auto now = Clock::now();
    if (!drainDeadline && child.hasExited()) {
      drainDeadline = now + limits.drainAfterExit;
    }
    auto deadline = drainDeadline ? *drainDeadline : runDeadline;
    if (now >= deadline) {
      return drainDeadline ? ChildOutcome::Exited : ChildOutcome::Failed;
    }
    if (!events.wait(deadline)) {
      continue;
    }
    ssize_t n = ::read(outputFd, buffer.data(), buffer.size());
    if (n > 0) {
      sink(std::string_view(buffer.data(), static_cast<size_t>(n)));
    } else if (n == 0) {
      return ChildOutcome::Exited;
    } else if (errno != EINTR && errno != EAGAIN) {
      return ChildOutcome::Failed;
    }
  }
  return ChildOutcome::Failed;
}

// After end of file the child may still be running; it gets what is left of its run limit.
bool awaitExit(RunningChild& child, TerminationSignals& termination, ChildEvents& events,
               Clock::time_point deadline) {
  events.stopWatchingOutput();
  while (!child.hasExited()) {
    if (termination.received() || Clock::now() >= deadline) {
      return false;
    }
    events.wait(deadline);
  }
  return true;
}

class LinuxChildProcesses final : public ChildProcesses {
 public:
  std::vector<std::string> environment() const override {
    std::vector<std::string> entries;
    for (char** entry = environ; entry && *entry; ++entry) {
      entries.emplace_back(*entry);
    }
    return entries;
  }

  ChildOutcome runCapturingOutput(const ChildLaunch& launch, const OutputSink& sink,
                                  const ChildLimits& limits) override {
    const auto start = Clock::now();
    linux_impl::adoptOrphanedDescendants();
    TerminationSignals termination;
    auto output = makePipe();
    if (!output) {
      return ChildOutcome::NotStarted;
    }
    ::fcntl(output->read.get(), F_SETPIPE_SZ, static_cast<int>(readChunk));
    auto pid = startProgram(launch, output->write.get());
    // Only the child may hold the write end, or end of file would never come.
    output->write.reset();
    if (!pid) {
      return ChildOutcome::NotStarted;
    }
    RunningChild child(*pid);
    ChildEvents events(child, termination, output->read.get());
    ChildOutcome outcome =
        events.usable() ? readUntilEnd(child, termination, events, output->read.get(), sink, limits)
                        : ChildOutcome::Failed;
    if (outcome == ChildOutcome::Exited &&
        !awaitExit(child, termination, events, start + limits.runLimit)) {
      outcome = ChildOutcome::Failed;
    }
    // Whatever ended the run, nothing the child started outlives it.
    linux_impl::endAllDescendants(Clock::now() + endDescendantsLimit);
    if (termination.received()) {
      termination.endProcessByReceivedSignal();
    }
    return outcome;
  }
};

}  // namespace

ChildProcesses& systemChildProcesses() {
  static LinuxChildProcesses processes;
  return processes;
}

}  // namespace platform
