#include <gtest/gtest.h>

#include "support/test_support.h"

namespace {

using namespace testing_support;

enum class Seen { Version, Check, Notice };

// Which mode ran, told from outside: the version line, a JSON report, or nothing on standard
// output and the notice's text on standard error (there is no display here).
Seen modeOf(const RunResult& result) {
  if (result.out == "7.7\n") {
    return Seen::Version;
  }
  if (!result.out.empty() && result.out.front() == '{') {
    return Seen::Check;
  }
  EXPECT_EQ(result.out, "");
  EXPECT_NE(result.err.find("is installed."), std::string::npos);
  return Seen::Notice;
}

TEST(Dispatch, OptionsAreWholeCaseSensitiveElementsAfterTheProgramPath) {
  struct Case {
    std::vector<std::string> options;
    Seen expected;
    int status;
    bool explains = false;  // the check explains itself on standard error
  };
  const Case cases[] = {
      {{"--version"}, Seen::Version, 0},
      {{"--check"}, Seen::Check, 1},
      {{"--check", "--version"}, Seen::Version, 0},
      {{"--version", "--check"}, Seen::Version, 0},
      {{"song.flac", "--check"}, Seen::Check, 1},
      {{"--check", "--check"}, Seen::Check, 1},
      {{}, Seen::Notice, 0},
      {{"--CHECK"}, Seen::Notice, 0},
      {{"--check=1"}, Seen::Notice, 0},
      {{"-check"}, Seen::Notice, 0},
      {{"check"}, Seen::Notice, 0},
      {{"--versio"}, Seen::Notice, 0},
      {{" --version"}, Seen::Notice, 0},
      {{""}, Seen::Notice, 0},
      {{"--check", "--explain"}, Seen::Check, 1, true},
      {{"--explain", "song.flac", "--check"}, Seen::Check, 1, true},
      {{"--check", "--EXPLAIN"}, Seen::Check, 1, false},
      {{"--check", "--explain=1"}, Seen::Check, 1, false},
      {{"--explain"}, Seen::Notice, 0},
      {{"--version", "--explain"}, Seen::Version, 0},
  };
  TempDir dir;
  PackFixture pack(dir.path());
  pack.writeStandardInfo("7.7", 1);
  for (const auto& c : cases) {
    RunOptions options;
    options.environment = {{"DISPLAY", std::nullopt}, {"WAYLAND_DISPLAY", std::nullopt}};
    auto result = pack.run(c.options, options);
    EXPECT_EQ(modeOf(result), c.expected) << testing::PrintToString(c.options);
    EXPECT_EQ(result.status, c.status) << testing::PrintToString(c.options);
    if (c.expected != Seen::Notice) {
      EXPECT_EQ(!result.err.empty(), c.explains) << testing::PrintToString(c.options);
    }
  }
}

TEST(Dispatch, TheProgramPathIsNeverAnOption) {
  TempDir dir;
  PackFixture pack(dir.path());
  pack.writeStandardInfo("7.7", 1);
  RunOptions options;
  options.program = pack.executable().string();
  options.arguments = {"--version"};
  options.environment = {{"DISPLAY", std::nullopt}, {"WAYLAND_DISPLAY", std::nullopt}};
  auto result = runProgram(options);
  EXPECT_EQ(modeOf(result), Seen::Notice);
  EXPECT_EQ(result.status, 0);

  options.arguments = {};  // no argument list at all
  result = runProgram(options);
  EXPECT_EQ(modeOf(result), Seen::Notice);
  EXPECT_EQ(result.status, 0);
}

}  // namespace
