#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace platform {

class Workspace {
 public:
  virtual ~Workspace() = default;
  // Where the application with this identifier is installed, or none.
  virtual std::optional<std::string> applicationLocation(std::string_view bundleIdentifier) = 0;
  // Starts launching the application at `location` with default options and returns without
  // waiting for the application to be running; `completion` is called once, from a thread of the
  // workspace's choosing or from inside this call, when the launch has succeeded or failed.
  virtual void openApplication(const std::string& location, std::function<void()> completion) = 0;
};

}  // namespace platform
