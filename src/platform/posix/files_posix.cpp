#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>

#include "platform/files.h"
#include "platform/posix/fd.h"

namespace platform {
namespace {

// A path with a NUL byte in it names nothing: handing it to the system would cut it short and
// test some other file.
bool isUsablePath(const std::string& path) {
  return !path.empty() && path.find('\0') == std::string::npos;
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
    if (!isUsablePath(path)) {
      return std::nullopt;
    }
    // Non-blocking, so that opening a FIFO does not wait for a writer.
    posix_impl::Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    struct stat info {};
    if (!fd || ::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode) ||
        static_cast<size_t>(info.st_size) > maxReadableFileBytes) {
      return std::nullopt;
    }
    // The cap holds for what is read too, in case the file grows meanwhile.
    std::string content;
    content.reserve(static_cast<size_t>(info.st_size));
    char buffer[16384];
    for (;;) {
      ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
      if (n > 0 && content.size() + static_cast<size_t>(n) <= maxReadableFileBytes) {
        content.append(buffer, static_cast<size_t>(n));
      } else if (n == 0) {
        return content;
      } else if (n > 0 || errno != EINTR) {
        return std::nullopt;
      }
    }
  }

  FileFacts inspect(const std::string& path) const override {
    FileFacts facts;
    struct stat info {};
    if (!isUsablePath(path)) {
      return facts;
    }
    if (::lstat(path.c_str(), &info) != 0) {
      return facts;
    }
    facts.isLink = S_ISLNK(info.st_mode);
    if (::stat(path.c_str(), &info) != 0) {
      facts.kind = FileFacts::Kind::DanglingLink;
      return facts;
    }
    facts.kind = S_ISREG(info.st_mode)   ? FileFacts::Kind::Regular
                 : S_ISDIR(info.st_mode) ? FileFacts::Kind::Directory
                                         : FileFacts::Kind::Other;
    facts.size = S_ISREG(info.st_mode) ? static_cast<std::uint64_t>(info.st_size) : 0;
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
};

}  // namespace

Files& systemFiles() {
  static LinuxFiles files;
  return files;
}

}  // namespace platform
