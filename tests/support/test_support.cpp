#include "support/test_support.h"

#include "support/spawn_arguments.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace testing_support {

TempDir::TempDir() {
  std::string pattern = (fs::temp_directory_path() / "qp-test-XXXXXX").string();
  if (!::mkdtemp(pattern.data())) {
    throw std::runtime_error("mkdtemp failed");
  }
  path_ = fs::canonical(pattern);
}

TempDir::~TempDir() {
  std::error_code ignored;
  fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ignored);
  fs::remove_all(path_, ignored);
}

void writeFile(const fs::path& path, const std::string& bytes) {
  fs::create_directories(path.parent_path());
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!file) {
    throw std::runtime_error("cannot write " + path.string());
  }
}

std::string readFile(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  std::stringstream content;
  content << file.rdbuf();
  return content.str();
}

void writeScript(const fs::path& path, const std::string& body) {
  writeFile(path, "#!/bin/sh\n" + body);
  fs::permissions(path, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                            fs::perms::others_read | fs::perms::others_exec);
}

std::string utf16(const std::u16string& text, bool littleEndian) {
  std::string bytes = littleEndian ? "\xFF\xFE" : "\xFE\xFF";
  for (char16_t unit : text) {
    char low = static_cast<char>(unit & 0xFF);
    char high = static_cast<char>(unit >> 8);
    bytes += littleEndian ? std::string{low, high} : std::string{high, low};
  }
  return bytes;
}

std::string elfHeader(unsigned machine, bool bigEndian) {
  auto twoBytes = [bigEndian](unsigned value) {
    std::string bytes{static_cast<char>(value & 0xFF), static_cast<char>(value >> 8)};
    return bigEndian ? std::string(bytes.rbegin(), bytes.rend()) : bytes;
  };
  std::string header =
      "\x7f"
      "ELF";
  header += {'\x02', bigEndian ? '\x02' : '\x01', '\x01'};  // 64-bit, its byte order, version 1
  header += std::string(9, '\0') + twoBytes(2) + twoBytes(machine);  // an executable, for machine
  return header + std::string(44, '\0');
}

namespace {

void linkOrCopy(const fs::path& from, const fs::path& to) {
  fs::create_directories(to.parent_path());
  std::error_code error;
  fs::create_hard_link(from, to, error);
  if (error) {
    fs::copy_file(from, to, fs::copy_options::overwrite_existing);
  }
}

void setUpStream(posix_spawn_file_actions_t* actions, int fd, Stream stream,
                 const std::string& capturePath, int brokenPipeFd) {
  switch (stream) {
    case Stream::Capture:
      posix_spawn_file_actions_addopen(actions, fd, capturePath.c_str(),
                                       O_WRONLY | O_CREAT | O_TRUNC, 0600);
      break;
    case Stream::Inherit:
      break;
    case Stream::Null:
      posix_spawn_file_actions_addopen(actions, fd, "/dev/null", fd == 0 ? O_RDONLY : O_WRONLY, 0);
      break;
    case Stream::Closed:
      posix_spawn_file_actions_addclose(actions, fd);
      break;
    case Stream::BrokenPipe:
      posix_spawn_file_actions_adddup2(actions, brokenPipeFd, fd);
      break;
  }
}

}  // namespace

StartedProgram::StartedProgram(const RunOptions& options) {
  std::string outPath = (captures_.path() / "out").string();
  std::string errPath = (captures_.path() / "err").string();
  // A pipe whose reader is gone before the program writes: its writes fail with EPIPE.
  int brokenPipe[2];
  if (::pipe2(brokenPipe, O_CLOEXEC) != 0) {
    throw std::runtime_error("pipe failed");
  }
  ::close(brokenPipe[0]);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (options.workingDirectory) {
    posix_spawn_file_actions_addchdir_np(&actions, options.workingDirectory->c_str());
  }
  if (options.inputFile) {
    posix_spawn_file_actions_addopen(&actions, 0, options.inputFile->c_str(), O_RDONLY, 0);
  } else {
    setUpStream(&actions, 0, options.input, "", brokenPipe[1]);
  }
  if (options.outputFd) {
    posix_spawn_file_actions_adddup2(&actions, *options.outputFd, 1);
  } else {
    setUpStream(&actions, 1, options.output, outPath, brokenPipe[1]);
  }
  setUpStream(&actions, 2, options.error, errPath, brokenPipe[1]);

  std::vector<std::string> argv = options.arguments;
  std::vector<std::string> envp = environmentWith(options.environment);
  envp.insert(envp.end(), options.rawEnvironment.begin(), options.rawEnvironment.end());
  auto argvPointers = pointersTo(argv);
  auto envpPointers = pointersTo(envp);
  std::string program = options.program ? *options.program : options.arguments.at(0);

  // The program starts with every signal at its default, whatever the test runner ignores.
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t all;
  sigfillset(&all);
  posix_spawnattr_setsigdefault(&attributes, &all);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF);

  start_ = std::chrono::steady_clock::now();
  int spawned = ::posix_spawn(&pid_, program.c_str(), &actions, &attributes, argvPointers.data(),
                              envpPointers.data());
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  ::close(brokenPipe[1]);
  if (spawned != 0) {
    throw std::runtime_error("cannot start " + program);
  }
}

StartedProgram::~StartedProgram() {
  if (!reaped_) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
}

