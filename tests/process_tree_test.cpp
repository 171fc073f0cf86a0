#include "platform/linux/process_tree.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

using platform::linux_impl::parentInStat;

// Where the kernel keeps no children lists, each process's parent is read from its stat line,
// after a command name that may hold spaces and parentheses of its own.
TEST(ProcessTree, TheParentIsReadAfterTheWholeCommandName) {
  struct Case {
    const char* stat;
    std::optional<pid_t> parent;
  };
  const Case cases[] = {
      {"1234 (python3) S 1 1234 1234 0 -1", 1},
      {"1234 (a) b) S 42 1 1", 42},
      {"1234 (x (y) z) R 7 8 9", 7},
      {"1234 ()) S 99 1", 99},
      {"1234 (with space) Z 5", 5},
      {"1234 (sh) S", std::nullopt},
      {"1234 (sh) S x", std::nullopt},
      {"no parenthesis at all", std::nullopt},
      {"", std::nullopt},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(parentInStat(c.stat), c.parent) << c.stat;
  }
}

}  // namespace

namespace {

using platform::linux_impl::endAllDescendants;
using platform::linux_impl::TreeActions;
using platform::linux_impl::WalkLimits;
using namespace std::chrono_literals;

// A process table in memory: what the walk does is recorded in order, and every look at the
// clock moves it on, so that limits are reached in a few steps.
class FakeTree : public TreeActions {
 public:
  std::map<pid_t, std::vector<pid_t>> children;
  std::set<pid_t> undying;    // processes the kernel holds: killed, they stay
  std::set<pid_t> refused;    // processes of another user: they can't be signalled
  std::map<pid_t, int> slow;  // killed processes that wait this many rounds for the processor
  std::function<void(int round)> beforeRound = [](int) {};
  std::vector<std::string> calls;
  Clock::duration step = 10ms;
  int progressWords = 0;

  std::vector<pid_t> childrenOf(pid_t pid) override {
    calls.push_back("list " + std::to_string(pid));
    auto found = children.find(pid);
    return found == children.end() ? std::vector<pid_t>{} : found->second;
  }
  Stop stop(pid_t pid, pid_t) override {
    if (refused.count(pid)) {
      return Stop::Refused;
    }
    calls.push_back("stop " + std::to_string(pid));
    return Stop::Stopped;
  }
  void kill(pid_t pid) override {
    calls.push_back("kill " + std::to_string(pid));
    killed.insert(pid);
  }
  // Killed processes go, and their children come to the walker, as to a subreaper.
  bool reapEnded() override {
    beforeRound(round++);
    bool reaped = false;
    for (pid_t pid : std::set<pid_t>(killed)) {
      if (undying.count(pid) || (slow.count(pid) && slow[pid]-- > 0)) {
        continue;
      }
      auto orphans = children[pid];
      children.erase(pid);
      for (auto& [parent, list] : children) {
        auto at = std::find(list.begin(), list.end(), pid);
        if (at != list.end()) {
          list.erase(at);
          reaped = true;
        }
      }
      children[self].insert(children[self].end(), orphans.begin(), orphans.end());
    }
    for (auto at = killed.begin(); at != killed.end();) {
      at = children.count(*at) || isListed(*at) ? std::next(at) : killed.erase(at);
    }
    return reaped;
  }
  bool mayStillGo(pid_t pid) override { return undying.count(pid) == 0; }
  Clock::time_point now() override { return clock += step; }
  Clock::duration elapsed() const { return clock - Clock::time_point{}; }
  void pause() override {}
  void progressed() override { ++progressWords; }

  static constexpr pid_t self = 1;

 private:
  bool isListed(pid_t pid) const {
    return std::any_of(children.begin(), children.end(), [pid](const auto& entry) {
      return std::find(entry.second.begin(), entry.second.end(), pid) != entry.second.end();
    });
  }

