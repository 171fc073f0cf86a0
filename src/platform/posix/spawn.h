#pragma once

#include <signal.h>
#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

#include "platform/child_process.h"
#include "platform/posix/fd.h"

namespace platform::posix_impl {

// Moves `fd` above the standard streams. When the executable was started with 0, 1 or 2 closed,
// a new descriptor lands there, and the child's redirections would then clobber or shadow it.
bool moveAboveStandardStreams(Fd& fd);

struct Pipe {
  Fd read;
  Fd write;
};

// A pipe whose ends are closed on exec and lie above the standard streams.
std::optional<Pipe> makePipe();

// Everything a new child needs to become the program, made before the fork: between fork and
// exec the child may only make async-signal-safe calls, so it allocates nothing and takes no
// lock.
struct SpawnPlan {
  SpawnPlan(const ChildLaunch& launch, int output, int failure);

  std::string program;
  std::vector<std::string> argv;
  std::vector<std::string> envp;
  std::vector<char*> argvPointers;
  std::vector<char*> envpPointers;
  int outputFd;
  int errorFd = -1;      // standard error; the null device when none
  int failureFd;         // where the child writes errno when it can't become the program
  bool ownProcessGroup;  // whether the program starts in a process group of its own
  sigset_t callerIgnored;
  sigset_t callerBlocked;
  int highestFd;  // where a loop that closes descriptors may stop
};

// Runs in a new child, between fork and exec: standard output onto the pipe, standard error onto
// its pipe or the null device, standard input as it is, nothing else open, the caller's signal
// state, then the program. Ends the child when `expectedParent` is gone already or the program
// can't run.
[[noreturn]] void becomeProgram(const SpawnPlan& plan, pid_t expectedParent);

// Reports errno on the failure pipe and ends the child.
[[noreturn]] void failInChild(const SpawnPlan& plan);

// How a process ended, as waitid reports it.
struct ProcessEnd {
  std::optional<int> exitStatus;
  int signal = 0;
};

// What a waitid report with this si_code and si_status says: an end only for an exit
// (CLD_EXITED) or a death by a signal (CLD_KILLED, CLD_DUMPED). Any other code (a stop, a
// continue, a trace trap, which some systems report without being asked) is a process that
// still runs.
std::optional<ProcessEnd> processEndOf(int code, int status);

// Whether `pid`, a child of this process, has ended; it is left unreaped, so that its pid (and
// the process group named after it) can't be taken by another process yet.
std::optional<ProcessEnd> endedChild(pid_t pid);

// Reaps `pid`, a child of this process; false when it has not ended.
bool reapChild(pid_t pid, bool wait);

// Per system: whether the program starts in a process group of its own, ended with it.
bool programGetsOwnGroup();
// Per system, where the child becomes the program through becomeProgram: what it does first
// (a parent-death signal, where the system has one).
void prepareChildForExec(const SpawnPlan& plan, pid_t expectedParent);
// Per system, where the child becomes the program through becomeProgram: leaves no descriptor
// above the standard streams open across the exec but the failure report's pipe (close-on-exec).
void closeInheritedDescriptorsOnExec(const SpawnPlan& plan);
// Per system: the pipe buffer the output is read through, where it can be chosen.
void sizeOutputPipe(int readFd);
// Per system: drops up to `bytes` bytes from the pipe `readFd` without reading them, where the
// system can; how many it dropped (0 where it can't).
size_t discardFromPipe(int readFd, size_t bytes);
// Per system: where the system can, the waiting thread is woken (as by the tick) as soon as
// `readFd` has something to read.
void wakeOnInput(int readFd);

}  // namespace platform::posix_impl
