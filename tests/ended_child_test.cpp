// When the wait loop counts its child as ended: only an exit or a death by a signal. A stop, a
// continue or a trace trap that waitid reports is a child that still runs, and its output and
// its end are still to come.
#include <signal.h>
#include <sys/ptrace.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <thread>

#include "platform/posix/spawn.h"

namespace {

using namespace std::chrono_literals;
using platform::posix_impl::endedChild;
using platform::posix_impl::processEndOf;
using platform::posix_impl::reapChild;

TEST(EndedChild, OnlyAnExitOrADeathBySignalEndsIt) {
  struct Case {
    const char* name;
    int code;
    int status;
    bool ended;
    std::optional<int> exitStatus;
    int signal;
  };
  const Case cases[] = {
      {"exited", CLD_EXITED, 3, true, 3, 0},
      {"exited with 0", CLD_EXITED, 0, true, 0, 0},
      {"killed", CLD_KILLED, SIGKILL, true, std::nullopt, SIGKILL},
      {"dumped core", CLD_DUMPED, SIGSEGV, true, std::nullopt, SIGSEGV},
      {"stopped", CLD_STOPPED, SIGSTOP, false, std::nullopt, 0},
      {"continued", CLD_CONTINUED, SIGCONT, false, std::nullopt, 0},
      {"trapped", CLD_TRAPPED, SIGTRAP, false, std::nullopt, 0},
      {"no code at all", 0, 0, false, std::nullopt, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto end = processEndOf(c.code, c.status);
    ASSERT_EQ(end.has_value(), c.ended);
    if (end) {
      EXPECT_EQ(end->exitStatus, c.exitStatus);
      EXPECT_EQ(end->signal, c.signal);
    }
  }
}

// A child that its parent traces is reported when it stops, whatever waitid was asked for: the
// report is a stop, not an end.
TEST(EndedChild, ATracedChildThatStopsStillRuns) {
  constexpr int cannotBeTraced = 42;
  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (::ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) != 0) {
      ::_exit(cannotBeTraced);
    }
    ::raise(SIGSTOP);
    ::_exit(0);
  }
  // Wait, with a generous bound, for the stop to be there to report.
  siginfo_t info{};
  auto deadline = std::chrono::steady_clock::now() + 10s;
  while (std::chrono::steady_clock::now() < deadline) {
    info = {};
    if (::waitid(P_PID, static_cast<id_t>(child), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
        info.si_pid == child) {
      break;
    }
    std::this_thread::sleep_for(1ms);
  }
  ASSERT_EQ(info.si_pid, child) << "the child neither stopped nor ended";
  if (info.si_code == CLD_EXITED && info.si_status == cannotBeTraced) {
    ::waitpid(child, nullptr, 0);
    GTEST_SKIP() << "this machine lets no process be traced";
  }
  ASSERT_EQ(info.si_code, CLD_TRAPPED);

  EXPECT_FALSE(endedChild(child).has_value());

  ::kill(child, SIGKILL);
  std::optional<platform::posix_impl::ProcessEnd> end;
  deadline = std::chrono::steady_clock::now() + 10s;
  while (!end && std::chrono::steady_clock::now() < deadline) {
    end = endedChild(child);
    std::this_thread::sleep_for(1ms);
  }
  ASSERT_TRUE(end.has_value());
  EXPECT_EQ(end->exitStatus, std::nullopt);
  EXPECT_EQ(end->signal, SIGKILL);
  ::waitpid(child, nullptr, 0);
}

// A reap that does not wait is a poll: it answers at once for a child that still runs, whatever
// an earlier call left in errno, and a reap that waits takes the child once it has ended.
TEST(EndedChild, OnlyAReapThatWaitsWaitsForTheChild) {
  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::alarm(10);  // ends a child that nothing else would, should the poll wait after all
    ::pause();
    ::_exit(0);
  }
  errno = EINTR;  // as a call interrupted before the poll leaves it
  auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(reapChild(child, false));
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);

  ::kill(child, SIGKILL);
  EXPECT_TRUE(reapChild(child, true));
  EXPECT_TRUE(reapChild(child, false)) << "a child reaped already has ended";
}

}  // namespace
