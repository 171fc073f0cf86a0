#include "platform/files.h"

#include <cerrno>

namespace platform {
namespace {

std::string lowercase(std::string text) {
  for (char& c : text) {
    c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  }
  return text;
}

// A file of another case beside where `path` was looked for: a bundle made on a system whose
// file names ignore case.
std::string namedOtherwise(const Files& files, const std::string& path) {
  auto slash = path.find_last_of('/');
  std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  for (const auto& other : files.namesIn(folder)) {
    if (other != name && lowercase(other) == lowercase(name)) {
      return other;
    }
  }
  return "";
}

}  // namespace

std::string whyUnreadable(const Files& files, const std::string& path) {
  FileFacts facts = files.inspect(path);
  if (facts.error == EACCES || (facts.kind == FileFacts::Kind::Regular && !facts.readable)) {
    return "permission denied";
  }
  switch (facts.kind) {
    case FileFacts::Kind::Missing: {
      std::string other = namedOtherwise(files, path);
      return other.empty() ? "missing"
                           : "missing (there is " + other + ": names are case-sensitive)";
    }
    case FileFacts::Kind::DanglingLink:
      return "a link to nothing";
    case FileFacts::Kind::Directory:
    case FileFacts::Kind::Other:
      return "not a regular file";
    case FileFacts::Kind::Regular:
      break;
  }
  if (facts.size > maxReadableFileBytes) {
    return "larger than the 1 MiB a bundle's file may be";
  }
  return files.readFile(path) ? "" : "can't be read";
}

}  // namespace platform
