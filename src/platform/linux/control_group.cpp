#include "platform/linux/control_group.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <charconv>
#include <vector>

#include "platform/files.h"

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

std::optional<std::string> ownGroupFolder() {
  auto path = unifiedGroupPath(contentOf("/proc/self/cgroup"));
  if (!path) {
    return std::nullopt;
  }
  return groupFolderIn(contentOf("/proc/self/mountinfo"), *path);
}

Fd openFolder(const std::string& path) {
  return Fd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
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

std::string keeperGroupName(pid_t keeper) {
  return "quality-pack-check-" + std::to_string(keeper);
}

std::optional<ControlGroup> ControlGroup::create(const std::string& name) {
  auto own = ownGroupFolder();
  if (!own) {
    return std::nullopt;
  }
  std::string path = *own + "/" + name;
  if (::mkdir(path.c_str(), 0755) != 0) {
    return std::nullopt;
  }
  Fd folder = openFolder(path);
  // Without cgroup.kill (before Linux 5.14) the group could not end what is in it at once: the
  // walk of the process tree does the work then, and the group is not kept.
  if (!folder || ::faccessat(folder.get(), "cgroup.kill", W_OK, 0) != 0) {
    ::rmdir(path.c_str());
    return std::nullopt;
  }
  return ControlGroup(std::move(path), std::move(folder));
}

std::optional<ControlGroup> ControlGroup::open(const std::string& name) {
  auto own = ownGroupFolder();
  if (!own) {
    return std::nullopt;
  }
  std::string path = *own + "/" + name;
  Fd folder = openFolder(path);
  if (!folder) {
    return std::nullopt;
  }
  return ControlGroup(std::move(path), std::move(folder));
}

bool ControlGroup::killAll() const {
  Fd kill(::openat(folder_.get(), "cgroup.kill", O_WRONLY | O_CLOEXEC));
  return kill && ::write(kill.get(), "1", 1) == 1;
}

bool ControlGroup::isEmpty() const {
  Fd events(::openat(folder_.get(), "cgroup.events", O_RDONLY | O_CLOEXEC));
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
  return ::rmdir(path_.c_str()) == 0;
}

}  // namespace platform::linux_impl
