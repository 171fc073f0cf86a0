#include "platform/linux/control_group.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>

namespace {

std::string readText(const std::string& path) {
  std::ifstream file(path);
  return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

using platform::linux_impl::groupFolderIn;
using platform::linux_impl::removeLeftGroups;
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

// Empty groups that earlier checks left behind (a keeper killed while the kernel held a process of
// its tree) are removed by a later check once they are old enough; a group with a process in it,
// a recent one, or one of another name is not.
TEST(ControlGroupLeftovers, OnlyOldEmptyGroupsOfChecksAreRemoved) {
  auto path = unifiedGroupPath(readText("/proc/self/cgroup"));
  auto own = path ? groupFolderIn(readText("/proc/self/mountinfo"), *path) : std::nullopt;
  if (::geteuid() != 0 || !own || ::access(own->c_str(), W_OK) != 0) {
    GTEST_SKIP() << "no control group can be made here";
  }
  const std::string folder = *own + "/qp-test-left-" + std::to_string(::getpid());
  const std::string empty = folder + "/quality-pack-check-1-00000000000000aa";
  const std::string nested = folder + "/quality-pack-check-2-00000000000000bb";
  const std::string busy = folder + "/quality-pack-check-3-00000000000000cc";
  const std::string other = folder + "/another-group";
  for (const std::string& group : {folder, empty, nested, nested + "/inner", busy, other}) {
    ASSERT_EQ(::mkdir(group.c_str(), 0755), 0) << group;
  }
  pid_t sleeper = ::fork();
  if (sleeper == 0) {
    std::string pid = std::to_string(::getpid());
    int procs = ::open((busy + "/cgroup.procs").c_str(), O_WRONLY);
    if (procs < 0 || ::write(procs, pid.data(), pid.size()) < 0) {
      ::_exit(1);
    }
    ::pause();
    ::_exit(0);
  }
  while (readText(busy + "/cgroup.events").find("populated 1") == std::string::npos &&
         ::waitpid(sleeper, nullptr, WNOHANG) == 0) {
    ::usleep(1000);
  }
  int parent = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  auto exists = [](const std::string& group) { return ::access(group.c_str(), F_OK) == 0; };

  removeLeftGroups(parent, std::chrono::seconds(60));
  EXPECT_TRUE(exists(empty)) << "made a moment ago";
  EXPECT_TRUE(exists(nested));

  removeLeftGroups(parent, std::chrono::seconds(0));
  EXPECT_FALSE(exists(empty));
  EXPECT_FALSE(exists(nested)) << "with the group made inside it";
  EXPECT_TRUE(exists(busy)) << "a process is in it";
  EXPECT_TRUE(exists(other)) << "no check's";

  ::close(parent);
  ::kill(sleeper, SIGKILL);
  ::waitpid(sleeper, nullptr, 0);
  for (const std::string& group : {empty, nested + "/inner", nested, busy, other, folder}) {
    for (int i = 0; i < 1000 && exists(group) && ::rmdir(group.c_str()) != 0; ++i) {
      ::usleep(1000);
    }
  }
}

}  // namespace