RunResult StartedProgram::wait(std::chrono::milliseconds timeout) {
  RunResult result;
  int wstatus = 0;
  struct rusage usage {};
  for (;;) {
    pid_t done = ::wait4(pid_, &wstatus, WNOHANG, &usage);
    if (done == pid_) {
      break;
    }
    if (std::chrono::steady_clock::now() - start_ > timeout) {
      ::kill(pid_, SIGKILL);
      ::wait4(pid_, &wstatus, 0, &usage);
      result.timedOut = true;
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  reaped_ = true;
  result.elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now() - start_);
  result.maxResidentKiB = usage.ru_maxrss;
  auto toDuration = [](const timeval& t) {
    return std::chrono::seconds(t.tv_sec) + std::chrono::microseconds(t.tv_usec);
  };
  result.cpuTime = std::chrono::duration_cast<std::chrono::milliseconds>(
      toDuration(usage.ru_utime) + toDuration(usage.ru_stime));
  result.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
  result.signal = WIFSIGNALED(wstatus) ? WTERMSIG(wstatus) : 0;
  result.out = readFile(captures_.path() / "out");
  result.err = readFile(captures_.path() / "err");
  return result;
}

RunResult runProgram(const RunOptions& options) {
  return StartedProgram(options).wait(options.timeout);
}

std::string heartbeatFunction() {
  return "beat() { i=0; while [ $i -lt 200 ]; do echo . >> \"$1\"; sleep 0.05; i=$((i+1)); "
         "done; }\n";
}

namespace {

std::uintmax_t sizeOf(const fs::path& file) {
  std::error_code error;
  auto size = fs::file_size(file, error);
  return error ? 0 : size;
}

}  // namespace

bool beatStarted(const fs::path& file) {
  for (int i = 0; i < 500 && sizeOf(file) == 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return sizeOf(file) > 0;
}

bool beatStopped(const fs::path& file) {
  auto before = sizeOf(file);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  return sizeOf(file) == before;
}

std::vector<int> processesWithEnvironmentEntry(const std::string& entry) {
  std::vector<int> found;
  std::error_code error;
  for (const auto& process : fs::directory_iterator("/proc", error)) {
    std::string name = process.path().filename().string();
    if (name.find_first_not_of("0123456789") != std::string::npos) {
      continue;
    }
    // A zombie's environment reads as empty: it holds nothing any more.
    std::string environment = readFile(process.path() / "environ");
    for (size_t at = 0; at < environment.size();) {
      size_t end = environment.find('\0', at);
      if (end == std::string::npos) {
        end = environment.size();
      }
      if (environment.compare(at, end - at, entry) == 0) {
        found.push_back(std::stoi(name));
        break;
      }
      at = end + 1;
    }
  }
  return found;
}

bool noneLeftWith(const std::string& entry) {
  for (int i = 0; i < 200; ++i) {
    if (processesWithEnvironmentEntry(entry).empty()) {
      return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

BusyMachine::BusyMachine() {
  unsigned cores = std::max(1u, std::thread::hardware_concurrency());
  for (unsigned i = 0; i < 2 * cores; ++i) {
    pid_t pid = ::fork();
    if (pid == 0) {
      volatile unsigned long spins = 0;
      for (;;) {
        spins = spins + 1;
      }
    }
    if (pid > 0) {
      spinners_.push_back(pid);
    }
  }
}

BusyMachine::~BusyMachine() {
  for (int pid : spinners_) {
    ::kill(pid, SIGKILL);
  }
  for (int pid : spinners_) {
    ::waitpid(pid, nullptr, 0);
  }
}

fs::path qualityPackExecutable() {
  return QP_EXECUTABLE;
}
fs::path recordingInterpreter() {
  return QP_RECORDING_INTERPRETER;
}

PackFixture::PackFixture(const fs::path& root, const std::string& name) : bundle_(root / name) {
  linkOrCopy(qualityPackExecutable(), executable());
  fs::create_directories(resources());
}

void PackFixture::writeInfoPlist(const std::string& dictBody) {
  writeFile(bundle_ / "Contents/Info.plist",
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
            "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
            "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
            "<plist version=\"1.0\">\n<dict>\n" +
                dictBody + "</dict>\n</plist>\n");
}

void PackFixture::writeStandardInfo(const std::string& version, long long format) {
  writeInfoPlist("<key>CFBundleShortVersionString</key><string>" + version +
                 "</string>\n<key>RuvizuvePackFormat</key><integer>" + std::to_string(format) +
                 "</integer>\n");
}

void PackFixture::writeInterpreterPrinting(const std::string& output, int status) {
  fs::path printed = resources() / "probe-output";
  writeFile(printed, output);
  writeScript(interpreter(),
              "cat '" + printed.string() + "'\nexit " + std::to_string(status) + "\n");
}

void PackFixture::installRecordingInterpreter() {
  linkOrCopy(recordingInterpreter(), interpreter());
}

void PackFixture::writeWeights(const std::string& refsMain, const std::vector<std::string>& files) {
  writeFile(modelDir() / "refs/main", refsMain);
  for (const auto& name : files) {
    writeFile(modelDir() / "snapshots/abc123" / name, "weights");
  }
}

RunResult PackFixture::run(const std::vector<std::string>& options, RunOptions base) const {
  return runExecutable(executable(), options, std::move(base));
}

RunResult PackFixture::runExecutable(const fs::path& executable,
                                     const std::vector<std::string>& options, RunOptions base) {
  base.arguments = {executable.string()};
  base.arguments.insert(base.arguments.end(), options.begin(), options.end());
  return runProgram(base);
}

}  // namespace testing_support
