// Measures quality-pack side by side with what it stands beside: each pair of commands is run
// alternately, and the ratio of their wall times is summarised as min, median and max.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "check/probe.h"
#include "support/spawn_arguments.h"

namespace {

namespace fs = std::filesystem;
using testing_support::environmentWith;
using testing_support::pointersTo;

using Clock = std::chrono::steady_clock;

struct Sample {
  double seconds = 0;
  Clock::time_point ended;   // when the program was seen to have ended, before it was looked at
  double ownCpuSeconds = 0;  // the measured program's own, its children's excluded
  long maxResidentKiB = 0;
  int status = -1;
};

using Environment = std::map<std::string, std::optional<std::string>>;

struct Command {
  std::vector<std::string> argv;
  Environment env;
  int expectedStatus = 0;
  // When set, started first with its output piped into the command's standard input.
  std::vector<std::string> feeder;
};

pid_t start(std::vector<std::string> argv, const Environment& env, int input, int output) {
  std::vector<std::string> envp = environmentWith(env);
  auto argvPointers = pointersTo(argv);
  auto envpPointers = pointersTo(envp);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (input >= 0) {
    posix_spawn_file_actions_adddup2(&actions, input, 0);
  }
  if (output >= 0) {
    posix_spawn_file_actions_adddup2(&actions, output, 1);
  } else {
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  }
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid = -1;
  int spawned = ::posix_spawn(&pid, argv[0].c_str(), &actions, nullptr, argvPointers.data(),
                              envpPointers.data());
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) {
    throw std::runtime_error("cannot start " + argv[0]);
  }
  return pid;
}

// The CPU time a finished process used itself, read while it is still a zombie: its schedstat
// counts nanoseconds on the CPU and leaves out the children it reaped. Where the kernel keeps no
// schedstat, utime and stime from its stat, in clock ticks.
double ownCpuSeconds(pid_t pid) {
  std::string process = "/proc/" + std::to_string(pid);
  std::ifstream schedstat(process + "/schedstat");
  unsigned long long onCpu = 0;
  if (schedstat >> onCpu) {
    return static_cast<double>(onCpu) / 1e9;
  }
  std::ifstream stat(process + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  std::istringstream fields(text.substr(text.rfind(')') + 2));
  std::string field;
  unsigned long long utime = 0, stime = 0;
  for (int i = 3; i <= 15 && fields >> field; ++i) {
    if (i == 14)
      utime = std::stoull(field);
    if (i == 15)
      stime = std::stoull(field);
  }
  return static_cast<double>(utime + stime) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

Sample reap(pid_t pid) {
  Sample sample;
  siginfo_t info{};
  while (::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT) < 0 && errno == EINTR) {
  }
  sample.ended = Clock::now();
  sample.ownCpuSeconds = ownCpuSeconds(pid);
  int wstatus = 0;
  struct rusage usage {};
  while (::wait4(pid, &wstatus, 0, &usage) < 0 && errno == EINTR) {
  }
  sample.maxResidentKiB = usage.ru_maxrss;
  sample.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
  return sample;
}

// One run, output to the null device, timed from before the start to when the last of its
// programs was seen to end: what the bench then reads of them (their CPU time) is not theirs.
Sample runOnce(const Command& command) {
  auto begin = Clock::now();
  std::optional<pid_t> feeder;
  int input = -1;
  if (!command.feeder.empty()) {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) {
      throw std::runtime_error("pipe failed");
    }
    feeder = start(command.feeder, command.env, -1, ends[1]);
    ::close(ends[1]);
    input = ends[0];
  }
  pid_t pid = start(command.argv, command.env, input, -1);
  if (input >= 0) {
    ::close(input);
  }
  Sample sample = reap(pid);
  Clock::time_point end = sample.ended;
  if (feeder) {
    end = std::max(end, reap(*feeder).ended);
  }
  sample.seconds = std::chrono::duration<double>(end - begin).count();
  return sample;
}

struct Summary {
  double min, median, max;
};

Summary summarise(std::vector<double> ratios) {
  std::sort(ratios.begin(), ratios.end());
  size_t n = ratios.size();
  double median = n % 2 ? ratios[n / 2] : (ratios[n / 2 - 1] + ratios[n / 2]) / 2;
  return {ratios.front(), median, ratios.back()};
}

struct Row {
  std::string name;
  double target;
  int runs;
  Summary wall;
  std::optional<Summary> cpu;  // own CPU time ratio, where it is one of the targets
  double cpuTarget = 0;
  long peakKiB;  // quality-pack's largest peak resident memory over the runs; 0: not shown
};

