#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace platform {

// The files the pack reads (an Info.plist, a strings file, the model's refs/main) are a few
// bytes to a few KiB; anything larger than this is not one of them.
inline constexpr size_t maxReadableFileBytes = 1 << 20;

// What is at a path, for a person looking into a pack: what the checks only test, told apart.
struct FileFacts {
  enum class Kind { Missing, DanglingLink, Regular, Directory, Other };
  Kind kind = Kind::Missing;
  bool isLink = false;     // the path's last component is a symbolic link
  std::uint64_t size = 0;  // of a regular file
  std::string realPath;    // every link resolved; empty when nothing is there
  std::string linkTarget;  // what the link at the end of the path names, as it is written
  // The current user may read it, and enter it when it is a folder: the host may run as a user
  // other than the pack's maker.
  bool readable = false;
  // Why nothing could be looked at (errno): EACCES where a folder above it can't be entered, which
  // is not the same as missing.
  int error = 0;
};

// The symbolic links below a folder, found without following any of them, and what other users
// can't read there.
struct LinkWalk {
  std::vector<std::string> links;
  // The folder and the entries below it that only their owner and its group may read: a folder
  // others can't list or enter, a file others can't read, or can't run where its owner may.
  std::vector<std::string> closed;
  bool cut = false;  // the walk stopped at its bound: there are more entries than it looked at
};

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
  // What is at `path`; never blocks and never reads the file.
  virtual FileFacts inspect(const std::string&) const { return {}; }
  // The names in a directory, sorted; empty when it can't be read.
  virtual std::vector<std::string> namesIn(const std::string&) const { return {}; }
  // At most the first `bytes` bytes of a regular file of any size, or none when it can't be read.
  // Never blocks on a file that is not a regular one.
  virtual std::optional<std::string> readStart(const std::string&, size_t) const { return {}; }
  // Every symbolic link below `folder` (itself followed when it is one), at any depth, without
  // following the links it finds, and what other users can't read; at most `maxEntries` entries
  // are looked at.
  virtual LinkWalk linksUnder(const std::string&, size_t) const { return {}; }
};

Files& systemFiles();

// Why a bundle's file at `path` can't be read, in words for the person who mends the bundle
// ("missing", "not a regular file", ...); empty when it can be.
std::string whyUnreadable(const Files& files, const std::string& path);

}  // namespace platform
