// The notice in real windows: an X server of its own (Xvfb), keys typed with xdotool and each
// alert saved as a screenshot in build/screenshots.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <thread>

#include "support/test_support.h"

extern char** environ;

namespace {

using namespace testing_support;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

// An Xvfb server on a display number it picks itself, for the life of the test.
class XServer {
 public:
  XServer() {
    int ready[2];
    if (::pipe(ready) != 0) {
      return;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, ready[1], 3);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    const char* argv[] = {"Xvfb",        "-displayfd", "3",   "-screen", "0",
                          "1024x768x24", "-nolisten",  "tcp", nullptr};
    int spawned =
        ::posix_spawnp(&pid_, "Xvfb", &actions, nullptr, const_cast<char**>(argv), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(ready[1]);
    if (spawned == 0) {
      display_ = ":" + readDisplayNumber(ready[0]);
    } else {
      pid_ = -1;
    }
    ::close(ready[0]);
  }
  ~XServer() {
    if (pid_ > 0) {
      ::kill(pid_, SIGTERM);
      ::waitpid(pid_, nullptr, 0);
    }
  }
  const std::string& display() const { return display_; }

 private:
  // The server writes its display number and a line feed once it is ready, maybe in two writes.
  static std::string readDisplayNumber(int fd) {
    std::string number;
    char c;
    while (::read(fd, &c, 1) == 1 && c != '\n') {
      number += c;
    }
    return number;
  }

  pid_t pid_ = -1;
  std::string display_;
};

class NoticeDesktop : public testing::Test {
 protected:
  static void SetUpTestSuite() { server_ = new XServer; }
  static void TearDownTestSuite() {
    delete server_;
    server_ = nullptr;
  }

  void SetUp() override {
    if (!server_ || server_->display().size() < 2) {
      GTEST_FAIL() << "Xvfb did not start";
    }
    pack_.writeStandardInfo("1.0", 1);
    fs::create_directories(dataHome() / "applications");
  }

  fs::path dataHome() const { return dir_.path() / "data"; }
  fs::path marker() const { return dir_.path() / "host-launched"; }

  // A desktop entry for the host whose command records its environment and where its output
  // goes in the marker file, then runs `after`. Like real applications' entries it asks for
  // startup notification: GIO makes a startup ID only then.
  void installHost(const std::string& after = "") {
    fs::path host = dir_.path() / "host.sh";
    fs::path record = dir_.path() / "host-record";
    writeScript(host,
                "out=$(readlink /proc/$$/fd/1)\nerr=$(readlink /proc/$$/fd/2)\n{ env; echo "
                "\"stdout $out\"; echo \"stderr $err\"; } > '" +
                    record.string() + "'\nmv '" + record.string() + "' '" + marker().string() +
                    "'\n" + after);
    installHostEntry(host.string());
  }
  void installHostEntry(const std::string& command) {
    writeFile(dataHome() / "applications/com.ruvizuve.Ruvizuve.desktop",
              "[Desktop Entry]\nType=Application\nName=Ruvizuve\nStartupNotify=true\nExec=" +
                  command + "\n");
  }
  bool hostLaunched() const {
    for (int i = 0; i < 100 && !fs::exists(marker()); ++i) {
      std::this_thread::sleep_for(50ms);
    }
    return fs::exists(marker());
  }

  RunOptions noticeOptions() const {
    RunOptions options;
    options.arguments = {pack_.executable().string()};
    options.environment = {{"DISPLAY", server_->display()},
                           {"WAYLAND_DISPLAY", std::nullopt},
                           {"XDG_DATA_HOME", dataHome().string()},
                           {"XDG_DATA_DIRS", (dir_.path() / "no-system-data").string()},
                           {"GTK_A11Y", "none"},
                           {"NO_AT_BRIDGE", "1"},
                           {"LSAN_OPTIONS", "suppressions=" QP_LSAN_SUPPRESSIONS}};
    return options;
  }

  // Runs an X client on the test's display and returns its standard output.
  std::string x(const std::vector<std::string>& arguments) const {
    RunOptions options;
    options.arguments = arguments;
    options.environment = {{"DISPLAY", server_->display()}};
    options.timeout = 15s;
    auto result = runProgram(options);
    EXPECT_EQ(result.status, 0) << arguments.at(0) << ": " << result.err;
    return result.out;
  }

