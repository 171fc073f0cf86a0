#include "platform/posix/folder_walk.h"

#include <dirent.h>

#include <vector>

namespace platform::posix_impl {

bool walkFolder(
    const std::string& folder, size_t maxEntries,
    const std::function<void(const std::string& path, const struct stat& info)>& visit) {
  std::vector<std::string> folders{folder};
  size_t looked = 0;
  while (!folders.empty()) {
    std::string current = std::move(folders.back());
    folders.pop_back();
    DIR* dir = ::opendir(current.c_str());
    if (!dir) {
      continue;
    }
    while (const dirent* entry = ::readdir(dir)) {
      std::string name = entry->d_name;
      if (name == "." || name == "..") {
        continue;
      }
      if (++looked > maxEntries) {
        ::closedir(dir);
        return true;
      }
      std::string path = current + "/" + name;
      struct stat info {};
      if (::lstat(path.c_str(), &info) != 0) {
        continue;
      }
      visit(path, info);
      if (S_ISDIR(info.st_mode)) {
        folders.push_back(std::move(path));
      }
    }
    ::closedir(dir);
  }
  return false;
}

}  // namespace platform::posix_impl
