#pragma once

#include <memory>
#include <string_view>

#include "platform/alerts.h"
#include "platform/workspace.h"

namespace platform {

// The desktop services of the notice mode. Opening them is what loads the desktop libraries;
// without a usable display the alerts fall back to the terminal.
class Desktop {
 public:
  virtual ~Desktop() = default;
  virtual Application& application() = 0;
  virtual Workspace& workspace() = 0;
};

// `applicationName` is what window lists and task switchers call the process.
std::unique_ptr<Desktop> openDesktop(std::string_view applicationName);

}  // namespace platform
