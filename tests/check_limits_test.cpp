#include <unistd.h>

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
      // The upper bounds leave a busy machine its seconds and still fall well short of what a
      // wait for the leftover, or for the limit, would take.
      {"a leftover holds the output", "echo '{\"torch\":\"2\"}'\nsleep 30 &\nexit 0\n", 1900ms,
       10s},
      {"the interpreter lingers", "echo '{\"torch\":\"2\"}'\nexec sleep 2 >&-\n", 1900ms, 10s},
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

#if defined(__SANITIZE_ADDRESS__)
constexpr bool addressSanitizer = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool addressSanitizer = true;
#else
constexpr bool addressSanitizer = false;
#endif
#else
constexpr bool addressSanitizer = false;
#endif

// Under the limits a host may run with, on its own processes (threads count too) or its address
// space, explaining the check changes neither its line nor its status: nothing the explanation
// needs is something the plain check could do without.
TEST_F(CheckLimits, ExplainingChangesNoVerdictUnderResourceLimits) {
  if (::geteuid() != 0) {
    GTEST_SKIP() << "running as a user with no other process needs root";
  }
  fs::permissions(dir_.path(), fs::perms::owner_all | fs::perms::group_read |
                                   fs::perms::group_exec | fs::perms::others_read |
                                   fs::perms::others_exec);
  writeScript(pack_.interpreter(), "echo '{\"torch\":\"2\"}'\n");
  struct Case {
    const char* name;
    const char* limit;  // for prlimit
    bool usable;
  };
  const Case cases[] = {
      // The pack, its keeper, the first process of its namespace and the interpreter.
      {"four processes", "--nproc=4", true},
      {"three processes: no room for the interpreter", "--nproc=3", false},
      {"16,000 KiB of address space", "--as=16384000", true},
      // Standard error's pipe needs two more descriptors than the plain check has room for.
      {"12 open files", "--nofile=12", true},
      {"13 open files", "--nofile=13", true},
  };
  for (const auto& c : cases) {
    if (addressSanitizer && std::string(c.limit).rfind("--as", 0) == 0) {
      continue;  // the sanitizer's own shadow memory needs far more
    }
    RunResult runs[2];
    for (int explained = 0; explained < 2; ++explained) {
      RunOptions options;
      // A user id of its own, which no other process counts against.
      options.arguments = {"/usr/bin/setpriv",
                           "--reuid=43917",
                           "--regid=43917",
                           "--clear-groups",
                           "/usr/bin/prlimit",
                           c.limit,
                           pack_.executable().string(),
                           "--check"};
      if (explained) {
        options.arguments.push_back("--explain");
      }
      options.environment = {{"ASAN_OPTIONS", "detect_leaks=0"}};
      runs[explained] = runProgram(options);
    }
    EXPECT_EQ(usable(runs[0]), c.usable) << c.name << ": " << runs[0].out << runs[0].err;
    EXPECT_EQ(runs[1].out, runs[0].out) << c.name << "\n" << runs[1].err;
    EXPECT_EQ(runs[1].status, runs[0].status) << c.name;
  }
}

}  // namespace
