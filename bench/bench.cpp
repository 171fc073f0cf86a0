// Measures quality-pack side by side with what it stands beside: each pair of commands is run
// alternately, and the ratio of their wall times is summarised as min, median and max.
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "check/probe.h"
#include "support/spawn_arguments.h"

namespace {

namespace fs = std::filesystem;
using testing_support::environmentWith;
using testing_support::pointersTo;

struct Sample {
  double seconds = 0;
  long maxResidentKiB = 0;
  int status = -1;
};

using Environment = std::map<std::string, std::optional<std::string>>;

// One run, output to the null device, timed from before the start to after the reap.
Sample runOnce(std::vector<std::string> argv, const Environment& env) {
  std::vector<std::string> envp = environmentWith(env);
  auto argvPointers = pointersTo(argv);
  auto envpPointers = pointersTo(envp);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  auto start = std::chrono::steady_clock::now();
  pid_t pid = -1;
  int spawned = ::posix_spawn(&pid, argv[0].c_str(), &actions, nullptr, argvPointers.data(),
                              envpPointers.data());
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) {
    throw std::runtime_error("cannot start " + argv[0]);
  }
  int wstatus = 0;
  struct rusage usage {};
  while (::wait4(pid, &wstatus, 0, &usage) < 0 && errno == EINTR) {
  }
  Sample sample;
  sample.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  sample.maxResidentKiB = usage.ru_maxrss;
  sample.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
  return sample;
}

struct Command {
  std::vector<std::string> argv;
  Environment env;
  int expectedStatus = 0;
};

struct Row {
  std::string name;
  double target;
  int runs;
  double min, median, max;
  long peakKiB;  // quality-pack's largest peak resident memory over the runs; 0: not shown
};

// The peak memory wait4 reports covers the children a process has reaped too, so it tells about
// quality-pack only where its child is small: the flood writer, not the interpreter.
Row compare(const std::string& name, double target, int runs, const Command& pack,
            const Command& baseline, bool showPeak = false) {
  runOnce(pack.argv, pack.env);  // warm the caches for both
  runOnce(baseline.argv, baseline.env);
  std::vector<double> ratios;
  long peak = 0;
  for (int i = 0; i < runs; ++i) {
    // Alternate which goes first, so neither always inherits a warmer machine.
    Sample a, b;
    if (i % 2 == 0) {
      a = runOnce(pack.argv, pack.env);
      b = runOnce(baseline.argv, baseline.env);
    } else {
      b = runOnce(baseline.argv, baseline.env);
      a = runOnce(pack.argv, pack.env);
    }
    if (a.status != pack.expectedStatus || b.status != baseline.expectedStatus) {
      throw std::runtime_error(name + ": unexpected exit status " + std::to_string(a.status) +
                               " / " + std::to_string(b.status));
    }
    ratios.push_back(a.seconds / b.seconds);
    peak = std::max(peak, a.maxResidentKiB);
  }
  std::sort(ratios.begin(), ratios.end());
  size_t n = ratios.size();
  double median = n % 2 ? ratios[n / 2] : (ratios[n / 2 - 1] + ratios[n / 2]) / 2;
  return {name, target, runs, ratios.front(), median, ratios.back(), showPeak ? peak : 0};
}

// A pack beside the demo pack whose interpreter is the flood writer.
fs::path makeFloodPack(const fs::path& demoPack, const fs::path& writer, const fs::path& dir) {
  fs::path pack = dir / "Flood.app";
  fs::create_directories(pack / "Contents/MacOS");
  fs::create_directories(pack / "Contents/Resources/quality/python/bin");
  fs::copy_file(demoPack / "Contents/MacOS/quality-pack", pack / "Contents/MacOS/quality-pack");
  fs::copy_file(demoPack / "Contents/Info.plist", pack / "Contents/Info.plist");
  fs::create_symlink(writer, pack / "Contents/Resources/quality/python/bin/python3");
  fs::create_symlink(fs::absolute(demoPack / "Contents/Resources/quality/hf-cache"),
                     pack / "Contents/Resources/quality/hf-cache");
  return pack;
}

