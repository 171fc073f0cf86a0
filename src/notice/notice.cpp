#include "notice/notice.h"

#include "pack/pack_paths.h"
#include "platform/semaphore.h"

namespace notice {
namespace {

constexpr const char* installedInformativeText =
    "Open Ruvizuve: scoring starts by itself after the next library scan, or press SCORE QUALITY "
    "in the Library (\u2318L).";
constexpr const char* openHostButton = "Open Ruvizuve";
constexpr const char* okButton = "OK";
constexpr const char* hostMissingMessage = "Install Ruvizuve first";
constexpr const char* hostMissingInformativeText =
    "The Quality Pack works inside Ruvizuve 1.1 or newer. Drag Ruvizuve into Applications, then "
    "open it.";

bool userChoseToOpenHost(platform::Application& application, const std::string& packVersion) {
  auto alert = application.makeAlert();
  alert->setStyle(platform::AlertStyle::Informational);
  alert->setMessageText(installedMessage(packVersion));
  alert->setInformativeText(installedInformativeText);
  alert->addButton(openHostButton);
  alert->addButton(okButton);
  return alert->runModal() == platform::alertFirstButtonResponse;
}

void showHostMissing(platform::Application& application) {
  auto alert = application.makeAlert();
  alert->setStyle(platform::AlertStyle::Warning);
  alert->setMessageText(hostMissingMessage);
  alert->setInformativeText(hostMissingInformativeText);
  alert->addButton(okButton);
  alert->runModal();
}

// Requests the launch and waits for its completion, but no longer than `launchWait` after the
// request has returned. The handler holds its own reference to the semaphore, so a completion
// that comes after the wait has given up still finds it.
void launchAndWait(platform::Workspace& workspace, const std::string& hostLocation,
                   std::chrono::milliseconds launchWait) {
  auto launchDone = platform::makeSemaphore(0);
  workspace.openApplication(hostLocation, [launchDone] { launchDone->signal(); });
  launchDone->waitUntil(std::chrono::steady_clock::now() + launchWait);
}

}  // namespace

std::string installedMessage(const std::string& packVersion) {
  return std::string(pack::packName) + " " + packVersion + " is installed.";
}

void showInstalledNotice(platform::Application& application, platform::Workspace& workspace,
                         const std::string& packVersion, std::chrono::milliseconds launchWait) {
  application.setActivationPolicyRegular();
  application.activateIgnoringOtherApps();
  if (!userChoseToOpenHost(application, packVersion)) {
    return;
  }
  auto hostLocation = workspace.applicationLocation(pack::hostBundleIdentifier);
  if (!hostLocation) {
    showHostMissing(application);
    return;
  }
  launchAndWait(workspace, *hostLocation, launchWait);
}

}  // namespace notice
