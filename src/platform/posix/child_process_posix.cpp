// The wait on a child's output, shared by every POSIX system: a blocking read woken by signals
// (see run_signals.h), with what only one system has (how the tree below the child is kept track
// of and ended) behind ChildTree.
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "platform/child_process.h"
#include "platform/posix/child_tree.h"
#include "platform/posix/pipe_tail.h"
#include "platform/posix/run_signals.h"
#include "platform/posix/spawn.h"

extern char** environ;

namespace platform {
namespace {

using posix_impl::ChildTree;
using posix_impl::ProcessEnd;
using posix_impl::RunSignals;
using Clock = std::chrono::steady_clock;

// The size of each read of the child's output: a pipe's worth (see sizeOutputPipe), so that one
// read takes whatever has gathered. Measured against 64 KiB and 1 MiB: see docs/performance.md.
constexpr size_t readChunk = 1 << 18;
// How often a blocked read is interrupted to look at the clock and at what arrived: the longest a
// wake-up that landed just before a read can go unseen.
constexpr std::chrono::milliseconds tickInterval(100);
// How long ending the tree may go without getting anywhere: only a process stuck in the kernel
// takes that long to die, and it must not hold the answer back.
constexpr std::chrono::milliseconds endAllPatience(3000);

// One run's wait, from the exec to the child's exit.
class ChildWait {
 public:
  ChildWait(RunSignals& signals, ChildTree& tree, posix_impl::PipeTail* errorTail,
            const ChildLimits& limits)
      : signals_(signals),
        tree_(tree),
        errorTail_(errorTail),
        limits_(limits),
        runDeadline_(Clock::now() + limits.runLimit) {}

  ChildRun run(int failureFd, int outputFd, const OutputSink& sink) {
    if (awaitExec(failureFd) && readOutput(outputFd, sink)) {
      awaitExit();
    }
    return run_;
  }

 private:
  // Until the exec: true once the program runs. An exec that never completes (a program on a
  // file system that does not answer) is waited on like any other part of the run.
  bool awaitExec(int failureFd) {
    for (;;) {
      if (signals_.takeWake()) {
        lookAfterTree();
        if (stopped()) {
          return false;
        }
        continue;
      }
      int error = 0;
      ssize_t n = ::read(failureFd, &error, sizeof error);
      if (n == 0) {
        return true;
      }
      if (n > 0 || errno != EINTR) {
        run_.outcome = ChildOutcome::NotStarted;
        run_.startError = n == static_cast<ssize_t>(sizeof error) ? error : 0;
        return false;
      }
    }
  }

  // Until end of file: true when it came. A process the child left behind may hold the output
  // open; once the child has exited it gets the drain limit, and the run is over.
  bool readOutput(int outputFd, const OutputSink& sink) {
    std::vector<char> buffer(readChunk);
    for (;;) {
      if (signals_.takeWake()) {
        lookAfterTree();
        if (stopped() || drainRanOut()) {
          return false;
        }
        continue;
      }
      ssize_t n = ::read(outputFd, buffer.data(), buffer.size());
      if (n > 0) {
        sink(std::string_view(buffer.data(), static_cast<size_t>(n)));
      } else if (n == 0) {
        return true;
      } else if (errno != EINTR) {
        run_.outcome = ChildOutcome::Failed;
        return false;
      }
    }
  }

  // After end of file the child may still be running; it gets what is left of the run limit.
  void awaitExit() {
    lookAfterTree();
    while (!ended_) {
      if (stopped()) {
        return;
      }
      signals_.awaitWake();
      lookAfterTree();
    }
    run_.outcome = ChildOutcome::Exited;
  }

  // Whether the run must stop now: a termination signal came, or the run limit ran out.
  bool stopped() {
    if (signals_.termination() != 0) {
      run_.outcome = ChildOutcome::Failed;
      return true;
    }
    if (Clock::now() >= runDeadline_) {
      run_.outcome = ChildOutcome::Failed;
      run_.reachedRunLimit = true;
      return true;
    }
    return false;
  }

