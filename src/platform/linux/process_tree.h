#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string_view>
#include <vector>

namespace platform::linux_impl {

// Whether /proc describes this process's own PID namespace. Mounted over, or left from another
// namespace (after `unshare --pid` without a new /proc), its pids name other processes here,
// and signalling one of them could end an unrelated process.
bool procIsOurs();

// The parent in the text of /proc/PID/stat; none when the text is not one. The command name in
// it may hold spaces and parentheses, so the fields are read after its last ')'.
std::optional<pid_t> parentInStat(std::string_view stat);

// The children of `pid`: from the kernel's lists where it keeps them, else from every process's
// parent.
std::vector<pid_t> childrenOf(pid_t pid);

// Ends every process below this one: stops them top-down, so that none forks while the tree is
// walked, kills them with SIGKILL and reaps them, round after round as the orphans of each
// round come back to this process (its subreaper), until none is left. Gives up at `deadline` on
// a process that will not die (one stuck in the kernel); false then.
bool endAllDescendants(std::chrono::steady_clock::time_point deadline);

}  // namespace platform::linux_impl
