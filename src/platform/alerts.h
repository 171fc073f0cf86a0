#pragma once

#include <memory>
#include <string>

namespace platform {

enum class AlertStyle { Warning = 0, Informational = 1 };

// The response of an alert's first button; the second answers one more, and so on.
inline constexpr int alertFirstButtonResponse = 1000;

// A modal alert, filled in and then run once.
class Alert {
 public:
  virtual ~Alert() = default;
  virtual void setStyle(AlertStyle style) = 0;
  virtual void setMessageText(const std::string& text) = 0;
  virtual void setInformativeText(const std::string& text) = 0;
  // Appends a button; the first one added is the default.
  virtual void addButton(const std::string& title) = 0;
  // Shows the alert application-modally, blocks until it is answered, closes it and returns the
  // chosen button's response; closing it any other way answers something else.
  virtual int runModal() = 0;
};

// The process as a desktop application.
class Application {
 public:
  virtual ~Application() = default;
  // Makes the process an ordinary foreground application.
  virtual void setActivationPolicyRegular() = 0;
  // Brings the process to the front even while another application is active.
  virtual void activateIgnoringOtherApps() = 0;
  virtual std::unique_ptr<Alert> makeAlert() = 0;
};

}  // namespace platform
