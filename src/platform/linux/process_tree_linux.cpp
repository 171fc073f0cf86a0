#include <dirent.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/linux/process_tree.h"

namespace platform::linux_impl {
namespace {

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

// The kernel lists each thread's children, zombies included, where it keeps that list.
bool childrenFromTaskLists(std::vector<pid_t>& children) {
  bool found = false;
  for (const auto& task : entriesOf("/proc/self/task")) {
    std::ifstream list("/proc/self/task/" + task + "/children");
    found = found || list.is_open();
    for (pid_t pid; list >> pid;) {
      children.push_back(pid);
    }
  }
  return found;
}

// Without those lists every process's parent is looked up instead. The command name in
// /proc/PID/stat may hold spaces and parentheses, so the fields are read after its last ')'.
void childrenFromProcessTable(std::vector<pid_t>& children) {
  const pid_t self = ::getpid();
  for (const auto& name : entriesOf("/proc")) {
    if (name.find_first_not_of("0123456789") != std::string::npos) {
      continue;
    }
    std::ifstream stat("/proc/" + name + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    auto close = text.rfind(')');
    if (close == std::string::npos) {
      continue;
    }
    char state = 0;
    long parent = 0;
    if (std::sscanf(text.c_str() + close + 1, " %c %ld", &state, &parent) == 2 && parent == self) {
      children.push_back(static_cast<pid_t>(std::atol(name.c_str())));
    }
  }
}

std::vector<pid_t> directChildren() {
  std::vector<pid_t> children;
  if (!childrenFromTaskLists(children)) {
    childrenFromProcessTable(children);
  }
  return children;
}

// Reaps whatever has ended; true when anything was.
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

void adoptOrphanedDescendants() {
  ::prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0);
}

bool endAllDescendants(std::chrono::steady_clock::time_point deadline) {
  for (;;) {
    auto children = directChildren();
    if (children.empty()) {
      return true;
    }
    // A child cannot be reaped behind this loop's back, so none of these pids is reused yet.
    for (pid_t pid : children) {
      ::kill(pid, SIGKILL);
    }
    if (!reapEnded()) {
      if (std::chrono::steady_clock::now() >= deadline) {
        return false;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
}

}  // namespace platform::linux_impl
