// Nothing the check starts outlives it, whatever ends it. Each stand-in process shows that it
// lives by appending to a file; a test then checks that the file has stopped growing.
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <iostream>
#include <optional>
#include <sstream>
#include <thread>
#include <vector>

#include "platform/linux/control_group.h"
#include "platform/linux/process_tree.h"
#include "support/test_support.h"

namespace {

using namespace testing_support;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Sets its signals up as told, then becomes the pack. Python ignores broken pipes and files past
// their size limit for itself: those go back to their defaults first.
constexpr const char* callerScript = R"(
import os, signal, sys
ignored, blocked, pending, own_group = sys.argv[1:5]
names = lambda text: [getattr(signal, name) for name in text.split(",") if name]
for number in (signal.SIGPIPE, signal.SIGXFSZ):
    signal.signal(number, signal.SIG_DFL)
for number in names(ignored):
    signal.signal(number, signal.SIG_IGN)
signal.pthread_sigmask(signal.SIG_BLOCK, names(blocked))
if own_group == "1":
    os.setpgid(0, 0)
for number in names(pending):
    os.kill(os.getpid(), number)
os.execv(sys.argv[5], sys.argv[5:])
)";

// Sends SIGTERM to `pack` and expects it to end by that signal within a second.
void expectEndedBySigtermAtOnce(StartedProgram& pack) {
  auto signalled = Clock::now();
  ::kill(pack.pid(), SIGTERM);
  auto result = pack.wait(5s);
  EXPECT_LT(Clock::now() - signalled, 1s);
  EXPECT_EQ(result.signal, SIGTERM);
}

// How many pids this process has, one per PID namespace it is in: a process in a namespace of
// the pack's own has one more.
int namespaceDepth() {
  std::istringstream status(readFile("/proc/self/status"));
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("NSpid:", 0) == 0) {
      std::istringstream pids(line.substr(6));
      int depth = 0;
      for (std::string pid; pids >> pid;) {
        ++depth;
      }
      return depth;
    }
  }
  return 1;
}

// What a test tells of a process that should have been gone: its state and where it runs.
std::string describeProcess(int pid) {
  std::string proc = "/proc/" + std::to_string(pid);
  std::string stat = readFile(proc + "/stat");
  std::string group = readFile(proc + "/cgroup");
  auto unified = group.rfind("0::");
  return stat.substr(0, stat.find(' ', stat.rfind(')') + 2)) + ", in " +
         (unified == std::string::npos ? "?" : group.substr(unified + 3));
}

// Whether this machine lets the pack make a control group below the test's own.
bool controlGroupsCanBeMade() {
  auto path = platform::linux_impl::unifiedGroupPath(readFile("/proc/self/cgroup"));
  auto folder = path ? platform::linux_impl::groupFolderIn(readFile("/proc/self/mountinfo"), *path)
                     : std::nullopt;
  return folder && fs::exists(*folder + "/cgroup.procs") && ::access(folder->c_str(), W_OK) == 0 &&
         ::geteuid() == 0;
}

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
  // The pack started by a caller that set its signals up first: `ignored` and `blocked` name
  // signals ("SIGHUP,SIGINT"); `pending` is raised while blocked, before the exec; with
  // `ownGroup` the pack leads a process group, so that a test can signal the whole group.
  RunOptions startedBy(const std::string& ignored, const std::string& blocked,
                       const std::string& pending = "", bool ownGroup = false) const {
    RunOptions options;
    options.arguments = {"/usr/bin/python3",
                         "-c",
                         callerScript,
                         ignored,
                         blocked,
                         pending,
                         ownGroup ? "1" : "0",
                         pack_.executable().string(),
                         "--check"};
    return options;
  }
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
// ends by the caller's signal, only once the tree is gone: nothing the pack started is left to its
// caller (here a subreaper, which would inherit whatever the pack left behind).
TEST_F(CheckLifetime, TerminationSignalsEndTheTreeAndThenThePack) {
  ASSERT_EQ(::prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0), 0);
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
    auto inherited = platform::linux_impl::childrenOf(::getpid());
    EXPECT_LT(Clock::now() - signalled, 1s) << strsignal(signal);
    EXPECT_EQ(result.signal, signal) << strsignal(signal);
    EXPECT_EQ(result.out, "") << strsignal(signal);
    EXPECT_TRUE(inherited.empty()) << strsignal(signal) << ": the pack went before its tree";
    EXPECT_TRUE(beatStopped(interpreter)) << strsignal(signal);
    EXPECT_TRUE(beatStopped(detached)) << strsignal(signal);
    for (pid_t orphan : inherited) {
      ::kill(orphan, SIGKILL);
      ::waitpid(orphan, nullptr, 0);
    }
  }
  ::prctl(PR_SET_CHILD_SUBREAPER, 0, 0, 0, 0);
}

