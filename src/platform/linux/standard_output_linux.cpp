#include <unistd.h>

#include <cerrno>

#include "platform/standard_output.h"

namespace platform {
namespace {

class LinuxStandardOutput final : public StandardOutput {
 public:
  bool write(std::string_view bytes) override {
    while (!bytes.empty()) {
      ssize_t n = ::write(STDOUT_FILENO, bytes.data(), bytes.size());
      if (n > 0) {
        bytes.remove_prefix(static_cast<size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        return false;
      }
    }
    return true;
  }
};

}  // namespace

StandardOutput& systemStandardOutput() {
  static LinuxStandardOutput output;
  return output;
}

}  // namespace platform
