#include <link.h>

#include "platform/loaded_libraries.h"

namespace platform {

std::vector<std::string> loadedLibraries() {
  std::vector<std::string> paths;
  ::dl_iterate_phdr(
      [](dl_phdr_info* info, size_t, void* data) {
        // The executable comes with an empty name and the vDSO with a bare one: neither is a file
        // the loader looked for.
        if (info->dlpi_name && info->dlpi_name[0] == '/') {
          static_cast<std::vector<std::string>*>(data)->emplace_back(info->dlpi_name);
        }
        return 0;
      },
      &paths);
  return paths;
}

}  // namespace platform
