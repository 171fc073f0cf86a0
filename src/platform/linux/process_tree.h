#pragma once

#include <chrono>

namespace platform::linux_impl {

// Makes this process the one that orphans below it are handed to, instead of init, so that a
// process the child started and left behind, detached or not, can still be found and ended.
void adoptOrphanedDescendants();

// Kills every process below this one with SIGKILL and reaps them, level by level as the orphans
// of each level come back to this process. Gives up at `deadline` on a process that will not die
// (one stuck in the kernel, say); false then.
bool endAllDescendants(std::chrono::steady_clock::time_point deadline);

}  // namespace platform::linux_impl