std::string option(int argc, char** argv, const std::string& name) {
  for (int i = 1; i + 1 < argc; ++i) {
    if (argv[i] == name) {
      return argv[i + 1];
    }
  }
  throw std::runtime_error("missing " + name);
}

}  // namespace

int main(int argc, char** argv) try {
  bool quick = std::find(argv + 1, argv + argc, std::string("--quick")) != argv + argc;
  fs::path demoPack = fs::absolute(option(argc, argv, "--pack"));
  fs::path hello = fs::absolute(option(argc, argv, "--hello"));
  fs::path writer = fs::absolute(option(argc, argv, "--flood-writer"));
  std::string exe = (demoPack / "Contents/MacOS/quality-pack").string();
  std::string python =
      fs::canonical(demoPack / "Contents/Resources/quality/python/bin/python3").string();
  std::string hfHome = (demoPack / "Contents/Resources/quality/hf-cache").string();

  std::string pattern = (fs::temp_directory_path() / "qp-bench-XXXXXX").string();
  if (!::mkdtemp(pattern.data())) {
    throw std::runtime_error("mkdtemp failed");
  }
  fs::path tmp = pattern;
  fs::path floodPack = makeFloodPack(demoPack, writer, tmp);
  std::string floodExe = (floodPack / "Contents/MacOS/quality-pack").string();

  const size_t gib = size_t{1} << 30;
  const size_t floodBytes = quick ? (size_t{8} << 20) : gib;
  const size_t linesBytes = quick ? (size_t{4} << 20) : (size_t{128} << 20);
  const Environment probeEnv = {{"HF_HOME", hfHome},
                                {"HF_HUB_OFFLINE", "1"},
                                {"HF_HUB_DISABLE_TELEMETRY", "1"},
                                {"PYTHONDONTWRITEBYTECODE", "1"}};
  auto flood = [&](size_t bytes, size_t line) {
    return Environment{{"FLOOD_BYTES", std::to_string(bytes)},
                       {"FLOOD_LINE", std::to_string(line)}};
  };
  const std::string drain = "\"$0\" | cat > /dev/null";

  std::vector<Row> rows;
  rows.push_back(compare("start-up: --version vs a one-line C++ program", 1.30, quick ? 5 : 300,
                         {{exe, "--version"}, {}, 0}, {{hello.string()}, {}, 0}));
  rows.push_back(compare("check: --check vs the interpreter run directly", 1.02, quick ? 1 : 15,
                         {{exe, "--check"}, {}, 0},
                         {{python, "-I", "-c", std::string(check::probeScript)}, probeEnv, 0}));
  rows.push_back(
      compare(quick ? "flood: 8 MiB without a line feed" : "flood: 1 GiB without a line feed", 1.20,
              quick ? 2 : 9, {{floodExe, "--check"}, flood(floodBytes, 0), 0},
              {{"/bin/sh", "-c", drain, writer.string()}, flood(floodBytes, 0), 0}, true));
  rows.push_back(
      compare(quick ? "lines: 4 MiB of two-byte lines" : "lines: 128 MiB of two-byte lines", 1.20,
              quick ? 2 : 9, {{floodExe, "--check"}, flood(linesBytes, 2), 0},
              {{"/bin/sh", "-c", drain, writer.string()}, flood(linesBytes, 2), 0}, true));
  fs::remove_all(tmp);

  std::printf("%-50s %7s %5s %7s %7s %7s %10s\n", "benchmark (time ratio)", "target", "runs", "min",
              "median", "max", "peak RSS");
  for (const auto& r : rows) {
    std::string peak = r.peakKiB ? std::to_string(r.peakKiB / 1024) + " MiB" : "-";
    bool met = r.median <= r.target && (r.peakKiB == 0 || r.peakKiB < 16 * 1024);
    std::printf("%-50s %6.2fx %5d %6.3fx %6.3fx %6.3fx %10s  %s\n", r.name.c_str(), r.target,
                r.runs, r.min, r.median, r.max, peak.c_str(), met ? "met" : "MISSED");
  }
  return 0;
} catch (const std::exception& e) {
  std::fprintf(stderr, "qp-bench: %s\n", e.what());
  return 1;
}
