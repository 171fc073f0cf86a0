#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/posix/fd.h"

namespace platform::linux_impl {

// A control group of cgroup v2, made below this process's own group, that the check's program is
// started in: the kernel keeps every process it starts there, however it forks or detaches, and
// ends them all at once (cgroup.kill). Made only where the system offers all of it (cgroup v2
// mounted, the rights to make a group below one's own, a kernel with cgroup.kill); elsewhere
// nothing is made and nothing written.
//
// A group is known by the descriptor of its folder, never looked up by its name later: a name can
// be taken by another group meanwhile, and ending that one would end processes not the pack's.
class ControlGroup {
 public:
  // A new group below this process's own, under a name no other check's can have; none where it
  // can't be made or lacks cgroup.kill (the folder is removed again then). Empty groups that
  // earlier checks left behind (their keepers killed while the kernel still held a process) are
  // removed first.
  static std::optional<ControlGroup> create();
  // The group whose folder `folder` is, as the keeper made it and handed its folder over: for
  // ending what is in it when the keeper could not. None when it is no group below this process's
  // own.
  static std::optional<ControlGroup> adopt(posix_impl::Fd folder);

  ControlGroup(ControlGroup&&) = default;
  ControlGroup& operator=(ControlGroup&&) = default;

  // The group's folder, for starting a process inside it (CLONE_INTO_CGROUP).
  int folder() const { return folder_.get(); }
  // The folder of the group it lies in.
  int parent() const { return parent_.get(); }
  // Sends SIGKILL to every process in the group and in the groups made inside it, as one act of
  // the kernel.
  bool killAll() const;
  // Whether no process is left in the group or below it (its cgroup.events says "populated 0").
  bool isEmpty() const;
  // The processes in the group, as this process's PID namespace numbers them.
  std::vector<pid_t> processes() const;
  // Removes the groups made inside this one, deepest first, then this one's folder, while it is
  // still the folder this object was made for; false while a process is still in any of them.
  bool remove() const;

 private:
  ControlGroup(posix_impl::Fd parent, std::string name, posix_impl::Fd folder)
      : parent_(std::move(parent)), name_(std::move(name)), folder_(std::move(folder)) {}

  posix_impl::Fd parent_;
  std::string name_;
  posix_impl::Fd folder_;
};

// What a check's group is named: the prefix, then the keeper's pid and a random part, so that
// two checks in different PID namespaces of one group, whose keepers may share a pid, never meet.
inline constexpr const char* checkGroupPrefix = "quality-pack-check-";
std::string checkGroupName(pid_t keeper, uint64_t random);

// How old an empty group a check left behind must be before another check removes it: a running
// check's own group is empty only for a moment, before its program is started in it and after it
// has ended.
inline constexpr std::chrono::seconds leftGroupAge(60);
// Removes, in the folder `parent`, every check's group that is empty and was made `age` ago or
// longer.
void removeLeftGroups(int parent, std::chrono::seconds age);

// This process's group in the unified (v2) hierarchy, as /proc/self/cgroup gives it ("0::PATH");
// none where it names none.
std::optional<std::string> unifiedGroupPath(std::string_view procSelfCgroup);
// Where the group at `groupPath` lies in the file system, from a /proc/self/mountinfo text: below
// the cgroup2 mount whose root holds it; none where no mount shows it.
std::optional<std::string> groupFolderIn(std::string_view mountInfo, std::string_view groupPath);

}  // namespace platform::linux_impl