// The peak memory wait4 reports covers the children a process has reaped too, so it tells about
// quality-pack only where its child is small: the flood writer, not the interpreter.
Row compare(const std::string& name, double target, int runs, const Command& pack,
            const Command& baseline, bool flood = false) {
  runOnce(pack);  // warm the caches for both
  runOnce(baseline);
  std::vector<double> wall, cpu;
  long peak = 0;
  for (int i = 0; i < runs; ++i) {
    // Alternate which goes first, so neither always inherits a warmer machine.
    Sample a, b;
    if (i % 2 == 0) {
      a = runOnce(pack);
      b = runOnce(baseline);
    } else {
      b = runOnce(baseline);
      a = runOnce(pack);
    }
    if (a.status != pack.expectedStatus || b.status != baseline.expectedStatus) {
      throw std::runtime_error(name + ": unexpected exit status " + std::to_string(a.status) +
                               " / " + std::to_string(b.status));
    }
    wall.push_back(a.seconds / b.seconds);
    // A baseline that seems to have used no CPU at all counts as a clock tick's worth.
    cpu.push_back(a.ownCpuSeconds / std::max(b.ownCpuSeconds, 0.01));
    peak = std::max(peak, a.maxResidentKiB);
  }
  Row row{name, target, runs, summarise(wall), std::nullopt, 0, flood ? peak : 0};
  if (flood) {
    row.cpu = summarise(cpu);
  }
  return row;
}

// Start-up: --version of each pack against the baseline, all of them in one rotation, so that the
// rows of an earlier build and this one see the same machine.
std::vector<Row> compareStartUps(const std::vector<std::pair<std::string, Command>>& packs,
                                 const Command& baseline, double target, int runs) {
  for (const auto& [name, pack] : packs) {
    runOnce(pack);  // warm the caches for each
  }
  runOnce(baseline);
  std::vector<std::vector<double>> ratios(packs.size());
  const size_t programs = packs.size() + 1;  // the baseline last
  for (int i = 0; i < runs; ++i) {
    std::vector<double> seconds(programs);
    for (size_t k = 0; k < programs; ++k) {
      size_t which = (k + static_cast<size_t>(i)) % programs;  // each goes first in turn
      Sample sample = runOnce(which < packs.size() ? packs[which].second : baseline);
      if (sample.status != 0) {
        throw std::runtime_error("start-up: unexpected exit status " +
                                 std::to_string(sample.status));
      }
      seconds[which] = sample.seconds;
    }
    for (size_t p = 0; p < packs.size(); ++p) {
      ratios[p].push_back(seconds[p] / seconds.back());
    }
  }
  std::vector<Row> rows;
  for (size_t p = 0; p < packs.size(); ++p) {
    // The target is this build's: an earlier one is there to be compared with.
    double rowTarget = p == 0 ? target : 0;
    rows.push_back(Row{packs[p].first, rowTarget, runs, summarise(ratios[p]), std::nullopt, 0, 0});
  }
  return rows;
}