// A termination signal sent to the whole process group (`kill %1` of a background job, `timeout`)
// reaches the pack, its keeper and the interpreter at once. The keeper takes its orders from the
// pack alone, and the tree still goes whole.
TEST_F(CheckLifetime, ASignalToTheWholeGroupStillEndsTheTreeWhole) {
  fs::path interpreter = beats("interpreter");
  interpreterRuns("setsid sh -c 'exec sleep 30' >/dev/null &\nbeat '" + interpreter.string() +
                  "'\n");
  for (int round = 0; round < 3; ++round) {
    fs::remove(interpreter);
    RunOptions options = startedBy("", "", "", /*ownGroup=*/true);
    options.environment = {{"QP_TEST_MARK", "group-wide"}};
    StartedProgram pack(options);
    ASSERT_TRUE(beatStarted(interpreter));
    ::kill(-pack.pid(), SIGTERM);
    EXPECT_EQ(pack.wait(5s).signal, SIGTERM) << round;
    EXPECT_TRUE(noneLeftWith("QP_TEST_MARK=group-wide")) << round;
  }
  fs::remove(interpreter);
  RunOptions timeout;
  timeout.arguments = {"/usr/bin/timeout", "1", pack_.executable().string(), "--check"};
  timeout.environment = {{"QP_TEST_MARK", "timeout"}};
  EXPECT_EQ(runProgram(timeout).status, 124);
  EXPECT_TRUE(noneLeftWith("QP_TEST_MARK=timeout"));
}

// The pack's own processes between it and the interpreter hold nothing of the caller's: a reader
// of the caller's output or error waits until every writer is gone, and they are not writers.
TEST_F(CheckLifetime, ThePacksOwnProcessesHoldNoneOfTheCallersStreams) {
  fs::path interpreter = beats("interpreter");
  interpreterRuns("beat '" + interpreter.string() + "'\n");
  struct Case {
    const char* name;
    std::vector<std::string> before;
    size_t ownProcesses;  // the keeper, and the first process of its namespace where it has one
  };
  const Case cases[] = {
      {"as it is", {}, controlGroupsCanBeMade() ? 1u : 2u},
      {"in a PID namespace", {QP_WITHOUT_FEATURES, "folders"}, 2},
  };
  for (const auto& c : cases) {
    if (!c.before.empty() && ::geteuid() != 0) {
      continue;
    }
    fs::remove(interpreter);
    RunOptions options;
    options.arguments = c.before;
    options.arguments.insert(options.arguments.end(), {pack_.executable().string(), "--check"});
    StartedProgram pack(options);
    ASSERT_TRUE(beatStarted(interpreter)) << c.name;
    // The pack's child is always the tracked one: a wrapper execs into the pack.
    std::vector<pid_t> own = platform::linux_impl::childrenOf(pack.pid());
    if (c.ownProcesses == 2 && own.size() == 1) {
      auto first = platform::linux_impl::childrenOf(own.front());
      own.insert(own.end(), first.begin(), first.end());
    }
    ASSERT_EQ(own.size(), c.ownProcesses) << c.name;
    for (pid_t process : own) {
      for (int fd = 0; fd <= 2; ++fd) {
        std::error_code error;
        auto target = fs::read_symlink(
            "/proc/" + std::to_string(process) + "/fd/" + std::to_string(fd), error);
        EXPECT_EQ(target, "/dev/null") << c.name << ": process " << process << ", fd " << fd;
      }
    }
  }
}

