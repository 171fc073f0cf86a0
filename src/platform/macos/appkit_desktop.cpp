#include "platform/macos/appkit_desktop.h"

#include <algorithm>
#include <climits>

#include "platform/macos/completion_block.h"
#include "platform/macos/user_notification.h"
#include "platform/posix/terminal_alerts.h"

namespace platform::macos_impl {
namespace {

constexpr NSInteger activationPolicyRegular = 0;    // NSApplicationActivationPolicyRegular
constexpr NSUInteger alertStyleWarning = 0;         // NSAlertStyleWarning
constexpr NSUInteger alertStyleInformational = 1;   // NSAlertStyleInformational
constexpr NSInteger responseOutsideTheButtons = 0;  // answers none of the alert's buttons

// Each turn of the run loop while the launch is awaited: short enough that the completion is
// seen soon after it came, long enough that the waiting costs nothing.
constexpr std::chrono::milliseconds runLoopTurn{50};

using Clock = std::chrono::steady_clock;
using Outcome = ApplicationSearch::Outcome;

Id asObject(Class receiver) {
  return reinterpret_cast<Id>(receiver);
}
// CoreFoundation's strings and URLs are the same objects as Foundation's.
Id asObject(CFTypeRef object) {
  return reinterpret_cast<Id>(const_cast<CFOpaque*>(object));
}
CFTypeRef asCFType(Id object) {
  return reinterpret_cast<CFTypeRef>(object);
}

bool bindPool(const ObjcRuntime& rt, AppKitMessages& m) {
  m.autoreleasePool = rt.getClass("NSAutoreleasePool");
  return m.allocPool.bind(rt, m.autoreleasePool, "alloc", MethodKind::ClassMethod) &&
         m.initPool.bind(rt, m.autoreleasePool, "init", MethodKind::Instance) &&
         m.drainPool.bind(rt, m.autoreleasePool, "drain", MethodKind::Instance);
}

// The activation is bound as the system documents it, and is no reason to give up on AppKit.
AlertMessages::Activation bindActivation(const ObjcRuntime& rt, AlertMessages& m,
                                         bool systemIsMacOS14OrLater) {
  if (systemIsMacOS14OrLater &&
      m.activate.bind(rt, m.application, "activate", MethodKind::Instance)) {
    return AlertMessages::Activation::Activate;
  }
  if (m.activateIgnoringOtherApps.bind(rt, m.application,
                                       "activateIgnoringOtherApps:", MethodKind::Instance)) {
    return AlertMessages::Activation::IgnoringOtherApps;
  }
  return AlertMessages::Activation::None;
}

bool bindApplication(const ObjcRuntime& rt, AlertMessages& m, bool systemIsMacOS14OrLater) {
  m.application = rt.getClass("NSApplication");
  if (!m.sharedApplication.bind(rt, m.application, "sharedApplication", MethodKind::ClassMethod) ||
      !m.setActivationPolicy.bind(rt, m.application,
                                  "setActivationPolicy:", MethodKind::Instance)) {
    return false;
  }
  m.activation = bindActivation(rt, m, systemIsMacOS14OrLater);
  return true;
}

bool bindAlert(const ObjcRuntime& rt, AlertMessages& m) {
  m.alert = rt.getClass("NSAlert");
  return m.allocAlert.bind(rt, m.alert, "alloc", MethodKind::ClassMethod) &&
         m.initAlert.bind(rt, m.alert, "init", MethodKind::Instance) &&
         m.setAlertStyle.bind(rt, m.alert, "setAlertStyle:", MethodKind::Instance) &&
         m.setMessageText.bind(rt, m.alert, "setMessageText:", MethodKind::Instance) &&
         m.setInformativeText.bind(rt, m.alert, "setInformativeText:", MethodKind::Instance) &&
         m.addButtonWithTitle.bind(rt, m.alert, "addButtonWithTitle:", MethodKind::Instance) &&
         m.runModal.bind(rt, m.alert, "runModal", MethodKind::Instance) &&
         m.releaseAlert.bind(rt, m.alert, "release", MethodKind::Instance);
}

bool bindWorkspace(const ObjcRuntime& rt, WorkspaceMessages& m) {
  m.workspace = rt.getClass("NSWorkspace");
  m.openConfiguration = rt.getClass("NSWorkspaceOpenConfiguration");
  return m.sharedWorkspace.bind(rt, m.workspace, "sharedWorkspace", MethodKind::ClassMethod) &&
         m.urlForApplicationWithBundleIdentifier.bind(
             rt, m.workspace, "URLForApplicationWithBundleIdentifier:", MethodKind::Instance) &&
         m.openApplication.bind(
             rt, m.workspace,
             "openApplicationAtURL:configuration:completionHandler:", MethodKind::Instance) &&
         m.allocOpenConfiguration.bind(rt, m.openConfiguration, "alloc", MethodKind::ClassMethod) &&
         m.initOpenConfiguration.bind(rt, m.openConfiguration, "init", MethodKind::Instance) &&
         m.releaseOpenConfiguration.bind(rt, m.openConfiguration, "release", MethodKind::Instance);
}

class AppKitAlert final : public Alert {
 public:
  AppKitAlert(const AlertMessages& m, const CoreFoundation& cf)
      : m_(m), cf_(cf), alert_(m.initAlert(m.allocAlert(asObject(m.alert)))) {}
  AppKitAlert(const AppKitAlert&) = delete;
  AppKitAlert& operator=(const AppKitAlert&) = delete;
  ~AppKitAlert() override {
    if (alert_) {
      m_.releaseAlert(alert_);
    }
  }

