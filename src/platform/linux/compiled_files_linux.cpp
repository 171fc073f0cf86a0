#include <fcntl.h>
#include <gnu/libc-version.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "platform/compiled_files.h"
#include "platform/linux/elf_file.h"
#include "platform/posix/fd.h"
#include "platform/posix/folder_walk.h"

namespace platform {
namespace {

using linux_impl::ElfNeeds;

// glibc 2.36 marks a file whose relative relocations are packed (DT_RELR) with a version of its
// own: an older loader would leave them unapplied, so it refuses the file.
constexpr const char* packedRelocationsVersion = "GLIBC_ABI_DT_RELR";

// No ELF header, program table or version entry is near this size.
constexpr size_t maxReadBytes = 1 << 16;

std::optional<GlibcVersion> newestGlibc(const std::vector<std::string>& versions) {
  std::optional<GlibcVersion> newest;
  for (const auto& name : versions) {
    std::optional<GlibcVersion> version;
    if (name == packedRelocationsVersion) {
      version = GlibcVersion{2, 36, 0};
    } else if (name.starts_with("GLIBC_")) {
      version = glibcVersionFromText(name.substr(6));
    }
    if (version && (!newest || *version > *newest)) {
      newest = version;
    }
  }
  return newest;
}

// Whether a file found in a folder may be a program or a shared library, judged without opening
// it: a runtime holds tens of thousands of files, nearly all of them Python's sources and data.
bool mayBeCompiled(const std::string& path, const struct stat& info) {
  std::string name = path.substr(path.find_last_of('/') + 1);
  return S_ISREG(info.st_mode) &&
         (name.find(".so") != std::string::npos || (info.st_mode & 0111) != 0);
}

class LinuxCompiledFiles final : public CompiledFiles {
 public:
  CompiledFileScan scan(const std::vector<std::string>& paths, size_t maxEntries) const override {
    CompiledFileScan scan;
    size_t left = maxEntries;
    for (const auto& path : paths) {
      struct stat info {};
      if (path.find('\0') != std::string::npos || ::stat(path.c_str(), &info) != 0) {
        continue;
      }
      if (S_ISREG(info.st_mode)) {
        add(path, scan);
        continue;
      }
      size_t looked = 0;
      scan.cut = posix_impl::walkFolder(path, left,
                                        [&](const std::string& found, const struct stat& entry) {
                                          ++looked;
                                          if (mayBeCompiled(found, entry)) {
                                            add(found, scan);
                                          }
                                        }) ||
                 scan.cut;
      left -= std::min(left, looked);
    }
    std::sort(scan.files.begin(), scan.files.end(),
              [](const CompiledFile& a, const CompiledFile& b) { return a.path < b.path; });
    return scan;
  }

  std::optional<CompiledFile> read(const std::string& path) const override {
    if (path.find('\0') != std::string::npos) {
      return std::nullopt;
    }
    // Non-blocking, so that a FIFO put in a library's place does not wait for a writer.
    posix_impl::Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    struct stat info {};
    if (!fd || ::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode)) {
      return std::nullopt;
    }
    auto needs = linux_impl::readElfNeeds(
        [&](std::uint64_t offset, size_t size) { return readAt(fd.get(), offset, size); });
    if (!needs) {
      return std::nullopt;
    }
    return CompiledFile{path, linux_impl::processorName(needs->machine),
                        newestGlibc(needs->versions)};
  }

  std::optional<GlibcVersion> runningGlibc() const override {
    return glibcVersionFromText(::gnu_get_libc_version());
  }

  std::string ownProcessor() const override {
#if defined(__x86_64__)
    return "x86_64";
#elif defined(__aarch64__)
    return "aarch64";
#elif defined(__i386__)
    return "i386";
#elif defined(__arm__)
    return "arm";
#else
    return "";
#endif
  }

 private:
  void add(const std::string& path, CompiledFileScan& scan) const {
    if (auto file = read(path)) {
      scan.files.push_back(std::move(*file));
    }
  }

  static std::optional<std::string> readAt(int fd, std::uint64_t offset, size_t size) {
    if (size > maxReadBytes || offset > static_cast<std::uint64_t>(INT64_MAX)) {
      return std::nullopt;
    }
    std::string bytes(size, '\0');
    size_t got = 0;
    while (got < size) {
      ssize_t n = ::pread(fd, bytes.data() + got, size - got, static_cast<off_t>(offset + got));
      if (n < 0 && errno == EINTR) {
        continue;
      }
      if (n <= 0) {
        break;
      }
      got += static_cast<size_t>(n);
    }
    bytes.resize(got);
    return bytes;
  }
};

}  // namespace

const CompiledFiles& systemCompiledFiles() {
  static LinuxCompiledFiles files;
  return files;
}

}  // namespace platform
