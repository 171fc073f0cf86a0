#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

struct ChildLaunch {
  std::string program;                   // started by its location; no search path
  std::vector<std::string> arguments;    // after the program name
  std::vector<std::string> environment;  // complete, as "NAME=value" entries
  // Keep the end of what the child writes to standard error, rather than send it to the null
  // device: for a person looking into a failed run.
  bool keepErrorTail = false;
};

// How much of standard error is kept when asked: the last lines of a failure, not a log.
inline constexpr size_t errorTailBytes = 2048;

struct ChildLimits {
  // How long the child may run, counted from its start in wall-clock time (time this process
  // spends stopped counts too), before it is killed.
  std::chrono::milliseconds runLimit = std::chrono::seconds(120);
  // How long end of file is awaited once the child has exited: a process it left behind
  // may still hold its standard output open.
  std::chrono::milliseconds drainAfterExit = std::chrono::seconds(2);
};

enum class ChildOutcome {
  NotStarted,  // the program could not be started
  Exited,      // the child exited; its output was read to the end or to the drain limit
  Failed,      // the child overran its run limit or its output could not be read; it was killed
};

// What became of one run, beyond its outcome: what a person looking into a failed run wants.
struct ChildRun {
  ChildOutcome outcome = ChildOutcome::NotStarted;
  int startError = 0;             // errno of a program that could not be started, when known
  std::optional<int> exitStatus;  // the status it exited with, when it exited by itself
  int exitSignal = 0;             // the signal that ended it, when one did
  bool reachedRunLimit = false;   // it was killed at the run limit
  bool outputCut = false;         // a process it left behind held the output past the drain limit
  bool couldNotWait = false;      // it was started, but the system gave nothing to bound the wait
  std::string errorTail;          // the last errorTailBytes of standard error, when asked for
};

using OutputSink = std::function<void(std::string_view)>;

class ChildProcesses {
 public:
  virtual ~ChildProcesses() = default;
  // The calling process's environment, as "NAME=value" entries.
  virtual std::vector<std::string> environment() const = 0;
  // Starts the child with standard output on a pipe, standard error on the null device (or a
  // second pipe, when its tail is to be kept) and standard input inherited, hands every chunk of
  // its output to `sink` as it arrives, and returns once the child, and every process it started,
  // has been ended and reaped. The child starts with the signal dispositions and mask this process
  // was started with. Processes this process had started before are left alone. A termination
  // signal (SIGTERM, SIGINT, SIGHUP) that the caller neither ignored nor blocked ends the child and
  // all it started, then this process, by that signal: the call does not return.
  virtual ChildRun runCapturingOutput(const ChildLaunch& launch, const OutputSink& sink,
                                      const ChildLimits& limits) = 0;
};

ChildProcesses& systemChildProcesses();

}  // namespace platform