  // Waits until a window of `program` other than `previous` is shown and has the focus (the
  // dialog must take it itself), saves a screenshot and types `key`. Returns that window.
  std::string answerAlert(const StartedProgram& program, const std::string& key,
                          const std::string& screenshot, const std::string& previous = "",
                          bool checkName = false) {
    std::string window;
    // A dialog of a sanitized build on a machine busy with other builds can take tens of seconds
    // to come up; its coming up is what is waited for.
    const auto deadline = std::chrono::steady_clock::now() + 90s;
    while (window.empty() && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(100ms);
      // Before the dialog has it, the focus is the root and xdotool says so with an error.
      std::string focused = x({"/bin/sh", "-c", "xdotool getwindowfocus 2>/dev/null || true"});
      std::string shown =
          x({"/bin/sh", "-c",
             "xdotool search --onlyvisible --pid " + std::to_string(program.pid()) + " || true"});
      if (!focused.empty() && focused != previous &&
          ("\n" + shown).find("\n" + focused) != std::string::npos) {
        window = focused;
      }
    }
    EXPECT_FALSE(window.empty()) << "no window of the notice took the focus";
    if (checkName && !window.empty()) {
      // Window lists and task switchers name the window by its class.
      std::string windowClass = x({"/usr/bin/xprop", "-id", window, "WM_CLASS"});
      EXPECT_NE(windowClass.find("\"Rivuderu Zororez Udod\""), std::string::npos) << windowClass;
      fs::create_directories(QP_SCREENSHOT_DIR);
      writeFile(fs::path(QP_SCREENSHOT_DIR) / (screenshot + ".wm_class.txt"), windowClass);
    }
    std::this_thread::sleep_for(200ms);  // let it finish drawing for the screenshot
    fs::create_directories(QP_SCREENSHOT_DIR);
    x({"/usr/bin/import", "-window", "root", std::string(QP_SCREENSHOT_DIR "/") + screenshot});
    x({"/usr/bin/xdotool", "key", key});
    return window;
  }

  static XServer* server_;
  TempDir dir_;
  PackFixture pack_{dir_.path()};
};

XServer* NoticeDesktop::server_ = nullptr;

TEST_F(NoticeDesktop, ReturnOpensTheInstalledHost) {
  installHost();
  StartedProgram notice(noticeOptions());
  std::string dialog = answerAlert(notice, "Return", "installed-notice.png", "", true);
  auto answered = std::chrono::steady_clock::now();
  auto result = notice.wait(30s);
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.out, "");
  ASSERT_TRUE(hostLaunched()) << "the host was not launched";
  EXPECT_LT(std::chrono::steady_clock::now() - answered, 8s)
      << "the launch's completion ends the wait, not its 10 s limit";

  // Launched with the display's launch context, the host can take the focus it is handed.
  std::string record = readFile(marker());
  auto id = record.find("\nDESKTOP_STARTUP_ID=");
  ASSERT_NE(id, std::string::npos) << record;
  EXPECT_NE(record[id + 20], '\n') << "an empty startup ID";
  EXPECT_NE(record.find("\nstdout /dev/null\n"), std::string::npos) << record;
  EXPECT_NE(record.find("\nstderr /dev/null\n"), std::string::npos) << record;
}

// A caller that reads the pack's output, as a shell's $(...) does, is not kept waiting until the
// user quits the host.
TEST_F(NoticeDesktop, TheHostDoesNotHoldTheCallersOutput) {
  installHost("exec sleep 20\n");
  int ends[2];
  ASSERT_EQ(::pipe2(ends, O_CLOEXEC), 0);
  RunOptions options = noticeOptions();
  options.outputFd = ends[1];
  options.error = Stream::Null;
  StartedProgram notice(options);
  ::close(ends[1]);
  answerAlert(notice, "Return", "installed-notice-held-output.png");
  auto start = std::chrono::steady_clock::now();
  char buffer[256];
  while (::read(ends[0], buffer, sizeof buffer) > 0) {
  }
  auto toEndOfOutput = std::chrono::steady_clock::now() - start;
  ::close(ends[0]);
  EXPECT_EQ(notice.wait(30s).status, 0);
  EXPECT_TRUE(hostLaunched());
  EXPECT_LT(toEndOfOutput, 8s) << "the host held the pack's output";
}

TEST_F(NoticeDesktop, AFailedLaunchEndsTheWaitLikeASuccessfulOne) {
  // Found at lookup, but it can't be started: its interpreter does not exist.
  fs::path host = dir_.path() / "broken-host";
  writeFile(host, "#!/nonexistent/shell\n");
  fs::permissions(host, fs::perms::owner_all);
  installHostEntry(host.string());
  StartedProgram notice(noticeOptions());
  answerAlert(notice, "Return", "installed-notice-failing-host.png");
  auto answered = std::chrono::steady_clock::now();
  auto result = notice.wait(30s);
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_LT(std::chrono::steady_clock::now() - answered, 8s)
      << "the failed launch's completion ends the wait, not its 10 s limit";
}

TEST_F(NoticeDesktop, EscapeLaunchesNothing) {
  installHost();
  StartedProgram notice(noticeOptions());
  answerAlert(notice, "Escape", "installed-notice-escape.png");
  auto result = notice.wait(30s);
  EXPECT_EQ(result.status, 0) << result.err;
  std::this_thread::sleep_for(300ms);
  EXPECT_FALSE(fs::exists(marker()));
}

TEST_F(NoticeDesktop, MissingHostBringsUpTheWarning) {
  StartedProgram notice(noticeOptions());
  auto first = answerAlert(notice, "Return", "installed-notice-no-host.png");
  answerAlert(notice, "Return", "host-missing-notice.png", first, true);
  auto result = notice.wait(30s);
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.out, "");
}

}  // namespace
