#pragma once

#include <memory>

#include "platform/alerts.h"
#include "platform/macos/core_foundation.h"

namespace platform::macos_impl {

// Alerts shown by the system's user-notification agent (CFUserNotificationDisplayAlert), plain C
// documented for processes that have no user interface of their own: the notice's way when
// AppKit can't show it and standard input is no terminal to ask on, as when the pack is opened
// from the Finder. The first button added is the default one, the second the alternate, the
// third the other; they answer as AppKit's would. An alert the agent can't show (no session to
// show it in) is told on standard error instead, as a terminal alert is.
std::unique_ptr<Application> makeUserNotificationApplication(
    const CoreFoundation& cf, UserNotificationDisplayAlert displayAlert);

}  // namespace platform::macos_impl
