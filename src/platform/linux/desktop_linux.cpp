// The desktop services on Linux: GTK 3 dialogs for the alerts and GIO's desktop entries for the
// workspace. Both libraries are opened at run time, only when the notice is shown, so the other
// modes never load a desktop library and the executable runs where none is installed.
#include <dlfcn.h>
#include <unistd.h>

#include <cstdlib>
#include <thread>

#include "platform/desktop.h"
#include "platform/linux/terminal_alerts.h"

namespace platform {
namespace {

// A library opened with dlopen and the functions taken from it; usable only when every one of
// them was found.
class DynamicLibrary {
 public:
  explicit DynamicLibrary(const char* name) : handle_(::dlopen(name, RTLD_NOW | RTLD_LOCAL)) {}
  DynamicLibrary(const DynamicLibrary&) = delete;
  DynamicLibrary& operator=(const DynamicLibrary&) = delete;
  // Never closed: GTK and GLib register state that outlives any one call and can't be unloaded.
  ~DynamicLibrary() = default;

  template <typename Function>
  void bind(Function*& function, const char* symbol) {
    function = handle_ ? reinterpret_cast<Function*>(::dlsym(handle_, symbol)) : nullptr;
    complete_ = complete_ && function != nullptr;
  }
  bool usable() const { return handle_ && complete_; }

 private:
  void* handle_;
  bool complete_ = true;
};

// GTK's and GLib's types as this file uses them: only through pointers.
using GtkWidget = void;
using GAppInfo = void;
struct GError;

constexpr int gtkDialogModal = 1;
constexpr int gtkMessageInfo = 0;
constexpr int gtkMessageWarning = 1;
constexpr int gtkButtonsNone = 0;
constexpr int gtkWindowPositionCenter = 1;
constexpr int gSpawnSearchPath = 1 << 2;

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
  void (*object_unref)(void*);
  void (*error_free)(GError*);

  GioApi() {
    library.bind(desktop_app_info_new, "g_desktop_app_info_new");
    library.bind(desktop_app_info_new_from_filename, "g_desktop_app_info_new_from_filename");
    library.bind(desktop_app_info_get_filename, "g_desktop_app_info_get_filename");
    library.bind(desktop_app_info_launch_uris_as_manager,
                 "g_desktop_app_info_launch_uris_as_manager");
    library.bind(object_unref, "g_object_unref");
    library.bind(error_free, "g_error_free");
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

// Applications are freedesktop desktop entries; the identifier plus ".desktop" is the entry's ID.
class GioWorkspace final : public Workspace {
 public:
  explicit GioWorkspace(const GioApi* gio) : gio_(gio) {}

  std::optional<std::string> applicationLocation(std::string_view bundleIdentifier) override {
    if (!gio_) {
      return std::nullopt;
    }
    std::string desktopId = std::string(bundleIdentifier) + ".desktop";
    GAppInfo* info = gio_->desktop_app_info_new(desktopId.c_str());
    if (!info) {
      return std::nullopt;
    }
    const char* file = gio_->desktop_app_info_get_filename(info);
    std::optional<std::string> location;
    if (file) {
      location = file;
    }
    gio_->object_unref(info);
    return location;
  }

  void openApplication(const std::string& location, std::function<void()> completion) override {
    const GioApi* gio = gio_;
    std::thread([gio, location, completion = std::move(completion)] {
      if (gio) {
        launch(*gio, location);
      }
      completion();
    }).detach();
  }

 private:
  // The host gets a session of its own, so that it outlives the terminal the pack was started
  // from. Runs in the new child before its program starts.
  static void startOwnSession(void*) { ::setsid(); }

  // Success or failure, the caller learns only that the launch is over.
  static void launch(const GioApi& gio, const std::string& location) {
    GAppInfo* info = gio.desktop_app_info_new_from_filename(location.c_str());
    if (!info) {
      return;
    }
    GError* error = nullptr;
    gio.desktop_app_info_launch_uris_as_manager(info, nullptr, nullptr, gSpawnSearchPath,
                                                startOwnSession, nullptr, nullptr, nullptr, &error);
    if (error) {
      gio.error_free(error);
    }
    gio.object_unref(info);
  }

  const GioApi* gio_;
};

class LinuxDesktop final : public Desktop {
 public:
  LinuxDesktop() : workspace_(gioApi().library.usable() ? &gioApi() : nullptr) {
    if (hasDisplay() && gtkApi().library.usable() && gtkApi().init_check(nullptr, nullptr)) {
      application_ = std::make_unique<GtkApplication>(gtkApi());
    } else {
      application_ = linux_impl::makeTerminalApplication();
    }
  }

  Application& application() override { return *application_; }
  Workspace& workspace() override { return workspace_; }

 private:
  GioWorkspace workspace_;
  std::unique_ptr<Application> application_;
};

}  // namespace

std::unique_ptr<Desktop> openDesktop() {
  return std::make_unique<LinuxDesktop>();
}

}  // namespace platform
