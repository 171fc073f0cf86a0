// The macOS descendant tracking against a fake process table: which processes are stopped,
// killed and reaped, in what order, as processes start, exit, lose their parent and have their
// pids handed to others between the looks.
#include <signal.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>

#include "platform/macos/process_tree_macos.h"

namespace {

using namespace std::chrono_literals;
using platform::macos_impl::DescendantTracker;
using platform::macos_impl::ProcessTable;
using platform::macos_impl::UniqueId;
using Clock = std::chrono::steady_clock;

constexpr pid_t child = 100;  // the one the caller started and ends itself

class FakeProcessTable final : public ProcessTable {
 public:
  struct Process {
    UniqueId id;
    pid_t parent;
  };

  void start(pid_t pid, pid_t parent) { processes_[pid] = {++lastId_, parent}; }
  // Its children go to launchd, as on macOS.
  void exit(pid_t pid) {
    processes_.erase(pid);
    for (auto& [other, process] : processes_) {
      if (process.parent == pid) {
        process.parent = 1;
      }
    }
  }
  void makeOurs(pid_t pid, int looksUntilReaped = 0) { ours_[pid] = looksUntilReaped; }
  // Once the first question about `pid` is answered, its process exits and an unrelated one
  // (launchd's child) is given the same pid.
  void reuseAfterFirstQuestion(pid_t pid) { reusedAfterQuestion_.insert(pid); }

  std::vector<pid_t> childrenOf(pid_t pid) override {
    ++listings[pid];
    std::vector<pid_t> children;
    for (const auto& [other, process] : processes_) {
      if (process.parent == pid) {
        children.push_back(other);
      }
    }
    return children;
  }
  std::optional<UniqueId> uniqueIdOf(pid_t pid) override { return ask(pid, &Process::id); }
  std::optional<pid_t> parentOf(pid_t pid) override { return ask(pid, &Process::parent); }
  void sendSignal(pid_t pid, int signal) override {
    signals.push_back((signal == SIGSTOP   ? "STOP "
                       : signal == SIGKILL ? "KILL "
                                           : "? ") +
                      std::to_string(pid));
  }
  Reaped reap(pid_t pid) override {
    auto ours = ours_.find(pid);
    if (ours == ours_.end()) {
      return Reaped::NotOurs;
    }
    if (ours->second < 0) {
      return Reaped::NotYet;  // never dies
    }
    if (ours->second-- > 0) {
      return Reaped::NotYet;
    }
    reaped.push_back(pid);
    return Reaped::Yes;
  }

  std::vector<std::string> signals;
  std::vector<pid_t> reaped;
  std::map<pid_t, int> listings;  // how often each process's children were asked for

 private:
  // What the process `pid` names now says of itself; none when there is none.
  template <typename T>
  std::optional<T> ask(pid_t pid, T Process::*field) {
    auto found = processes_.find(pid);
    std::optional<T> answer =
        found == processes_.end() ? std::nullopt : std::optional<T>(found->second.*field);
    if (reusedAfterQuestion_.erase(pid) > 0) {
      exit(pid);
      start(pid, 1);
    }
    return answer;
  }

  std::map<pid_t, Process> processes_;
  std::map<pid_t, int> ours_;
  std::set<pid_t> reusedAfterQuestion_;
  UniqueId lastId_ = 0;
};

class MacDescendants : public testing::Test {
 protected:
  MacDescendants() { table.start(child, 1); }
  bool endAll() { return tracker.endAll(Clock::now() + 200ms); }