// A keeper that someone stopped is let go on when the pack ends the tree.
TEST_F(CheckLifetime, AStoppedKeeperIsLetGoOnToEndTheTree) {
  fs::path interpreter = beats("interpreter");
  interpreterRuns("setsid sh -c 'exec sleep 30' >/dev/null &\nbeat '" + interpreter.string() +
                  "'\n");
  RunOptions options;
  options.arguments = {pack_.executable().string(), "--check"};
  options.environment = {{"QP_TEST_MARK", "stopped-keeper"}};
  StartedProgram pack(options);
  ASSERT_TRUE(beatStarted(interpreter));
  auto keeper = platform::linux_impl::childrenOf(pack.pid());
  ASSERT_EQ(keeper.size(), 1u);
  ::kill(keeper.front(), SIGSTOP);
  ::kill(pack.pid(), SIGTERM);
  EXPECT_EQ(pack.wait(10s).signal, SIGTERM);
  EXPECT_TRUE(noneLeftWith("QP_TEST_MARK=stopped-keeper"));
}

// A keeper killed alone leaves its control group to the pack, which ends what is in it and removes
// it.
TEST_F(CheckLifetime, AKilledKeepersGroupIsEndedByThePack) {
  if (!controlGroupsCanBeMade()) {
    GTEST_SKIP() << "no control group can be made here";
  }
  fs::path interpreter = beats("interpreter");
  interpreterRuns("setsid sh -c 'exec sleep 30' >/dev/null &\nbeat '" + interpreter.string() +
                  "'\n");
  RunOptions options;
  options.arguments = {pack_.executable().string(), "--check"};
  options.environment = {{"QP_TEST_MARK", "killed-keeper"}};
  StartedProgram pack(options);
  ASSERT_TRUE(beatStarted(interpreter));
  auto keeper = platform::linux_impl::childrenOf(pack.pid());
  ASSERT_EQ(keeper.size(), 1u);
  std::string group = "quality-pack-check-" + std::to_string(keeper.front());
  ::kill(keeper.front(), SIGKILL);
  ::kill(pack.pid(), SIGTERM);
  pack.wait(30s);
  EXPECT_TRUE(noneLeftWith("QP_TEST_MARK=killed-keeper"));
  auto own = platform::linux_impl::unifiedGroupPath(readFile("/proc/self/cgroup"));
  auto folder = platform::linux_impl::groupFolderIn(readFile("/proc/self/mountinfo"), *own);
  EXPECT_FALSE(fs::exists(*folder + "/" + group)) << "the group was left behind";
}

