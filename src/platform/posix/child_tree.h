#pragma once

#include <chrono>
#include <memory>
#include <optional>

#include "platform/posix/spawn.h"

namespace platform::posix_impl {

// The started program and every process it starts, kept track of in the way the system allows,
// for the shared wait loop: it looks after the tree on every wake-up, and at the end, whatever
// ended the run, has them all ended.
class ChildTree {
 public:
  virtual ~ChildTree() = default;
  // Looks after the tree (where the system needs it watched while it runs) and tells how the
  // program ended, or none while it runs. Called on every wake-up, a tick at least.
  virtual std::optional<ProcessEnd> look() = 0;
  // Ends the program and every process below it and reaps them. Gives up once `patience` has
  // passed without getting anywhere: on a process that will not die (one stuck in the kernel).
  virtual void endAll(std::chrono::milliseconds patience) = 0;
};

// Per system: starts the program `plan` describes; none when no process could be made. Whether
// the program itself could be run comes back on the plan's failure pipe.
std::unique_ptr<ChildTree> startChildTree(const SpawnPlan& plan);

}  // namespace platform::posix_impl
