#include "platform/child_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "check/probe.h"
#include "support/test_support.h"

namespace {

using namespace std::chrono_literals;
using platform::ChildOutcome;
using testing_support::readFile;
using testing_support::TempDir;

struct Run {
  ChildOutcome outcome;
  std::string output;
  std::chrono::milliseconds elapsed;
};

Run runShell(const std::string& script, platform::ChildLimits limits = {},
             std::vector<std::string> environment = {}) {
  Run run{};
  auto start = std::chrono::steady_clock::now();
  run.outcome = platform::systemChildProcesses()
                    .runCapturingOutput(
                        {"/bin/sh", {"-c", script}, environment},
                        [&run](std::string_view chunk) { run.output.append(chunk); }, limits)
                    .outcome;
  run.elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now() - start);
  return run;
}

TEST(ChildProcess, CollectsStandardOutputButNotStandardError) {
  auto run = runShell("printf 'one\\n'; printf 'lost' >&2; printf 'two'; exit 3");
  EXPECT_EQ(run.outcome, ChildOutcome::Exited);
  EXPECT_EQ(run.output, "one\ntwo");
}

TEST(ChildProcess, AProgramThatCannotStartIsReported) {
  for (const char* program : {"/nonexistent/python3", "/etc/hostname", "/tmp"}) {
    auto outcome = platform::systemChildProcesses()
                       .runCapturingOutput({program, {}, {}}, [](std::string_view) {}, {})
                       .outcome;
    EXPECT_EQ(outcome, ChildOutcome::NotStarted) << program;
  }
}

TEST(ChildProcess, AChildThatOverrunsIsKilledAndReaped) {
  TempDir dir;
  auto pidFile = dir.path() / "pid";
  // The pid as the system numbers it (the shell itself opens /proc/self/stat), which is not $$
  // where the child runs in a PID namespace of its own.
  auto run = runShell("read pid rest < /proc/self/stat; echo $pid > " + pidFile.string() +
                          "; echo partial; exec sleep 30",
                      {.runLimit = 300ms, .drainAfterExit = 2s});
  EXPECT_EQ(run.outcome, ChildOutcome::Failed);
  EXPECT_LT(run.elapsed, 2s);
  pid_t pid = std::stoi(readFile(pidFile));
  EXPECT_EQ(::kill(pid, 0), -1) << "the child is gone and reaped";
}

TEST(ChildProcess, AtTheDeadlineEverythingTheChildStartedIsEndedToo) {
  TempDir dir;
  auto held = dir.path() / "held";
  auto detached = dir.path() / "detached";
  const std::string beat = testing_support::heartbeatFunction();
  auto run = runShell(beat + "beat '" + held.string() + "' &\nsetsid sh -c '" + beat +
                          "beat \"$0\"' '" + detached.string() + "' >/dev/null &\nexec sleep 30\n",
                      {.runLimit = 500ms, .drainAfterExit = 2s});
  EXPECT_EQ(run.outcome, ChildOutcome::Failed);
  EXPECT_LT(run.elapsed, 2s);
  EXPECT_TRUE(testing_support::beatStarted(held));
  EXPECT_TRUE(testing_support::beatStopped(held));
  EXPECT_TRUE(testing_support::beatStarted(detached));
  EXPECT_TRUE(testing_support::beatStopped(detached));
}

// A child killed at the run limit may have printed a valid answer before it hung; it is not one.
TEST(ChildProcess, TheOutputOfAChildKilledAtTheLimitIsNeverUsed) {
  TempDir dir;
  auto paths = pack::packPathsUnder(dir.path().string());
  testing_support::writeScript(paths.pythonExecutable, "echo '{\"torch\":\"2\"}'\nexec sleep 30\n");
  auto result = check::runProbe(paths, platform::systemFiles(), platform::systemChildProcesses(),
                                {.runLimit = 300ms, .drainAfterExit = 2s});
  EXPECT_TRUE(result.empty());
}

TEST(ChildProcess, AChildThatEndsOutputButLingersIsKilledAtTheDeadline) {
  auto run = runShell("exec sleep 30 >&-", {.runLimit = 300ms, .drainAfterExit = 2s});
  EXPECT_EQ(run.outcome, ChildOutcome::Failed);
  EXPECT_LT(run.elapsed, 2s);
}

TEST(ChildProcess, OutputHeldOpenByALeftoverProcessIsAwaitedOnlyBriefly) {
  auto run = runShell("echo answer; sleep 5 & exit 0", {.runLimit = 10s, .drainAfterExit = 300ms});
  EXPECT_EQ(run.outcome, ChildOutcome::Exited);
  EXPECT_EQ(run.output, "answer\n");
  EXPECT_LT(run.elapsed, 2s);
}

