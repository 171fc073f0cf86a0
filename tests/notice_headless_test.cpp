#include <gtest/gtest.h>

#include <thread>

#include "support/test_support.h"

namespace {

using namespace testing_support;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

RunOptions withoutDisplay() {
  RunOptions options;
  options.environment = {{"DISPLAY", std::nullopt}, {"WAYLAND_DISPLAY", std::nullopt}};
  return options;
}

TEST(HeadlessNotice, TellsTheUserOnStandardErrorAndExitsAtOnce) {
  TempDir dir;
  PackFixture pack(dir.path());
  pack.writeStandardInfo("2.0", 1);
  auto unreachable = withoutDisplay();
  unreachable.environment["DISPLAY"] = ":4321";  // GTK is loaded but can't open it
  unreachable.environment["LSAN_OPTIONS"] = "suppressions=" QP_LSAN_SUPPRESSIONS;
  for (const auto& options : {withoutDisplay(), unreachable}) {
    auto result = pack.run({}, options);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, "");
    EXPECT_NE(result.err.find("Rivuderu Zororez Udod 2.0 is installed.\n"
                              "Open Ruvizuve: scoring starts by itself after the next library "
                              "scan, or press SCORE QUALITY in the Library (\u2318L).\n"),
              std::string::npos)
        << result.err;
    EXPECT_LT(result.elapsed, 1s);
  }
}

// On a terminal the buttons are a numbered choice; `script` gives the notice one.
TEST(HeadlessNotice, OnATerminalTheUserChoosesByNumber) {
  struct Case {
    const char* name;
    std::string typed;
    bool hostInstalled;
    bool launched;
    const char* told;  // a text the terminal must show (it ends lines with CR LF)
  };
  const Case cases[] = {
      {"1 opens the host", "1\n", true, true, "  2) OK"},
      {"Return alone picks the first button", "\n", true, true, "Choose 1-2 [1]: "},
      {"2 is OK", "2\n", true, false, "is installed."},
      {"a wrong answer is asked again", "7\nx\n1\n", true, true, "Choose 1-2 [1]: "},
      {"end of input answers OK", "", true, false, "is installed."},
      {"no host: the warning follows", "1\n1\n", false, false, "Install Ruvizuve first"},
  };
  for (const auto& c : cases) {
    TempDir dir;
    PackFixture pack(dir.path());
    pack.writeStandardInfo("2.0", 1);
    fs::path marker = dir.path() / "launched";
    if (c.hostInstalled) {
      writeScript(dir.path() / "host.sh", "touch '" + marker.string() + "'\n");
      writeFile(dir.path() / "data/applications/com.ruvizuve.Ruvizuve.desktop",
                "[Desktop Entry]\nType=Application\nName=Ruvizuve\nExec=" +
                    (dir.path() / "host.sh").string() + "\n");
    }
    writeFile(dir.path() / "typed", c.typed);
    auto options = withoutDisplay();
    options.arguments = {"/usr/bin/script", "-qec", "'" + pack.executable().string() + "'",
                         "/dev/null"};
    options.inputFile = dir.path() / "typed";
    options.environment["XDG_DATA_HOME"] = (dir.path() / "data").string();
    options.environment["XDG_DATA_DIRS"] = (dir.path() / "none").string();
    auto result = runProgram(options);
    EXPECT_EQ(result.status, 0) << c.name;
    EXPECT_NE(result.out.find(c.told), std::string::npos) << c.name << ": " << result.out;
    for (int i = 0; i < 40 && c.launched && !fs::exists(marker); ++i) {
      std::this_thread::sleep_for(50ms);
    }
    EXPECT_EQ(fs::exists(marker), c.launched) << c.name;
  }
}

// The desktop libraries come in with the notice only.
TEST(HeadlessNotice, OtherModesLoadNoDesktopLibrary) {
  TempDir dir;
  PackFixture pack(dir.path());
  pack.writeStandardInfo("2.0", 1);
  auto options = withoutDisplay();
  options.environment["LD_DEBUG"] = "files";
  for (const char* mode : {"--version", "--check"}) {
    auto result = pack.run({mode}, options);
    EXPECT_EQ(result.err.find("libgtk"), std::string::npos) << mode;
    EXPECT_EQ(result.err.find("libgio"), std::string::npos) << mode;
    EXPECT_NE(result.err.find("libplist"), std::string::npos) << "LD_DEBUG had no effect";
  }
}

}  // namespace
