#include "platform/posix/terminal_alerts.h"

#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

namespace platform::posix_impl {
namespace {

int responseOf(size_t buttonIndex) {
  return alertFirstButtonResponse + static_cast<int>(buttonIndex);
}

class TerminalAlert final : public Alert {
 public:
  // A terminal has no alert styles; the texts say it all.
  void setStyle(AlertStyle) override {}
  void setMessageText(const std::string& text) override { message_ = text; }
  void setInformativeText(const std::string& text) override { informative_ = text; }
  void addButton(const std::string& title) override { buttons_.push_back(title); }

  int runModal() override {
    std::string text = message_ + "\n" + informative_ + "\n";
    if (buttons_.empty()) {
      std::cerr << text << std::flush;
      return alertFirstButtonResponse;
    }
    if (!::isatty(STDIN_FILENO)) {
      std::cerr << text << std::flush;
      return responseOf(buttons_.size() - 1);
    }
    for (size_t i = 0; i < buttons_.size(); ++i) {
      text += "  " + std::to_string(i + 1) + ") " + buttons_[i] + "\n";
    }
    std::cerr << text << std::flush;
    return askForChoice();
  }

 private:
  // Return alone picks the first button, as in a dialog; end of input the last one.
  int askForChoice() {
    std::string answer;
    for (;;) {
      std::cerr << "Choose 1-" << buttons_.size() << " [1]: " << std::flush;
      if (!std::getline(std::cin, answer)) {
        std::cerr << "\n";
        return responseOf(buttons_.size() - 1);
      }
      if (answer.empty()) {
        return alertFirstButtonResponse;
      }
      if (answer.size() <= 2 && answer.find_first_not_of("0123456789") == std::string::npos) {
        size_t chosen = std::stoul(answer);
        if (chosen >= 1 && chosen <= buttons_.size()) {
          return responseOf(chosen - 1);
        }
      }
    }
  }

  std::string message_;
  std::string informative_;
  std::vector<std::string> buttons_;
};

class TerminalApplication final : public Application {
 public:
  void setActivationPolicyRegular() override {}
  void activateIgnoringOtherApps() override {}
  std::unique_ptr<Alert> makeAlert() override { return std::make_unique<TerminalAlert>(); }
};

}  // namespace

std::unique_ptr<Application> makeTerminalApplication() {
  return std::make_unique<TerminalApplication>();
}

}  // namespace platform::posix_impl
