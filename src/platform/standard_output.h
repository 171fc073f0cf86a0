#pragma once

#include <string_view>

namespace platform {

class StandardOutput {
 public:
  virtual ~StandardOutput() = default;
  // Writes all of `bytes`; false when standard output could not take them.
  virtual bool write(std::string_view bytes) = 0;
};

StandardOutput& systemStandardOutput();
// Standard error, written the same way: for the explanations a person asked for, never for the
// host that reads standard output.
StandardOutput& systemStandardError();

}  // namespace platform
