#pragma once

#include <sys/types.h>

#include <chrono>
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
class ControlGroup {
 public:
  // A new group named `name` below this process's own; none where it can't be made or lacks
  // cgroup.kill (the folder is removed again then).
  static std::optional<ControlGroup> create(const std::string& name);
  // The group of that name below this process's own, as another process of the same group made
  // it: for ending what is in it when its maker could not.
  static std::optional<ControlGroup> open(const std::string& name);

  ControlGroup(ControlGroup&&) = default;
  ControlGroup& operator=(ControlGroup&&) = default;

  // The group's folder, for starting a process inside it (CLONE_INTO_CGROUP).
  int folder() const { return folder_.get(); }
  // Sends SIGKILL to every process in the group, as one act of the kernel.
  bool killAll() const;
  // Whether no process is left in the group (its cgroup.events says "populated 0").
  bool isEmpty() const;
  // The processes in the group, as this process's PID namespace numbers them.
  std::vector<pid_t> processes() const;
  // Removes the group's folder; false while a process is still in it.
  bool remove() const;

 private:
  ControlGroup(std::string path, posix_impl::Fd folder)
      : path_(std::move(path)), folder_(std::move(folder)) {}

  std::string path_;
  posix_impl::Fd folder_;
};

// The name the keeper with pid `keeper` gives its group.
std::string keeperGroupName(pid_t keeper);

// This process's group in the unified (v2) hierarchy, as /proc/self/cgroup gives it ("0::PATH");
// none where it names none.
std::optional<std::string> unifiedGroupPath(std::string_view procSelfCgroup);
// Where the group at `groupPath` lies in the file system, from a /proc/self/mountinfo text: below
// the cgroup2 mount whose root holds it; none where no mount shows it.
std::optional<std::string> groupFolderIn(std::string_view mountInfo, std::string_view groupPath);

}  // namespace platform::linux_impl
