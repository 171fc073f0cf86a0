#include <gtest/gtest.h>

#include "support/test_support.h"

namespace {

using namespace testing_support;
using namespace std::chrono_literals;

// What the interpreter writes can't make the check hang, crash or run out of memory.
class CheckLimits : public testing::Test {
 protected:
  CheckLimits() : pack_(dir_.path()) {
    pack_.writeStandardInfo("1.0", 1);
    pack_.writeWeights();
  }
  RunResult checkWith(const std::string& script) {
    writeScript(pack_.interpreter(), script);
    return pack_.run({"--check"});
  }
  static bool usable(const RunResult& r) {
    return r.status == 0 && r.out.find("\"ok\":true") != std::string::npos;
  }

  TempDir dir_;
  PackFixture pack_;
};

// Waiting costs nothing: not for the 2 s a leftover process may hold the output, nor for an
// interpreter that has ended its output and lingers before it exits.
TEST_F(CheckLimits, WaitsAreBoundedAndNotBusy) {
  struct Case {
    const char* name;
    std::string script;
    std::chrono::milliseconds atLeast;
    std::chrono::milliseconds below;
  };
  const Case cases[] = {
      {"a leftover holds the output", "echo '{\"torch\":\"2\"}'\nsleep 8 &\nexit 0\n", 1900ms, 3s},
      {"the interpreter lingers", "echo '{\"torch\":\"2\"}'\nexec sleep 2 >&-\n", 1900ms, 3s},
  };
  for (const auto& c : cases) {
    auto result = checkWith(c.script);
    EXPECT_TRUE(usable(result)) << c.name << ": " << result.out;
    EXPECT_GE(result.elapsed, c.atLeast) << c.name;
    EXPECT_LT(result.elapsed, c.below) << c.name;
    EXPECT_LT(result.cpuTime, 200ms) << c.name << ": the wait is a busy one";
  }
}

TEST_F(CheckLimits, AFloodOfOutputIsDrainedInFlatMemory) {
  struct Case {
    const char* name;
    std::string flood;
  };
  const Case cases[] = {
      {"256 MiB without a line feed", "head -c 268435456 /dev/zero"},
      {"128 MiB of short lines", "yes | head -c 134217728"},
  };
  for (const auto& c : cases) {
    auto result = checkWith(c.flood + "\necho\necho '{\"torch\":\"2\"}'\n");
    EXPECT_TRUE(usable(result)) << c.name << ": " << result.out;
    EXPECT_LT(result.maxResidentKiB, 64 * 1024) << c.name;
  }
}

TEST_F(CheckLimits, ALastLineOverOneMebibyteIsNotAnAnswer) {
  const std::string pad = "{\"torch\":\"2\",\"pad\":\"";
  auto line = [&](size_t total) {
    return "printf '%s' '" + pad + "'\nhead -c " + std::to_string(total - pad.size() - 2) +
           " /dev/zero | tr '\\0' x\nprintf '\"}\\n'\n";
  };
  EXPECT_TRUE(usable(checkWith(line(1 << 20)))) << "exactly 1 MiB";
  auto over = checkWith(line((1 << 20) + 1));
  EXPECT_EQ(over.status, 1);
  EXPECT_NE(over.out.find("\"torch\":null"), std::string::npos);
}

TEST_F(CheckLimits, DeepNestingIsRefusedWithoutACrash) {
  auto result = checkWith(
      "head -c 200000 /dev/zero | tr '\\0' '['\nhead -c 200000 /dev/zero | tr '\\0' ']'\necho\n");
  EXPECT_EQ(result.status, 1);
  EXPECT_NE(result.out.find("\"python_version\":null"), std::string::npos) << result.out;

  auto wrapped = checkWith(
      "printf '{\"torch\":\"2\",\"error\":'\nhead -c 200000 /dev/zero | tr '\\0' '['\n"
      "head -c 200000 /dev/zero | tr '\\0' ']'\necho '}'\n");
  EXPECT_EQ(wrapped.status, 1);
  EXPECT_EQ(wrapped.out.find("\"error\""), std::string::npos) << wrapped.out.substr(0, 200);
}

}  // namespace
