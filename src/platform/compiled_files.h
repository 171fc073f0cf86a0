#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace platform {

// What the compiled files a bundle carries (programs and shared libraries) ask of the machine that
// runs them: on Linux, the processor they are built for and the newest glibc they need. A pack
// runs only where every one of them can. On macOS there is no glibc, and nothing is reported.

// A glibc version, as glibc's symbol versions name it (GLIBC_2.2.5 is 2.2.5).
struct GlibcVersion {
  int major = 0;
  int minor = 0;
  int patch = 0;
  auto operator<=>(const GlibcVersion&) const = default;
  std::string text() const;  // "2.17", "2.2.5"
};

// "2.17" or "2.2.5" as a version; none for anything else.
std::optional<GlibcVersion> glibcVersionFromText(const std::string& text);

struct CompiledFile {
  std::string path;
  // The processor it is built for, as `uname -m` names it ("x86_64", "aarch64", "i386", "arm").
  std::string processor;
  // The newest glibc version it asks for; none when it asks for none.
  std::optional<GlibcVersion> newestGlibc;
};

struct CompiledFileScan {
  std::vector<CompiledFile> files;  // sorted by path
  bool cut = false;  // the walk stopped at its bound: there are more entries than it looked at
};

class CompiledFiles {
 public:
  virtual ~CompiledFiles() = default;
  // The compiled files among `paths` and, at any depth, below those that are folders (each
  // followed when it is a link), without following the links found on the way; at most
  // `maxEntries` entries are looked at.
  virtual CompiledFileScan scan(const std::vector<std::string>& paths, size_t maxEntries) const = 0;
  // The file at `path`, its links followed; none when it is not a compiled file of this system.
  virtual std::optional<CompiledFile> read(const std::string& path) const = 0;
  // The glibc this process runs on; none where there is none.
  virtual std::optional<GlibcVersion> runningGlibc() const = 0;
  // The processor this executable is built for, named as CompiledFile::processor names it.
  virtual std::string ownProcessor() const = 0;
};

const CompiledFiles& systemCompiledFiles();

}  // namespace platform
