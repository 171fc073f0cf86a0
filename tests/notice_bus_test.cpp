// A D-Bus-activatable host, started by a private session bus: the activation must reach it
// however slowly the pack's bus connection sends, before the pack has ended.
#include <gtest/gtest.h>

#include <thread>

#include "support/test_support.h"

namespace {

using namespace testing_support;
using namespace std::chrono_literals;

// A dbus-daemon of the test's own, with the host's service in its service folder.
class PrivateBus {
 public:
  PrivateBus(const fs::path& dir, const std::string& serviceCommand)
      : socket_(dir / "bus"), daemon_(options(dir, serviceCommand)) {
    for (int i = 0; i < 500 && !fs::exists(socket_); ++i) {
      std::this_thread::sleep_for(10ms);
    }
  }
  bool ready() const { return fs::exists(socket_); }
  std::string address() const { return "unix:path=" + socket_.string(); }

 private:
  RunOptions options(const fs::path& dir, const std::string& serviceCommand) const {
    fs::path services = dir / "services";
    writeFile(services / "com.ruvizuve.Ruvizuve.service",
              "[D-BUS Service]\nName=com.ruvizuve.Ruvizuve\nExec=" + serviceCommand + "\n");
    writeFile(dir / "bus.conf",
              "<busconfig>\n<type>session</type>\n<listen>unix:path=" + socket_.string() +
                  "</listen>\n<servicedir>" + services.string() +
                  "</servicedir>\n<policy context=\"default\">\n<allow send_destination=\"*\" "
                  "eavesdrop=\"true\"/>\n<allow eavesdrop=\"true\"/>\n<allow own=\"*\"/>\n"
                  "</policy>\n</busconfig>\n");
    RunOptions run;
    run.arguments = {"/usr/bin/dbus-daemon", "--config-file=" + (dir / "bus.conf").string(),
                     "--nofork"};
    run.environment = {{"DBUS_SESSION_BUS_ADDRESS", address()}};
    run.output = Stream::Null;
    run.error = Stream::Null;
    return run;
  }

  fs::path socket_;
  StartedProgram daemon_;
};

size_t linesIn(const fs::path& file) {
  std::string text = readFile(file);
  return static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
}

TEST(NoticeOverTheBus, EveryActivationReachesTheHostThoughTheBusThreadIsSlow) {
  TempDir dir;
  PackFixture pack(dir.path());
  pack.writeStandardInfo("2.0", 1);
  fs::path record = dir.path() / "activations";
  fs::path delay = dir.path() / "delay";
  PrivateBus bus(dir.path(), "/usr/bin/python3 " + std::string(QP_HOST_SERVICE) + " " +
                                 record.string() + " " + delay.string());
  ASSERT_TRUE(bus.ready()) << "dbus-daemon did not start";
  writeFile(dir.path() / "data/applications/com.ruvizuve.Ruvizuve.desktop",
            "[Desktop Entry]\nType=Application\nName=Ruvizuve\nDBusActivatable=true\n"
            "Exec=/bin/false\n");
  writeFile(dir.path() / "typed", "1\n");

  // The last host is slow to take its name: the pack waits for it, within its 10 s bound.
  for (size_t launch = 1; launch <= 4; ++launch) {
    if (launch == 4) {
      writeFile(delay, "3");
    }
    RunOptions options;
    options.arguments = {"/usr/bin/script", "-qec", "'" + pack.executable().string() + "'",
                         "/dev/null"};
    options.inputFile = dir.path() / "typed";
    options.environment = {{"DISPLAY", std::nullopt},
                           {"WAYLAND_DISPLAY", std::nullopt},
                           {"DBUS_SESSION_BUS_ADDRESS", bus.address()},
                           {"XDG_DATA_HOME", (dir.path() / "data").string()},
                           {"XDG_DATA_DIRS", (dir.path() / "none").string()},
                           {"LD_PRELOAD", QP_SLOW_BUS_THREAD},
                           {"LSAN_OPTIONS", "suppressions=" QP_LSAN_SUPPRESSIONS}};
    auto result = runProgram(options);
    EXPECT_EQ(result.status, 0) << result.out;
    EXPECT_LT(result.elapsed, 10s);
    if (launch == 4) {
      EXPECT_GE(result.elapsed, 3s) << "the pack left before the host took its name";
    }
    for (int i = 0; i < 100 && linesIn(record) < launch; ++i) {
      std::this_thread::sleep_for(50ms);
    }
    ASSERT_EQ(linesIn(record), launch) << "launch " << launch << " was lost: " << readFile(record);
  }
  EXPECT_EQ(readFile(record).rfind("Activate ", 0), 0u) << readFile(record);
}

}  // namespace
