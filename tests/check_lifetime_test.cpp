// Nothing the check starts outlives it, whatever ends it. Each stand-in process shows that it
// lives by appending to a file; a test then checks that the file has stopped growing.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <thread>

#include "support/test_support.h"

namespace {

using namespace testing_support;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

class CheckLifetime : public testing::Test {
 protected:
  CheckLifetime() : pack_(dir_.path()) {
    pack_.writeStandardInfo("1.0", 1);
    pack_.writeWeights();
  }
  // The stand-in interpreter: `body` runs with the `beat` function defined, and `awaitBeat FILE`
  // that waits until something beats into FILE.
  void interpreterRuns(const std::string& body) {
    writeScript(pack_.interpreter(),
                heartbeatFunction() +
                    "awaitBeat() { while [ ! -s \"$1\" ]; do sleep 0.01; done; }\n" + body);
  }
  fs::path beats(const std::string& name) const { return dir_.path() / name; }
  std::string quoted(const std::string& name) const { return "'" + beats(name).string() + "'"; }

  TempDir dir_;
  PackFixture pack_;
};

TEST_F(CheckLifetime, LeftoverProcessesAreEndedOnceTheAnswerIsIn) {
  struct Case {
    const char* name;
    std::string leftover;  // started in the background before the answer; beats into `name`
    bool holdsOutput;      // whether it keeps the pipe open, so the drain limit runs out
  };
  const Case cases[] = {
      {"holding-the-output", "beat " + quoted("holding-the-output") + " &", true},
      {"detached",
       "setsid sh -c '" + heartbeatFunction() + "beat \"$0\"' " + quoted("detached") +
           " >/dev/null &",
       false},
      {"orphaned-grandchild", "( beat " + quoted("orphaned-grandchild") + " >/dev/null & )", false},
  };
  for (const auto& c : cases) {
    interpreterRuns(c.leftover + "\nawaitBeat " + quoted(c.name) + "\necho '{\"torch\":\"2\"}'\n");
    auto result = pack_.run({"--check"});
    EXPECT_EQ(result.status, 0) << c.name;
    EXPECT_NE(result.out.find("\"ok\":true"), std::string::npos) << c.name << ": " << result.out;
    if (c.holdsOutput) {
      EXPECT_GE(result.elapsed, 1900ms) << c.name;
    }
    EXPECT_LT(result.elapsed, 3500ms) << c.name;
    EXPECT_TRUE(beatStarted(beats(c.name))) << c.name;
    EXPECT_TRUE(beatStopped(beats(c.name))) << c.name;
  }
}

// A caller that gives up on the check: the whole tree goes, no report is written, and the pack
// ends by the caller's signal.
TEST_F(CheckLifetime, TerminationSignalsEndTheTreeAndThenThePack) {
  for (int signal : {SIGTERM, SIGINT, SIGHUP}) {
    fs::path interpreter = beats("interpreter-" + std::to_string(signal));
    fs::path detached = beats("detached-" + std::to_string(signal));
    interpreterRuns("setsid sh -c '" + heartbeatFunction() + "beat \"$0\"' '" + detached.string() +
                    "' >/dev/null &\nbeat '" + interpreter.string() + "'\n");
    RunOptions options;
    options.arguments = {pack_.executable().string(), "--check"};
    StartedProgram pack(options);
    ASSERT_TRUE(beatStarted(interpreter)) << strsignal(signal);
    ASSERT_TRUE(beatStarted(detached)) << strsignal(signal);
    auto signalled = Clock::now();
    ::kill(pack.pid(), signal);
    auto result = pack.wait(5s);
    EXPECT_LT(Clock::now() - signalled, 1s) << strsignal(signal);
    EXPECT_EQ(result.status, 128 + signal) << strsignal(signal);
    EXPECT_EQ(result.out, "") << strsignal(signal);
    EXPECT_TRUE(beatStopped(interpreter)) << strsignal(signal);
    EXPECT_TRUE(beatStopped(detached)) << strsignal(signal);
  }
}

// A signal the caller left ignored (nohup) passes the check by.
TEST_F(CheckLifetime, AnIgnoredHangupIsLeftIgnored) {
  fs::path started = beats("started");
  interpreterRuns("touch '" + started.string() + "'\nsleep 0.5\necho '{\"torch\":\"2\"}'\n");
  RunOptions options;
  options.arguments = {"/bin/sh", "-c", "trap '' HUP; exec \"$0\" --check",
                       pack_.executable().string()};
  StartedProgram pack(options);
  for (int i = 0; i < 500 && !fs::exists(started); ++i) {
    std::this_thread::sleep_for(10ms);
  }
  ::kill(pack.pid(), SIGHUP);
  auto result = pack.wait(5s);
  EXPECT_EQ(result.status, 0);
  EXPECT_NE(result.out.find("\"ok\":true"), std::string::npos) << result.out;
}

// SIGKILL can't be caught; the interpreter still goes with the pack.
TEST_F(CheckLifetime, TheInterpreterDiesWithAKilledPack) {
  fs::path interpreter = beats("interpreter");
  interpreterRuns("beat '" + interpreter.string() + "'\n");
  RunOptions options;
  options.arguments = {pack_.executable().string(), "--check"};
  StartedProgram pack(options);
  ASSERT_TRUE(beatStarted(interpreter));
  ::kill(pack.pid(), SIGKILL);
  EXPECT_EQ(pack.wait(5s).status, 128 + SIGKILL);
  EXPECT_TRUE(beatStopped(interpreter));
}

// The interpreter shares the caller's terminal and stays in its foreground: a read from it
// would stop a process moved into a background group.
TEST_F(CheckLifetime, TheInterpreterReadsFromTheCallersTerminal) {
  interpreterRuns("read version\necho \"{\\\"torch\\\":\\\"$version\\\"}\"\n");
  writeFile(dir_.path() / "typed", "2.5\n");
  RunOptions options;
  options.arguments = {"/usr/bin/script", "-qec", "'" + pack_.executable().string() + "' --check",
                       "/dev/null"};
  options.inputFile = dir_.path() / "typed";
  options.timeout = 10s;
  auto result = runProgram(options);
  EXPECT_FALSE(result.timedOut);
  EXPECT_EQ(result.status, 0);
  EXPECT_NE(result.out.find("\"ok\":true"), std::string::npos) << result.out;
  EXPECT_NE(result.out.find("\"torch\":\"2.5\""), std::string::npos) << result.out;
}

// Standard output handed over non-blocking and full: the line is written once the reader makes
// room, in both modes that write.
TEST_F(CheckLifetime, AFullNonBlockingOutputIsWaitedFor) {
  pack_.writeInterpreterPrinting("{\"torch\":\"2\"}\n");
  for (const char* mode : {"--version", "--check"}) {
    int ends[2];
    ASSERT_EQ(::pipe2(ends, O_CLOEXEC), 0);
    ::fcntl(ends[1], F_SETFL, O_NONBLOCK);
    std::string filler(4096, 'f');
    size_t filled = 0;
    for (ssize_t n; (n = ::write(ends[1], filler.data(), filler.size())) > 0;) {
      filled += static_cast<size_t>(n);
    }
    RunOptions options;
    options.arguments = {pack_.executable().string(), mode};
    options.outputFd = ends[1];
    StartedProgram pack(options);
    ::close(ends[1]);
    std::this_thread::sleep_for(300ms);
    std::string read;
    char buffer[65536];
    for (ssize_t n; (n = ::read(ends[0], buffer, sizeof buffer)) > 0;) {
      read.append(buffer, static_cast<size_t>(n));
    }
    ::close(ends[0]);
    auto result = pack.wait(10s);
    EXPECT_EQ(result.status, 0) << mode;
    ASSERT_GT(read.size(), filled) << mode;
    std::string line = read.substr(filled);
    EXPECT_EQ(line, std::string(mode) == "--version" ? "1.0\n" : line) << mode;
    EXPECT_NE(line.find('\n'), std::string::npos) << mode << ": " << line;
    EXPECT_EQ(line.back(), '\n') << mode;
    if (std::string(mode) == "--check") {
      EXPECT_EQ(line.rfind("{\"format\":1,", 0), 0u) << line;
    }
  }
}

// A file at the size limit takes no more; the status is still the mode's own, and the
// interpreter starts with the signal at its default.
TEST_F(CheckLifetime, AFileSizeLimitDoesNotEndThePack) {
  fs::path full = dir_.path() / "full";
  fs::path ignored = dir_.path() / "ignored";
  writeFile(full, std::string(4096, 'x'));
  interpreterRuns("grep SigIgn /proc/$$/status > '" + ignored.string() +
                  "'\necho '{\"torch\":\"2\"}'\n");
  for (const char* mode : {"--version", "--check"}) {
    RunOptions options;
    options.arguments = {"/bin/sh",
                         "-c",
                         "ulimit -f 1; exec \"$0\" \"$1\" >> \"$2\"",
                         pack_.executable().string(),
                         mode,
                         full.string()};
    auto result = runProgram(options);
    EXPECT_EQ(result.status, 0) << mode;
    EXPECT_EQ(fs::file_size(full), 4096u) << mode;
  }
  // glibc's own two internal signals (32 and 33) stay as the pack's caller left them; glibc
  // takes them over itself when it needs them.
  std::string mask = readFile(ignored);
  ASSERT_EQ(mask.rfind("SigIgn:\t", 0), 0u) << mask;
  EXPECT_EQ(std::stoull(mask.substr(8), nullptr, 16) & ~0x180000000ULL, 0u) << mask;
}

}  // namespace
