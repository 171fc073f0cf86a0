#include <dirent.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <set>
#include <string>
#include <thread>

#include "platform/files.h"
#include "platform/linux/process_tree.h"
#include "platform/linux/system_calls.h"
#include "platform/posix/fd.h"

namespace platform::linux_impl {
namespace {

using posix_impl::Fd;

std::vector<std::string> entriesOf(const std::string& folder) {
  std::vector<std::string> names;
  if (DIR* dir = ::opendir(folder.c_str())) {
    while (const dirent* entry = ::readdir(dir)) {
      if (entry->d_name[0] != '.') {
        names.emplace_back(entry->d_name);
      }
    }
    ::closedir(dir);
  }
  return names;
}

std::optional<pid_t> pidNamed(std::string_view text) {
  pid_t pid = 0;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), pid);
  if (error != std::errc() || end != text.data() + text.size() || pid <= 0) {
    return std::nullopt;
  }
  return pid;
}

// Read with the platform's file reader, not a file stream: the C++ streams would link their
// locale machinery in, which doubles the executable and slows every start of it.
std::string contentOf(const std::string& path) {
  return systemFiles().readFile(path).value_or(std::string());
}

// The kernel lists each thread's children, zombies included, where it keeps such lists; none
// where it does not.
std::optional<std::vector<pid_t>> childrenFromTaskLists(pid_t pid) {
  std::string process = "/proc/" + std::to_string(pid);
  std::vector<pid_t> children;
  bool found = false;
  for (const auto& task : entriesOf(process + "/task")) {
    auto list = systemFiles().readFile(process + "/task/" + task + "/children");
    found = found || list.has_value();
    std::string_view pids = list ? std::string_view(*list) : std::string_view();
    while (!pids.empty()) {
      size_t space = std::min(pids.find(' '), pids.size());
      // Only a real pid: 0 or -1 handed to kill() would signal whole groups.
      if (auto child = pidNamed(pids.substr(0, space))) {
        children.push_back(*child);
      }
      pids.remove_prefix(std::min(space + 1, pids.size()));
    }
  }
  if (!found) {
    return std::nullopt;
  }
  return children;
}

std::vector<pid_t> childrenFromProcessTable(pid_t parent) {
  std::vector<pid_t> children;
  for (const auto& name : entriesOf("/proc")) {
    auto pid = pidNamed(name);
    if (pid && parentInStat(contentOf("/proc/" + name + "/stat")) == parent) {
      children.push_back(*pid);
    }
  }
  return children;
}

// How many processes the walk stops between two words of progress: a walk over thousands of
// processes on a busy machine takes seconds, and whoever waits must know it is still going.
constexpr size_t stopsPerProgress = 32;

// What one round of the walk found below `self`, each stopped before its children were listed: a
// stopped process can't fork, so a tree that keeps forking can't outgrow the walk.
struct Round {
  std::vector<pid_t> stopped;
  bool refused = false;  // a process it may not signal is still there
};

Round stopDescendants(TreeActions& actions, pid_t self) {
  Round round;
  std::vector<std::pair<pid_t, pid_t>>
      pending;  // each process, with the parent it was listed under
  auto listChildren = [&actions, &pending](pid_t parent) {
    for (pid_t child : actions.childrenOf(parent)) {
      pending.emplace_back(child, parent);
    }
  };
  listChildren(self);
  while (!pending.empty()) {
    auto [pid, parent] = pending.back();
    pending.pop_back();
    switch (actions.stop(pid, parent)) {
      case TreeActions::Stop::Stopped:
        round.stopped.push_back(pid);
        if (round.stopped.size() % stopsPerProgress == 0) {
          actions.progressed();
        }
        listChildren(pid);
        break;
      case TreeActions::Stop::Refused:
        // Another user's process, and whatever it starts, is not this one's to end.
        round.refused = true;
        break;
      case TreeActions::Stop::Gone:
        break;
    }
  }
  return round;
}

}  // namespace

bool procIsOurs() {
  char target[32];
  ssize_t n = ::readlink("/proc/self", target, sizeof target);
  return n > 0 && pidNamed(std::string_view(target, static_cast<size_t>(n))) == ::getpid();
}

std::optional<pid_t> parentInStat(std::string_view stat) {
  auto close = stat.rfind(')');
  if (close == std::string_view::npos) {
    return std::nullopt;
  }
  // ") S 1234 ..." : the state, then the parent.
  std::string_view rest = stat.substr(close + 1);
  if (rest.size() < 4 || rest[0] != ' ' || rest[2] != ' ') {
    return std::nullopt;
  }
  rest.remove_prefix(3);
  return pidNamed(rest.substr(0, rest.find(' ')));
}

std::vector<pid_t> childrenOf(pid_t pid) {
  auto listed = childrenFromTaskLists(pid);
  return listed ? *listed : childrenFromProcessTable(pid);
}

