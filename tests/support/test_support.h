#pragma once

#include <chrono>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace testing_support {

namespace fs = std::filesystem;

// A folder under the system's temporary folder, removed with everything in it.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

void writeFile(const fs::path& path, const std::string& bytes);
std::string readFile(const fs::path& path);
void writeScript(const fs::path& path, const std::string& body);  // executable "#!/bin/sh" script
// `text` in UTF-16 with its byte-order mark, as editors on other systems save it.
std::string utf16(const std::u16string& text, bool littleEndian);

// This machine's processor and another, by their ELF numbers and the names the explanation
// gives them.
#if defined(__aarch64__)
inline constexpr unsigned thisMachine = 183;
inline constexpr unsigned otherMachine = 62;
inline constexpr const char* otherMachineName = "x86_64";
inline constexpr const char* thisMachineName = "arm64 (aarch64)";
#else
inline constexpr unsigned thisMachine = 62;
inline constexpr unsigned otherMachine = 183;
inline constexpr const char* otherMachineName = "arm64 (aarch64)";
inline constexpr const char* thisMachineName = "x86_64";
#endif

// The first bytes of a 64-bit ELF executable for `machine`, as far as the system reads before it
// refuses one built for another processor.
std::string elfHeader(unsigned machine, bool bigEndian = false);

// How a standard stream of a started program is set up.
enum class Stream { Capture, Inherit, Null, Closed, BrokenPipe };

struct RunOptions {
  std::vector<std::string> arguments;  // the whole argument list, element 0 included
  std::optional<std::string> program;  // defaults to arguments[0]
  std::map<std::string, std::optional<std::string>> environment;  // set, or unset when none
  std::optional<fs::path> workingDirectory;
  Stream input = Stream::Null;
  std::optional<fs::path> inputFile;  // standard input read from this file instead
  std::optional<int> outputFd;        // standard output onto this descriptor instead
  // Entries put after the rest as they are, so that a name may stand twice.
  std::vector<std::string> rawEnvironment;
  Stream output = Stream::Capture;
  Stream error = Stream::Capture;
  std::chrono::milliseconds timeout = std::chrono::seconds(60);
};

struct RunResult {
  int status = -1;  // exit status, or 128 + signal when ended by one
  int signal = 0;   // the signal that ended the program; 0 when it exited
  std::string out;
  std::string err;
  std::chrono::milliseconds elapsed{0};
  bool timedOut = false;
  long maxResidentKiB = 0;  // the program's peak resident memory
  // The CPU time the program used, with that of the children it waited for.
  std::chrono::milliseconds cpuTime{0};
};

RunResult runProgram(const RunOptions& options);

// A program started in the background, for tests that act on it while it runs.
class StartedProgram {
 public:
  explicit StartedProgram(const RunOptions& options);
  ~StartedProgram();  // kills the program if it still runs
  StartedProgram(const StartedProgram&) = delete;
  StartedProgram& operator=(const StartedProgram&) = delete;

  int pid() const { return pid_; }
  // Waits for the program to end, killing it past `timeout`.
  RunResult wait(std::chrono::milliseconds timeout);

 private:
  TempDir captures_;
  int pid_ = -1;
  bool reaped_ = false;
  std::chrono::steady_clock::time_point start_;
};

// A shell function `beat FILE` that appends a line to FILE every 50 ms for at most ten seconds:
// a process running it shows that it lives by the file growing, and never runs on for ever.
std::string heartbeatFunction();
// Waits up to five seconds for `file` to appear.
bool beatStarted(const fs::path& file);
// Whether `file` has stopped growing: nothing still beats into it.
bool beatStopped(const fs::path& file);

// The processes, zombies aside, whose environment holds `entry` ("NAME=value"): a test marks
// what a stand-in interpreter starts with a variable of its own and looks for survivors by it.
std::vector<int> processesWithEnvironmentEntry(const std::string& entry);
// Waits up to two seconds for every process marked with `entry` to be gone.
bool noneLeftWith(const std::string& entry);

// Keeps the machine busy while it lives, as other builds and test runs do: CPU-bound processes,
// twice as many as there are cores, at the test's own priority. A test that must hold however
// busy the machine is runs once more inside one.
class BusyMachine {
 public:
  BusyMachine();
  ~BusyMachine();  // ends them
  BusyMachine(const BusyMachine&) = delete;
  BusyMachine& operator=(const BusyMachine&) = delete;

 private:
  std::vector<int> spinners_;
};

// The built executable under test.
fs::path qualityPackExecutable();

// A pack laid out like the real one: Contents/MacOS/quality-pack (a link to the built executable),
// Contents/Info.plist and Contents/Resources/quality with its interpreter and hub cache.
class PackFixture {
 public:
  explicit PackFixture(const fs::path& root, const std::string& name = "Pack.app");

  fs::path bundle() const { return bundle_; }
  fs::path executable() const { return bundle_ / "Contents/MacOS/quality-pack"; }
  fs::path resources() const { return bundle_ / "Contents/Resources"; }
  fs::path interpreter() const { return resources() / "quality/python/bin/python3"; }
  fs::path hfCache() const { return resources() / "quality/hf-cache"; }
  fs::path modelDir() const { return hfCache() / "hub/models--facebook--audiobox-aesthetics"; }

  // An Info.plist in XML with these raw <key>/<value> pairs inside its dict.
  void writeInfoPlist(const std::string& dictBody);
  // The usual one: version `version` (a string) and format `format` (an integer).
  void writeStandardInfo(const std::string& version = "1.0", long long format = 1);
  // An interpreter that prints `output` and exits with `status`.
  void writeInterpreterPrinting(const std::string& output, int status = 0);
  // The recording interpreter: it writes how it was started to the file named by
  // QP_TEST_RECORD and prints the file named by QP_TEST_OUTPUT.
  void installRecordingInterpreter();
  // refs/main holding `refsMain` and a snapshot folder with the named files in it.
  void writeWeights(const std::string& refsMain = "abc123\n",
                    const std::vector<std::string>& files = {"model.safetensors", "config.json"});

  RunResult run(const std::vector<std::string>& options, RunOptions base = {}) const;
  // Runs `executable` with `options`, wherever it stands.
  static RunResult runExecutable(const fs::path& executable,
                                 const std::vector<std::string>& options, RunOptions base = {});

 private:
  fs::path bundle_;
};

// The helper program that stands in for the interpreter and records how it was started.
fs::path recordingInterpreter();

}  // namespace testing_support
