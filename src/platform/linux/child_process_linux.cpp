#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <optional>
#include <vector>

#include "platform/child_process.h"
#include "platform/linux/fd.h"

extern char** environ;

namespace platform {
namespace {

using linux_impl::Fd;
using Clock = std::chrono::steady_clock;

// Large reads keep a flood of output cheap; the pipe is widened to match where the system lets us.
constexpr size_t readChunk = 1 << 20;
// Without a pidfd the child's exit is noticed by looking this often.
constexpr std::chrono::milliseconds exitPollInterval(20);

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

std::optional<Pipe> makeOutputPipe() {
  int ends[2];
  if (::pipe2(ends, O_CLOEXEC) != 0) {
    return std::nullopt;
  }
  Pipe pipe{Fd(ends[0]), Fd(ends[1])};
  if (!moveAboveStandardStreams(pipe.read) || !moveAboveStandardStreams(pipe.write)) {
    return std::nullopt;
  }
  ::fcntl(pipe.read.get(), F_SETPIPE_SZ, static_cast<int>(readChunk));
  return pipe;
}

class SpawnFileActions {
 public:
  SpawnFileActions() { ok_ = ::posix_spawn_file_actions_init(&actions_) == 0; }
  ~SpawnFileActions() {
    if (ok_) {
      ::posix_spawn_file_actions_destroy(&actions_);
    }
  }
  SpawnFileActions(const SpawnFileActions&) = delete;
  SpawnFileActions& operator=(const SpawnFileActions&) = delete;

  // Standard output onto the pipe, standard error onto the null device, standard input as it
  // is; nothing else the caller had open reaches the child.
  bool redirect(int outputFd) {
    return ok_ && ::posix_spawn_file_actions_adddup2(&actions_, outputFd, STDOUT_FILENO) == 0 &&
           ::posix_spawn_file_actions_addopen(&actions_, STDERR_FILENO, "/dev/null", O_WRONLY, 0) ==
               0 &&
           ::posix_spawn_file_actions_addclosefrom_np(&actions_, STDERR_FILENO + 1) == 0;
  }
  const posix_spawn_file_actions_t* get() const { return &actions_; }

 private:
  posix_spawn_file_actions_t actions_{};
  bool ok_ = false;
};

class SpawnAttributes {
 public:
  SpawnAttributes() { ok_ = ::posix_spawnattr_init(&attributes_) == 0; }
  ~SpawnAttributes() {
    if (ok_) {
      ::posix_spawnattr_destroy(&attributes_);
    }
  }
  SpawnAttributes(const SpawnAttributes&) = delete;
  SpawnAttributes& operator=(const SpawnAttributes&) = delete;

  // The child starts with no signal blocked and every signal at its default, whatever this
  // process ignores (broken pipes, for one) or whatever its caller left blocked.
  bool resetSignals() {
    sigset_t all;
    sigset_t none;
    sigfillset(&all);
    sigemptyset(&none);
    return ok_ && ::posix_spawnattr_setsigdefault(&attributes_, &all) == 0 &&
           ::posix_spawnattr_setsigmask(&attributes_, &none) == 0 &&
           ::posix_spawnattr_setflags(&attributes_,
                                      POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK) == 0;
  }
  const posix_spawnattr_t* get() const { return &attributes_; }