TEST(ChildProcess, TheChildGetsOnlyTheStandardStreams) {
  TempDir dir;
  auto record = dir.path() / "record";
  // Descriptors the caller leaves open without close-on-exec, as a host might.
  int stray = ::open("/dev/null", O_RDONLY);
  int strayPipe[2];
  ASSERT_EQ(::pipe(strayPipe), 0);

  std::string output;
  auto run = platform::systemChildProcesses().runCapturingOutput(
      {testing_support::recordingInterpreter().string(),
       {"-I", "-c", "two words\nand a line"},
       {"QP_TEST_RECORD=" + record.string(), "ONLY=this"}},
      [&output](std::string_view chunk) { output.append(chunk); }, {});

  ::close(stray);
  ::close(strayPipe[0]);
  ::close(strayPipe[1]);

  ASSERT_EQ(run.outcome, ChildOutcome::Exited);
  std::string text = readFile(record);
  EXPECT_NE(text.find("arg -I\narg -c\narg two words\\nand a line\n"), std::string::npos) << text;
  EXPECT_NE(text.find("env QP_TEST_RECORD="), std::string::npos);
  EXPECT_NE(text.find("env ONLY=this\n"), std::string::npos);
  EXPECT_EQ(text.find("env PATH="), std::string::npos) << "the environment is replaced";
  EXPECT_NE(text.find("fd 1 pipe:"), std::string::npos) << text;
  EXPECT_NE(text.find("fd 2 /dev/null\n"), std::string::npos) << text;
  EXPECT_EQ(text.find("fd 3 "), std::string::npos) << text;
  EXPECT_EQ(text.find("fd " + std::to_string(stray) + " "), std::string::npos) << text;
}

// How a run ended is told apart, for whoever looks into a failed check.
TEST(ChildProcess, EachRunSaysHowItEnded) {
  struct Case {
    const char* name;
    std::string script;
    ChildOutcome outcome;
    std::optional<int> exitStatus;
    int exitSignal;
    bool reachedRunLimit;
    bool outputCut;
  };
  const Case cases[] = {
      {"exits 3", "exit 3", ChildOutcome::Exited, 3, 0, false, false},
      {"killed by a signal", "kill -SEGV $$", ChildOutcome::Exited, std::nullopt, SIGSEGV, false,
       false},
      {"runs past the limit", "exec sleep 30", ChildOutcome::Failed, std::nullopt, 0, true, false},
      {"leaves the output held", "sleep 5 & exit 0", ChildOutcome::Exited, 0, 0, false, true},
  };
  for (const auto& c : cases) {
    auto run = platform::systemChildProcesses().runCapturingOutput(
        {"/bin/sh", {"-c", c.script}, {}}, [](std::string_view) {},
        {.runLimit = 500ms, .drainAfterExit = 200ms});
    EXPECT_EQ(run.outcome, c.outcome) << c.name;
    EXPECT_EQ(run.exitStatus, c.exitStatus) << c.name;
    EXPECT_EQ(run.exitSignal, c.exitSignal) << c.name;
    EXPECT_EQ(run.reachedRunLimit, c.reachedRunLimit) << c.name;
    EXPECT_EQ(run.outputCut, c.outputCut) << c.name;
  }
  struct Missing {
    const char* program;
    int error;
  };
  for (auto [program, error] : {Missing{"/nonexistent/python3", ENOENT}, Missing{"/tmp", EACCES}}) {
    auto run = platform::systemChildProcesses().runCapturingOutput({program, {}, {}},
                                                                   [](std::string_view) {}, {});
    EXPECT_EQ(run.outcome, ChildOutcome::NotStarted) << program;
    EXPECT_EQ(run.startError, error) << program;
  }
}

// The run limit counts from the start: a child that ends its output late and lingers gets what
// is left of it, not a new one.
TEST(ChildProcess, TheRunLimitCountsFromTheStart) {
  auto run = runShell("sleep 0.6; exec sleep 30 >&-", {.runLimit = 1s, .drainAfterExit = 2s});
  EXPECT_EQ(run.outcome, ChildOutcome::Failed);
  EXPECT_GE(run.elapsed, 1s);
  EXPECT_LT(run.elapsed, 1400ms);
}

// Children this process had before the run are its own business: the run neither signals nor
// reaps them.
TEST(ChildProcess, ChildrenStartedBeforeTheRunAreLeftAlone) {
  pid_t before = ::fork();
  if (before == 0) {
    ::execl("/bin/sleep", "sleep", "0.2", static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ASSERT_GT(before, 0);
  auto run = runShell("sleep 0.5; echo done");
  EXPECT_EQ(run.output, "done\n");
  int status = 0;
  ASSERT_EQ(::waitpid(before, &status, 0), before) << "reaped by the run";
  EXPECT_TRUE(WIFEXITED(status)) << "signalled by the run";
}

// The limits the README promises.
TEST(ChildProcess, TheDefaultLimitsAreTwoMinutesAndTwoSeconds) {
  platform::ChildLimits limits;
  EXPECT_EQ(limits.runLimit, 120s);
  EXPECT_EQ(limits.drainAfterExit, 2s);
}

}  // namespace
