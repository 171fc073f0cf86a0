// The desktop services on Linux: GTK 3 dialogs for the alerts and GIO's desktop entries for the
// workspace. Both libraries are opened at run time, only when the notice is shown, so the other
// modes never load a desktop library and the executable runs where none is installed.
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <optional>
#include <string>
#include <system_error>
#include <thread>

#include "platform/desktop.h"
#include "platform/posix/dynamic_library.h"
#include "platform/posix/terminal_alerts.h"

namespace platform {
namespace {

using posix_impl::DynamicLibrary;

// GTK's and GLib's types as this file uses them: only through pointers.
using GtkWidget = void;
using GAppInfo = void;
using GAppLaunchContext = void;
using GdkDisplay = void;
using GDBusConnection = void;
using GVariant = void;
struct GError;

constexpr int gtkDialogModal = 1;
constexpr int gtkMessageInfo = 0;
constexpr int gtkMessageWarning = 1;
constexpr int gtkButtonsNone = 0;
constexpr int gtkWindowPositionCenter = 1;
constexpr int gSpawnSearchPath = 1 << 2;
constexpr int gBusTypeSession = 2;
// The notice waits this long at most for the launch; the bus gets no longer to answer.
constexpr int busAnswerLimitMs = 10000;

struct GtkApi {
  DynamicLibrary library{"libgtk-3.so.0"};
  int (*init_check)(int*, char***);
  GtkWidget* (*message_dialog_new)(void*, int, int, int, const char*, ...);
  void (*message_dialog_format_secondary_text)(GtkWidget*, const char*, ...);
  GtkWidget* (*dialog_add_button)(GtkWidget*, const char*, int);
  void (*dialog_set_default_response)(GtkWidget*, int);
  int (*dialog_run)(GtkWidget*);
  void (*window_set_title)(GtkWidget*, const char*);
  void (*window_set_keep_above)(GtkWidget*, int);
  void (*window_set_position)(GtkWidget*, int);
  void (*window_present)(GtkWidget*);
  void (*widget_show_all)(GtkWidget*);
  void (*widget_destroy)(GtkWidget*);
  int (*events_pending)();
  int (*main_iteration)();
  GdkDisplay* (*display_get_default)();
  GAppLaunchContext* (*display_get_app_launch_context)(GdkDisplay*);
  void (*set_program_class)(const char*);
  void (*set_application_name)(const char*);

  GtkApi() {
    library.bind(init_check, "gtk_init_check");
    library.bind(message_dialog_new, "gtk_message_dialog_new");
    library.bind(message_dialog_format_secondary_text, "gtk_message_dialog_format_secondary_text");
    library.bind(dialog_add_button, "gtk_dialog_add_button");
    library.bind(dialog_set_default_response, "gtk_dialog_set_default_response");
    library.bind(dialog_run, "gtk_dialog_run");
    library.bind(window_set_title, "gtk_window_set_title");
    library.bind(window_set_keep_above, "gtk_window_set_keep_above");
    library.bind(window_set_position, "gtk_window_set_position");
    library.bind(window_present, "gtk_window_present");
    library.bind(widget_show_all, "gtk_widget_show_all");
    library.bind(widget_destroy, "gtk_widget_destroy");
    library.bind(events_pending, "gtk_events_pending");
    library.bind(main_iteration, "gtk_main_iteration");
    // GDK and GLib come with GTK; their functions are found through its handle.
    library.bind(display_get_default, "gdk_display_get_default");
    library.bind(display_get_app_launch_context, "gdk_display_get_app_launch_context");
    library.bind(set_program_class, "gdk_set_program_class");
    library.bind(set_application_name, "g_set_application_name");
  }

  // Lets the windowing system see what was just shown or destroyed.
  void flushEvents() const {
    while (events_pending()) {
      main_iteration();
    }
  }
};

struct GioApi {
  DynamicLibrary library{"libgio-2.0.so.0"};
  GAppInfo* (*desktop_app_info_new)(const char*);
  GAppInfo* (*desktop_app_info_new_from_filename)(const char*);
  const char* (*desktop_app_info_get_filename)(GAppInfo*);
  int (*desktop_app_info_launch_uris_as_manager)(GAppInfo*, void*, void*, int, void (*)(void*),
                                                 void*, void*, void*, GError**);
  int (*desktop_app_info_get_boolean)(GAppInfo*, const char*);
  GDBusConnection* (*bus_get_sync)(int, void*, GError**);
  GVariant* (*dbus_connection_call_sync)(GDBusConnection*, const char*, const char*, const char*,
                                         const char*, GVariant*, const void*, int, int, void*,
                                         GError**);
  GVariant* (*variant_new)(const char*, ...);
  void (*variant_unref)(GVariant*);
  void (*object_unref)(void*);
  void (*error_free)(GError*);

