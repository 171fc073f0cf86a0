// Nothing the check starts outlives it, whatever ends it. Each stand-in process shows that it
// lives by appending to a file; a test then checks that the file has stopped growing.
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <iostream>
#include <optional>
#include <random>
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

// The folder of this process's own control group, where cgroup v2 shows one.
std::optional<fs::path> ownGroupFolder() {
  auto path = platform::linux_impl::unifiedGroupPath(readFile("/proc/self/cgroup"));
  auto folder = path ? platform::linux_impl::groupFolderIn(readFile("/proc/self/mountinfo"), *path)
                     : std::nullopt;
  return folder ? std::optional<fs::path>(*folder) : std::nullopt;
}

// The checks' groups below `folder`.
std::vector<fs::path> checkGroupsIn(const fs::path& folder) {
  std::vector<fs::path> groups;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(folder, error)) {
    if (entry.path().filename().string().rfind(platform::linux_impl::checkGroupPrefix, 0) == 0) {
      groups.push_back(entry.path());
    }
  }
  return groups;
}

// A control group of the test's own below its group, for running the pack in: ended and removed
// with everything in it (and in the groups made inside it) when it goes.
class TestGroup {
 public:
  // With `owner`, the group is delegated to that user, as systemd delegates a user's service.
  explicit TestGroup(const std::string& name, std::optional<uid_t> owner = std::nullopt,
                     std::optional<fs::path> parent = std::nullopt)
      : path_((parent ? *parent : *ownGroupFolder()) / name) {
    fs::create_directory(path_);
    if (owner) {
      for (const char* file : {"", "cgroup.procs", "cgroup.threads", "cgroup.subtree_control"}) {
        fs::path target = *file ? path_ / file : path_;
        EXPECT_EQ(::chown(target.c_str(), *owner, *owner), 0) << target;
      }
    }
  }
  ~TestGroup() {
    writeFile(path_ / "cgroup.kill", "1");
    for (int i = 0;
         i < 500 && readFile(path_ / "cgroup.events").find("populated 1") != std::string::npos;
         ++i) {
      std::this_thread::sleep_for(10ms);
    }
    removeTree(path_);
  }
  TestGroup(const TestGroup&) = delete;
  TestGroup& operator=(const TestGroup&) = delete;

  const fs::path& path() const { return path_; }
  // What to put before a command so that it runs in this group: a shell that moves itself in,
  // as root, then becomes the command.
  std::vector<std::string> enter() const {
    return {"/bin/sh", "-c", "echo $$ > \"$0/cgroup.procs\" && exec \"$@\"", path_.string()};
  }
  // Starts a process in the group that sleeps for a minute; its pid.
  pid_t startSleeper() const {
    pid_t pid = ::fork();
    if (pid == 0) {
      writeFile(path_ / "cgroup.procs", std::to_string(::getpid()));
      ::execl("/bin/sleep", "sleep", "60", nullptr);
      ::_exit(127);
    }
    for (int i = 0; i < 500 && readFile(path_ / "cgroup.procs").empty(); ++i) {
      std::this_thread::sleep_for(10ms);
    }
    return pid;
  }

 private:
  // Groups inside first: a group with groups inside can't be removed.
  static void removeTree(const fs::path& folder) {
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(folder, error)) {
      if (entry.is_directory()) {
        removeTree(entry.path());
      }
    }
    ::rmdir(folder.c_str());
  }

  fs::path path_;
};

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

// Whether `pid`, a child of the test, still runs (it is reaped once it has ended).
bool stillRuns(pid_t pid) {
  return ::waitpid(pid, nullptr, WNOHANG) == 0;
}

// Shell lines for a stand-in interpreter that record in `where` how the pack holds it: "group"
// in a check's control group, "namespace" in a PID namespace of the pack's, else "walk".
std::string recordWay(const fs::path& where) {
  return "way=walk\n"
         "grep -q '^0::.*/quality-pack-check-[0-9]*-[0-9a-f]*$' /proc/self/cgroup && way=group\n"
         "set -- $(grep '^NSpid:' /proc/self/status)\n"
         "[ $# -gt " +
         std::to_string(namespaceDepth() + 1) + " ] && way=namespace\necho $way > '" +
         where.string() + "'\n";
}

// Who runs the pack.
enum class Runner {
  Root,
  User,           // an unprivileged user, in the test's own group (which it may not change)
  DelegatedUser,  // an unprivileged user, in a group delegated to it
};
constexpr uid_t unprivilegedUser = 65534;

