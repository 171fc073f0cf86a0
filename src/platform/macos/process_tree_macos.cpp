#include "platform/macos/process_tree_macos.h"

#include <signal.h>

#include <algorithm>
#include <thread>

namespace platform::macos_impl {
namespace {

constexpr auto reapPollInterval = std::chrono::milliseconds(1);

bool contains(const std::vector<pid_t>& pids, pid_t pid) {
  return std::find(pids.begin(), pids.end(), pid) != pids.end();
}

}  // namespace

std::vector<pid_t> listAllPids(const std::function<int(pid_t*, int)>& list) {
  std::vector<pid_t> pids(16);
  for (;;) {
    int count = list(pids.data(), static_cast<int>(pids.size() * sizeof(pid_t)));
    if (count < 0) {
      return {};
    }
    if (static_cast<std::size_t>(count) < pids.size()) {
      pids.resize(static_cast<std::size_t>(count));
      return pids;
    }
    pids.resize(pids.size() * 2);
  }
}

// The id is asked before the parent: a pid that its process leaves between the two questions
// then names either a process with another parent or, where the same parent started it, one
// whose id no look will find again. Asked the other way round, an unrelated process that took
// the pid would be noted under the parent its predecessor had.
std::optional<UniqueId> DescendantTracker::childId(pid_t pid, pid_t parent) {
  auto id = table_.uniqueIdOf(pid);
  if (!id || table_.parentOf(pid) != parent) {
    return std::nullopt;
  }
  return id;
}

bool DescendantTracker::isStillRunning(const Noted& process) {
  return table_.uniqueIdOf(process.pid) == process.id;
}

bool DescendantTracker::isNoted(UniqueId id) const {
  return std::any_of(noted_.begin(), noted_.end(), [&](const Noted& n) { return n.id == id; });
}

void DescendantTracker::noteBelow(pid_t parent, std::vector<pid_t>& lookedBelow) {
  std::vector<pid_t> pending{parent};
  while (!pending.empty()) {
    pid_t pid = pending.back();
    pending.pop_back();
    if (contains(lookedBelow, pid)) {
      continue;
    }
    lookedBelow.push_back(pid);
    for (pid_t child : table_.childrenOf(pid)) {
      auto id = childId(child, pid);
      if (!id) {
        continue;
      }
      if (!isNoted(*id)) {
        noted_.push_back({child, *id});
      }
      pending.push_back(child);
    }
  }
}

void DescendantTracker::noteBelowNoted(std::vector<pid_t>& lookedBelow) {
  // Those noted now are looked below; those this notes were looked below while being noted.
  for (std::size_t i = 0, known = noted_.size(); i < known; ++i) {
    if (isStillRunning(noted_[i])) {
      noteBelow(noted_[i].pid, lookedBelow);
    }
  }
}

void DescendantTracker::look(pid_t root) {
  std::vector<pid_t> lookedBelow;
  noteBelow(root, lookedBelow);
  noteBelowNoted(lookedBelow);
}

void DescendantTracker::stopAll() {
  for (;;) {
    bool stoppedAny = false;
    for (auto& process : noted_) {
      if (!process.stopped && isStillRunning(process)) {
        table_.sendSignal(process.pid, SIGSTOP);
        process.stopped = true;
        stoppedAny = true;
      }
    }
    if (!stoppedAny) {
      return;
    }
    // A process may have started a child before it was stopped.
    std::vector<pid_t> lookedBelow;
    noteBelowNoted(lookedBelow);
  }
}

std::vector<pid_t> DescendantTracker::killAll() {
  std::vector<pid_t> killed;
  for (const auto& process : noted_) {
    if (isStillRunning(process)) {
      table_.sendSignal(process.pid, SIGKILL);
      killed.push_back(process.pid);
    }
  }
  return killed;
}

bool DescendantTracker::reapAll(std::vector<pid_t> killed,
                                std::chrono::steady_clock::time_point deadline) {
  for (;;) {
    std::erase_if(killed,
                  [&](pid_t pid) { return table_.reap(pid) != ProcessTable::Reaped::NotYet; });
    if (killed.empty()) {
      return true;
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      return false;
    }
    std::this_thread::sleep_for(reapPollInterval);
  }
}

bool DescendantTracker::endAll(std::chrono::steady_clock::time_point deadline) {
  stopAll();
  bool reaped = reapAll(killAll(), deadline);
  noted_.clear();
  return reaped;
}

}  // namespace platform::macos_impl