  void setStyle(AlertStyle style) override {
    m_.setAlertStyle(
        alert_, style == AlertStyle::Informational ? alertStyleInformational : alertStyleWarning);
  }
  void setMessageText(const std::string& text) override { sendText(m_.setMessageText, text); }
  void setInformativeText(const std::string& text) override {
    sendText(m_.setInformativeText, text);
  }
  void addButton(const std::string& title) override {
    CFOwned string(cf_, createDisplayText(cf_, title));
    if (string) {
      m_.addButtonWithTitle(alert_, asObject(string.get()));
    }
  }

  // A response that an int can't hold is none of the buttons'.
  int runModal() override {
    NSInteger response = m_.runModal(alert_);
    return response >= INT_MIN && response <= INT_MAX ? static_cast<int>(response)
                                                      : responseOutsideTheButtons;
  }

 private:
  void sendText(const Message<void(Id)>& message, const std::string& text) {
    // The alert keeps a copy of the string; this one is released at once.
    CFOwned string(cf_, createDisplayText(cf_, text));
    if (string) {
      message(alert_, asObject(string.get()));
    }
  }

  const AlertMessages& m_;
  const CoreFoundation& cf_;
  Id alert_;
};

class AppKitApplication final : public Application {
 public:
  AppKitApplication(const AlertMessages& m, const CoreFoundation& cf)
      : m_(m), cf_(cf), application_(m.sharedApplication(asObject(m.application))) {}

  // Whether the system agreed changes nothing: the alerts are shown all the same.
  void setActivationPolicyRegular() override {
    m_.setActivationPolicy(application_, activationPolicyRegular);
  }
  void activateIgnoringOtherApps() override {
    switch (m_.activation) {
      case AlertMessages::Activation::Activate:
        m_.activate(application_);
        break;
      case AlertMessages::Activation::IgnoringOtherApps:
        m_.activateIgnoringOtherApps(application_, true);
        break;
      case AlertMessages::Activation::None:
        break;
    }
  }
  std::unique_ptr<Alert> makeAlert() override { return std::make_unique<AppKitAlert>(m_, cf_); }

 private:
  const AlertMessages& m_;
  const CoreFoundation& cf_;
  Id application_;
};

// How the launch ended, read on the completion's thread while its error is alive: CFError and
// NSError are the same objects.
LaunchOutcome outcomeOf(const CoreFoundation& cf, Id error) {
  if (!error) {
    return {};
  }
  CFOwned description(cf, cf.errorCopyDescription(asCFType(error)));
  auto text = description ? stringContents(cf, description.get()) : std::nullopt;
  return {true, text.value_or("")};
}

class AppKitWorkspace final : public Workspace {
 public:
  AppKitWorkspace(const WorkspaceMessages& m, const CoreFoundation& cf, void* stackBlockClass,
                  const RunLoopTurns& runLoop)
      : m_(m), cf_(cf), stackBlockClass_(stackBlockClass), runLoop_(runLoop) {}

