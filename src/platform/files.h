#pragma once

#include <cstddef>
#include <optional>
#include <string>

namespace platform {

// The files the pack reads (an Info.plist, a strings file, the model's refs/main) are a few
// bytes to a few KiB; anything larger than this is not one of them.
inline constexpr size_t maxReadableFileBytes = 1 << 20;

class Files {
 public:
  virtual ~Files() = default;
  // Whether `path` names a file the current user may execute.
  virtual bool isExecutableFile(const std::string& path) const = 0;
  // Whether anything exists at `path`, following a symbolic link at its end.
  virtual bool fileExists(const std::string& path) const = 0;
  // The whole content of a regular file of at most maxReadableFileBytes, or none when it can't
  // be read. Never blocks on a file that is not a regular one (a FIFO, a device).
  virtual std::optional<std::string> readFile(const std::string& path) const = 0;
};

Files& systemFiles();

}  // namespace platform