  FakeProcessTable table;
  DescendantTracker tracker{table};
};

TEST_F(MacDescendants, EveryProcessBelowIsStoppedParentsFirstThenKilled) {
  table.start(200, child);
  table.start(300, 200);
  table.start(301, 200);
  table.start(400, 300);
  tracker.look(child);
  EXPECT_TRUE(endAll());
  EXPECT_EQ(table.signals,
            (std::vector<std::string>{"STOP 200", "STOP 300", "STOP 301", "STOP 400", "KILL 200",
                                      "KILL 300", "KILL 301", "KILL 400"}));
}

TEST_F(MacDescendants, OnlyTheProcessesNotedAreEnded) {
  struct Case {
    const char* name;
    void (*between)(FakeProcessTable&);  // what happens after the look
    std::vector<std::string> signals;
  };
  const Case cases[] = {
      {"a process that exited is not signalled", [](FakeProcessTable& t) { t.exit(200); }, {}},
      // Its pid went to an unrelated process: that one is not ours to end.
      {"a reused pid is not signalled",
       [](FakeProcessTable& t) {
         t.exit(200);
         t.start(200, 1);
       },
       {}},
      // What macOS can't tell: it went to launchd before any look saw it.
      {"a process started and orphaned between two looks is not seen",
       [](FakeProcessTable& t) {
         t.start(300, 200);
         t.exit(200);
       },
       {}},
      {"a process started by a noted one after the last look is ended",
       [](FakeProcessTable& t) { t.start(500, 200); },
       {"STOP 200", "STOP 500", "KILL 200", "KILL 500"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakeProcessTable t;
    t.start(child, 1);
    t.start(200, child);
    DescendantTracker tr(t);
    tr.look(child);
    c.between(t);
    EXPECT_TRUE(tr.endAll(Clock::now() + 200ms));
    EXPECT_EQ(t.signals, c.signals);
  }
}

TEST_F(MacDescendants, AnOrphanNotedBeforeItsParentExitedIsEnded) {
  table.start(200, child);
  table.start(300, 200);
  tracker.look(child);
  table.exit(200);  // 300 now belongs to launchd, out of the child's tree
  table.start(301, 300);
  tracker.look(child);
  EXPECT_TRUE(endAll());
  EXPECT_EQ(table.signals,
            (std::vector<std::string>{"STOP 300", "STOP 301", "KILL 300", "KILL 301"}));
}

TEST_F(MacDescendants, AProcessThatAppearsBetweenTwoLooksIsFoundAtTheNext) {
  tracker.look(child);
  table.start(200, child);
  table.start(300, 200);
  tracker.look(child);
  table.exit(200);
  EXPECT_TRUE(endAll());
  EXPECT_EQ(table.signals, (std::vector<std::string>{"STOP 300", "KILL 300"}));
}

// A look runs on every wake-up of the wait: each process's children are asked for once, however
// it was reached (from the child, or as one noted before).
TEST_F(MacDescendants, ALookListsEachProcessOnce) {
  table.start(200, child);
  table.start(300, 200);
  table.start(400, 300);
  tracker.look(child);
  table.listings.clear();
  tracker.look(child);
  EXPECT_EQ(table.listings, (std::map<pid_t, int>{{child, 1}, {200, 1}, {300, 1}, {400, 1}}));
}

// A pid whose process exits between the questions about it, and which an unrelated process
// takes at once, is not noted: that process is not the child's to end.
TEST_F(MacDescendants, APidHandedToAnotherProcessBetweenTwoQuestionsIsNotNoted) {
  table.start(200, child);
  table.reuseAfterFirstQuestion(200);
  tracker.look(child);
  EXPECT_TRUE(endAll());
  EXPECT_EQ(table.signals, std::vector<std::string>{});
}

TEST_F(MacDescendants, TheChildItselfIsLeftToTheCaller) {
  tracker.look(child);
  EXPECT_TRUE(endAll());
  EXPECT_EQ(table.signals, std::vector<std::string>{});
}

TEST_F(MacDescendants, OurOwnChildrenAreReapedAndOneThatWontDieHoldsTheAnswer) {
  table.start(200, child);
  table.start(300, child);
  table.makeOurs(200, 3);  // reaped at the fourth try
  tracker.look(child);
  EXPECT_TRUE(endAll());
  EXPECT_EQ(table.reaped, std::vector<pid_t>{200});

  FakeProcessTable stuck;
  stuck.start(child, 1);
  stuck.start(200, child);
  stuck.makeOurs(200, -1);
  DescendantTracker tr(stuck);
  tr.look(child);
  auto start = Clock::now();
  EXPECT_FALSE(tr.endAll(start + 50ms));
  EXPECT_GE(Clock::now() - start, 50ms);
}

TEST_F(MacDescendants, EndingForgetsWhatWasNoted) {
  table.start(200, child);
  tracker.look(child);
  EXPECT_TRUE(endAll());
  table.signals.clear();
  EXPECT_TRUE(endAll());
  EXPECT_EQ(table.signals, std::vector<std::string>{});
}

// However many children a process has, all are listed; a buffer filled to the brim is no proof
// that nothing was left out.
TEST(ListAllPids, GrowsTheBufferUntilOneIsLeftOver) {
  for (int children : {0, 1, 15, 16, 17, 32, 40}) {
    SCOPED_TRACE(children);
    auto list = [&](pid_t* buffer, int bytes) {
      int room = bytes / static_cast<int>(sizeof(pid_t));
      int written = std::min(room, children);
      for (int i = 0; i < written; ++i) {
        buffer[i] = 1000 + i;
      }
      return written;
    };
    auto pids = platform::macos_impl::listAllPids(list);
    ASSERT_EQ(pids.size(), static_cast<size_t>(children));
    if (children > 0) {
      EXPECT_EQ(pids.back(), 1000 + children - 1);
    }
  }
  EXPECT_TRUE(platform::macos_impl::listAllPids([](pid_t*, int) { return -1; }).empty());
}

}  // namespace
