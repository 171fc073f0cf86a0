#include <gtest/gtest.h>

#include "check/probe.h"
#include "support/test_support.h"

namespace {

using namespace testing_support;
namespace fs = std::filesystem;
using platform::Json;

// Debian's python3 with torch as the pack's interpreter: the report carries what that
// interpreter says for the probe when run by hand.
TEST(RealRuntime, ReportMatchesTheInterpreterRunDirectly) {
  const fs::path python = "/usr/bin/python3";
  if (!fs::exists(python)) {
    GTEST_SKIP() << "no /usr/bin/python3";
  }
  TempDir dir;
  PackFixture pack(dir.path());
  pack.writeStandardInfo("1.0", 1);
  pack.writeWeights();
  fs::create_directories(pack.interpreter().parent_path());
  fs::create_symlink(python, pack.interpreter());

  RunOptions direct;
  direct.arguments = {python.string(), "-I", "-c", std::string(check::probeScript)};
  direct.environment = {{"HF_HOME", pack.hfCache().string()},
                        {"HF_HUB_OFFLINE", "1"},
                        {"HF_HUB_DISABLE_TELEMETRY", "1"},
                        {"PYTHONDONTWRITEBYTECODE", "1"}};
  auto byHand = runProgram(direct);
  ASSERT_EQ(byHand.status, 0) << byHand.err;
  Json answer = Json::parse(byHand.out);
  ASSERT_TRUE(answer.contains("torch")) << "python3-torch is not installed: " << byHand.out;

  auto result = pack.run({"--check"});
  Json report = Json::parse(result.out);
  EXPECT_EQ(report["python_version"], answer["python_version"]);
  EXPECT_EQ(report["torch"], answer["torch"]);
  EXPECT_EQ(report["mps"], answer["mps"]);
  EXPECT_FALSE(report.contains("error")) << result.out;
  EXPECT_EQ(report["ok"], true);
  EXPECT_EQ(result.status, 0);
}

}  // namespace
