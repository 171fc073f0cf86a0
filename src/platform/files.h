#pragma once

#include <optional>
#include <string>

namespace platform {

class Files {
 public:
  virtual ~Files() = default;
  // Whether `path` names a file the current user may execute.
  virtual bool isExecutableFile(const std::string& path) const = 0;
  // Whether anything exists at `path`, following a symbolic link at its end.
  virtual bool fileExists(const std::string& path) const = 0;
  // The whole content of a regular file, or none when it can't be read.
  virtual std::optional<std::string> readFile(const std::string& path) const = 0;
};

Files& systemFiles();

}  // namespace platform
