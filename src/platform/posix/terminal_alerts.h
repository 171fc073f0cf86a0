#pragma once

#include <memory>

#include "platform/alerts.h"

namespace platform::posix_impl {

// Alerts told on standard error for a run without a desktop. When standard input is a terminal
// the buttons are offered as a numbered choice; otherwise the last button answers at once.
std::unique_ptr<Application> makeTerminalApplication();

}  // namespace platform::posix_impl
