#include "platform/posix/terminal_alerts.h"

#include <unistd.h>

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

namespace platform::posix_impl {
namespace {

int responseOf(size_t buttonIndex) {
  return alertFirstButtonResponse + static_cast<int>(buttonIndex);
}

// Through the C library's streams rather than the C++ ones: <iostream> would set up the C++
// streams and their locale at every start, in every mode, for the few runs that show a notice
// on a terminal.
void tell(const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), stderr);
  std::fflush(stderr);
}

// A line of standard input without its line feed; none at the end of input.
std::optional<std::string> readLine() {
  std::string line;
  for (int c; (c = std::fgetc(stdin)) != EOF;) {
    if (c == '\n') {
      return line;
    }
    line += static_cast<char>(c);
  }
  return line.empty() ? std::nullopt : std::optional<std::string>(line);
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
      tell(text);
      return alertFirstButtonResponse;
    }
    if (!::isatty(STDIN_FILENO)) {
      tell(text);
      return responseOf(buttons_.size() - 1);
    }
    for (size_t i = 0; i < buttons_.size(); ++i) {
      text += "  " + std::to_string(i + 1) + ") " + buttons_[i] + "\n";
    }
    tell(text);
    return askForChoice();
  }

 private:
  // Return alone picks the first button, as in a dialog; end of input the last one.
  int askForChoice() {
    for (;;) {
      tell("Choose 1-" + std::to_string(buttons_.size()) + " [1]: ");
      auto line = readLine();
      if (!line) {
        tell("\n");
        return responseOf(buttons_.size() - 1);
      }
      const std::string& answer = *line;
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
