#pragma once

#include <signal.h>
#include <sys/types.h>

#include <vector>

#include "platform/posix/spawn.h"

namespace platform::macos_impl {

// The posix_spawn flags the program is started with, valued as Apple's sys/spawn.h defines
// them (this logic is built where that header is not).
inline constexpr short spawnSetProcessGroup = 0x0002;     // POSIX_SPAWN_SETPGROUP
inline constexpr short spawnSetSignalDefaults = 0x0004;   // POSIX_SPAWN_SETSIGDEF
inline constexpr short spawnSetSignalMask = 0x0008;       // POSIX_SPAWN_SETSIGMASK
inline constexpr short spawnSetExec = 0x0040;             // POSIX_SPAWN_SETEXEC
inline constexpr short spawnCloseOnExecDefault = 0x4000;  // POSIX_SPAWN_CLOEXEC_DEFAULT

// One file action of the spawn, done in order.
struct SpawnFileAction {
  enum class Kind {
    Inherit,         // `fd` stays open as it is (posix_spawn_file_actions_addinherit_np)
    Duplicate,       // `fd` is duplicated onto `target` (posix_spawn_file_actions_adddup2)
    OpenNullDevice,  // the null device is opened for writing as `target`
  };
  Kind kind;
  int fd;
  int target;
  bool operator==(const SpawnFileAction&) const = default;
};

// How the child of the fork becomes the program: by posix_spawn acting as exec
// (POSIX_SPAWN_SETEXEC), so that one call gives the program its streams and signal state and
// closes every other descriptor (POSIX_SPAWN_CLOEXEC_DEFAULT: whatever the file actions do not
// name), however high the descriptors go.
struct SpawnRequest {
  short flags = 0;
  sigset_t mask{};         // the program's signal mask: the caller's (POSIX_SPAWN_SETSIGMASK)
  sigset_t defaults{};     // the signals at their default action (POSIX_SPAWN_SETSIGDEF)
  pid_t processGroup = 0;  // with POSIX_SPAWN_SETPGROUP: 0, a group named after the program
  std::vector<SpawnFileAction> fileActions;
};

// The request for `plan`: standard input as it is (where it is open at all), standard output
// onto the plan's pipe, standard error onto its pipe or the null device; the caller's signal
// mask; every signal the caller did not ignore at its default (SIGPIPE and SIGXFSZ, which this
// process ignores for itself, included); a process group of its own where the plan asks for one.
// What the caller ignored stays ignored only if the child ignores it when it spawns: exec keeps
// ignored signals ignored, and posix_spawn has no attribute that ignores one.
SpawnRequest spawnRequestFor(const posix_impl::SpawnPlan& plan, bool standardInputOpen);

// Ignores each of `signals` in this process. For the child of the fork, just before it spawns:
// only async-signal-safe calls.
void ignoreSignals(const sigset_t& signals);

}  // namespace platform::macos_impl
