#include "notice/notice.h"

#include <atomic>
#include <memory>
#include <optional>

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
constexpr const char* hostUnreachableMessage = "Open Ruvizuve from Applications";
constexpr const char* hostUnreachableInformativeText =
    "The Quality Pack could not open Ruvizuve by itself. It works inside Ruvizuve 1.1 or newer: "
    "open Ruvizuve from the Applications folder.";
constexpr const char* launchFailedMessage = "Ruvizuve could not be opened";
constexpr const char* launchFailedWithoutReason = "The system did not say why.";

bool userChoseToOpenHost(platform::Application& application, const std::string& packVersion) {
  auto alert = application.makeAlert();
  alert->setStyle(platform::AlertStyle::Informational);
  alert->setMessageText(installedMessage(packVersion));
  alert->setInformativeText(installedInformativeText);
  alert->addButton(openHostButton);
  alert->addButton(okButton);
  return alert->runModal() == platform::alertFirstButtonResponse;
}

void showWarning(platform::Application& application, const std::string& message,
                 const std::string& informativeText) {
  auto alert = application.makeAlert();
  alert->setStyle(platform::AlertStyle::Warning);
  alert->setMessageText(message);
  alert->setInformativeText(informativeText);
  alert->addButton(okButton);
  alert->runModal();
}

// What the launch's completion hands over to the waiting thread. The completion holds its own
// reference, so that one that comes after the wait has given up still finds it; only the first
// completion counts.
struct LaunchReport {
  platform::Semaphore done{0};
  std::atomic_flag reported;
  platform::LaunchOutcome outcome;  // written before `done` is signalled, read after
};

// Requests the launch and waits for its completion, but no longer than `launchWait` after the
// request has returned. None when the wait ran out first.
std::optional<platform::LaunchOutcome> launchAndWait(platform::Workspace& workspace,
                                                     const std::string& hostLocation,
                                                     std::chrono::milliseconds launchWait) {
  auto report = std::make_shared<LaunchReport>();
  workspace.openApplication(hostLocation, [report](platform::LaunchOutcome outcome) {
    if (!report->reported.test_and_set()) {
      report->outcome = std::move(outcome);
      report->done.signal();
    }
  });
  if (!workspace.awaitLaunch(report->done, launchWait)) {
    return std::nullopt;
  }
  return report->outcome;
}

void openHost(platform::Application& application, platform::Workspace& workspace,
              const std::string& hostLocation, std::chrono::milliseconds launchWait) {
  auto outcome = launchAndWait(workspace, hostLocation, launchWait);
  if (outcome && outcome->failed) {
    showWarning(application, launchFailedMessage,
                outcome->reason.empty() ? launchFailedWithoutReason : outcome->reason);
  }
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
  auto host = workspace.findApplication(pack::hostBundleIdentifier);
  switch (host.outcome) {
    case platform::ApplicationSearch::Outcome::Found:
      openHost(application, workspace, host.location, launchWait);
      break;
    case platform::ApplicationSearch::Outcome::NotFound:
      showWarning(application, hostMissingMessage, hostMissingInformativeText);
      break;
    case platform::ApplicationSearch::Outcome::CouldNotLook:
      showWarning(application, hostUnreachableMessage, hostUnreachableInformativeText);
      break;
  }
}

}  // namespace notice
