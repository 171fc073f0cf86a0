#include "notice/notice.h"

#include <gtest/gtest.h>

#include <atomic>
#include <deque>
#include <memory>
#include <thread>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Records every platform call in order and answers alerts from a queue of responses.
struct Recorder {
  std::vector<std::string> calls;
  std::deque<int> responses;
};

class FakeAlert : public platform::Alert {
 public:
  explicit FakeAlert(Recorder& r) : r_(r) {}
  void setStyle(platform::AlertStyle style) override {
    r_.calls.push_back("style " + std::to_string(static_cast<int>(style)));
  }
  void setMessageText(const std::string& text) override { r_.calls.push_back("message " + text); }
  void setInformativeText(const std::string& text) override {
    r_.calls.push_back("informative " + text);
  }
  void addButton(const std::string& title) override { r_.calls.push_back("button " + title); }
  int runModal() override {
    r_.calls.push_back("runModal");
    int response = r_.responses.empty() ? 1001 : r_.responses.front();
    if (!r_.responses.empty()) {
      r_.responses.pop_front();
    }
    return response;
  }

 private:
  Recorder& r_;
};

class FakeApplication : public platform::Application {
 public:
  explicit FakeApplication(Recorder& r) : r_(r) {}
  void setActivationPolicyRegular() override { r_.calls.push_back("activationPolicy regular"); }
  void activateIgnoringOtherApps() override { r_.calls.push_back("activate"); }
  std::unique_ptr<platform::Alert> makeAlert() override {
    r_.calls.push_back("alert");
    return std::make_unique<FakeAlert>(r_);
  }

 private:
  Recorder& r_;
};

// When the completion comes: from inside the request, after a delay, or never.
enum class Completion { Inside, After, Never };

class FakeWorkspace : public platform::Workspace {
 public:
  FakeWorkspace(Recorder& r, bool hostInstalled, Completion completion,
                std::chrono::milliseconds delay = 0ms)
      : r_(r), hostInstalled_(hostInstalled), completion_(completion), delay_(delay) {}
  ~FakeWorkspace() override {
    if (late_.joinable()) {
      late_.join();
    }
  }

  std::optional<std::string> applicationLocation(std::string_view id) override {
    r_.calls.push_back("lookup " + std::string(id));
    return hostInstalled_ ? std::optional<std::string>("/apps/host.desktop") : std::nullopt;
  }
  void openApplication(const std::string& location, std::function<void()> done) override {
    r_.calls.push_back("open " + location);
    requestReturned_ = Clock::now();
    if (completion_ == Completion::Inside) {
      done();
    } else if (completion_ == Completion::After) {
      late_ = std::thread([done = std::move(done), delay = delay_] {
        std::this_thread::sleep_for(delay);
        done();
      });
    }
  }
  Clock::time_point requestReturned_;

 private:
  Recorder& r_;
  bool hostInstalled_;
  Completion completion_;
  std::chrono::milliseconds delay_;
  std::thread late_;
};

const std::vector<std::string> installedNoticeCalls = {
    "activationPolicy regular",
    "activate",
    "alert",
    "style 1",
    "message Rivuderu Zororez Udod 1.0 is installed.",
    "informative Open Ruvizuve: scoring starts by itself after the next library scan, or press "
    "SCORE QUALITY in the Library (\u2318L).",
    "button Open Ruvizuve",
    "button OK",
    "runModal",
};

std::vector<std::string> with(std::vector<std::string> calls, std::vector<std::string> more) {
  calls.insert(calls.end(), more.begin(), more.end());
  return calls;
}

TEST(InstalledNotice, AnyAnswerButOpenEndsAtOnce) {
  for (int response : {1001, 0, -1, 1002, 999}) {
    Recorder r;
    r.responses = {response};
    FakeApplication app(r);
    FakeWorkspace workspace(r, true, Completion::Inside);
    notice::showInstalledNotice(app, workspace, "1.0");
    EXPECT_EQ(r.calls, installedNoticeCalls) << response;
  }
}

TEST(InstalledNotice, MissingHostGetsTheWarningWithOneButton) {
  Recorder r;
  r.responses = {1000, 1000};
  FakeApplication app(r);
  FakeWorkspace workspace(r, false, Completion::Inside);
  notice::showInstalledNotice(app, workspace, "1.0");
  EXPECT_EQ(
      r.calls,
      with(installedNoticeCalls,
           {"lookup com.ruvizuve.Ruvizuve", "alert", "style 0", "message Install Ruvizuve first",
            "informative The Quality Pack works inside Ruvizuve 1.1 or newer. Drag Ruvizuve "
            "into Applications, then open it.",
            "button OK", "runModal"}));
}

struct LaunchCase {
  const char* name;
  Completion completion;
  std::chrono::milliseconds delay;
  std::chrono::milliseconds wait;
  std::chrono::milliseconds expectedAtLeast;
  std::chrono::milliseconds expectedBelow;
};

TEST(InstalledNotice, LaunchIsAwaitedUntilItCompletesOrTheWaitRunsOut) {
  const LaunchCase cases[] = {
      {"completion inside the request", Completion::Inside, 0ms, 10s, 0ms, 500ms},
      {"completion after a while", Completion::After, 400ms, 10s, 350ms, 2s},
      {"no completion ever", Completion::Never, 0ms, 600ms, 600ms, 2s},
      {"completion after the wait gave up", Completion::After, 800ms, 200ms, 200ms, 700ms},
  };
  for (const auto& c : cases) {
    Recorder r;
    r.responses = {1000};
    FakeApplication app(r);
    FakeWorkspace workspace(r, true, c.completion, c.delay);
    notice::showInstalledNotice(app, workspace, "1.0", c.wait);
    auto waited = Clock::now() - workspace.requestReturned_;
    EXPECT_GE(waited, c.expectedAtLeast) << c.name;
    EXPECT_LT(waited, c.expectedBelow) << c.name;
    EXPECT_EQ(r.calls, with(installedNoticeCalls,
                            {"lookup com.ruvizuve.Ruvizuve", "open /apps/host.desktop"}))
        << c.name;
    // The workspace's destructor waits for a late completion, which must find the semaphore
    // alive although the notice has long returned.
  }
}

TEST(InstalledNotice, MessageCarriesTheVersionUnchanged) {
  EXPECT_EQ(notice::installedMessage("1.0"), "Rivuderu Zororez Udod 1.0 is installed.");
  EXPECT_EQ(notice::installedMessage(""), "Rivuderu Zororez Udod  is installed.");
  EXPECT_EQ(notice::installedMessage(" 2.0\xC3\x9F "),
            "Rivuderu Zororez Udod  2.0\xC3\x9F  is installed.");
}

}  // namespace
