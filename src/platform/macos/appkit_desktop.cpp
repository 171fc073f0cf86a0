#include "platform/macos/appkit_desktop.h"

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

// The activation is bound as the system offers it, and is no reason to give up on AppKit.
AlertMessages::Activation bindActivation(const ObjcRuntime& rt, AlertMessages& m) {
  if (m.activate.bind(rt, m.application, "activate", MethodKind::Instance)) {
    return AlertMessages::Activation::Activate;
  }
  if (m.activateIgnoringOtherApps.bind(rt, m.application,
                                       "activateIgnoringOtherApps:", MethodKind::Instance)) {
    return AlertMessages::Activation::IgnoringOtherApps;
  }
  return AlertMessages::Activation::None;
}

bool bindApplication(const ObjcRuntime& rt, AlertMessages& m) {
  m.application = rt.getClass("NSApplication");
  if (!m.sharedApplication.bind(rt, m.application, "sharedApplication", MethodKind::ClassMethod) ||
      !m.setActivationPolicy.bind(rt, m.application,
                                  "setActivationPolicy:", MethodKind::Instance)) {
    return false;
  }
  m.activation = bindActivation(rt, m);
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

class AppKitWorkspace final : public Workspace {
 public:
  AppKitWorkspace(const WorkspaceMessages& m, const CoreFoundation& cf, void* stackBlockClass)
      : m_(m), cf_(cf), stackBlockClass_(stackBlockClass) {}

  std::optional<std::string> applicationLocation(std::string_view bundleIdentifier) override {
    CFOwned identifier(cf_, createString(cf_, std::string(bundleIdentifier)));
    if (!identifier) {
      return std::nullopt;
    }
    Id workspace = m_.sharedWorkspace(asObject(m_.workspace));
    // The URL is autoreleased: the notice's pool lets it go.
    Id url = m_.urlForApplicationWithBundleIdentifier(workspace, asObject(identifier.get()));
    return url ? filePathOf(cf_, asCFType(url)) : std::nullopt;
  }

  // A launch that can't be requested is over at once.
  void openApplication(const std::string& location, std::function<void()> completion) override {
    CFOwned url(cf_, cf_.urlCreateFromFileSystemRepresentation(
                         nullptr, reinterpret_cast<const std::uint8_t*>(location.data()),
                         static_cast<CFIndex>(location.size()), true));
    Id configuration =
        url ? m_.initOpenConfiguration(m_.allocOpenConfiguration(asObject(m_.openConfiguration)))
            : nullptr;
    if (!configuration) {
      completion();
      return;
    }
    Id workspace = m_.sharedWorkspace(asObject(m_.workspace));
    StackCompletionBlock handler(stackBlockClass_, std::move(completion));
    m_.openApplication(workspace, asObject(url.get()), configuration, handler.get());
    m_.releaseOpenConfiguration(configuration);
  }

 private:
  const WorkspaceMessages& m_;
  const CoreFoundation& cf_;
  void* stackBlockClass_;
};

// Where AppKit's workspace is not to be had, Ruvizuve can't be found or opened either.
class NoWorkspace final : public Workspace {
 public:
  std::optional<std::string> applicationLocation(std::string_view) override { return std::nullopt; }
  void openApplication(const std::string&, std::function<void()> completion) override {
    completion();
  }
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
      workspace_ = std::make_unique<AppKitWorkspace>(*m_->workspace, *services.cf, stackBlockClass);
    } else {
      workspace_ = std::make_unique<NoWorkspace>();
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

std::optional<AppKitMessages> bindAppKitMessages(const ObjcRuntime& runtime) {
  AppKitMessages messages;
  if (!bindPool(runtime, messages)) {
    return std::nullopt;
  }
  AlertMessages alerts;
  if (bindApplication(runtime, alerts) && bindAlert(runtime, alerts)) {
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
  auto messages = runtime ? bindAppKitMessages(*runtime) : std::nullopt;
  return std::make_unique<MacDesktop>(std::move(messages), services,
                                      runtime ? runtime->stackBlockClass : nullptr);
}

}  // namespace platform::macos_impl