  ApplicationSearch findApplication(std::string_view bundleIdentifier) override {
    CFOwned identifier(cf_, createString(cf_, std::string(bundleIdentifier)));
    if (!identifier) {
      return {};
    }
    Id workspace = m_.sharedWorkspace(asObject(m_.workspace));
    // The URL is autoreleased: the notice's pool lets it go.
    Id url = m_.urlForApplicationWithBundleIdentifier(workspace, asObject(identifier.get()));
    if (!url) {
      return {Outcome::NotFound, {}};
    }
    auto path = filePathOf(cf_, asCFType(url));
    return path ? ApplicationSearch{Outcome::Found, *path} : ApplicationSearch{};
  }

  // A launch that can't be requested has failed at once. The CoreFoundation the completion reads
  // the error with lives as long as the process: a completion may come after the desktop is gone.
  void openApplication(const std::string& location,
                       std::function<void(LaunchOutcome)> completion) override {
    CFOwned url(cf_, cf_.urlCreateFromFileSystemRepresentation(
                         nullptr, reinterpret_cast<const std::uint8_t*>(location.data()),
                         static_cast<CFIndex>(location.size()), true));
    Id configuration =
        url ? m_.initOpenConfiguration(m_.allocOpenConfiguration(asObject(m_.openConfiguration)))
            : nullptr;
    if (!configuration) {
      completion({true, {}});
      return;
    }
    Id workspace = m_.sharedWorkspace(asObject(m_.workspace));
    StackCompletionBlock handler(stackBlockClass_,
                                 [cf = &cf_, completion = std::move(completion)](Id error) {
                                   completion(outcomeOf(*cf, error));
                                 });
    m_.openApplication(workspace, asObject(url.get()), configuration, handler.get());
    m_.releaseOpenConfiguration(configuration);
  }

  // The Dock icon the notice gave the process answers its events only while the main run loop
  // turns: so the wait is short turns of it, the completion's signal looked at between them. A
  // mode with nothing to run would not wait at all; nothing there needs serving, and the rest of
  // the wait is a plain one.
  bool awaitLaunch(Semaphore& launched, std::chrono::milliseconds bound) override {
    if (!runLoop_.runInMode || !runLoop_.defaultMode) {
      return Workspace::awaitLaunch(launched, bound);
    }
    const Clock::time_point deadline = runLoop_.now() + bound;
    for (;;) {
      if (launched.tryWait()) {
        return true;
      }
      Clock::duration left = deadline - runLoop_.now();
      if (left <= Clock::duration::zero()) {
        return false;
      }
      std::chrono::duration<CFTimeInterval> turn = std::min<Clock::duration>(left, runLoopTurn);
      if (runLoop_.runInMode(runLoop_.defaultMode, turn.count(), true) == kCFRunLoopRunFinished) {
        return launched.waitUntil(Clock::now() + (deadline - runLoop_.now()));
      }
    }
  }

 private:
  const WorkspaceMessages& m_;
  const CoreFoundation& cf_;
  void* stackBlockClass_;
  const RunLoopTurns runLoop_;
};

// Where AppKit's workspace is not to be had, Ruvizuve can't be opened from here: Launch Services
// is asked only whether it is installed at all, so that a user who has it is never told to
// install it.
class WorkspaceWithoutAppKit final : public Workspace {
 public:
  WorkspaceWithoutAppKit(const CoreFoundation* cf, CopyApplicationURLs copyApplicationURLs)
      : cf_(cf), copyApplicationURLs_(copyApplicationURLs) {}