// SIGKILL can't be caught; the interpreter and what it started, detached or not, still go.
TEST_F(CheckLifetime, EverythingGoesWithAKilledPack) {
  fs::path interpreter = beats("interpreter");
  fs::path detached = beats("detached");
  interpreterRuns("setsid sh -c '" + heartbeatFunction() + "beat \"$0\"' " + quoted("detached") +
                  " >/dev/null &\nbeat '" + interpreter.string() + "'\n");
  RunOptions options;
  options.arguments = {pack_.executable().string(), "--check"};
  StartedProgram pack(options);
  ASSERT_TRUE(beatStarted(interpreter));
  ASSERT_TRUE(beatStarted(detached));
  ::kill(pack.pid(), SIGKILL);
  EXPECT_EQ(pack.wait(5s).signal, SIGKILL);
  EXPECT_TRUE(beatStopped(interpreter));
  EXPECT_TRUE(beatStopped(detached));
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
    // Well within the pack's 10 s bound, but longer than any short one.
    std::this_thread::sleep_for(std::string(mode) == "--version" ? 3s : 300ms);
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

// Processes the caller started before it became the pack are the caller's: a shell's background
// job lives on, and the reader of a process substitution gets the report.
TEST_F(CheckLifetime, TheCallersOwnProcessesAreLeftAlone) {
  pack_.writeInterpreterPrinting("{\"torch\":\"2\"}\n");
  fs::path job = beats("job");
  fs::path log = dir_.path() / "log";
  const std::string pack = "'" + pack_.executable().string() + "'";
  struct Case {
    const char* name;
    std::string shell;
  };
  const Case cases[] = {
      {"a background job",
       heartbeatFunction() + "beat '" + job.string() + "' &\nexec " + pack + " --check"},
      {"a process substitution",
       "exec > >(tee -a '" + log.string() + "')\nexec " + pack + " --check"},
  };
  for (const auto& c : cases) {
    RunOptions options;
    options.arguments = {"/bin/bash", "-c", c.shell};
    options.environment = {{"QP_TEST_MARK", "caller"}};
    auto result = runProgram(options);
    EXPECT_EQ(result.status, 0) << c.name;
  }
  // The reader copies the report to the log and to standard output in its own time, after the
  // pack has gone: the log is waited for.
  EXPECT_TRUE(beatStarted(job));
  EXPECT_FALSE(beatStopped(job)) << "the caller's job was ended with the check";
  for (int i = 0; i < 200 && readFile(log).empty(); ++i) {
    std::this_thread::sleep_for(10ms);
  }
  EXPECT_EQ(readFile(log).rfind("{\"format\":1,\"mps\":false,\"ok\":true,", 0), 0u)
      << readFile(log);
  for (int pid : processesWithEnvironmentEntry("QP_TEST_MARK=caller")) {
    ::kill(pid, SIGKILL);
  }
}

// What the caller ignored reaches the interpreter ignored: a hangup or an interrupt sent to the
// whole process group (a terminal that went away, Ctrl-C) passes the check by, and a termination
// signal the caller keeps blocked waits, as it would for any program.
TEST_F(CheckLifetime, SignalsTheCallerIgnoredOrBlockedPassTheCheckBy) {
  fs::path started = beats("started");
  interpreterRuns("touch '" + started.string() + "'\nsleep 0.5\necho '{\"torch\":\"2\"}'\n");
  struct Case {
    const char* name;
    std::string ignored;
    std::string blocked;
    std::string pending;
    int sentToGroup;
  };
  const Case cases[] = {
      {"SIGHUP ignored", "SIGHUP", "", "", SIGHUP},
      {"SIGINT ignored", "SIGINT", "", "", SIGINT},
      {"SIGTERM blocked and pending", "", "SIGTERM", "SIGTERM", 0},
  };
  for (const auto& c : cases) {
    fs::remove(started);
    StartedProgram pack(startedBy(c.ignored, c.blocked, c.pending, /*ownGroup=*/true));
    for (int i = 0; i < 500 && !fs::exists(started); ++i) {
      std::this_thread::sleep_for(10ms);
    }
    if (c.sentToGroup != 0) {
      ::kill(-pack.pid(), c.sentToGroup);
    }
    auto result = pack.wait(5s);
    EXPECT_EQ(result.status, 0) << c.name;
    EXPECT_EQ(result.signal, 0) << c.name;
    EXPECT_NE(result.out.find("\"ok\":true"), std::string::npos) << c.name << ": " << result.out;
  }
}

// The interpreter starts with the signal state the pack was started with: what the pack changed
// for itself comes back as the caller had it; what the caller ignored or blocked stays so.
TEST_F(CheckLifetime, TheInterpreterGetsTheCallersSignalState) {
  pack_.installRecordingInterpreter();
  fs::path record = dir_.path() / "record";
  auto bit = [](int signal) { return 1ULL << (signal - 1); };
  struct Case {
    const char* name;
    std::string ignored;
    std::string blocked;
    unsigned long long expectIgnored;
    unsigned long long expectBlocked;
  };
  const Case cases[] = {
      {"nothing set", "", "", 0, 0},
      {"broken pipes and hangups ignored", "SIGPIPE,SIGHUP", "", bit(SIGPIPE) | bit(SIGHUP), 0},
      {"children ignored", "SIGCHLD", "", bit(SIGCHLD), 0},
      {"termination and a user signal blocked", "", "SIGTERM,SIGUSR1", 0,
       bit(SIGTERM) | bit(SIGUSR1)},
      {"children blocked", "", "SIGCHLD", 0, bit(SIGCHLD)},
  };
  for (const auto& c : cases) {
    fs::remove(record);
    RunOptions options = startedBy(c.ignored, c.blocked);
    options.environment = {{"QP_TEST_RECORD", record.string()}};
    runProgram(options);
    std::string text = readFile(record);
    auto mask = [&text](const std::string& kind) {
      auto at = text.find(kind + " ");
      return at == std::string::npos ? ~0ULL
                                     : std::stoull(text.substr(at + kind.size() + 1), nullptr, 16);
    };
    // glibc's own two internal signals (32 and 33) are left out of the record.
    EXPECT_EQ(mask("sigign"), c.expectIgnored) << c.name << "\n" << text;
    EXPECT_EQ(mask("sigblk") & ~0x180000000ULL, c.expectBlocked) << c.name << "\n" << text;
  }
}

// Leftovers are killed, not asked: a leftover that ignores SIGTERM goes all the same, and is gone
// rather than stopped.
TEST_F(CheckLifetime, LeftoversThatIgnoreTerminationAreKilled) {
  interpreterRuns("(trap '' TERM HUP INT; exec sleep 30) >/dev/null &\necho '{\"torch\":\"2\"}'\n");
  RunOptions options;
  options.environment = {{"QP_TEST_MARK", "stubborn"}};
  auto result = pack_.run({"--check"}, options);
  EXPECT_EQ(result.status, 0) << result.out;
  EXPECT_TRUE(noneLeftWith("QP_TEST_MARK=stubborn"));
}

// ---- Trees that keep growing while the check ends them ----

// The ways the pack holds the interpreter's tree, each made the one in use by having the system
// refuse what the better ways need, as a container or an older kernel does.
struct HoldingWay {
  const char* name;
  const char* refused;   // what without-features refuses; "" for nothing
  bool unprivileged;     // run as a user who may make no control group
  const char* recorded;  // where the stand-in finds itself running
};
const HoldingWay holdingWays[] = {
    {"a control group", "", false, "group"},
    {"a PID namespace, where no control group can be made", "folders", false, "namespace"},
    {"a PID namespace in a user namespace of its own, for an unprivileged user", "", true,
     "namespace"},
    {"the walk of the tree, where neither can be made", "clone3", false, "walk"},
};

struct GrowingTree {
  const char* name;
  std::string start;  // shell lines that start it in the background and return
};

// Whether `way` can be what the pack uses here.
std::optional<std::string> whyNot(const HoldingWay& way) {
  std::string recorded = way.recorded;
  if (recorded == "group" && !controlGroupsCanBeMade()) {
    return "no control group can be made here";
  }
  if ((way.unprivileged || recorded == "namespace") && ::geteuid() != 0) {
    return "not root";
  }
  if (way.unprivileged) {
    RunOptions userNamespace;
    userNamespace.arguments = {
        "/usr/bin/setpriv", "--reuid=65534", "--regid=65534",      "--clear-groups",
        "/usr/bin/unshare", "--user",        "--map-current-user", "--pid",
        "--fork",           "/bin/true"};
    if (runProgram(userNamespace).status != 0) {
      return "an unprivileged user may make no user namespace here";
    }
  }
  return std::nullopt;
}

// Makes the machine busy from the moment `trigger` appears until it is destroyed. The load falls
// on the ending of the tree, which is what it is there for, and not on the seconds of growing
// before it, which it would only stretch.
class BusyOnceFileAppears {
 public:
  explicit BusyOnceFileAppears(fs::path trigger)
      : watcher_([this, trigger = std::move(trigger)] {
          std::error_code ignored;
          while (!stop_) {
            if (fs::exists(trigger, ignored)) {
              busy_.emplace();
              return;
            }
            std::this_thread::sleep_for(2ms);
          }
        }) {}
  ~BusyOnceFileAppears() {
    stop_ = true;
    watcher_.join();
  }
  BusyOnceFileAppears(const BusyOnceFileAppears&) = delete;
  BusyOnceFileAppears& operator=(const BusyOnceFileAppears&) = delete;

 private:
  std::optional<BusyMachine> busy_;  // ended after the watcher has stopped
  std::atomic<bool> stop_{false};
  std::thread watcher_;
};

enum class Load { quiet, busyWhileEnding };

// Starts each tree in the stand-in interpreter, which answers while the tree still grows, and
// expects every process of it gone by the time the check has ended, in each way the pack can hold
// the tree.
void expectGrowingTreesEndedWhole(const fs::path& dir, PackFixture& pack, Load load) {
  fs::permissions(dir, fs::perms::all);  // for the unprivileged user's runs
  // Each tree marks in `grown` how far it has got; the stand-in answers once it is halfway.
  fs::path grown = dir / "grown";
  const std::string markGrowth = "printf . >> '" + grown.string() + "'";
  fs::path hop = dir / "hop";
  writeScript(hop, "if [ \"$1\" -eq 40 ]; then " + markGrowth +
                       "; fi\n"
                       "if [ \"$1\" -gt 0 ]; then setsid -f \"$0\" $(($1 - 1)); exit 0; fi\n"
                       "exec sleep 30\n");
  // The trees' processes sit waiting to open a pipe that nobody ever writes to: a shell that
  // execs sleep instead spends most of a tree's second in the exec, and a thousand of them are
  // started in each of the eight runs.
  fs::path never = dir / "never";
  fs::remove(never);
  ASSERT_EQ(::mkfifo(never.c_str(), 0600), 0);
  fs::permissions(never, fs::perms::all);
  const std::string sit = "read _ < '" + never.string() + "'";
  const GrowingTree trees[] = {
      {"a chain of 400, each starting the next",
       "link() { [ $1 -eq 300 ] && " + markGrowth +
           "; if [ $1 -gt 0 ]; then link $(($1 - 1)) & fi; " + sit +
           "; }\n"
           "(link 400) >/dev/null 2>&1 &\nawaitGrown 1\n"},
      {"a binary tree of about 1,000, each starting two",
       "node() { [ $1 -eq 0 ] && " + markGrowth +
           "; if [ $1 -gt 0 ]; then node $(($1 - 1)) & node $(($1 - 1)) & fi; " + sit +
           "; }\n"
           "(node 9) >/dev/null 2>&1 &\nawaitGrown 64\n"},
      {"80 generations, each detaching, starting the next and exiting",
       "'" + hop.string() + "' 80 >/dev/null 2>&1\nawaitGrown 1\n"},
  };
  fs::path where = dir / "where";
  fs::path answering = dir / "answering";
  for (const auto& way : holdingWays) {
    if (auto reason = whyNot(way)) {
      std::cout << "[ SKIPPED  ] " << way.name << ": " << *reason << "\n";
      continue;
    }
    for (const auto& tree : trees) {
      std::string mark = "QP_TEST_MARK=tree-" + std::to_string(::getpid());
      writeScript(pack.interpreter(),
                  "way=walk\n"
                  "grep -q '^0::.*/quality-pack-check-[0-9]*$' /proc/self/cgroup && way=group\n"
                  "set -- $(grep '^NSpid:' /proc/self/status)\n"
                  "[ $# -gt " +
                      std::to_string(namespaceDepth() + 1) +
                      " ] && way=namespace\n"
                      "echo $way > '" +
                      where.string() +
                      "'\n"
                      "awaitGrown() { while [ $(wc -c < '" +
                      grown.string() + "') -lt $1 ]; do sleep 0.01; done; }\n" + tree.start +
                      ": > '" + answering.string() + "'\necho '{\"torch\":\"2\"}'\n");
      fs::remove(where);
      fs::remove(answering);
      writeFile(grown, "");
      fs::permissions(grown, fs::perms::all);
      RunOptions options;
      if (way.unprivileged) {
        options.arguments = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534",
                             "--clear-groups"};
      }
      if (*way.refused) {
        options.arguments.insert(options.arguments.end(), {QP_WITHOUT_FEATURES, way.refused});
      }
      options.arguments.insert(options.arguments.end(), {pack.executable().string(), "--check"});
      options.environment = {{"QP_TEST_MARK", mark.substr(mark.find('=') + 1)}};
      std::optional<BusyOnceFileAppears> busy;
      if (load == Load::busyWhileEnding) {
        busy.emplace(answering);
      }
      auto result = runProgram(options);
      busy.reset();
      auto left = processesWithEnvironmentEntry(mark);
      EXPECT_EQ(result.status, 0) << way.name << ", " << tree.name << ": " << result.out;
      EXPECT_EQ(readFile(where), std::string(way.recorded) + "\n") << way.name;
      EXPECT_TRUE(left.empty()) << way.name << ", " << tree.name << ": " << left.size()
                                << " left once the check had ended, such as "
                                << (left.empty() ? "" : describeProcess(left.front()));
      for (int pid : left) {
        ::kill(pid, SIGKILL);
      }
    }
  }
}

