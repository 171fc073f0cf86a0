#include <gtest/gtest.h>

#include "support/test_support.h"

namespace {

using namespace testing_support;
using namespace std::chrono_literals;

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
