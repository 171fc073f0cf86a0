#pragma once

#include <chrono>
#include <string>

#include "platform/alerts.h"
#include "platform/workspace.h"

namespace notice {

// The longest wait for the host's launch to be confirmed.
inline constexpr std::chrono::milliseconds hostLaunchWait = std::chrono::seconds(10);

std::string installedMessage(const std::string& packVersion);

// Shows the installed notice and, when asked, opens the host application; says so where the host
// is missing, can't be looked for or opened from here, or its launch failed.
void showInstalledNotice(platform::Application& application, platform::Workspace& workspace,
                         const std::string& packVersion,
                         std::chrono::milliseconds launchWait = hostLaunchWait);

}  // namespace notice