TEST_F(CheckLifetime, TreesThatKeepGrowingAreEndedWhole) {
  expectGrowingTreesEndedWhole(dir_.path(), pack_, Load::quiet);
}

TEST_F(CheckLifetime, TreesThatKeepGrowingAreEndedWholeOnABusyMachine) {
  expectGrowingTreesEndedWhole(dir_.path(), pack_, Load::busyWhileEnding);
}

// Short-lived orphans are reaped as they end, not kept as zombies until the check is over.
TEST_F(CheckLifetime, OrphansAreReapedAsTheyEnd) {
  // The orphans run a copy of sleep under a name of their own, so that their zombies can be told
  // from anyone else's wherever the interpreter runs.
  std::string name = "qpz" + std::to_string(::getpid() % 100000);
  fs::path orphan = dir_.path() / name;
  fs::copy_file("/bin/sleep", orphan);
  fs::path zombies = dir_.path() / "zombies";
  interpreterRuns("i=0; while [ $i -lt 200 ]; do ('" + orphan.string() +
                  "' 0.01 &); i=$((i + 1)); done\nsleep 1\n"
                  "n=0; for stat in /proc/[0-9]*/stat; do\n"
                  "  case $(cat \"$stat\" 2>/dev/null) in *'(" +
                  name +
                  ") Z '*) n=$((n + 1));; esac\n"
                  "done\necho $n > '" +
                  zombies.string() + "'\necho '{\"torch\":\"2\"}'\n");
  struct Case {
    const char* name;
    std::vector<std::string> before;  // what the pack is started through
  };
  const Case cases[] = {
      {"as it is", {}},
      // In a PID namespace whose /proc is the outer one's, no pid read there can be trusted; the
      // walk is the only way left, and it reaps without /proc.
      {"without a /proc of its own",
       {"/usr/bin/unshare", "--fork", "--pid", QP_WITHOUT_FEATURES, "clone3"}},
  };
  for (const auto& c : cases) {
    if (!c.before.empty() && ::geteuid() != 0) {
      std::cout << "[ SKIPPED  ] " << c.name << ": a new PID namespace needs root\n";
      continue;
    }
    fs::remove(zombies);
    RunOptions options;
    options.arguments = c.before;
    options.arguments.insert(options.arguments.end(), {pack_.executable().string(), "--check"});
    auto result = runProgram(options);
    EXPECT_EQ(result.status, 0) << c.name << ": " << result.out;
    ASSERT_FALSE(readFile(zombies).empty()) << c.name;
    EXPECT_LT(std::stoi(readFile(zombies)), 10) << c.name << ": zombies left while the check ran";
  }
}

