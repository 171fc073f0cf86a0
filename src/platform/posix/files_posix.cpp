#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>

#include "platform/files.h"
#include "platform/posix/fd.h"
#include "platform/posix/folder_walk.h"

namespace platform {
namespace {

// A path with a NUL byte in it names nothing: handing it to the system would cut it short and
// test some other file.
bool isUsablePath(const std::string& path) {
  return !path.empty() && path.find('\0') == std::string::npos;
}

// Whether users other than the owner and its group are kept out: the host may run as one.
bool isClosedToOthers(const struct stat& info) {
  mode_t mode = info.st_mode;
  if (S_ISDIR(mode)) {
    return (mode & (S_IROTH | S_IXOTH)) != (S_IROTH | S_IXOTH);
  }
  return S_ISREG(mode) && ((mode & S_IROTH) == 0 || ((mode & S_IXUSR) && !(mode & S_IXOTH)));
}

class LinuxFiles final : public Files {
 public:
  bool isExecutableFile(const std::string& path) const override {
    if (!isUsablePath(path)) {
      return false;
    }
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && !S_ISDIR(info.st_mode) &&
           ::faccessat(AT_FDCWD, path.c_str(), X_OK, AT_EACCESS) == 0;
  }

  bool fileExists(const std::string& path) const override {
    struct stat info {};
    return isUsablePath(path) && ::stat(path.c_str(), &info) == 0;
  }

  std::optional<std::string> readFile(const std::string& path) const override {
    return readRegular(path, maxReadableFileBytes, true);
  }

  std::optional<std::string> readStart(const std::string& path, size_t bytes) const override {
    return readRegular(path, bytes, false);
  }

  FileFacts inspect(const std::string& path) const override {
    FileFacts facts;
    struct stat info {};
    if (!isUsablePath(path)) {
      return facts;
    }
    if (::lstat(path.c_str(), &info) != 0) {
      facts.error = errno;
      return facts;
    }
    facts.isLink = S_ISLNK(info.st_mode);
    if (facts.isLink) {
      facts.linkTarget = linkText(path);
    }
    if (::stat(path.c_str(), &info) != 0) {
      facts.error = errno;
      facts.kind = FileFacts::Kind::DanglingLink;
      return facts;
    }
    facts.kind = S_ISREG(info.st_mode)   ? FileFacts::Kind::Regular
                 : S_ISDIR(info.st_mode) ? FileFacts::Kind::Directory
                                         : FileFacts::Kind::Other;
    facts.size = S_ISREG(info.st_mode) ? static_cast<std::uint64_t>(info.st_size) : 0;
    int access = S_ISDIR(info.st_mode) ? R_OK | X_OK : R_OK;
    facts.readable = ::faccessat(AT_FDCWD, path.c_str(), access, AT_EACCESS) == 0;
    if (char* real = ::realpath(path.c_str(), nullptr)) {
      facts.realPath = real;
      std::free(real);
    }
    return facts;
  }

  std::vector<std::string> namesIn(const std::string& path) const override {
    std::vector<std::string> names;
    if (DIR* dir = isUsablePath(path) ? ::opendir(path.c_str()) : nullptr) {
      while (const dirent* entry = ::readdir(dir)) {
        std::string name = entry->d_name;
        if (name != "." && name != "..") {
          names.push_back(std::move(name));
        }
      }
      ::closedir(dir);
    }
    std::sort(names.begin(), names.end());
    return names;
  }

  LinkWalk linksUnder(const std::string& folder, size_t maxEntries) const override {
    LinkWalk walk;
    struct stat top {};
    if (isUsablePath(folder)) {
      if (::stat(folder.c_str(), &top) == 0 && isClosedToOthers(top)) {
        walk.closed.push_back(folder);
      }
      walk.cut = posix_impl::walkFolder(folder, maxEntries,
                                        [&](const std::string& path, const struct stat& info) {
                                          if (S_ISLNK(info.st_mode)) {
                                            walk.links.push_back(path);
                                          } else if (isClosedToOthers(info)) {
                                            walk.closed.push_back(path);
                                          }
                                        });
    }
    std::sort(walk.links.begin(), walk.links.end());
    std::sort(walk.closed.begin(), walk.closed.end());
    return walk;
  }

 private:
  static std::string linkText(const std::string& path) {
    std::string target(4096, '\0');
    ssize_t n = ::readlink(path.c_str(), target.data(), target.size());
    target.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return target;
  }

  // A regular file's content up to `limit` bytes; with `refuseLarger`, none for a larger file.
  static std::optional<std::string> readRegular(const std::string& path, size_t limit,
                                                bool refuseLarger) {
    if (!isUsablePath(path)) {
      return std::nullopt;
    }
    // Non-blocking, so that opening a FIFO does not wait for a writer.
    posix_impl::Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    struct stat info {};
    if (!fd || ::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode) ||
        (refuseLarger && static_cast<size_t>(info.st_size) > limit)) {
      return std::nullopt;
    }
    // The cap holds for what is read too, in case the file grows meanwhile.
    std::string content;
    content.reserve(std::min(static_cast<size_t>(info.st_size), limit));
    char buffer[16384];
    for (;;) {
      size_t wanted =
          refuseLarger ? sizeof buffer : std::min(sizeof buffer, limit - content.size());
      ssize_t n = wanted == 0 ? 0 : ::read(fd.get(), buffer, wanted);
      if (n > 0 && content.size() + static_cast<size_t>(n) <= limit) {
        content.append(buffer, static_cast<size_t>(n));
      } else if (n == 0) {
        return content;
      } else if (n > 0 || errno != EINTR) {
        return std::nullopt;
      }
    }
  }
};

}  // namespace

Files& systemFiles() {
  static LinuxFiles files;
  return files;
}

}  // namespace platform
