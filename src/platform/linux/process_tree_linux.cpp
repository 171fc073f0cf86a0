#include <dirent.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <string>
#include <thread>

#include "platform/files.h"
#include "platform/linux/process_tree.h"

namespace platform::linux_impl {
namespace {

using Clock = std::chrono::steady_clock;

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

// Every process below this one, each stopped before its children are listed: a stopped process
// can't fork, so a tree that keeps forking can't outgrow the walk.
std::vector<pid_t> stopDescendants(Clock::time_point deadline) {
  std::vector<pid_t> found;
  std::vector<pid_t> pending = childrenOf(::getpid());
  while (!pending.empty() && Clock::now() < deadline) {
    pid_t pid = pending.back();
    pending.pop_back();
    ::kill(pid, SIGSTOP);
    found.push_back(pid);
    for (pid_t child : childrenOf(pid)) {
      pending.push_back(child);
    }
  }
  found.insert(found.end(), pending.begin(), pending.end());
  return found;
}

// Reaps whatever of this process's children has ended; true when anything was. Only for a
// process whose children are all its own to end.
bool reapEnded() {
  bool reaped = false;
  for (;;) {
    pid_t pid = ::waitpid(-1, nullptr, WNOHANG | __WALL);
    if (pid > 0) {
      reaped = true;
    } else if (!(pid < 0 && errno == EINTR)) {
      return reaped;
    }
  }
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

bool endAllDescendants(Clock::time_point deadline) {
  for (;;) {
    auto descendants = stopDescendants(deadline);
    if (descendants.empty()) {
      return true;
    }
    // A stopped parent can't reap its children, and this process reaps only after the kill, so
    // none of these pids can have been handed to another process meanwhile.
    for (pid_t pid : descendants) {
      ::kill(pid, SIGKILL);
    }
    if (!reapEnded()) {
      if (Clock::now() >= deadline) {
        return false;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
}

}  // namespace platform::linux_impl