  GioApi() {
    library.bind(desktop_app_info_new, "g_desktop_app_info_new");
    library.bind(desktop_app_info_new_from_filename, "g_desktop_app_info_new_from_filename");
    library.bind(desktop_app_info_get_filename, "g_desktop_app_info_get_filename");
    library.bind(desktop_app_info_launch_uris_as_manager,
                 "g_desktop_app_info_launch_uris_as_manager");
    library.bind(desktop_app_info_get_boolean, "g_desktop_app_info_get_boolean");
    library.bind(bus_get_sync, "g_bus_get_sync");
    library.bind(dbus_connection_call_sync, "g_dbus_connection_call_sync");
    library.bind(variant_new, "g_variant_new");
    library.bind(variant_unref, "g_variant_unref");
    library.bind(object_unref, "g_object_unref");
    library.bind(error_free, "g_error_free");
  }

  // Lets a failed call's error go.
  void discard(GError* error) const {
    if (error) {
      error_free(error);
    }
  }
};

// Loaded once and kept for the life of the process: a launch still running on its own thread
// when the notice is done must still find them.
const GtkApi& gtkApi() {
  static const GtkApi* api = new GtkApi;
  return *api;
}

const GioApi& gioApi() {
  static const GioApi* api = new GioApi;
  return *api;
}

bool hasDisplay() {
  auto set = [](const char* name) {
    const char* value = std::getenv(name);
    return value && *value;
  };
  return set("DISPLAY") || set("WAYLAND_DISPLAY");
}

class GtkAlert final : public Alert {
 public:
  explicit GtkAlert(const GtkApi& gtk) : gtk_(gtk) {}
  void setStyle(AlertStyle style) override { style_ = style; }
  void setMessageText(const std::string& text) override { message_ = text; }
  void setInformativeText(const std::string& text) override { informative_ = text; }
  void addButton(const std::string& title) override { buttons_.push_back(title); }

  int runModal() override {
    int type = style_ == AlertStyle::Informational ? gtkMessageInfo : gtkMessageWarning;
    GtkWidget* dialog = gtk_.message_dialog_new(nullptr, gtkDialogModal, type, gtkButtonsNone, "%s",
                                                message_.c_str());
    gtk_.message_dialog_format_secondary_text(dialog, "%s", informative_.c_str());
    gtk_.window_set_title(dialog, "");
    for (size_t i = 0; i < buttons_.size(); ++i) {
      gtk_.dialog_add_button(dialog, buttons_[i].c_str(),
                             alertFirstButtonResponse + static_cast<int>(i));
    }
    if (!buttons_.empty()) {
      gtk_.dialog_set_default_response(dialog, alertFirstButtonResponse);
    }
    gtk_.window_set_position(dialog, gtkWindowPositionCenter);
    gtk_.window_set_keep_above(dialog, 1);
    gtk_.widget_show_all(dialog);
    gtk_.window_present(dialog);
    int response = gtk_.dialog_run(dialog);
    gtk_.widget_destroy(dialog);
    gtk_.flushEvents();
    return response;
  }

 private:
  const GtkApi& gtk_;
  AlertStyle style_ = AlertStyle::Warning;
  std::string message_;
  std::string informative_;
  std::vector<std::string> buttons_;
};

class GtkApplication final : public Application {
 public:
  explicit GtkApplication(const GtkApi& gtk) : gtk_(gtk) {}
  // A GTK program is an ordinary application already; each dialog is presented above the others.
  void setActivationPolicyRegular() override {}
  void activateIgnoringOtherApps() override {}
  std::unique_ptr<Alert> makeAlert() override { return std::make_unique<GtkAlert>(gtk_); }

 private:
  const GtkApi& gtk_;
};

// The launch context of the display the notice is shown on: through it GIO hands the host a
// startup-notification ID (X11) or an activation token (Wayland), so that the desktop lets the
// host's window come to the front. None without a window system.
using LaunchContextSource = std::function<GAppLaunchContext*()>;

// Applications are freedesktop desktop entries; the identifier plus ".desktop" is the entry's ID.
class GioWorkspace final : public Workspace {
 public:
  GioWorkspace(const GioApi* gio, LaunchContextSource launchContext)
      : gio_(gio), launchContext_(std::move(launchContext)) {}

  // Without GIO there is nobody to ask.
  ApplicationSearch findApplication(std::string_view bundleIdentifier) override {
    if (!gio_) {
      return {ApplicationSearch::Outcome::CouldNotLook, {}};
    }
    std::string desktopId = std::string(bundleIdentifier) + ".desktop";
    GAppInfo* info = gio_->desktop_app_info_new(desktopId.c_str());
    if (!info) {
      return {ApplicationSearch::Outcome::NotFound, {}};
    }
    const char* file = gio_->desktop_app_info_get_filename(info);
    ApplicationSearch found;
    if (file) {
      found = {ApplicationSearch::Outcome::Found, file};
    }
    gio_->object_unref(info);
    return found;
  }

