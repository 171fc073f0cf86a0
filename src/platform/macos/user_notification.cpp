#include "platform/macos/user_notification.h"

#include <string>
#include <vector>

#include "platform/posix/terminal_alerts.h"

namespace platform::macos_impl {
namespace {

// The alert stays until it is answered, as a modal alert does.
constexpr CFTimeInterval noTimeout = 0;
// Default, alternate and other: all the buttons such an alert has.
constexpr std::size_t buttonSlots = 3;
constexpr int responseOutsideTheButtons = 0;

class UserNotificationAlert final : public Alert {
 public:
  UserNotificationAlert(const CoreFoundation& cf, UserNotificationDisplayAlert displayAlert)
      : cf_(cf), displayAlert_(displayAlert) {}

  void setStyle(AlertStyle style) override { style_ = style; }
  void setMessageText(const std::string& text) override { message_ = text; }
  void setInformativeText(const std::string& text) override { informative_ = text; }
  void addButton(const std::string& title) override { buttons_.push_back(title); }

  int runModal() override {
    CFOwned header(cf_, createDisplayText(cf_, message_));
    CFOwned informative(cf_, createDisplayText(cf_, informative_));
    CFOwned titles[buttonSlots] = {
        {cf_, buttonTitle(0)}, {cf_, buttonTitle(1)}, {cf_, buttonTitle(2)}};
    CFOptionFlags response = 0;
    // The header can't be null; without a default title the agent shows "OK".
    if (!header || displayAlert_(noTimeout, level(), nullptr, nullptr, nullptr, header.get(),
                                 informative.get(), titles[0].get(), titles[1].get(),
                                 titles[2].get(), &response) != 0) {
      return tellOnTerminal();
    }
    CFOptionFlags button = response & userNotificationResponseMask;
    return button == kCFUserNotificationCancelResponse
               ? responseOutsideTheButtons
               : alertFirstButtonResponse + static_cast<int>(button);
  }

 private:
  CFOptionFlags level() const {
    return style_ == AlertStyle::Informational ? kCFUserNotificationNoteAlertLevel
                                               : kCFUserNotificationCautionAlertLevel;
  }

  CFStringRef buttonTitle(std::size_t index) const {
    return index < buttons_.size() ? createDisplayText(cf_, buttons_[index]) : nullptr;
  }

  int tellOnTerminal() const {
    auto alert = posix_impl::makeTerminalApplication()->makeAlert();
    alert->setStyle(style_);
    alert->setMessageText(message_);
    alert->setInformativeText(informative_);
    for (const auto& title : buttons_) {
      alert->addButton(title);
    }
    return alert->runModal();
  }

  const CoreFoundation& cf_;
  UserNotificationDisplayAlert displayAlert_;
  AlertStyle style_ = AlertStyle::Warning;
  std::string message_;
  std::string informative_;
  std::vector<std::string> buttons_;
};

// The agent's alert comes to the front by itself: there is nothing of this process's own to
// make a regular application or to activate.
class UserNotificationApplication final : public Application {
 public:
  UserNotificationApplication(const CoreFoundation& cf, UserNotificationDisplayAlert displayAlert)
      : cf_(cf), displayAlert_(displayAlert) {}

  void setActivationPolicyRegular() override {}
  void activateIgnoringOtherApps() override {}
  std::unique_ptr<Alert> makeAlert() override {
    return std::make_unique<UserNotificationAlert>(cf_, displayAlert_);
  }

 private:
  const CoreFoundation& cf_;
  UserNotificationDisplayAlert displayAlert_;
};

}  // namespace

std::unique_ptr<Application> makeUserNotificationApplication(
    const CoreFoundation& cf, UserNotificationDisplayAlert displayAlert) {
  return std::make_unique<UserNotificationApplication>(cf, displayAlert);
}

}  // namespace platform::macos_impl
