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
  direct.arguments = {python.string(), "-I", "-B", "-c", std::string(check::probeScript)};
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

// The check writes nothing into the bundle: with a runtime whose modules have no cached bytecode
// yet, none is written (a file written into a signed bundle breaks its signature).
TEST(RealRuntime, TheCheckWritesNoBytecodeIntoTheBundle) {
  TempDir dir;
  PackFixture pack(dir.path());
  pack.writeStandardInfo("1.0", 1);
  pack.writeWeights();
  fs::path runtime = pack.resources() / "quality/python";
  RunOptions venv;
  venv.arguments = {"/usr/bin/python3", "-m", "venv", "--without-pip", runtime.string()};
  auto made = runProgram(venv);
  ASSERT_EQ(made.status, 0) << made.err;
  RunOptions where;
  where.arguments = {pack.interpreter().string(), "-c",
                     "import sysconfig; print(sysconfig.get_path('purelib'), end='')"};
  where.environment = {{"PYTHONDONTWRITEBYTECODE", "1"}};
  fs::path sitePackages = runProgram(where).out;
  ASSERT_TRUE(fs::is_directory(sitePackages)) << sitePackages;
  // A stand-in torch, as small as the probe needs.
  writeFile(sitePackages / "torch/__init__.py", "__version__ = '2.0'\nfrom . import backends\n");
  writeFile(sitePackages / "torch/backends/__init__.py", "from . import mps\n");
  writeFile(sitePackages / "torch/backends/mps.py", "def is_available():\n    return False\n");

  RunOptions options;
  options.environment = {{"PYTHONDONTWRITEBYTECODE", std::nullopt}};
  auto result = pack.run({"--check"}, options);
  EXPECT_EQ(result.status, 0) << result.out;
  EXPECT_NE(result.out.find("\"torch\":\"2.0\""), std::string::npos) << result.out;
  for (const auto& entry : fs::recursive_directory_iterator(pack.bundle())) {
    EXPECT_NE(entry.path().filename(), "__pycache__") << entry.path();
    EXPECT_NE(entry.path().extension(), ".pyc") << entry.path();
  }
}

// A copy of the system's python3 in the bundle answers here, and so passes the check, but still
// takes its library and torch from the system it was copied from: --explain says so.
TEST(RealRuntime, ExplainTellsACopiedSystemInterpreterFromASelfContainedOne) {
  TempDir dir;
  PackFixture pack(dir.path());
  pack.writeStandardInfo("1.0", 1);
  pack.writeWeights();
  fs::create_directories(pack.interpreter().parent_path());
  fs::copy_file(fs::canonical("/usr/bin/python3"), pack.interpreter());
  auto plain = pack.run({"--check"});
  auto explained = pack.run({"--check", "--explain"});
  EXPECT_EQ(explained.out, plain.out);
  EXPECT_EQ(explained.status, plain.status);
  EXPECT_EQ(plain.err, "");
  for (const char* what : {"its standard library", "torch"}) {
    EXPECT_NE(explained.err.find(std::string("the interpreter takes ") + what +
                                 " from outside the bundle"),
              std::string::npos)
        << what << ":\n"
        << explained.err;
  }
  EXPECT_EQ(explained.err.find("leads outside the bundle"), std::string::npos) << explained.err;
}

}  // namespace