// After the run the termination signals are back at their defaults: one that comes while the
// report waits for room on a full standard output ends the pack at once.
TEST_F(CheckLifetime, ATerminationSignalWhileTheReportWaitsEndsThePack) {
  pack_.writeInterpreterPrinting("{\"torch\":\"2\"}\n");
  int ends[2];
  ASSERT_EQ(::pipe2(ends, O_CLOEXEC), 0);
  ::fcntl(ends[1], F_SETFL, O_NONBLOCK);
  std::string filler(4096, 'f');
  while (::write(ends[1], filler.data(), filler.size()) > 0) {
  }
  RunOptions options;
  options.arguments = {pack_.executable().string(), "--check"};
  options.outputFd = ends[1];
  StartedProgram pack(options);
  ::close(ends[1]);
  std::this_thread::sleep_for(1s);
  expectEndedBySigtermAtOnce(pack);
  ::close(ends[0]);
}

// ---- When the system itself works against the check ----

// The children of `pid`, as the kernel lists them; empty when it has none (yet).
std::vector<pid_t> childrenOf(pid_t pid) {
  return platform::linux_impl::childrenOf(pid);
}

// Waits up to five seconds for `pid` to have a child.
std::optional<pid_t> firstChildOf(pid_t pid) {
  for (int i = 0; i < 500; ++i) {
    if (auto children = childrenOf(pid); !children.empty()) {
      return children.front();
    }
    std::this_thread::sleep_for(10ms);
  }
  return std::nullopt;
}