 private:
  posix_spawnattr_t attributes_{};
  bool ok_ = false;
};

std::vector<char*> nullTerminated(std::vector<std::string>& strings) {
  std::vector<char*> pointers;
  pointers.reserve(strings.size() + 1);
  for (auto& s : strings) {
    pointers.push_back(s.data());
  }
  pointers.push_back(nullptr);
  return pointers;
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
  RunningChild(const RunningChild&) = delete;
  RunningChild& operator=(const RunningChild&) = delete;
  // No path leaves a zombie or a runaway child behind.
  ~RunningChild() { killAndReap(); }

  int exitFd() const { return exited_ ? -1 : exitFd_.get(); }
  bool canWakeOnExit() const { return static_cast<bool>(exitFd_); }

  bool hasExited() {
    if (!exited_) {
      pid_t r;
      do {
        r = ::waitpid(pid_, nullptr, WNOHANG);
      } while (r < 0 && errno == EINTR);
      exited_ = r == pid_ || (r < 0 && errno == ECHILD);
    }
    return exited_;
  }

  void killAndReap() {
    if (exited_) {
      return;
    }
    ::kill(pid_, SIGKILL);
    while (::waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
    }
    exited_ = true;
  }

 private:
  pid_t pid_;
  Fd exitFd_;
  bool exited_ = false;
};

int pollTimeoutMs(Clock::duration left) {
  auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
  return static_cast<int>(std::clamp<long long>(ms, 0, 1 << 30));
}

// Reads the child's output until end of file, the run limit, or the drain limit after its exit.
ChildOutcome readUntilEnd(RunningChild& child, int outputFd, const OutputSink& sink,
                          const ChildLimits& limits) {
  const auto runDeadline = Clock::now() + limits.runLimit;
  std::optional<Clock::time_point> drainDeadline;
  std::vector<char> buffer(readChunk);
  for (;;) {
    auto now = Clock::now();
    if (!drainDeadline && child.hasExited()) {
      drainDeadline = now + limits.drainAfterExit;
    }
    auto deadline = drainDeadline ? *drainDeadline : runDeadline;
    if (now >= deadline) {
      return drainDeadline ? ChildOutcome::Exited : ChildOutcome::Failed;
    }
    auto wait = deadline - now;
    if (!drainDeadline && !child.canWakeOnExit()) {
      wait = std::min<Clock::duration>(wait, exitPollInterval);
    }
    pollfd watched[2] = {{outputFd, POLLIN, 0}, {child.exitFd(), POLLIN, 0}};
    int ready = ::poll(watched, drainDeadline ? 1 : 2, pollTimeoutMs(wait));
    if (ready < 0 && errno != EINTR) {
      return ChildOutcome::Failed;
    }
    if (ready <= 0 || watched[0].revents == 0) {
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
}

// After end of file the child may still be running; it gets what is left of its run limit.
bool awaitExit(RunningChild& child, Clock::time_point deadline) {
  while (!child.hasExited()) {
    auto now = Clock::now();
    if (now >= deadline) {
      return false;
    }
    auto wait = deadline - now;
    if (!child.canWakeOnExit()) {
      wait = std::min<Clock::duration>(wait, exitPollInterval);
    }
    pollfd watched{child.exitFd(), POLLIN, 0};
    ::poll(&watched, child.canWakeOnExit() ? 1 : 0, pollTimeoutMs(wait));
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
    auto pipe = makeOutputPipe();
    SpawnFileActions actions;
    SpawnAttributes attributes;
    if (!pipe || !actions.redirect(pipe->write.get()) || !attributes.resetSignals()) {
      return ChildOutcome::NotStarted;
    }
    std::vector<std::string> argv{launch.program};
    argv.insert(argv.end(), launch.arguments.begin(), launch.arguments.end());
    std::vector<std::string> envp = launch.environment;
    auto argvPointers = nullTerminated(argv);
    auto envpPointers = nullTerminated(envp);
    pid_t pid = -1;
    if (::posix_spawn(&pid, launch.program.c_str(), actions.get(), attributes.get(),
                      argvPointers.data(), envpPointers.data()) != 0) {
      return ChildOutcome::NotStarted;
    }
    // Only the child may hold the write end, or end of file would never come.
    pipe->write.reset();
    RunningChild child(pid);
    ChildOutcome outcome = readUntilEnd(child, pipe->read.get(), sink, limits);
    if (outcome == ChildOutcome::Exited && !awaitExit(child, start + limits.runLimit)) {
      outcome = ChildOutcome::Failed;
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