bool endAllDescendants(TreeActions& actions, pid_t self, const WalkLimits& limits) {
  std::set<pid_t> killed;
  const auto start = actions.now();
  auto lastProgress = start;
  for (;;) {
    bool reaped = actions.reapEnded();
    auto [found, refused] = stopDescendants(actions, self);
    if (found.empty()) {
      return !refused;
    }
    bool fresh = false;
    for (pid_t pid : found) {
      actions.kill(pid);
      fresh = killed.insert(pid).second || fresh;
    }
    auto now = actions.now();
    if (fresh || reaped) {
      lastProgress = now;
      actions.progressed();
    } else if (now - lastProgress >= limits.stuck) {
      if (std::none_of(found.begin(), found.end(),
                       [&actions](pid_t pid) { return actions.mayStillGo(pid); })) {
        return false;
      }
      // Killed processes that wait for the processor to die on: the work goes on.
      lastProgress = now;
      actions.progressed();
    }
    if (now - start >= limits.work) {
      return false;
    }
    if (!fresh) {
      actions.pause();
    }
  }
}

bool heldByTheKernel(pid_t pid) {
  std::string stat = contentOf("/proc/" + std::to_string(pid) + "/stat");
  auto close = stat.rfind(')');
  if (close == std::string::npos || close + 2 >= stat.size()) {
    return false;  // gone already
  }
  char state = stat[close + 2];
  return state == 'D' || state == 'Z' || state == 'X';
}

bool anyMayStillGo(const std::vector<pid_t>& pids) {
  return std::any_of(pids.begin(), pids.end(), [](pid_t pid) { return !heldByTheKernel(pid); });
}

std::vector<pid_t> descendantsShownInProc() {
  char target[32];
  ssize_t n = ::readlink("/proc/self", target, sizeof target);
  auto self = n > 0 ? pidNamed(std::string_view(target, static_cast<size_t>(n))) : std::nullopt;
  return self ? descendantsOf(*self) : std::vector<pid_t>{};
}

std::vector<pid_t> descendantsOf(pid_t ancestor) {
  std::vector<pid_t> found;
  std::vector<pid_t> pending = childrenOf(ancestor);
  while (!pending.empty()) {
    pid_t pid = pending.back();
    pending.pop_back();
    found.push_back(pid);
    for (pid_t child : childrenOf(pid)) {
      pending.push_back(child);
    }
  }
  return found;
}

bool awaitWhileProgressing(const std::function<bool()>& done, const std::function<bool()>& step,
                           const std::function<bool()>& mayStillGo, const EndLimits& limits) {
  using Clock = std::chrono::steady_clock;
  const auto start = Clock::now();
  auto lastProgress = start;
  while (!done()) {
    if (step()) {
      lastProgress = Clock::now();
    } else if (Clock::now() - lastProgress < limits.stuck) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    } else if (mayStillGo() && Clock::now() - start < limits.cap) {
      lastProgress = Clock::now();
    } else {
      return false;
    }
  }
  return true;
}

SystemTreeActions::SystemTreeActions(std::function<bool()> reapEnded,
                                     std::function<void()> progressed)
    : reapEnded_(std::move(reapEnded)), progressed_(std::move(progressed)) {
  // A walk may hold a descriptor for each of thousands of stopped processes at once.
  rlimit files{};
  if (::getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
    files.rlim_cur = files.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &files);
  }
}

SystemTreeActions::~SystemTreeActions() {
  for (auto& [pid, pidfd] : held_) {
    ::close(pidfd);
  }
}

std::vector<pid_t> SystemTreeActions::childrenOf(pid_t pid) {
  return linux_impl::childrenOf(pid);
}

TreeActions::Stop SystemTreeActions::stop(pid_t pid, pid_t parent) {
  // Opened before the parent is checked: if `pid` is still the child of `parent` once the
  // descriptor stands for it, the descriptor stands for that child, whatever happens to the pid.
  Fd handle(pidfdOpen(pid));
  if (parentInStat(contentOf("/proc/" + std::to_string(pid) + "/stat")) != parent) {
    return Stop::Gone;
  }
  int sent = handle ? pidfdSendSignal(handle.get(), SIGSTOP) : ::kill(pid, SIGSTOP);
  if (sent != 0) {
    return errno == EPERM ? Stop::Refused : Stop::Gone;
  }
  if (handle) {
    held_[pid] = handle.release();
  }
  return Stop::Stopped;
}

void SystemTreeActions::kill(pid_t pid) {
  auto held = held_.find(pid);
  if (held == held_.end()) {
    // Stopped without a descriptor (none to be had): stopped, it can't have gone by itself.
    ::kill(pid, SIGKILL);
    return;
  }
  pidfdSendSignal(held->second, SIGKILL);
  ::close(held->second);
  held_.erase(held);
}

void SystemTreeActions::pause() {
  std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

}  // namespace platform::linux_impl
