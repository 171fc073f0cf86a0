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

using Search = platform::ApplicationSearch::Outcome;

class FakeWorkspace : public platform::Workspace {
 public:
  FakeWorkspace(Recorder& r, Search search, Completion completion,
                std::chrono::milliseconds delay = 0ms, platform::LaunchOutcome outcome = {})
      : r_(r), search_(search), completion_(completion), delay_(delay), outcome_(outcome) {}
  ~FakeWorkspace() override {
    if (late_.joinable()) {
      late_.join();
    }
  }

  platform::ApplicationSearch findApplication(std::string_view id) override {
    r_.calls.push_back("lookup " + std::string(id));
    return {search_, search_ == Search::Found ? "/apps/host.desktop" : ""};
  }
  void openApplication(const std::string& location,
                       std::function<void(platform::LaunchOutcome)> done) override {
    r_.calls.push_back("open " + location);
    requestReturned_ = Clock::now();
    if (completion_ == Completion::Inside) {
      done(outcome_);
      // Only the first completion counts, however many the workspace makes.
      done({true, "a second completion"});
    } else if (completion_ == Completion::After) {
      late_ = std::thread([done = std::move(done), delay = delay_, outcome = outcome_] {
        std::this_thread::sleep_for(delay);
        done(outcome);
      });
    }
  }
  Clock::time_point requestReturned_;

 private:
  Recorder& r_;
  Search search_;
  Completion completion_;
  std::chrono::milliseconds delay_;
  platform::LaunchOutcome outcome_;
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
    FakeWorkspace workspace(r, Search::Found, Completion::Inside);
    notice::showInstalledNotice(app, workspace, "1.0");
    EXPECT_EQ(r.calls, installedNoticeCalls) << response;
  }
}

// A host that is not installed is to be installed; one that could not be looked for (or can't
// be opened from here) is to be opened by the user, and never said to be missing.
TEST(InstalledNotice, AHostThatCantBeOpenedGetsAWarningWithOneButton) {
  struct Case {
    Search search;
    std::vector<std::string> warning;
  };
  const Case cases[] = {
      {Search::NotFound,
       {"alert", "style 0", "message Install Ruvizuve first",
        "informative The Quality Pack works inside Ruvizuve 1.1 or newer. Drag Ruvizuve into "
        "Applications, then open it.",
        "button OK", "runModal"}},
      {Search::CouldNotLook,
       {"alert", "style 0", "message Open Ruvizuve from Applications",
        "informative The Quality Pack could not open Ruvizuve by itself. It works inside "
        "Ruvizuve 1.1 or newer: open Ruvizuve from the Applications folder.",
        "button OK", "runModal"}},
  };
  for (const auto& c : cases) {
    Recorder r;
    r.responses = {1000, 1000};
    FakeApplication app(r);
    FakeWorkspace workspace(r, c.search, Completion::Inside);
    notice::showInstalledNotice(app, workspace, "1.0");
    std::vector<std::string> expected =
        with(installedNoticeCalls, {"lookup com.ruvizuve.Ruvizuve"});
    EXPECT_EQ(r.calls, with(expected, c.warning)) << static_cast<int>(c.search);
  }
}

struct LaunchCase {
  const char* name;
  Completion completion;
  std::chrono::milliseconds delay;
  std::chrono::milliseconds wait;
  std::chrono::milliseconds expectedAtLeast;
  std::chrono::milliseconds expectedBelow;
  platform::LaunchOutcome outcome = {};
  std::vector<std::string> said = {};  // the alert that follows the launch, if any
};

const std::vector<std::string> launchFailedBecauseDamaged = {
    "alert",
    "style 0",
    "message Ruvizuve could not be opened",
    "informative The application is damaged.",
    "button OK",
    "runModal"};

TEST(InstalledNotice, LaunchIsAwaitedUntilItCompletesOrTheWaitRunsOut) {
  const LaunchCase cases[] = {
      {"completion inside the request", Completion::Inside, 0ms, 10s, 0ms, 500ms},
      {"completion after a while", Completion::After, 400ms, 10s, 350ms, 2s},
      {"no completion ever", Completion::Never, 0ms, 600ms, 600ms, 2s},
      {"completion after the wait gave up", Completion::After, 800ms, 200ms, 200ms, 700ms},
      {"a failure inside the request is said",
       Completion::Inside,
       0ms,
       10s,
       0ms,
       500ms,
       {true, "The application is damaged."},
       launchFailedBecauseDamaged},
      {"a failure after a while is said",
       Completion::After,
       100ms,
       10s,
       50ms,
       2s,
       {true, "The application is damaged."},
       launchFailedBecauseDamaged},
      {"a failure without a reason",
       Completion::Inside,
       0ms,
       10s,
       0ms,
       500ms,
       {true, ""},
       {"alert", "style 0", "message Ruvizuve could not be opened",
        "informative The system did not say why.", "button OK", "runModal"}},
      {"a failure after the wait gave up is not",
       Completion::After,
       800ms,
       200ms,
       200ms,
       700ms,
       {true, "The application is damaged."}},
  };
  for (const auto& c : cases) {
    Recorder r;
    r.responses = {1000};
    FakeApplication app(r);
    FakeWorkspace workspace(r, Search::Found, c.completion, c.delay, c.outcome);
    notice::showInstalledNotice(app, workspace, "1.0", c.wait);
    auto waited = Clock::now() - workspace.requestReturned_;
    EXPECT_GE(waited, c.expectedAtLeast) << c.name;
    EXPECT_LT(waited, c.expectedBelow) << c.name;
    auto launched =
        with(installedNoticeCalls, {"lookup com.ruvizuve.Ruvizuve", "open /apps/host.desktop"});
    EXPECT_EQ(r.calls, with(launched, c.said)) << c.name;
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
