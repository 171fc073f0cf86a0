#include <mach-o/dyld.h>

#include "platform/loaded_libraries.h"

namespace platform {

std::vector<std::string> loadedLibraries() {
  std::vector<std::string> paths;
  // Image 0 is the executable itself.
  uint32_t count = ::_dyld_image_count();
  for (uint32_t i = 1; i < count; ++i) {
    const char* name = ::_dyld_get_image_name(i);
    if (name && name[0] == '/') {
      paths.emplace_back(name);
    }
  }
  return paths;
}

}  // namespace platform