// A pack beside the demo pack whose interpreter is `writer`.
fs::path makeFloodPack(const fs::path& demoPack, const fs::path& writer, const fs::path& dir,
                       const std::string& name) {
  fs::path pack = dir / name;
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
  // --only TEXT runs only the rows whose name holds TEXT; --before PACK adds the start-up of an
  // earlier build's pack, measured in the same rotation as this one's.
  std::string only;
  std::string before;
  for (int i = 1; i + 1 < argc; ++i) {
    if (argv[i] == std::string("--only")) {
      only = argv[i + 1];
    }
    if (argv[i] == std::string("--before")) {
      before = fs::absolute(argv[i + 1]).string();
    }
  }
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
  fs::path floodPack = makeFloodPack(demoPack, writer, tmp, "Flood.app");
  std::string floodExe = (floodPack / "Contents/MacOS/quality-pack").string();
  // The plain tool's way to write a flood: head -c, a few KiB a write.
  fs::path headWriter = tmp / "head-writer";
  {
    std::ofstream script(headWriter);
    script << "#!/bin/sh\nhead -c \"$FLOOD_BYTES\" /dev/zero\n"
              "printf '\\n{\"python_version\":\"bench\",\"torch\":\"bench\",\"mps\":false}\\n'\n";
  }
  fs::permissions(headWriter, fs::perms::owner_all);
  std::string headExe =
      (makeFloodPack(demoPack, headWriter, tmp, "Head.app") / "Contents/MacOS/quality-pack")
          .string();

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
  const std::string cat = "/bin/cat";
  // Own CPU time is a target only where it is given.
  auto floodRow = [&](const std::string& name, const Environment& env, double wallTarget,
                      double cpuTarget = 0, const std::string& byHead = "") -> std::optional<Row> {
    if (name.find(only) == std::string::npos) {
      return std::nullopt;
    }
    std::string packExe = byHead.empty() ? floodExe : byHead;
    std::string feeder = byHead.empty() ? writer.string() : headWriter.string();
    Row row = compare(name, wallTarget, quick ? 2 : 9, {{packExe, "--check"}, env, 0, {}},
                      {{cat}, env, 0, {feeder}}, true);
    row.cpuTarget = cpuTarget;
    return row;
  };
  auto withWrites = [](Environment env, size_t bytes) {
    env["FLOOD_WRITE"] = std::to_string(bytes);
    return env;
  };

  std::vector<std::optional<Row>> rows;
  const std::string startUp = "start-up: --version vs a one-line C++ program";
  if (startUp.find(only) != std::string::npos) {
    std::vector<std::pair<std::string, Command>> packs = {
        {startUp, {{exe, "--version"}, {}, 0, {}}}};
    if (!before.empty()) {
      packs.push_back({"start-up, the earlier build's",
                       {{before + "/Contents/MacOS/quality-pack", "--version"}, {}, 0, {}}});
    }
    for (Row& row : compareStartUps(packs, {{hello.string()}, {}, 0, {}}, 0.80, quick ? 5 : 300)) {
      rows.push_back(std::move(row));
    }
  }
  const std::string checkRow = "check: --check vs the interpreter run directly";
  if (checkRow.find(only) != std::string::npos) {
    rows.push_back(
        compare(checkRow, 1.02, quick ? 1 : 15, {{exe, "--check"}, {}, 0, {}},
                {{python, "-I", "-B", "-c", std::string(check::probeScript)}, probeEnv, 0, {}}));
  }
  std::string size = quick ? "8 MiB" : "1 GiB";
  rows.push_back(
      floodRow("flood: " + size + " without a line feed, 1 MiB writes", flood(floodBytes, 0), 1.2));
  rows.push_back(floodRow("flood: " + size + " without a line feed, 8 KiB writes",
                          withWrites(flood(floodBytes, 0), 8192), 1.0, 1.0));
  rows.push_back(floodRow("flood: " + size + " without a line feed, from head -c",
                          flood(floodBytes, 0), 1.0, 1.0, headExe));
  std::string lines = std::string("lines: ") + (quick ? "4 MiB" : "128 MiB") + " of two-byte lines";
  rows.push_back(floodRow(lines + ", 1 MiB writes", flood(linesBytes, 2), 1.2));
  rows.push_back(
      floodRow(lines + ", 8 KiB writes", withWrites(flood(linesBytes, 2), 8192), 1.0, 1.0));
  fs::remove_all(tmp);

  std::printf("%-58s %7s %5s %7s %7s %7s %9s %9s\n", "benchmark (ratio to the baseline)", "target",
              "runs", "min", "median", "max", "own CPU", "peak RSS");
  for (const auto& row : rows) {
    if (!row) {
      continue;
    }
    const Row& r = *row;
    std::string peak = r.peakKiB ? std::to_string(r.peakKiB / 1024) + " MiB" : "-";
    char cpu[32] = "-";
    if (r.cpu) {
      std::snprintf(cpu, sizeof cpu, "%.3fx", r.cpu->median);
    }
    bool met = (r.target == 0 || r.wall.median <= r.target) &&
               (r.cpuTarget == 0 || r.cpu->median <= r.cpuTarget) &&
               (r.peakKiB == 0 || r.peakKiB < 16 * 1024);
    char target[16] = "-";
    if (r.target > 0) {
      std::snprintf(target, sizeof target, "%.2fx", r.target);
    }
    std::printf("%-58s %7s %5d %6.3fx %6.3fx %6.3fx %9s %9s  %s\n", r.name.c_str(), target, r.runs,
                r.wall.min, r.wall.median, r.wall.max, cpu, peak.c_str(),
                r.target == 0 ? ""
                : met         ? "met"
                              : "MISSED");
  }
  return 0;
} catch (const std::exception& e) {
  std::fprintf(stderr, "qp-bench: %s\n", e.what());
  return 1;
}
