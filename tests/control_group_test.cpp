#include "platform/linux/control_group.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace {

using platform::linux_impl::groupFolderIn;
using platform::linux_impl::unifiedGroupPath;

// The process's place in the unified hierarchy is the line of hierarchy 0; a hybrid system lists
// the old hierarchies beside it, and a group removed under the process has none to build on.
TEST(ControlGroupPlace, IsTheUnifiedHierarchysLine) {
  struct Case {
    const char* name;
    const char* cgroup;
    std::optional<std::string> path;
  };
  const Case cases[] = {
      {"unified only", "0::/user.slice/user-1000.slice/session-2.scope\n",
       "/user.slice/user-1000.slice/session-2.scope"},
      {"hybrid", "12:pids:/\n1:name=systemd:/x\n0::/system.slice/host.service\n",
       "/system.slice/host.service"},
      {"the root", "0::/\n", "/"},
      {"the old hierarchies only", "4:memory:/a\n1:name=systemd:/a\n", std::nullopt},
      {"a removed group", "0::/gone (deleted)\n", std::nullopt},
      {"nothing", "", std::nullopt},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(unifiedGroupPath(c.cgroup), c.path) << c.name;
  }
}

// The group's folder lies below the cgroup2 mount that shows it, wherever that is mounted and
// whatever part of the hierarchy it shows.
TEST(ControlGroupPlace, TheFolderIsBelowTheMountThatShowsTheGroup) {
  const std::string other = "24 1 0:22 / /proc rw,nosuid - proc proc rw\n";
  struct Case {
    const char* name;
    std::string mountInfo;
    const char* path;
    std::optional<std::string> folder;
  };
  const Case cases[] = {
      {"mounted whole at /sys/fs/cgroup",
       other + "30 24 0:26 / /sys/fs/cgroup rw,nosuid shared:9 - cgroup2 cgroup2 rw\n",
       "/user.slice/app.scope", "/sys/fs/cgroup/user.slice/app.scope"},
      {"hybrid, at /sys/fs/cgroup/unified",
       other + "31 30 0:27 / /sys/fs/cgroup/unified rw - cgroup2 cgroup2 rw\n"
               "32 30 0:28 / /sys/fs/cgroup/pids rw - cgroup cgroup rw,pids\n",
       "/", "/sys/fs/cgroup/unified"},
      {"a mount that shows only part of the hierarchy",
       "40 1 0:26 /system.slice /mnt/groups rw - cgroup2 cgroup2 rw\n",
       "/system.slice/host.service", "/mnt/groups/host.service"},
      {"a mount of another part of the hierarchy",
       "40 1 0:26 /other /mnt/groups rw - cgroup2 none rw\n", "/system.slice/host.service",
       std::nullopt},
      {"a path that only begins like the mount's root",
       "40 1 0:26 /system /mnt/groups rw - cgroup2 none rw\n", "/system.slice", std::nullopt},
      {"a mount point with a space in it", "40 1 0:26 / /mnt/my\\040groups rw - cgroup2 none rw\n",
       "/a", "/mnt/my groups/a"},
      {"a mount point with a backslash and a line feed in it",
       "40 1 0:26 / /mnt/a\\134b\\012c rw - cgroup2 none rw\n", "/a", "/mnt/a\\b\nc/a"},
      {"no cgroup2 mount", other + "32 30 0:28 / /sys/fs/cgroup/pids rw - cgroup cgroup rw\n", "/",
       std::nullopt},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(groupFolderIn(c.mountInfo, c.path), c.folder) << c.name;
  }
}

}  // namespace
