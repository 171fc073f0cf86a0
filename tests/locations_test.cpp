#include <gtest/gtest.h>

#include "support/test_support.h"

namespace {

using namespace testing_support;
namespace fs = std::filesystem;

// The interpreter's location, as the check report shows it.
std::string reportedPython(const RunResult& result) {
  const std::string key = "\"python\":\"";
  auto start = result.out.find(key);
  if (start == std::string::npos) {
    return "no report: " + result.out;
  }
  start += key.size();
  return result.out.substr(start, result.out.find('"', start) - start);
}

RunResult check(const std::string& program, const std::vector<std::string>& arguments,
                const std::optional<fs::path>& cwd = std::nullopt) {
  RunOptions options;
  options.program = program;
  options.arguments = arguments;
  options.workingDirectory = cwd;
  return runProgram(options);
}

TEST(Locations, ABundledExecutableFindsItsBundleWhereverItIsStartedFrom) {
  TempDir dir;
  PackFixture pack(dir.path(), "My Pack.app");
  const std::string expected = pack.interpreter().string();
  const std::string exe = pack.executable().string();
  fs::create_directories(dir.path() / "bin");
  fs::create_symlink(exe, dir.path() / "bin/qp");

  EXPECT_EQ(reportedPython(check(exe, {exe, "--check"})), expected) << "by absolute path";
  EXPECT_EQ(reportedPython(check("MacOS/quality-pack", {"MacOS/quality-pack", "--check"},
                                 pack.bundle() / "Contents")),
            expected)
      << "by relative path";
  EXPECT_EQ(reportedPython(check((dir.path() / "bin/qp").string(), {"qp", "--check"})), expected)
      << "through a symbolic link";
  EXPECT_FALSE(fs::exists(pack.resources() / "quality")) << "nothing needs to exist";
}

TEST(Locations, OutsideABundleTheProgramPathDecides) {
  TempDir dir;
  fs::path tool = dir.path() / "Tool/bin/qp";
  fs::create_directories(tool.parent_path());
  fs::copy_file(qualityPackExecutable(), tool);
  fs::create_directories(dir.path() / "Link/MacOS");
  fs::create_symlink(tool, dir.path() / "Link/MacOS/qp");
  const std::string besideTool =
      (dir.path() / "Tool/Resources/quality/python/bin/python3").string();

  EXPECT_EQ(reportedPython(check(tool.string(), {tool.string(), "--check"})), besideTool)
      << "by absolute path";
  EXPECT_EQ(reportedPython(check(tool.string(), {"bin/qp", "--check"}, dir.path() / "Tool")),
            besideTool)
      << "by relative path";
  EXPECT_EQ(reportedPython(check(tool.string(), {"bin/../bin/qp", "--check"}, dir.path() / "Tool")),
            (dir.path() / "Tool/bin/../Resources/quality/python/bin/python3").string())
      << "nothing is folded";
  std::string link = (dir.path() / "Link/MacOS/qp").string();
  EXPECT_EQ(reportedPython(check(link, {link, "--check"})),
            (dir.path() / "Link/Resources/quality/python/bin/python3").string())
      << "a link's own path, not its target";
}

}  // namespace
