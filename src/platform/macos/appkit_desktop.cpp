#include "platform/macos/appkit_desktop.h"

#include <climits>

#include "platform/macos/completion_block.h"
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

// A new string object for an AppKit message; an empty one for text that is not UTF-8.
CFStringRef createText(const CoreFoundation& cf, const std::string& text) {
  CFStringRef string = createString(cf, text);
  return string ? string : createString(cf, "");
}

bool bindPool(const ObjcRuntime& rt, AppKitMessages& m) {
  m.autoreleasePool = rt.getClass("NSAutoreleasePool");
  return m.allocPool.bind(rt, m.autoreleasePool, "alloc", MethodKind::ClassMethod) &&
         m.initPool.bind(rt, m.autoreleasePool, "init", MethodKind::Instance) &&
         m.drainPool.bind(rt, m.autoreleasePool, "drain", MethodKind::Instance);
}

bool bindApplication(const ObjcRuntime& rt, AppKitMessages& m) {
  m.application = rt.getClass("NSApplication");
  return m.sharedApplication.bind(rt, m.application, "sharedApplication",
                                  MethodKind::ClassMethod) &&
         m.setActivationPolicy.bind(rt, m.application,
                                    "setActivationPolicy:", MethodKind::Instance) &&
         m.activateIgnoringOtherApps.bind(rt, m.application,
                                          "activateIgnoringOtherApps:", MethodKind::Instance);
}

bool bindAlert(const ObjcRuntime& rt, AppKitMessages& m) {
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

bool bindWorkspace(const ObjcRuntime& rt, AppKitMessages& m) {
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
  AppKitAlert(const AppKitMessages& m, const CoreFoundation& cf)
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
    CFOwned string(cf_, createText(cf_, title));
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
    CFOwned string(cf_, createText(cf_, text));
    if (string) {
      message(alert_, asObject(string.get()));
    }
  }

  const AppKitMessages& m_;
  const CoreFoundation& cf_;
  Id alert_;
};

class AppKitApplication final : public Application {
 public:
  AppKitApplication(const AppKitMessages& m, const CoreFoundation& cf)
      : m_(m), cf_(cf), application_(m.sharedApplication(asObject(m.application))) {}

  // Whether the system agreed changes nothing: the alerts are shown all the same.
  void setActivationPolicyRegular() override {
    m_.setActivationPolicy(application_, activationPolicyRegular);
  }
  void activateIgnoringOtherApps() override { m_.activateIgnoringOtherApps(application_, true); }
  std::unique_ptr<Alert> makeAlert() override { return std::make_unique<AppKitAlert>(m_, cf_); }

 private:
  const AppKitMessages& m_;
  const CoreFoundation& cf_;
  Id application_;
};

class AppKitWorkspace final : public Workspace {
 public:
  AppKitWorkspace(const AppKitMessages& m, const CoreFoundation& cf, void* stackBlockClass)
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
  const AppKitMessages& m_;
  const CoreFoundation& cf_;
  void* stackBlockClass_;
};

class AppKitDesktop final : public Desktop {
 public:
  AppKitDesktop(AppKitMessages messages, const CoreFoundation& cf, void* stackBlockClass)
      : m_(messages),
        pool_(m_.initPool(m_.allocPool(asObject(m_.autoreleasePool)))),
        application_(m_, cf),
        workspace_(m_, cf, stackBlockClass) {}
  AppKitDesktop(const AppKitDesktop&) = delete;
  AppKitDesktop& operator=(const AppKitDesktop&) = delete;
  ~AppKitDesktop() override {
    if (pool_) {
      m_.drainPool(pool_);
    }
  }

  Application& application() override { return application_; }
  Workspace& workspace() override { return workspace_; }

 private:
  const AppKitMessages m_;
  Id pool_;
  AppKitApplication application_;
  AppKitWorkspace workspace_;
};

// Where AppKit is not to be had, Ruvizuve can't be found or opened either.
class NoWorkspace final : public Workspace {
 public:
  std::optional<std::string> applicationLocation(std::string_view) override { return std::nullopt; }
  void openApplication(const std::string&, std::function<void()> completion) override {
    completion();
  }
};

class TerminalDesktop final : public Desktop {
 public:
  Application& application() override { return *application_; }
  Workspace& workspace() override { return workspace_; }

 private:
  std::unique_ptr<Application> application_ = posix_impl::makeTerminalApplication();
  NoWorkspace workspace_;
};

}  // namespace

std::optional<AppKitMessages> bindAppKitMessages(const ObjcRuntime& runtime) {
  AppKitMessages messages;
  if (bindPool(runtime, messages) && bindApplication(runtime, messages) &&
      bindAlert(runtime, messages) && bindWorkspace(runtime, messages)) {
    return messages;
  }
  return std::nullopt;
}

std::unique_ptr<Desktop> makeAppKitDesktop(const ObjcRuntime* runtime, const CoreFoundation* cf) {
  auto messages = runtime && cf ? bindAppKitMessages(*runtime) : std::nullopt;
  if (!messages) {
    return std::make_unique<TerminalDesktop>();
  }
  return std::make_unique<AppKitDesktop>(*messages, *cf, runtime->stackBlockClass);
}

}  // namespace platform::macos_impl