  // Whether the child has exited and what was left holding its output had its time.
  bool drainRanOut() {
    if (!drainDeadline_ && ended_) {
      drainDeadline_ = Clock::now() + limits_.drainAfterExit;
    }
    if (!drainDeadline_ || Clock::now() < *drainDeadline_) {
      return false;
    }
    run_.outcome = ChildOutcome::Exited;
    run_.outputCut = true;
    return true;
  }

  // What every wake-up is for, besides the clock: the tree is looked after, the child's end
  // noted once it comes, and its standard error read where it is kept.
  void lookAfterTree() {
    if (errorTail_) {
      errorTail_->drain();
    }
    std::optional<ProcessEnd> end = tree_.look();
    if (end && !ended_) {
      ended_ = true;
      run_.exitStatus = end->exitStatus;
      run_.exitSignal = end->signal;
    }
  }

  RunSignals& signals_;
  ChildTree& tree_;
  posix_impl::PipeTail* errorTail_;
  const ChildLimits& limits_;
  const Clock::time_point runDeadline_;
  std::optional<Clock::time_point> drainDeadline_;
  bool ended_ = false;
  ChildRun run_;
};

class PosixChildProcesses final : public ChildProcesses {
 public:
  std::vector<std::string> environment() const override {
    std::vector<std::string> entries;
    for (char** entry = environ; entry && *entry; ++entry) {
      entries.emplace_back(*entry);
    }
    return entries;
  }

  ChildRun runCapturingOutput(const ChildLaunch& launch, const OutputSink& sink,
                              const ChildLimits& limits) override {
    auto output = posix_impl::makePipe();
    auto failure = posix_impl::makePipe();
    // Without a pipe for standard error (a limit on open files reached), the child writes it to
    // the null device, as when its tail is not kept: the run and its verdict are the same.
    auto errors = launch.keepErrorTail ? posix_impl::makePipe() : std::nullopt;
    if (!output || !failure) {
      return ChildRun{};
    }
    posix_impl::sizeOutputPipe(output->read.get());
    posix_impl::SpawnPlan plan(launch, output->write.get(), failure->write.get());
    plan.errorFd = errors ? errors->write.get() : -1;
    RunSignals signals;
    auto tree = posix_impl::startChildTree(plan);
    // Standard error's pipe is the one thing the run can do without: where it took the last
    // descriptors the start needed, the run starts again without it, as the plain check's does.
    if (!tree && errors && (errno == EMFILE || errno == ENFILE)) {
      errors.reset();
      plan.errorFd = -1;
      tree = posix_impl::startChildTree(plan);
    }
    int startError = errno;
    // Only the child may hold the write ends, or end of file would never come.
    output->write.reset();
    failure->write.reset();
    std::optional<posix_impl::PipeTail> errorTail;
    if (errors) {
      errors->write.reset();
      errorTail.emplace(std::move(errors->read), errorTailBytes);
    }
    ChildRun run;
    if (!tree) {
      // A termination signal that came meanwhile still ends this process.
      if (signals.termination() != 0) {
        signals.endProcessByTermination();
      }
      run.startError = startError;
      return run;
    }
    run.outcome = ChildOutcome::Failed;
    // Without the tick nothing bounds the wait, so nothing is waited for.
    if (signals.startTicking(tickInterval)) {
      run = ChildWait(signals, *tree, errorTail ? &*errorTail : nullptr, limits)
                .run(failure->read.get(), output->read.get(), sink);
    } else {
      run.couldNotWait = true;
    }
    // Whatever ended the run, nothing the child started outlives it.
    tree->endAll(endAllPatience);
    if (errorTail) {
      run.errorTail = errorTail->finish();
    }
    if (signals.termination() != 0) {
      signals.endProcessByTermination();
    }
    return run;
  }
};

}  // namespace

ChildProcesses& systemChildProcesses() {
  static PosixChildProcesses processes;
  return processes;
}

}  // namespace platform