// The ways the pack holds the interpreter's tree, each made the one in use by running the pack as
// a user who may do only so much, or by having the system refuse what the better ways need, as a
// container or an older kernel does.
struct HoldingWay {
  const char* name;
  const char* refused;  // what without-features refuses; "" for nothing
  Runner runner;
  const char* recorded;  // where the stand-in finds itself running
};
const HoldingWay holdingWays[] = {
    {"a control group", "", Runner::Root, "group"},
    {"a PID namespace, where no control group can be made", "folders", Runner::Root, "namespace"},
    {"a control group delegated to an unprivileged user", "", Runner::DelegatedUser, "group"},
    {"a PID namespace in a user namespace of its own, for an unprivileged user", "", Runner::User,
     "namespace"},
    {"the walk of the tree, where neither can be made", "pidns,clone3", Runner::Root, "walk"},
};

// Whether `way` can be what the pack uses here.
std::optional<std::string> whyNot(const HoldingWay& way) {
  std::string recorded = way.recorded;
  if (::geteuid() != 0) {
    return "not root";
  }
  if ((recorded == "group" || way.runner == Runner::DelegatedUser) && !controlGroupsCanBeMade()) {
    return "no control group can be made here";
  }
  if (way.runner == Runner::User && recorded == "namespace") {
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

// The command that runs the pack's `executable` with `options` in `way`, in the control group
// `group` where one is given (a delegated user's run needs one): tests that look at the groups a
// check leaves run it in one of their own, away from the checks of tests that run beside them.
std::vector<std::string> commandIn(const HoldingWay& way, const fs::path& executable,
                                   const TestGroup* group,
                                   const std::vector<std::string>& options = {"--check"}) {
  std::vector<std::string> command;
  if (group) {
    command = group->enter();
  }
  // The refusals first, while root may still set them up without giving up what setuid programs
  // grant.
  if (*way.refused) {
    command.insert(command.end(), {QP_WITHOUT_FEATURES, way.refused});
  }
  if (way.runner != Runner::Root) {
    command.insert(command.end(),
                   {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"});
  }
  command.push_back(executable.string());
  command.insert(command.end(), options.begin(), options.end());
  return command;
}

const HoldingWay& wayNamed(const std::string& recorded, Runner runner = Runner::Root) {
  for (const auto& way : holdingWays) {
    if (way.recorded == recorded && way.runner == runner) {
      return way;
    }
  }
  throw std::logic_error("no such way: " + recorded);
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
      {"in the walk", {QP_WITHOUT_FEATURES, "pidns,clone3"}, 1},
  };
  for (const auto& c : cases) {
    if (!c.before.empty() && (::geteuid() != 0 || !controlGroupsCanBeMade())) {
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

// A keeper that someone stopped (SIGSTOP to it alone) is let go on: while the interpreter works,
// so that the verdict is the interpreter's, and when the pack ends the tree.
TEST_F(CheckLifetime, AStoppedKeeperIsLetGoOn) {
  fs::path interpreter = beats("interpreter");
  fs::path answer = dir_.path() / "answer";
  interpreterRuns("setsid sh -c 'exec sleep 30' >/dev/null &\nbeat '" + interpreter.string() +
                  "' &\nwhile [ ! -e '" + answer.string() +
                  "' ]; do sleep 0.01; done\necho '{\"torch\":\"2\"}'\n");
  struct Case {
    const char* name;
    bool answers;  // the interpreter answers while the keeper is stopped; else the pack is ended
  };
  const Case cases[] = {{"while the interpreter works", true}, {"when the tree is ended", false}};
  for (const auto& c : cases) {
    fs::remove(interpreter);
    fs::remove(answer);
    RunOptions options;
    options.arguments = {pack_.executable().string(), "--check"};
    options.environment = {{"QP_TEST_MARK", "stopped-keeper"}};
    StartedProgram pack(options);
    ASSERT_TRUE(beatStarted(interpreter)) << c.name;
    auto keeper = platform::linux_impl::childrenOf(pack.pid());
    ASSERT_EQ(keeper.size(), 1u) << c.name;
    ::kill(keeper.front(), SIGSTOP);
    auto asked = Clock::now();
    if (c.answers) {
      writeFile(answer, "");
    } else {
      ::kill(pack.pid(), SIGTERM);
    }
    auto result = pack.wait(20s);
    EXPECT_LT(Clock::now() - asked, 5s) << c.name;
    if (c.answers) {
      EXPECT_EQ(result.status, 0) << c.name << ": " << result.out;
    } else {
      EXPECT_EQ(result.signal, SIGTERM) << c.name;
    }
    EXPECT_TRUE(noneLeftWith("QP_TEST_MARK=stopped-keeper")) << c.name;
  }
}

// A keeper killed alone leaves its control group to the pack, which ends what is in it and removes
// it: the group whose folder the keeper handed over, and no other. Groups made in advance under
// names a check's group might have, each with a process of its own, are left alone, whichever way
// the keeper held the tree.
TEST_F(CheckLifetime, AKilledKeepersGroupIsEndedByThePackAndNoOtherGroup) {
  if (!controlGroupsCanBeMade()) {
    GTEST_SKIP() << "no control group can be made here";
  }
  fs::path interpreter = beats("interpreter");
  interpreterRuns("setsid sh -c 'exec sleep 30' >/dev/null &\nbeat '" + interpreter.string() +
                  "'\n");
  TestGroup packs("qp-test-decoys-" + std::to_string(::getpid()));
  // The names of the groups of the keepers about to start, as the pack named them before, and
  // with an empty random part.
  std::vector<std::unique_ptr<TestGroup>> decoys;
  std::vector<pid_t> sleepers;
  int next = std::stoi(readFile("/proc/sys/kernel/ns_last_pid"));
  for (int pid = next; pid < next + 30; ++pid) {
    for (std::string suffix : {"", "-0000000000000000"}) {
      decoys.push_back(std::make_unique<TestGroup>(
          "quality-pack-check-" + std::to_string(pid) + suffix, std::nullopt, packs.path()));
      sleepers.push_back(decoys.back()->startSleeper());
    }
  }
  for (const char* way : {"namespace", "group"}) {
    fs::remove(interpreter);
    RunOptions options;
    options.arguments = commandIn(wayNamed(way), pack_.executable(), &packs);
    options.environment = {{"QP_TEST_MARK", "killed-keeper"}};
    StartedProgram pack(options);
    ASSERT_TRUE(beatStarted(interpreter)) << way;
    auto keeper = platform::linux_impl::childrenOf(pack.pid());
    ASSERT_EQ(keeper.size(), 1u) << way;
    ::kill(keeper.front(), SIGKILL);
    ::kill(pack.pid(), SIGTERM);
    pack.wait(30s);
    EXPECT_TRUE(noneLeftWith("QP_TEST_MARK=killed-keeper")) << way;
    for (const auto& group : checkGroupsIn(packs.path())) {
      bool decoy = std::any_of(decoys.begin(), decoys.end(),
                               [&group](const auto& d) { return d->path() == group; });
      EXPECT_TRUE(decoy) << way << ": " << group << " was left behind";
    }
    for (pid_t sleeper : sleepers) {
      EXPECT_TRUE(stillRuns(sleeper)) << way << ": a process in another group was ended";
    }
  }
  for (pid_t sleeper : sleepers) {
    ::kill(sleeper, SIGKILL);
    ::waitpid(sleeper, nullptr, 0);
  }
}

// Two checks in PID namespaces of their own (unshare --pid --mount-proc) in one control group:
// their keepers have the same pid there. Killing one's keeper ends that check's tree and nothing
// of the other's, whose verdict is its interpreter's.
TEST_F(CheckLifetime, TwoChecksWhoseKeepersShareAPidStayApart) {
  if (!controlGroupsCanBeMade()) {
    GTEST_SKIP() << "no control group can be made here";
  }
  fs::path go = dir_.path() / "go";
  interpreterRuns("beat \"$QP_TEST_BEAT\" &\nwhile [ ! -e '" + go.string() +
                  "' ]; do sleep 0.01; done\necho '{\"torch\":\"2\"}'\n");
  std::optional<StartedProgram> checks[2];
  for (int i = 0; i < 2; ++i) {
    RunOptions options;
    options.arguments = {"/usr/bin/unshare",          "--fork", "--pid", "--mount-proc",
                         pack_.executable().string(), "--check"};
    options.environment = {{"QP_TEST_BEAT", beats("beat-" + std::to_string(i)).string()},
                           {"QP_TEST_MARK", "sharing-" + std::to_string(i)}};
    checks[i].emplace(options);
    ASSERT_TRUE(beatStarted(beats("beat-" + std::to_string(i)))) << i;
  }
  auto pack = firstChildOf(checks[1]->pid());
  auto keeper = pack ? firstChildOf(*pack) : std::nullopt;
  ASSERT_TRUE(keeper);
  ::kill(*keeper, SIGKILL);
  EXPECT_TRUE(noneLeftWith("QP_TEST_MARK=sharing-1"));
  writeFile(go, "");
  auto first = checks[0]->wait(10s);
  EXPECT_EQ(first.status, 0) << first.out;
  EXPECT_NE(first.out.find("\"ok\":true"), std::string::npos) << first.out;
  checks[1]->wait(10s);
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
  // /proc/self: the interpreter may run in a PID namespace of its own, whose pids /proc (the
  // system's) does not use.
  interpreterRuns("grep SigIgn /proc/self/status > '" + ignored.string() +
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
struct GrowingTree {
  const char* name;
  std::string start;  // shell lines that start it in the background and return
};

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
      // Their children are reaped by the kernel as they end, so that their pids are handed on at
      // once: the walk must signal only the processes it stopped, never a pid.
      {"20 parents that ignore SIGCHLD and keep starting children that end at once",
       "churn() { trap '' CHLD; " + markGrowth +
           "; while :; do (exit 0) & sleep 0.01; done; }\n"
           "i=0; while [ $i -lt 20 ]; do (churn) >/dev/null 2>&1 & i=$((i + 1)); done\n"
           "awaitGrown 20\n"},
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
      writeScript(pack.interpreter(), recordWay(where) + "awaitGrown() { while [ $(wc -c < '" +
                                          grown.string() + "') -lt $1 ]; do sleep 0.01; done; }\n" +
                                          tree.start + ": > '" + answering.string() +
                                          "'\necho '{\"torch\":\"2\"}'\n");
      fs::remove(where);
      fs::remove(answering);
      writeFile(grown, "");
      fs::permissions(grown, fs::perms::all);
      std::optional<TestGroup> delegated;
      if (way.runner == Runner::DelegatedUser) {
        delegated.emplace("qp-test-delegated-" + std::to_string(::getpid()), unprivilegedUser);
      }
      RunOptions options;
      options.arguments = commandIn(way, pack.executable(), delegated ? &*delegated : nullptr);
      options.environment = {{"QP_TEST_MARK", mark.substr(mark.find('=') + 1)}};
      std::optional<BusyOnceFileAppears> busy;
      if (load == Load::busyWhileEnding) {
        busy.emplace(answering);
      }
      auto result = runProgram(options);
      busy.reset();
      auto left = processesWithEnvironmentEntry(mark);
      EXPECT_EQ(result.status, 0) << way.name << ", " << tree.name << ": " << result.out
                                  << result.err;
      EXPECT_EQ(readFile(where), std::string(way.recorded) + "\n") << way.name;
      EXPECT_TRUE(left.empty()) << way.name << ", " << tree.name << ": " << left.size()
                                << " left once the check had ended, such as "
                                << (left.empty() ? "" : describeProcess(left.front()));
      if (delegated) {
        EXPECT_TRUE(checkGroupsIn(delegated->path()).empty()) << way.name << ": a group was left";
      }
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
      // In a PID namespace whose /proc is the outer one's, no pid read there can be trusted; with
      // no namespace or group of its own either, the walk reaps without /proc.
      {"without a /proc of its own",
       {"/usr/bin/unshare", "--fork", "--pid", QP_WITHOUT_FEATURES, "pidns,clone3"}},
      {"in a PID namespace without a /proc of its own",
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

// A process that lost its parent before it asked to die with it would never be told: each of the
// pack's processes looks once more after asking, and ends when its parent is gone. A slow fork
// holds the new process back while the test kills its parent. A keeper killed while it starts the
// interpreter leaves the group it had just made, empty, to the next check: the checks run in a
// group of the test's, removed with what is in it.
TEST_F(CheckLifetime, AProcessWhoseParentWentBeforeItAskedEndsAtOnce) {
  fs::path interpreter = beats("interpreter");
  interpreterRuns("beat '" + interpreter.string() + "'\n");
  std::optional<TestGroup> packs;
  if (::geteuid() == 0 && controlGroupsCanBeMade()) {
    packs.emplace("qp-test-parent-went-" + std::to_string(::getpid()));
  }
  for (int slowFork : {1, 2}) {
    RunOptions options;
    options.arguments = {pack_.executable().string(), "--check"};
    if (packs) {
      auto enter = packs->enter();
      options.arguments.insert(options.arguments.begin(), enter.begin(), enter.end());
    }
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
    for (const auto& left : packs ? checkGroupsIn(packs->path()) : std::vector<fs::path>{}) {
      EXPECT_EQ(readFile(left / "cgroup.procs"), "") << slowFork << ": " << left;
    }
  }
}

// An exec that never completes (the interpreter on a file system that does not answer) is
// waited on like the rest of the run: a termination signal still ends the pack at once, whichever
// way holds the tree, though the kernel keeps the process that waits in the exec.
TEST_F(CheckLifetime, ATerminationSignalEndsAnExecThatHangs) {
#ifndef QP_HUNG_FILE_SYSTEM
  GTEST_SKIP() << "built without libfuse, so without the file system that hangs";
#else
  if (::geteuid() != 0 || !fs::exists("/dev/fuse")) {
    GTEST_SKIP() << "mounting a FUSE file system needs root and /dev/fuse";
  }
  // The kernel keeps the process that waits in the exec, and with it the check's group, until the
  // file system goes: the checks run in a group of the test's, removed with what is in it.
  std::optional<TestGroup> packs;
  if (controlGroupsCanBeMade()) {
    packs.emplace("qp-test-hung-exec-" + std::to_string(::getpid()));
  }
  fs::create_directories(pack_.interpreter().parent_path());
  // A read that hangs is made ahead of need, and a SIGKILL still ends the exec that waits for it;
  // an open that hangs is waited for where no signal reaches, and the kernel keeps the process.
  for (const char* hangs : {"read", "open"}) {
    for (const auto& way : holdingWays) {
      if (way.runner != Runner::Root || whyNot(way)) {
        continue;
      }
      std::string name = std::string(way.name) + ", the " + hangs + " hangs";
      // A file system of its own for each run: the server answers nothing once one request hangs.
      fs::path mount = dir_.path() / ("mnt-" + std::to_string(std::hash<std::string>()(name)));
      fs::create_directories(mount);
      RunOptions server;
      server.arguments = {QP_HUNG_FILE_SYSTEM, mount.string()};
      if (std::string(hangs) == "open") {
        server.arguments.insert(server.arguments.begin() + 1, "open");
      }
      StartedProgram fileSystem(server);
      for (int i = 0; i < 500 && !fs::exists(mount / "python3"); ++i) {
        std::this_thread::sleep_for(10ms);
      }
      if (!fs::exists(mount / "python3")) {
        GTEST_SKIP() << "the FUSE mount was refused";
      }
      fs::remove(pack_.interpreter());
      fs::create_symlink(mount / "python3", pack_.interpreter());

      RunOptions options;
      options.arguments = commandIn(way, pack_.executable(), packs ? &*packs : nullptr);
      StartedProgram pack(options);
      std::this_thread::sleep_for(500ms);
      auto signalled = Clock::now();
      ::kill(pack.pid(), SIGTERM);
      auto result = pack.wait(10s);
      EXPECT_LT(Clock::now() - signalled, 2s) << name;
      EXPECT_EQ(result.signal, SIGTERM) << name;

      ::kill(fileSystem.pid(), SIGKILL);
      fileSystem.wait(5s);
      RunOptions unmount;
      unmount.arguments = {"/bin/umount", "-l", mount.string()};
      runProgram(unmount);
    }
  }
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

// ---- What the system lacks, and what the caller or the tree does ----

// Where the system lacks what a way needs (an older kernel, a container's filter), the next way
// holds the tree, and the check is the same: the answer, nothing left behind, and nothing open in
// the interpreter but its standard streams.
TEST_F(CheckLifetime, EachWayHasAFallbackWhereTheSystemLacksWhatItNeeds) {
  if (::geteuid() != 0 || !controlGroupsCanBeMade()) {
    GTEST_SKIP() << "needs root, and control groups to take away";
  }
  fs::permissions(dir_.path(), fs::perms::all);
  fs::path where = beats("where");
  fs::path fds = beats("fds");
  fs::path detached = beats("detached");
  interpreterRuns(recordWay(where) + "ls /proc/self/fd > '" + fds.string() + "'\nsetsid sh -c '" +
                  heartbeatFunction() + "beat \"$0\"' '" + detached.string() +
                  "' >/dev/null 2>&1 &\nawaitBeat '" + detached.string() +
                  "'\necho '{\"torch\":\"2\"}'\n");
  TestGroup packs("qp-test-fallbacks-" + std::to_string(::getpid()));
  const std::string group = packs.path().string();
  // A mount namespace of the run's own, in which `setup` runs first.
  auto mounted = [](const std::string& setup) {
    return std::vector<std::string>{
        "/usr/bin/unshare", "--mount", "--propagation",           "private",
        "/bin/sh",          "-c",      setup + " && exec \"$@\"", "sh"};
  };
  TestGroup killed("qp-test-killed-" + std::to_string(::getpid()));
  killed.startSleeper();
  writeFile(killed.path() / "cgroup.kill", "1");
  struct Case {
    const char* name;
    std::vector<std::string> before;  // what the pack is started through, in its group
    HoldingWay way;
    const TestGroup* in = nullptr;  // the pack's group, where it is not the test's `packs`
  };
  const Case cases[] = {
      {"no clone3, as before Linux 5.3", {}, {"", "clone3", Runner::Root, "namespace"}},
      {"no clone3, and no PID namespace", {}, {"", "clone3,pidns", Runner::Root, "walk"}},
      {"no close_range, as before Linux 5.9", {}, {"", "close_range", Runner::Root, "group"}},
      {"no close_range, in a PID namespace",
       {},
       {"", "close_range,folders", Runner::Root, "namespace"}},
      {"no close_range, in the walk", {}, {"", "close_range,pidns,clone3", Runner::Root, "walk"}},
      {"no pidfds, as before Linux 5.3", {}, {"", "pidfd,pidns,clone3", Runner::Root, "walk"}},
      {"no user namespaces for an unprivileged user", {}, {"", "userns", Runner::User, "walk"}},
      {"no cgroup v2 mounted, and no PID namespace",
       mounted("for m in $(findmnt -n -t cgroup2 -o TARGET); do umount -l \"$m\"; done"),
       {"", "pidns", Runner::Root, "walk"}},
      {"no cgroup.kill, as before Linux 5.14, and no PID namespace",
       mounted("mount -t tmpfs none '" + group + "'"),
       {"", "pidns", Runner::Root, "walk"}},
      {"a group whose parent once had cgroup.kill written, and no PID namespace",
       {},
       {"", "pidns", Runner::Root, "walk"},
       &killed},
  };
  for (const auto& c : cases) {
    fs::remove(where);
    fs::remove(detached);
    RunOptions options;
    options.arguments = (c.in ? c.in : &packs)->enter();
    options.arguments.insert(options.arguments.end(), c.before.begin(), c.before.end());
    auto command = commandIn(c.way, pack_.executable(), nullptr);
    options.arguments.insert(options.arguments.end(), command.begin(), command.end());
    options.environment = {{"QP_TEST_MARK", "fallback"}};
    auto result = runProgram(options);
    EXPECT_EQ(result.status, 0) << c.name << ": " << result.out << result.err;
    EXPECT_EQ(readFile(where), std::string(c.way.recorded) + "\n") << c.name;
    // ls's own listing of the folder is the fourth.
    EXPECT_EQ(readFile(fds), "0\n1\n2\n3\n") << c.name;
    EXPECT_TRUE(noneLeftWith("QP_TEST_MARK=fallback")) << c.name;
    EXPECT_TRUE(checkGroupsIn((c.in ? c.in : &packs)->path()).empty())
        << c.name << ": a group was left behind";
  }
}

// A caller that starts the check with standard streams closed (quality-pack --check <&- 2>&-)
// gets the same check: nothing of the pack's lands on them to be replaced, so nothing spins, and
// no way gives up on what it made.
TEST_F(CheckLifetime, ClosedStandardStreamsChangeNothing) {
  fs::path where = beats("where");
  interpreterRuns(recordWay(where) + "sleep 1\necho '{\"torch\":\"2\"}'\n");
  for (const auto& way : holdingWays) {
    if (way.runner != Runner::Root || whyNot(way)) {
      continue;
    }
    for (Stream error : {Stream::Capture, Stream::Closed}) {
      std::string name = std::string(way.name) +
                         (error == Stream::Closed ? ", input and error closed" : ", input closed");
      fs::remove(where);
      RunOptions options;
      options.arguments = commandIn(way, pack_.executable(), nullptr);
      options.input = Stream::Closed;
      options.error = error;
      auto result = runProgram(options);
      EXPECT_EQ(result.status, 0) << name << ": " << result.out;
      EXPECT_NE(result.out.find("\"ok\":true"), std::string::npos) << name << ": " << result.out;
      EXPECT_EQ(readFile(where), std::string(way.recorded) + "\n") << name;
      // A wait that spins takes the whole second of the interpreter's in processor time.
      EXPECT_LT(result.cpuTime, 600ms) << name;
    }
  }
}

// A supervisor that ends the whole job with SIGKILL (timeout -s KILL, or at a random moment) kills
// the pack and the interpreter, not the keeper, which is in a process group of its own: it sees
// the pack go and ends the rest of the tree, and no group is left.
TEST_F(CheckLifetime, ASigkillToTheWholeProcessGroupLeavesNothing) {
  if (::geteuid() != 0) {
    GTEST_SKIP() << "the ways are chosen as root";
  }
  fs::path detached = beats("detached");
  interpreterRuns("setsid sh -c '" + heartbeatFunction() + "beat \"$0\"' '" + detached.string() +
                  "' >/dev/null 2>&1 &\n(exec sleep 30) &\nexec sleep 30\n");
  std::mt19937 random(static_cast<unsigned>(::getpid()));
  std::optional<TestGroup> packs;
  if (controlGroupsCanBeMade()) {
    packs.emplace("qp-test-group-kill-" + std::to_string(::getpid()));
  }
  auto groupsLeft = [&packs] { return packs ? checkGroupsIn(packs->path()).size() : 0u; };
  for (const auto& way : holdingWays) {
    if (way.runner != Runner::Root || whyNot(way)) {
      continue;
    }
    fs::remove(detached);
    RunOptions timeout;
    timeout.arguments = {"/usr/bin/timeout", "-s", "KILL", "1"};
    auto command = commandIn(way, pack_.executable(), packs ? &*packs : nullptr);
    timeout.arguments.insert(timeout.arguments.end(), command.begin(), command.end());
    timeout.environment = {{"QP_TEST_MARK", "group-kill"}};
    EXPECT_EQ(runProgram(timeout).status, 128 + SIGKILL) << way.name;
    EXPECT_TRUE(noneLeftWith("QP_TEST_MARK=group-kill")) << way.name;
    EXPECT_EQ(groupsLeft(), 0u) << way.name;
    // At random moments, from the pack's first steps on.
    for (int round = 0; round < 3; ++round) {
      RunOptions options = startedBy("", "", "", /*ownGroup=*/true);
      options.arguments.pop_back();
      options.arguments.pop_back();
      options.arguments.insert(options.arguments.end(), command.begin(), command.end());
      options.environment = {{"QP_TEST_MARK", "group-kill"}};
      StartedProgram pack(options);
      std::this_thread::sleep_for(std::chrono::milliseconds(random() % 300));
      ::kill(-pack.pid(), SIGKILL);
      pack.wait(5s);
      EXPECT_TRUE(noneLeftWith("QP_TEST_MARK=group-kill")) << way.name << ", round " << round;
      EXPECT_EQ(groupsLeft(), 0u) << way.name << ", round " << round;
    }
  }
}

// A process of the tree that opens the pack's and the keeper's descriptors again through /proc,
// as any process of the same user could, gets nothing that keeps the keeper from seeing the pack
// go: the two are not open to other processes of the user, their channel is a socket (which /proc
// can't open), and the keeper learns of the pack's end from the kernel too.
TEST_F(CheckLifetime, DescriptorsOpenedAgainThroughProcKeepNothingAlive) {
  if (::geteuid() != 0) {
    GTEST_SKIP() << "the ways are chosen as root";
  }
  fs::permissions(dir_.path(), fs::perms::all);
  fs::path packPid = beats("pack-pid");
  fs::path opened = beats("opened");
  fs::path interpreter = beats("interpreter");
  writeFile(dir_.path() / "holder.py", R"(
import ctypes, glob, os, sys, time
pid_file, opened_file = sys.argv[1:3]
while not os.path.exists(pid_file):
    time.sleep(0.01)
pack = open(pid_file).read().strip()
keepers = open("/proc/%s/task/%s/children" % (pack, pack)).read().split()
held = []
# pidfd_getfd copies a descriptor out of another process, sockets included, where ptrace would be
# allowed (root may; another user's non-dumpable process refuses).
libc = ctypes.CDLL(None, use_errno=True)
for process in [pack] + keepers:
    pidfd = libc.syscall(434, int(process), 0)
    for path in glob.glob("/proc/%s/fd/*" % process):
        copied = libc.syscall(438, pidfd, int(os.path.basename(path)), 0) if pidfd >= 0 else -1
        if copied >= 0:
            held.append(copied)
            continue
        for flags in (os.O_RDWR, os.O_WRONLY, os.O_RDONLY):
            try:
                held.append(os.open(path, flags))
                break
            except OSError:
                pass
# Renamed into place, so that the test never reads the file before its count is in.
with open(opened_file + ".part", "w") as f:
    f.write(str(len(held)))
os.rename(opened_file + ".part", opened_file)
time.sleep(30)
)");
  interpreterRuns("python3 '" + (dir_.path() / "holder.py").string() + "' '" + packPid.string() +
                  "' '" + opened.string() + "' &\nbeat '" + interpreter.string() + "'\n");
  const HoldingWay ways[] = {
      wayNamed("namespace"),
      wayNamed("group"),
      wayNamed("walk"),
      wayNamed("namespace", Runner::User),
      {"the walk, for an unprivileged user", "userns", Runner::User, "walk"},
  };
  for (const auto& way : ways) {
    if (whyNot(way)) {
      continue;
    }
    fs::remove(packPid);
    fs::remove(opened);
    fs::remove(interpreter);
    RunOptions options;
    options.arguments = commandIn(way, pack_.executable(), nullptr);
    options.environment = {{"QP_TEST_MARK", "reopened"}};
    StartedProgram pack(options);
    ASSERT_TRUE(beatStarted(interpreter)) << way.name;
    // The pack is the program the run started, or the last of the commands before it.
    pid_t packProcess = pack.pid();
    while (readFile("/proc/" + std::to_string(packProcess) + "/cmdline").find("--check") ==
               std::string::npos ||
           readFile("/proc/" + std::to_string(packProcess) + "/comm") != "quality-pack\n") {
      auto child = firstChildOf(packProcess);
      ASSERT_TRUE(child) << way.name;
      packProcess = *child;
    }
    writeFile(packPid, std::to_string(packProcess));
    for (int i = 0; i < 500 && !fs::exists(opened); ++i) {
      std::this_thread::sleep_for(10ms);
    }
    if (way.runner == Runner::User) {
      EXPECT_EQ(readFile(opened), "0") << way.name << ": another process of the user got in";
    }
    ::kill(packProcess, SIGKILL);
    pack.wait(10s);
    EXPECT_TRUE(noneLeftWith("QP_TEST_MARK=reopened")) << way.name;
  }
}

// Where the user may change the groups below its own (a delegated group, or root), a process of
// the tree may move itself out of the check's group, or make a group inside it: the one is still
// below the keeper and is ended, the other is removed with the check's own.
TEST_F(CheckLifetime, WhatLeavesTheGroupOrMakesOneInsideIsEndedAndRemoved) {
  if (!controlGroupsCanBeMade()) {
    GTEST_SKIP() << "no control group can be made here";
  }
  fs::permissions(dir_.path(), fs::perms::all);
  TestGroup delegated("qp-test-escape-" + std::to_string(::getpid()), unprivilegedUser);
  fs::path escaped = beats("escaped");
  fs::path nested = beats("nested");
  fs::path folder = delegated.path();
  // The check's group is the only one in the folder the pack was started in.
  interpreterRuns("own=$(ls -d '" + folder.string() +
                  "'/quality-pack-check-*)\n"
                  "sh -c 'echo $$ > \"$1/cgroup.procs\"; " +
                  heartbeatFunction() + "beat \"$0\"' '" + escaped.string() + "' \"$own/..\" &\n" +
                  "mkdir \"$own/inner\"\n"
                  "sh -c 'echo $$ > \"$1/inner/cgroup.procs\"; " +
                  heartbeatFunction() + "beat \"$0\"' '" + nested.string() + "' \"$own\" &\n" +
                  "awaitBeat '" + escaped.string() + "'\nawaitBeat '" + nested.string() +
                  "'\necho '{\"torch\":\"2\"}'\n");
  const HoldingWay ways[] = {wayNamed("group"), wayNamed("group", Runner::DelegatedUser)};
  for (const auto& way : ways) {
    fs::remove(escaped);
    fs::remove(nested);
    RunOptions options;
    options.arguments = commandIn(way, pack_.executable(), &delegated);
    options.environment = {{"QP_TEST_MARK", "escaping"}};
    auto result = runProgram(options);
    EXPECT_EQ(result.status, 0) << way.name << ": " << result.out << result.err;
    EXPECT_TRUE(beatStarted(escaped)) << way.name;
    EXPECT_TRUE(beatStopped(escaped)) << way.name << ": a process that left the group lives on";
    EXPECT_TRUE(beatStopped(nested)) << way.name;
    EXPECT_TRUE(checkGroupsIn(folder).empty()) << way.name;
  }
}

// The walk as an unprivileged user meets a process it may not signal (a helper that made itself
// root, as sudo does): that one is left at once, and the rest of the tree still goes.
TEST_F(CheckLifetime, TheWalkLeavesAtOnceWhatItMayNotSignal) {
  if (::geteuid() != 0) {
    GTEST_SKIP() << "a helper that becomes root is installed by root";
  }
  fs::permissions(dir_.path(), fs::perms::all);
  fs::path helper = dir_.path() / "becomes-root";
  fs::copy_file(QP_BECOMES_ROOT, helper);
  ASSERT_EQ(::chmod(helper.c_str(), 04755), 0);
  fs::path detached = beats("detached");
  fs::path root = beats("root");
  interpreterRuns(
      "'" + helper.string() + "' '" + root.string() + "' >/dev/null 2>&1 &\nwhile [ ! -e '" +
      root.string() + "' ]; do sleep 0.01; done\nsetsid sh -c '" + heartbeatFunction() +
      "beat \"$0\"' '" + detached.string() + "' >/dev/null 2>&1 &\necho '{\"torch\":\"2\"}'\n");
  RunOptions options;
  options.arguments =
      commandIn({"the walk, for an unprivileged user", "userns", Runner::User, "walk"},
                pack_.executable(), nullptr);
  options.environment = {{"QP_TEST_MARK", "another-user"}};
  auto result = runProgram(options);
  EXPECT_EQ(result.status, 0) << result.out << result.err;
  EXPECT_LT(result.elapsed, 3s);
  EXPECT_TRUE(beatStopped(detached));
  auto left = processesWithEnvironmentEntry("QP_TEST_MARK=another-user");
  EXPECT_EQ(left.size(), 1u) << "the helper, which the walk may not end";
  for (int pid : left) {
    ::kill(pid, SIGKILL);
  }
}

}  // namespace
