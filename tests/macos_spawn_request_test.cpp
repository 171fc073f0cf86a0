// How the macOS child becomes the interpreter: the posix_spawn request that carries over what
// the caller's state promises (standard input, the signals it ignored or blocked, the process
// group) and closes everything else.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "platform/macos/spawn_request_macos.h"

namespace {

using platform::macos_impl::ignoreSignals;
using platform::macos_impl::SpawnFileAction;
using platform::macos_impl::spawnRequestFor;
using Kind = SpawnFileAction::Kind;
namespace flag = platform::macos_impl;

constexpr int outputPipe = 7;
constexpr int errorPipe = 9;

platform::posix_impl::SpawnPlan planIgnoringInterruptsAndBlockingTermination() {
  platform::posix_impl::SpawnPlan plan({"/pack/python3", {"-I"}, {}}, outputPipe, 8);
  sigemptyset(&plan.callerIgnored);
  sigaddset(&plan.callerIgnored, SIGINT);
  sigemptyset(&plan.callerBlocked);
  sigaddset(&plan.callerBlocked, SIGTERM);
  plan.ownProcessGroup = false;
  return plan;
}

TEST(MacSpawnRequest, ReplacesTheChildAndClosesWhatTheActionsDoNotName) {
  auto plan = planIgnoringInterruptsAndBlockingTermination();
  auto request = spawnRequestFor(plan, true);
  EXPECT_EQ(request.flags, flag::spawnSetExec | flag::spawnCloseOnExecDefault |
                               flag::spawnSetSignalMask | flag::spawnSetSignalDefaults);
  const std::vector<SpawnFileAction> streams = {
      {Kind::Inherit, STDIN_FILENO, STDIN_FILENO},
      {Kind::Duplicate, outputPipe, STDOUT_FILENO},
      {Kind::OpenNullDevice, -1, STDERR_FILENO},
  };
  EXPECT_EQ(request.fileActions, streams);
}

TEST(MacSpawnRequest, TheStreamsFollowWhatThereIs) {
  struct Case {
    const char* name;
    bool standardInputOpen;
    int errorFd;
    std::vector<SpawnFileAction> actions;
  };
  const Case cases[] = {
      {"standard input closed stays closed",
       false,
       -1,
       {{Kind::Duplicate, outputPipe, STDOUT_FILENO}, {Kind::OpenNullDevice, -1, STDERR_FILENO}}},
      {"standard error kept for a person",
       true,
       errorPipe,
       {{Kind::Inherit, STDIN_FILENO, STDIN_FILENO},
        {Kind::Duplicate, outputPipe, STDOUT_FILENO},
        {Kind::Duplicate, errorPipe, STDERR_FILENO}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto plan = planIgnoringInterruptsAndBlockingTermination();
    plan.errorFd = c.errorFd;
    EXPECT_EQ(spawnRequestFor(plan, c.standardInputOpen).fileActions, c.actions);
  }
}

// What the caller blocked stays blocked; what it ignored is not put back to its default; all
// else is, what this process ignores for itself (broken pipes, the file-size limit) included.
TEST(MacSpawnRequest, TheSignalsAreTheCallers) {
  auto request = spawnRequestFor(planIgnoringInterruptsAndBlockingTermination(), true);
  constexpr int macosSignals = 32;  // NSIG there; glibc keeps the next two for itself
  for (int signal = 1; signal < macosSignals; ++signal) {
    SCOPED_TRACE(signal);
    EXPECT_EQ(sigismember(&request.mask, signal) == 1, signal == SIGTERM);
    bool stays = signal == SIGINT || signal == SIGKILL || signal == SIGSTOP;
    EXPECT_EQ(sigismember(&request.defaults, signal) == 1, !stays);
  }
}

void handle(int) {}

bool isIgnored(int signal) {
  struct sigaction action {};
  return ::sigaction(signal, nullptr, &action) == 0 && action.sa_handler == SIG_IGN;
}

// Exec keeps ignored signals ignored and puts handled ones back at their default: the child
// ignores again, just before it spawns, what the caller ignored and this process handles (a
// SIGCHLD, say). Run in a child of the test, which answers by its exit status.
TEST(MacSpawnRequest, WhatTheCallerIgnoredIsIgnoredAgain) {
  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    struct sigaction handled {};
    handled.sa_handler = handle;
    for (int signal : {SIGHUP, SIGCHLD, SIGUSR1}) {
      ::sigaction(signal, &handled, nullptr);
    }
    sigset_t ignored;
    sigemptyset(&ignored);
    sigaddset(&ignored, SIGHUP);
    sigaddset(&ignored, SIGCHLD);
    ignoreSignals(ignored);
    ::_exit(isIgnored(SIGHUP) && isIgnored(SIGCHLD) && !isIgnored(SIGUSR1) ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

TEST(MacSpawnRequest, AGroupOfItsOwnWhereThePlanAsksForOne) {
  auto plan = planIgnoringInterruptsAndBlockingTermination();
  plan.ownProcessGroup = true;
  auto request = spawnRequestFor(plan, true);
  EXPECT_EQ(request.flags & flag::spawnSetProcessGroup, flag::spawnSetProcessGroup);
  EXPECT_EQ(request.processGroup, 0);
  plan.ownProcessGroup = false;
  EXPECT_EQ(spawnRequestFor(plan, true).flags & flag::spawnSetProcessGroup, 0);
}

}  // namespace