  // The launch runs here, on the thread that runs GTK, as GDK requires; it returns once the host's
  // process has been started. A D-Bus-activatable host is started by the session bus instead,
  // from a message GIO only queues: the bus drops it if this process has gone before the host has
  // taken its name. So the completion waits, on a thread of its own, until the bus says the host
  // is there; the notice's own bound on the wait still holds.
  // GIO's report of a failed launch is not passed on: the completion tells only that the launch
  // is over.
  void openApplication(const std::string& location,
                       std::function<void(LaunchOutcome)> completion) override {
    std::optional<std::string> busName;
    try {
      busName = gio_ ? launch(location) : std::nullopt;
    } catch (...) {
      // Whatever went wrong, the launch is over.
    }
    if (!busName) {
      completion({});
      return;
    }
    try {
      std::thread([gio = gio_, name = *busName, completion] {
        awaitOnTheBus(*gio, name);
        completion({});
      }).detach();
    } catch (const std::system_error&) {
      completion({});
    }
  }

 private:
  // Runs in the host's process before its program starts: a session of its own, so that it
  // outlives the terminal the pack was started from, and the null device for its output, so that
  // a caller reading the pack's output is not kept waiting until the host quits.
  static void prepareHostProcess(void*) {
    ::setsid();
    int null = ::open("/dev/null", O_WRONLY);
    if (null >= 0) {
      ::dup2(null, STDOUT_FILENO);
      ::dup2(null, STDERR_FILENO);
      if (null > STDERR_FILENO) {
        ::close(null);
      }
    }
  }

  // Asks the session bus to start `name`, on the connection the launch used. The bus answers once
  // the application has taken its name, which is when it hands over the queued activation, or
  // at once when it was running already; it answers the launch's message first, since one
  // connection's messages are handled in order.
  static void awaitOnTheBus(const GioApi& gio, const std::string& name) {
    GError* error = nullptr;
    GDBusConnection* bus = gio.bus_get_sync(gBusTypeSession, nullptr, &error);
    gio.discard(error);
    if (!bus) {
      return;
    }
    error = nullptr;
    GVariant* reply = gio.dbus_connection_call_sync(
        bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
        "StartServiceByName", gio.variant_new("(su)", name.c_str(), 0u), nullptr, 0,
        busAnswerLimitMs, nullptr, &error);
    gio.discard(error);
    if (reply) {
      gio.variant_unref(reply);
    }
    gio.object_unref(bus);
  }

  // Success or failure, the caller learns only that the launch is over, and, for a host the
  // session bus starts, the name it is started under.
  std::optional<std::string> launch(const std::string& location) {
    const GioApi& gio = *gio_;
    GAppInfo* info = gio.desktop_app_info_new_from_filename(location.c_str());
    if (!info) {
      return std::nullopt;
    }
    std::optional<std::string> busName;
    if (gio.desktop_app_info_get_boolean(info, "DBusActivatable")) {
      busName = applicationIdOf(location);
    }
    GAppLaunchContext* context = launchContext_ ? launchContext_() : nullptr;
    GError* error = nullptr;
    gio.desktop_app_info_launch_uris_as_manager(info, nullptr, context, gSpawnSearchPath,
                                                prepareHostProcess, nullptr, nullptr, nullptr,
                                                &error);
    gio.discard(error);
    if (context) {
      gio.object_unref(context);
    }
    gio.object_unref(info);
    return busName;
  }

  // A desktop entry's file name less ".desktop" is the application's ID, and its bus name.
  static std::string applicationIdOf(const std::string& location) {
    std::string name = location.substr(location.find_last_of('/') + 1);
    constexpr std::string_view suffix = ".desktop";
    if (name.size() > suffix.size() &&
        name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0) {
      name.resize(name.size() - suffix.size());
    }
    return name;
  }

  const GioApi* gio_;
  LaunchContextSource launchContext_;
};

class LinuxDesktop final : public Desktop {
 public:
  explicit LinuxDesktop(std::string_view applicationName)
      : windows_(hasDisplay() && gtkApi().library.usable() &&
                 gtkApi().init_check(nullptr, nullptr)),
        workspace_(gioApi().library.usable() ? &gioApi() : nullptr,
                   windows_ ? launchContextOfDisplay : LaunchContextSource()) {
    if (windows_) {
      // GTK takes the class in WM_CLASS from the program's name while it initialises.
      std::string name(applicationName);
      gtkApi().set_application_name(name.c_str());
      gtkApi().set_program_class(name.c_str());
      application_ = std::make_unique<GtkApplication>(gtkApi());
    } else {
      application_ = posix_impl::makeTerminalApplication();
    }
  }

  Application& application() override { return *application_; }
  Workspace& workspace() override { return workspace_; }

 private:
  static GAppLaunchContext* launchContextOfDisplay() {
    const GtkApi& gtk = gtkApi();
    GdkDisplay* display = gtk.display_get_default();
    return display ? gtk.display_get_app_launch_context(display) : nullptr;
  }

  bool windows_;  // whether the alerts are GTK dialogs
  GioWorkspace workspace_;
  std::unique_ptr<Application> application_;
};

}  // namespace

std::unique_ptr<Desktop> openDesktop(std::string_view applicationName) {
  return std::make_unique<LinuxDesktop>(applicationName);
}

}  // namespace platform
