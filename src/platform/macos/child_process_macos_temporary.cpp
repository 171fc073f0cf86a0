// TEMPORARY: a bare child process for the macOS build, so that it links and --check can run,
// until the wait loop shared with Linux (platform/posix) takes its place. It keeps none of the
// limits: no run limit, no drain limit, no termination signals handled, and nothing below the
// child is ended.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "platform/child_process.h"
#include "platform/posix/fd.h"

extern char** environ;

namespace platform {
namespace {

using posix_impl::Fd;

std::vector<char*> nullTerminated(std::vector<std::string>& strings) {
  std::vector<char*> pointers;
  for (auto& s : strings) {
    pointers.push_back(s.data());
  }
  pointers.push_back(nullptr);
  return pointers;
}

pid_t spawnWithOutputOn(int outputWrite, const ChildLaunch& launch) {
  std::vector<std::string> arguments{launch.program};
  arguments.insert(arguments.end(), launch.arguments.begin(), launch.arguments.end());
  std::vector<std::string> environment = launch.environment;
  auto argv = nullTerminated(arguments);
  auto envp = nullTerminated(environment);

  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attributes;
  posix_spawn_file_actions_init(&actions);
  posix_spawnattr_init(&attributes);
  posix_spawn_file_actions_adddup2(&actions, outputWrite, STDOUT_FILENO);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_CLOEXEC_DEFAULT);
  posix_spawn_file_actions_addinherit_np(&actions, STDIN_FILENO);
  pid_t pid = -1;
  if (::posix_spawn(&pid, launch.program.c_str(), &actions, &attributes, argv.data(),
                    envp.data()) != 0) {
    pid = -1;
  }
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

class TemporaryChildProcesses final : public ChildProcesses {
 public:
  std::vector<std::string> environment() const override {
    std::vector<std::string> entries;
    for (char** entry = environ; entry && *entry; ++entry) {
      entries.emplace_back(*entry);
    }
    return entries;
  }

  ChildOutcome runCapturingOutput(const ChildLaunch& launch, const OutputSink& sink,
                                  const ChildLimits&) override {
    int ends[2];
    if (::pipe(ends) != 0) {
      return ChildOutcome::NotStarted;
    }
    Fd read(ends[0]);
    Fd write(ends[1]);
    pid_t pid = spawnWithOutputOn(write.get(), launch);
    write.reset();
    if (pid < 0) {
      return ChildOutcome::NotStarted;
    }
    bool readAll = drain(read.get(), sink);
    while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
    return readAll ? ChildOutcome::Exited : ChildOutcome::Failed;
  }

 private:
  static bool drain(int fd, const OutputSink& sink) {
    std::vector<char> buffer(1 << 16);
    for (;;) {
      ssize_t n = ::read(fd, buffer.data(), buffer.size());
      if (n > 0) {
        sink(std::string_view(buffer.data(), static_cast<size_t>(n)));
      } else if (n == 0) {
        return true;
      } else if (errno != EINTR) {
        return false;
      }
    }
  }
};

}  // namespace

ChildProcesses& systemChildProcesses() {
  static TemporaryChildProcesses processes;
  return processes;
}

}  // namespace platform
