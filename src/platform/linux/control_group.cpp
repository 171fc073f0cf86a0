#include "platform/linux/control_group.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <charconv>
#include <cstdio>
#include <vector>

#include "platform/files.h"
#include "platform/linux/system_calls.h"
#include "platform/posix/spawn.h"

namespace platform::linux_impl {
namespace {

using posix_impl::Fd;

// Read with the platform's file reader: a file stream would link the C++ streams in, and every
// start of the executable would pay for them.
std::string contentOf(const char* path) {
  return systemFiles().readFile(path).value_or(std::string());
}

std::vector<std::string_view> split(std::string_view text, char separator) {
  std::vector<std::string_view> parts;
  for (size_t at = 0; at <= text.size();) {
    size_t end = text.find(separator, at);
    if (end == std::string_view::npos) {
      end = text.size();
    }
    parts.push_back(text.substr(at, end - at));
    at = end + 1;
  }
  return parts;
}

bool isOctal(std::string_view digits) {
  return digits[0] >= '0' && digits[0] <= '3' && digits[1] >= '0' && digits[1] <= '7' &&
         digits[2] >= '0' && digits[2] <= '7';
}

// mountinfo writes a space, a tab, a line feed and a backslash in a path as an octal escape.
std::string unescaped(std::string_view field) {
  std::string text;
  for (size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && i + 3 < field.size() && isOctal(field.substr(i + 1, 3))) {
      text.push_back(static_cast<char>((field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 +
                                       (field[i + 3] - '0')));
      i += 3;
    } else {
      text.push_back(field[i]);
    }
  }
  return text;
}

// Where `groupPath` lies below a mount of the hierarchy whose root is `root`; none when the
// mount does not show it.
std::optional<std::string> below(const std::string& root, const std::string& mountPoint,
                                 std::string_view groupPath) {
  if (root == "/") {
    return groupPath == "/" ? mountPoint : mountPoint + std::string(groupPath);
  }
  if (groupPath == root) {
    return mountPoint;
  }
  if (groupPath.size() > root.size() && groupPath.substr(0, root.size()) == root &&
      groupPath[root.size()] == '/') {
    return mountPoint + std::string(groupPath.substr(root.size()));
  }
  return std::nullopt;
}

// This process's own group's folder; none where cgroup v2 does not show it.
Fd ownGroupFolder() {
  auto path = unifiedGroupPath(contentOf("/proc/self/cgroup"));
  auto folder = path ? groupFolderIn(contentOf("/proc/self/mountinfo"), *path) : std::nullopt;
  if (!folder) {
    return Fd();
  }
  Fd opened(::open(folder->c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  // Above the standard streams: a caller may have started the pack with them closed, and the
  // keeper puts the null device over them.
  return posix_impl::moveAboveStandardStreams(opened) ? std::move(opened) : Fd();
}

Fd openFolderAt(int parent, const char* name) {
  Fd folder(::openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  return posix_impl::moveAboveStandardStreams(folder) ? std::move(folder) : Fd();
}

// The names of the folders in the folder `parent`.
std::vector<std::string> folderNamesIn(int parent) {
  std::vector<std::string> names;
  int listed = ::openat(parent, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  DIR* dir = listed >= 0 ? ::fdopendir(listed) : nullptr;
  if (!dir) {
    if (listed >= 0) {
      ::close(listed);
    }
    return names;
  }
  while (const dirent* entry = ::readdir(dir)) {
    std::string_view name = entry->d_name;
    if (entry->d_type == DT_DIR && name != "." && name != "..") {
      names.emplace_back(name);
    }
  }
  ::closedir(dir);
  return names;
}

// The name under which the folder `parent` holds the folder `folder`: the same file, not merely
// the same name.
std::optional<std::string> entryNamed(int parent, int folder) {
  struct stat wanted {};
  if (::fstat(folder, &wanted) != 0) {
    return std::nullopt;
  }
  for (const std::string& name : folderNamesIn(parent)) {
    struct stat facts {};
    if (name.rfind(checkGroupPrefix, 0) == 0 &&
        ::fstatat(parent, name.c_str(), &facts, AT_SYMLINK_NOFOLLOW) == 0 &&
        facts.st_dev == wanted.st_dev && facts.st_ino == wanted.st_ino) {
      return name;
    }
  }
  return std::nullopt;
}

bool isEmptyGroup(int folder) {
  Fd events(::openat(folder, "cgroup.events", O_RDONLY | O_CLOEXEC));
  char text[256];
  ssize_t n = events ? ::read(events.get(), text, sizeof text - 1) : -1;
  if (n <= 0) {
    return false;
  }
  for (std::string_view line : split(std::string_view(text, static_cast<size_t>(n)), '\n')) {
    if (line == "populated 0") {
      return true;
    }
  }
  return false;
}

// Removes every group made inside the group `folder`, deepest first (a group with groups inside
// can't be removed); false when one could not be.
bool removeGroupsInside(int folder, int depth = 0) {
  // A tree of groups deeper than this was not made to be removed.
  constexpr int deepest = 64;
  bool removed = true;
  for (const std::string& name : folderNamesIn(folder)) {
    Fd inside = openFolderAt(folder, name.c_str());
    removed = inside && depth < deepest && removeGroupsInside(inside.get(), depth + 1) &&
              ::unlinkat(folder, name.c_str(), AT_REMOVEDIR) == 0 && removed;
  }
  return removed;
}

// Random bits for a group's name, from the kernel where it gives them.
uint64_t randomBits() {
  uint64_t bits = 0;
  Fd source(::open("/dev/urandom", O_RDONLY | O_CLOEXEC));
  if (source && ::read(source.get(), &bits, sizeof bits) == static_cast<ssize_t>(sizeof bits)) {
    return bits;
  }
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<uint64_t>(now.tv_nsec) ^ (static_cast<uint64_t>(now.tv_sec) << 32);
}

}  // namespace

std::optional<std::string> unifiedGroupPath(std::string_view procSelfCgroup) {
  for (std::string_view line : split(procSelfCgroup, '\n')) {
    // "0::/user.slice/..." : hierarchy 0, no controllers, the path. A group that was removed
    // while this process is in it reads " (deleted)" after its path: nothing can be made there.
    if (line.substr(0, 3) == "0::" && line.size() > 3 && line[3] == '/' &&
        line.find(" (deleted)") == std::string_view::npos) {
      return std::string(line.substr(3));
    }
  }
  return std::nullopt;
}

std::optional<std::string> groupFolderIn(std::string_view mountInfo, std::string_view groupPath) {
  for (std::string_view line : split(mountInfo, '\n')) {
    auto fields = split(line, ' ');
    // ID PARENT MAJOR:MINOR ROOT MOUNT-POINT OPTIONS [OPTIONAL...] - TYPE SOURCE SUPER-OPTIONS
    size_t dash = 6;
    while (dash < fields.size() && fields[dash] != "-") {
      ++dash;
    }
    if (dash + 1 >= fields.size() || fields[dash + 1] != "cgroup2") {
      continue;
    }
    if (auto folder = below(unescaped(fields[3]), unescaped(fields[4]), groupPath)) {
      return folder;
    }
  }
  return std::nullopt;
}

std::string checkGroupName(pid_t keeper, uint64_t random) {
  char text[64];
  std::snprintf(text, sizeof text, "%s%d-%016llx", checkGroupPrefix, static_cast<int>(keeper),
                static_cast<unsigned long long>(random));
  return text;
}

std::optional<ControlGroup> ControlGroup::create() {
  Fd parent = ownGroupFolder();
  if (!parent) {
    return std::nullopt;
  }
  removeLeftGroups(parent.get(), leftGroupAge);
  std::string name = checkGroupName(currentPid(), randomBits());
  if (::mkdirat(parent.get(), name.c_str(), 0755) != 0) {
    return std::nullopt;
  }
  Fd folder = openFolderAt(parent.get(), name.c_str());
  // Without cgroup.kill (before Linux 5.14) the group could not end what is in it at once: the
  // other ways do the work then, and the group is not kept.
  if (!folder || ::faccessat(folder.get(), "cgroup.kill", W_OK, 0) != 0) {
    ::unlinkat(parent.get(), name.c_str(), AT_REMOVEDIR);
    return std::nullopt;
  }
  return ControlGroup(std::move(parent), std::move(name), std::move(folder));
}

std::optional<ControlGroup> ControlGroup::adopt(Fd folder) {
  Fd parent = ownGroupFolder();
  std::optional<std::string> name =
      parent && folder ? entryNamed(parent.get(), folder.get()) : std::nullopt;
  if (!name) {
    return std::nullopt;
  }
  return ControlGroup(std::move(parent), std::move(*name), std::move(folder));
}

bool ControlGroup::killAll() const {
  Fd kill(::openat(folder_.get(), "cgroup.kill", O_WRONLY | O_CLOEXEC));
  return kill && ::write(kill.get(), "1", 1) == 1;
}

bool ControlGroup::isEmpty() const {
  return isEmptyGroup(folder_.get());
}

std::vector<pid_t> ControlGroup::processes() const {
  Fd procs(::openat(folder_.get(), "cgroup.procs", O_RDONLY | O_CLOEXEC));
  std::string text;
  char buffer[4096];
  for (ssize_t n; procs && (n = ::read(procs.get(), buffer, sizeof buffer)) > 0;) {
    text.append(buffer, static_cast<size_t>(n));
  }
  std::vector<pid_t> pids;
  for (std::string_view line : split(text, '\n')) {
    pid_t pid = 0;
    auto [end, error] = std::from_chars(line.data(), line.data() + line.size(), pid);
    if (error == std::errc() && end == line.data() + line.size() && pid > 0) {
      pids.push_back(pid);
    }
  }
  return pids;
}

bool ControlGroup::remove() const {
  // The name is the group's only while it still leads to this folder.
  if (entryNamed(parent_.get(), folder_.get()) != name_) {
    return false;
  }
  return removeGroupsInside(folder_.get()) &&
         ::unlinkat(parent_.get(), name_.c_str(), AT_REMOVEDIR) == 0;
}

void removeLeftGroups(int parent, std::chrono::seconds age) {
  const auto now = std::chrono::system_clock::now();
  for (const std::string& name : folderNamesIn(parent)) {
    if (name.rfind(checkGroupPrefix, 0) != 0) {
      continue;
    }
    Fd folder = openFolderAt(parent, name.c_str());
    struct stat facts {};
    if (!folder || ::fstat(folder.get(), &facts) != 0 || !isEmptyGroup(folder.get())) {
      continue;
    }
    auto made = std::chrono::system_clock::time_point(std::chrono::seconds(facts.st_mtim.tv_sec));
    if (now - made >= age && removeGroupsInside(folder.get())) {
      ::unlinkat(parent, name.c_str(), AT_REMOVEDIR);
    }
  }
}

}  // namespace platform::linux_impl
