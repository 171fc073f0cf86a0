// The pack built for another processor than this machine's, run under qemu-user with that
// processor's C library: the executable and its libplist are the other processor's, and what they
// start (a stand-in interpreter, a shell script) runs natively, as the kernel starts it for them.
// System-call numbers and structure layouts differ between processors: these runs are what shows
// that the pack's are right.
#include <gtest/gtest.h>

#include <signal.h>

#include <algorithm>
#include <iostream>

#include "support/demo_pack.h"
#include "support/test_support.h"

namespace {

using namespace testing_support;

// The demo bundle as the build lays it out for the other processor.
fs::path layOut(const fs::path& dir) {
  fs::path bundle = dir / "Pack.app";
  auto laidOut = layOutDemoPack(bundle, "/nonexistent", "2.5.0");
  EXPECT_EQ(laidOut.status, 0) << laidOut.err;
  return bundle;
}

fs::path interpreterOf(const fs::path& bundle) {
  return bundle / "Contents/Resources/quality/python/bin/python3";
}

// How many pids this process has, one per PID namespace it is in.
int namespaceDepth() {
  std::string status = readFile("/proc/self/status");
  size_t at = status.find("NSpid:");
  std::string line = status.substr(at, status.find('\n', at) - at);
  return static_cast<int>(std::count(line.begin(), line.end(), '\t'));
}

RunResult emulated(const fs::path& bundle, const std::vector<std::string>& options) {
  RunOptions run;
  run.arguments = {QP_EMULATOR, "-L", QP_EMULATOR_ROOT,
                   (bundle / "Contents/MacOS/quality-pack").string()};
  run.arguments.insert(run.arguments.end(), options.begin(), options.end());
  run.timeout = std::chrono::seconds(120);
  return runProgram(run);
}

TEST(Emulated, TheVersionAndTheCheck) {
  TempDir dir;
  fs::path bundle = layOut(dir.path());
  fs::remove(interpreterOf(bundle));
  writeScript(interpreterOf(bundle),
              "echo '{\"python_version\": \"3.11.2\", \"torch\": \"2.1\"}'\n");

  auto version = emulated(bundle, {"--version"});
  EXPECT_EQ(version.status, 0) << version.err;
  EXPECT_EQ(version.out, "2.5.0\n");

  auto usable = emulated(bundle, {"--check"});
  EXPECT_EQ(usable.status, 0) << usable.err;
  EXPECT_NE(usable.out.find("\"ok\":true,"), std::string::npos) << usable.out;
  EXPECT_NE(usable.out.find("\"torch\":\"2.1\""), std::string::npos) << usable.out;

  auto explained = emulated(bundle, {"--check", "--explain"});
  EXPECT_EQ(explained.out, usable.out);
  EXPECT_EQ(explained.status, usable.status);
  EXPECT_NE(explained.err.find("note    glibc: runs on glibc 2.17 or newer"), std::string::npos)
      << explained.err;
  EXPECT_EQ(explained.err.find("problem processor"), std::string::npos) << explained.err;

  fs::remove_all(bundle / "Contents/Resources/quality/hf-cache");
  auto unusable = emulated(bundle, {"--check"});
  EXPECT_EQ(unusable.status, 1) << unusable.err;
  EXPECT_NE(unusable.out.find("\"ok\":false,"), std::string::npos) << unusable.out;
}

// This machine's own program in the other processor's bundle: it runs here, and nowhere the pack
// is meant for.
TEST(Emulated, AnInterpreterOfThisMachinesProcessorIsNamed) {
  TempDir dir;
  fs::path bundle = layOut(dir.path());
  fs::remove(interpreterOf(bundle));
  fs::copy_file(QP_RECORDING_INTERPRETER, interpreterOf(bundle));
  auto explained = emulated(bundle, {"--check", "--explain"});
  EXPECT_NE(explained.err.find("problem processor: the interpreter is built for x86_64, the "
                               "executable for aarch64"),
            std::string::npos)
      << explained.err;
}

// A caller that gives up on the check while the interpreter runs: its tree, two generations
// below it, goes, and then the pack, by the caller's signal. The way the keeper held the tree is
// printed: emulation refuses some of what the better ways need (README: "The pack for aarch64").
TEST(Emulated, TheKeeperEndsTheInterpretersTree) {
  TempDir dir;
  fs::path bundle = layOut(dir.path());
  fs::path where = dir.path() / "where";
  auto beats = [&](const char* name) { return dir.path() / name; };
  auto quoted = [&](const char* name) { return "'" + beats(name).string() + "'"; };
  fs::remove(interpreterOf(bundle));
  writeScript(interpreterOf(bundle),
              heartbeatFunction() + "way=walk\n" +
                  "grep -q '^0::.*/quality-pack-check-[0-9]*$' /proc/self/cgroup && way=group\n" +
                  "set -- $(grep '^NSpid:' /proc/self/status)\n" + "[ $# -gt " +
                  std::to_string(namespaceDepth() + 1) + " ] && way=namespace\n" + "echo $way > '" +
                  where.string() + "'\n" + "beat " + quoted("child") + " &\n" + "sh -c '" +
                  heartbeatFunction() + "beat \"$0\" & wait' " + quoted("grandchild") + " &\n" +
                  "beat " + quoted("interpreter") + "\n");

  RunOptions options;
  options.arguments = {QP_EMULATOR, "-L", QP_EMULATOR_ROOT,
                       (bundle / "Contents/MacOS/quality-pack").string(), "--check"};
  StartedProgram pack(options);
  for (const char* name : {"interpreter", "child", "grandchild"}) {
    ASSERT_TRUE(beatStarted(beats(name))) << name;
  }
  ::kill(pack.pid(), SIGTERM);
  auto result = pack.wait(std::chrono::seconds(10));
  EXPECT_EQ(result.signal, SIGTERM);
  EXPECT_EQ(result.out, "");
  std::string way = readFile(where);
  std::cout << "[ WAY      ] under emulation the keeper held the tree by: " << way;
  RecordProperty("way", way.substr(0, way.find('\n')));
  for (const char* name : {"interpreter", "child", "grandchild"}) {
    EXPECT_TRUE(beatStopped(beats(name))) << name << " outlived the check (" << way << ")";
  }
}

}  // namespace