// A process that lost its parent before it asked to die with it would never be told: each of the
// pack's processes looks once more after asking, and ends when its parent is gone. A slow fork
// holds the new process back while the test kills its parent.
TEST_F(CheckLifetime, AProcessWhoseParentWentBeforeItAskedEndsAtOnce) {
  fs::path interpreter = beats("interpreter");
  interpreterRuns("beat '" + interpreter.string() + "'\n");
  for (int slowFork : {1, 2}) {
    RunOptions options;
    options.arguments = {pack_.executable().string(), "--check"};
    options.environment = {{"LD_PRELOAD", QP_SLOW_FORK},
                           {"QP_TEST_SLOW_FORK", std::to_string(slowFork)}};
    StartedProgram pack(options);
    // 1: the pack's child is held back, and the pack is killed; 2: its grandchild is, and the
    // pack's child is killed.
    std::optional<pid_t> parent = pack.pid();
    if (slowFork == 2) {
      parent = firstChildOf(pack.pid());
    }
    ASSERT_TRUE(parent && firstChildOf(*parent)) << slowFork;
    ::kill(*parent, SIGKILL);
    pack.wait(5s);
    std::this_thread::sleep_for(800ms);
    EXPECT_FALSE(fs::exists(interpreter)) << slowFork << ": the interpreter ran without a parent";
    fs::remove(interpreter);
  }
}