  ApplicationSearch findApplication(std::string_view bundleIdentifier) override {
    if (!cf_ || !copyApplicationURLs_) {
      return {};
    }
    CFOwned identifier(*cf_, createString(*cf_, std::string(bundleIdentifier)));
    if (!identifier) {
      return {};
    }
    CFErrorRef error = nullptr;
    CFOwned applications(*cf_, copyApplicationURLs_(identifier.get(), &error));
    CFOwned errorOwned(*cf_, error);
    bool none = applications ? cf_->arrayGetCount(applications.get()) == 0
                             : error && cf_->errorGetCode(error) == kLSApplicationNotFoundErr;
    // Installed or not known to be missing: either way it is to be opened from Applications.
    return {none ? Outcome::NotFound : Outcome::CouldNotLook, {}};
  }

  void openApplication(const std::string&, std::function<void(LaunchOutcome)> completion) override {
    completion({true, {}});
  }

 private:
  const CoreFoundation* cf_;
  CopyApplicationURLs copyApplicationURLs_;
};

// Alerts without AppKit: a user-notification alert where nobody can answer on a terminal, the
// terminal's otherwise.
std::unique_ptr<Application> alertsWithoutAppKit(const MacDesktopServices& services) {
  if (!services.standardInputIsTerminal && services.cf && services.displayAlert) {
    return makeUserNotificationApplication(*services.cf, services.displayAlert);
  }
  return posix_impl::makeTerminalApplication();
}

class MacDesktop final : public Desktop {
 public:
  // `messages` only with `services.cf`.
  MacDesktop(std::optional<AppKitMessages> messages, const MacDesktopServices& services,
             void* stackBlockClass)
      : m_(std::move(messages)) {
    if (m_) {
      pool_ = m_->initPool(m_->allocPool(asObject(m_->autoreleasePool)));
    }
    if (m_ && m_->alerts) {
      application_ = std::make_unique<AppKitApplication>(*m_->alerts, *services.cf);
    } else {
      application_ = alertsWithoutAppKit(services);
    }
    if (m_ && m_->workspace) {
      workspace_ = std::make_unique<AppKitWorkspace>(*m_->workspace, *services.cf, stackBlockClass,
                                                     services.runLoop);
    } else {
      workspace_ =
          std::make_unique<WorkspaceWithoutAppKit>(services.cf, services.copyApplicationURLs);
    }
  }
  MacDesktop(const MacDesktop&) = delete;
  MacDesktop& operator=(const MacDesktop&) = delete;
  ~MacDesktop() override {
    if (pool_) {
      m_->drainPool(pool_);
    }
  }

  Application& application() override { return *application_; }
  Workspace& workspace() override { return *workspace_; }

 private:
  const std::optional<AppKitMessages> m_;
  Id pool_ = nullptr;
  std::unique_ptr<Application> application_;
  std::unique_ptr<Workspace> workspace_;
};

// The dictionary itself is of no use here, and is let go at once.
bool hasWindowServerSession(const MacDesktopServices& services) {
  if (!services.cf || !services.copySessionDictionary) {
    return false;
  }
  CFOwned session(*services.cf, services.copySessionDictionary());
  return static_cast<bool>(session);
}

}  // namespace

std::optional<AppKitMessages> bindAppKitMessages(const ObjcRuntime& runtime,
                                                 bool systemIsMacOS14OrLater) {
  AppKitMessages messages;
  if (!bindPool(runtime, messages)) {
    return std::nullopt;
  }
  AlertMessages alerts;
  if (bindApplication(runtime, alerts, systemIsMacOS14OrLater) && bindAlert(runtime, alerts)) {
    messages.alerts = alerts;
  }
  WorkspaceMessages workspace;
  if (bindWorkspace(runtime, workspace)) {
    messages.workspace = workspace;
  }
  if (!messages.alerts && !messages.workspace) {
    return std::nullopt;
  }
  return messages;
}

std::unique_ptr<Desktop> makeMacDesktop(const MacDesktopServices& services) {
  const ObjcRuntime* runtime =
      hasWindowServerSession(services) && services.openAppKit ? services.openAppKit() : nullptr;
  bool macOS14OrLater = services.isMacOS14OrLater && services.isMacOS14OrLater();
  auto messages = runtime ? bindAppKitMessages(*runtime, macOS14OrLater) : std::nullopt;
  return std::make_unique<MacDesktop>(std::move(messages), services,
                                      runtime ? runtime->stackBlockClass : nullptr);
}

}  // namespace platform::macos_impl
