#include <unistd.h>

#include <cerrno>
#include <vector>

#include "platform/bundle.h"

namespace platform {

std::string currentDirectory() {
  std::vector<char> buffer(4096);
  for (;;) {
    if (::getcwd(buffer.data(), buffer.size())) {
      return buffer.data();
    }
    if (errno != ERANGE) {
      return "/";
    }
    buffer.resize(buffer.size() * 2);
  }
}

}  // namespace platform