// An exec that never completes (the interpreter on a file system that does not answer) is
// waited on like the rest of the run: a termination signal still ends the pack at once.
TEST_F(CheckLifetime, ATerminationSignalEndsAnExecThatHangs) {
#ifndef QP_HUNG_FILE_SYSTEM
  GTEST_SKIP() << "built without libfuse, so without the file system that hangs";
#else
  if (::geteuid() != 0 || !fs::exists("/dev/fuse")) {
    GTEST_SKIP() << "mounting a FUSE file system needs root and /dev/fuse";
  }
  fs::path mount = dir_.path() / "mnt";
  fs::create_directories(mount);
  RunOptions server;
  server.arguments = {QP_HUNG_FILE_SYSTEM, mount.string()};
  StartedProgram fileSystem(server);
  for (int i = 0; i < 500 && !fs::exists(mount / "python3"); ++i) {
    std::this_thread::sleep_for(10ms);
  }
  if (!fs::exists(mount / "python3")) {
    GTEST_SKIP() << "the FUSE mount was refused";
  }
  fs::create_directories(pack_.interpreter().parent_path());
  fs::create_symlink(mount / "python3", pack_.interpreter());

  RunOptions options;
  options.arguments = {pack_.executable().string(), "--check"};
  StartedProgram pack(options);
  std::this_thread::sleep_for(500ms);
  expectEndedBySigtermAtOnce(pack);

  ::kill(fileSystem.pid(), SIGKILL);
  fileSystem.wait(5s);
  RunOptions unmount;
  unmount.arguments = {"/bin/umount", "-l", mount.string()};
  runProgram(unmount);
#endif
}

// In a PID namespace of its own whose /proc is still the outer one's (unshare --pid without a
// new /proc), a pid read from /proc names another process: the pack then ends the interpreter
// by its own pid, and nothing else.
TEST_F(CheckLifetime, WithAForeignProcOnlyTheInterpreterIsEnded) {
  if (::geteuid() != 0) {
    GTEST_SKIP() << "a new PID namespace needs root";
  }
  fs::path interpreter = beats("interpreter");
  fs::path sibling = beats("sibling");
  interpreterRuns("beat '" + interpreter.string() + "'\n");
  RunOptions beside;
  beside.arguments = {"/bin/sh", "-c", heartbeatFunction() + "beat '" + sibling.string() + "'"};
  StartedProgram siblingProcess(beside);
  RunOptions options;
  options.arguments = {"/usr/bin/unshare", "--fork", "--pid", pack_.executable().string(),
                       "--check"};
  StartedProgram outer(options);
  if (!beatStarted(interpreter)) {
    GTEST_SKIP() << "unshare --pid was refused";
  }
  ASSERT_TRUE(beatStarted(sibling));
  auto pack = firstChildOf(outer.pid());
  ASSERT_TRUE(pack);
  auto signalled = Clock::now();
  ::kill(*pack, SIGTERM);
  outer.wait(5s);
  EXPECT_LT(Clock::now() - signalled, 1s);
  EXPECT_TRUE(beatStopped(interpreter));
  EXPECT_FALSE(beatStopped(sibling)) << "a process outside the interpreter's tree was ended";
}

}  // namespace