  std::set<pid_t> killed;
  Clock::time_point clock{};
  int round = 0;
};

size_t indexOf(const std::vector<std::string>& calls, const std::string& call) {
  return static_cast<size_t>(std::find(calls.begin(), calls.end(), call) - calls.begin());
}

// Each process is stopped before its children are listed, so that none can fork while the walk
// is on it, and everything stopped is killed.
// The state letter that says whether the kernel holds a process: read after the command name.
char stateOf(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  auto close = text.rfind(')');
  return close == std::string::npos || close + 2 >= text.size() ? '?' : text[close + 2];
}

// What the end waits for only a short while: a zombie (its exit held back, here by a parent that
// does not reap it), and never a process that merely sleeps or one that is gone.
TEST(ProcessTree, OnlyWhatTheKernelHoldsIsHeldByTheKernel) {
  pid_t sleeper = ::fork();
  if (sleeper == 0) {
    ::pause();
    ::_exit(0);
  }
  pid_t zombie = ::fork();
  if (zombie == 0) {
    ::_exit(0);
  }
  ASSERT_GT(sleeper, 0);
  ASSERT_GT(zombie, 0);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while ((stateOf(zombie) != 'Z' || stateOf(sleeper) != 'S') &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_FALSE(platform::linux_impl::heldByTheKernel(sleeper));
  EXPECT_TRUE(platform::linux_impl::heldByTheKernel(zombie));
  ::kill(sleeper, SIGKILL);
  ::waitpid(sleeper, nullptr, 0);
  ::waitpid(zombie, nullptr, 0);
  EXPECT_FALSE(platform::linux_impl::heldByTheKernel(zombie)) << "gone";
}

TEST(TreeWalk, StopsEachProcessBeforeListingItsChildrenAndKillsAllItStopped) {
  FakeTree tree;
  tree.children = {{FakeTree::self, {10, 20}}, {10, {11, 12}}, {11, {13}}};
  EXPECT_TRUE(endAllDescendants(tree, FakeTree::self, WalkLimits{}));
  for (pid_t pid : {10, 11, 12, 13, 20}) {
    std::string name = std::to_string(pid);
    size_t stop = indexOf(tree.calls, "stop " + name);
    ASSERT_LT(stop, tree.calls.size()) << name << " never stopped";
    size_t list = indexOf(tree.calls, "list " + name);
    EXPECT_LT(list, tree.calls.size()) << name << "'s children never listed while it was stopped";
    EXPECT_LT(stop, list) << name;
    EXPECT_LT(stop, indexOf(tree.calls, "kill " + name)) << name;
  }
}

// The limits are on what the kernel holds and on a tree that never stops growing, not on the
// work: a walk that finds new processes round after round goes on past the time a stuck process
// is waited for.
TEST(TreeWalk, GoesOnWhileItFindsNewProcessesAndGivesUpOnlyOnWhatTheKernelHolds) {
  struct Case {
    const char* name;
    int newcomers;   // rounds in which a new process turns up below the walker
    bool undying;    // one process never goes
    int slowRounds;  // rounds one killed process waits for the processor before it goes
    bool ended;
    // How long the walk may take by its clock: what the kernel holds is given up on within the
    // half second after the last progress, not at the 30 s bound on the work.
    std::chrono::milliseconds within;
  };
  const Case cases[] = {
      {"a tree that keeps growing for a while", 200, false, 0, true, 30s},
      {"a process the kernel holds", 0, true, 0, false, 2s},
      {"killed processes that wait long for the processor", 0, false, 200, true, 30s},
      {"a tree that never stops growing", 1 << 30, false, 0, false, 31s},
  };
  for (const auto& c : cases) {
    FakeTree tree;
    tree.step = 20ms;  // 200 rounds take far longer than the 500 ms a stuck process is given
    tree.children = {{FakeTree::self, {10}}};
    if (c.undying) {
      tree.undying.insert(10);
    }
    if (c.slowRounds > 0) {
      tree.slow[10] = c.slowRounds;
    }
    tree.beforeRound = [&tree, &c](int round) {
      if (round < c.newcomers) {
        tree.children[FakeTree::self].push_back(100 + round);
      }
    };
    EXPECT_EQ(endAllDescendants(tree, FakeTree::self, WalkLimits{500ms, 30s}), c.ended) << c.name;
    EXPECT_LE(tree.elapsed(), c.within) << c.name;
    EXPECT_GT(tree.progressWords, 0) << c.name;
    EXPECT_LT(indexOf(tree.calls, "kill 10"), tree.calls.size()) << c.name;
  }
}

// A process that may not be signalled (another user's, as a setuid helper runs) is not one the
// walk can end: it is left at once, with whatever is below it, and the rest still goes.
TEST(TreeWalk, LeavesAProcessItMayNotSignalAtOnce) {
  FakeTree tree;
  tree.children = {{FakeTree::self, {10, 20}}, {20, {21}}};
  tree.refused = {20};
  EXPECT_FALSE(endAllDescendants(tree, FakeTree::self, WalkLimits{500ms, 30s}));
  EXPECT_LT(tree.elapsed(), 1s);
  EXPECT_LT(indexOf(tree.calls, "kill 10"), tree.calls.size());
  for (const char* untouched : {"kill 20", "list 20", "stop 21"}) {
    EXPECT_EQ(indexOf(tree.calls, untouched), tree.calls.size()) << untouched;
  }
}

}  // namespace
