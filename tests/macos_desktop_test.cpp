// The macOS notice against recording fakes of the Objective-C runtime, CoreGraphics' session,
// CoreFoundation's user-notification alert and run loop, and Launch Services: the messages AppKit
// gets, in order and with their arguments, and the alerts the system's agent shows, for each way
// through the notice; the wait for the launch in turns of the run loop, on a clock of the test's;
// the completion block as the system's block runtime copies, calls and disposes of it; and the
// check of each method's types before anything is sent.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <thread>
#include <type_traits>

#include "notice/notice.h"
#include "platform/macos/appkit_desktop.h"
#include "platform/macos/completion_block.h"
#include "support/fake_core_foundation.h"

namespace {

using namespace std::chrono_literals;
using namespace platform::macos_impl;
using Clock = std::chrono::steady_clock;

// BOOL as the runtime encodes it on the architecture the test runs on.
const std::string boolCode = std::is_same_v<ObjcBool, bool> ? "B" : "c";

// Each method as AppKit declares it, encoded as the runtime reports it (frame offsets and the
// oneway qualifier of -release included).
std::map<std::string, std::string> appKitMethods() {
  return {
      {"+NSAutoreleasePool alloc", "@16@0:8"},
      {"-NSAutoreleasePool init", "@16@0:8"},
      {"-NSAutoreleasePool drain", "v16@0:8"},
      {"+NSApplication sharedApplication", "@16@0:8"},
      {"-NSApplication setActivationPolicy:", boolCode + "24@0:8q16"},
      {"-NSApplication activateIgnoringOtherApps:", "v20@0:8" + boolCode + "16"},
      {"+NSAlert alloc", "@16@0:8"},
      {"-NSAlert init", "@16@0:8"},
      {"-NSAlert setAlertStyle:", "v24@0:8Q16"},
      {"-NSAlert setMessageText:", "v24@0:8@16"},
      {"-NSAlert setInformativeText:", "v24@0:8@16"},
      {"-NSAlert addButtonWithTitle:", "@24@0:8@16"},
      {"-NSAlert runModal", "q16@0:8"},
      {"-NSAlert release", "Vv16@0:8"},
      {"+NSWorkspace sharedWorkspace", "@16@0:8"},
      {"-NSWorkspace URLForApplicationWithBundleIdentifier:", "@24@0:8@16"},
      {"-NSWorkspace openApplicationAtURL:configuration:completionHandler:", "v40@0:8@16@24@?32"},
      {"+NSWorkspaceOpenConfiguration alloc", "@16@0:8"},
      {"-NSWorkspaceOpenConfiguration init", "@16@0:8"},
      {"-NSWorkspaceOpenConfiguration release", "Vv16@0:8"},
  };
}

// When the workspace calls the completion handler: inside the request; on a thread of its own
// after `completionDelay`; on the main thread, from the turn of the run loop in which the test's
// clock passes `completionDelay` after the request; or never.
enum class Completion { InsideTheRequest, Later, DuringATurn, Never };

// What Launch Services answers: whether the host is installed, an empty list, a failure of its
// own (kLSServerCommunicationErr), or nothing at all where CoreServices can't be had.
enum class LaunchServices { Answers, EmptyList, Fails, Missing };

// An object of the fake runtime: a class, or an instance named after its class.
struct FakeObject {
  std::string name;
  std::string className;
};

// What the block runtime reads of a descriptor with a signature: two words after the reserved
// word and the size, and two more after the copy and dispose helpers, the signature and the
// layout. Read as the runtime reads it, by place rather than by name.
const char* const* signatureAndLayoutOf(const BlockDescriptor* descriptor) {
  return reinterpret_cast<const char* const*>(reinterpret_cast<const char*>(descriptor) +
                                              2 * sizeof(unsigned long) + 2 * sizeof(void (*)()));
}

// A copy of the completion block made as the block runtime makes one (_Block_copy): the bytes,
// then the block's own copy helper; released with its dispose helper.
struct HeapBlock {
  CompletionBlock* block;
  explicit HeapBlock(const CompletionBlock* stack) {
    EXPECT_EQ(stack->flags & blockHasCopyDispose, blockHasCopyDispose);
    EXPECT_EQ(stack->flags & blockHasSignature, blockHasSignature);
    const char* const* signatureAndLayout = signatureAndLayoutOf(stack->descriptor);
    EXPECT_STREQ(signatureAndLayout[0], "v24@?0@8@16");
    EXPECT_EQ(signatureAndLayout[1], nullptr);
    block = static_cast<CompletionBlock*>(std::malloc(stack->descriptor->size));
    std::memcpy(block, stack, stack->descriptor->size);
    block->isa = nullptr;  // a heap block's class, which no test looks at
    stack->descriptor->copy(block, stack);
  }
  void call(const fake_cf::Object* error) const {
    block->invoke(block, nullptr, reinterpret_cast<Id>(const_cast<fake_cf::Object*>(error)));
  }
  ~HeapBlock() {
    block->descriptor->dispose(block);
    std::free(block);
  }
};

struct Runtime {
  // The system around AppKit.
  bool session = true;
  bool appKitLoads = true;
  bool terminal = false;
  int appKitOpened = 0;
  // The user-notification agent: what it showed, what it answers (the alternate button once
  // the list runs out), and its result.
  std::vector<std::string> displayed;
  std::deque<CFOptionFlags> alertResponses;
  SInt32 alertStatus = 0;

  std::map<std::string, std::string> methods = appKitMethods();
  std::set<std::string> classes = {"NSAutoreleasePool", "NSApplication", "NSAlert", "NSWorkspace",
                                   "NSWorkspaceOpenConfiguration"};
  std::vector<std::string> sent;
  std::deque<NSInteger> responses;
  bool hostInstalled = true;
  bool configurationInits = true;  // whether -init of an open configuration answers one
  bool macOS14OrLater = false;
  bool versionKnown = true;  // whether the system can be asked its version
  LaunchServices launchServices = LaunchServices::Answers;
  std::vector<std::string> launchServicesAsked;
  Completion completion = Completion::InsideTheRequest;
  std::chrono::milliseconds completionDelay = 0ms;
  // The launch's error, an NSError (a CoreFoundation error); none for a launch that succeeded.
  std::optional<fake_cf::Object> launchError;
  // The run loop: what each turn answers, how long each was asked to run (it runs that long on
  // the test's clock where `testClock` is set, else in real time), and the clock.
  SInt32 runLoopAnswer = kCFRunLoopRunTimedOut;
  std::vector<double> turns;
  bool testClock = false;
  Clock::time_point now = Clock::now();
  Clock::time_point requested;
  fake_cf::Object defaultMode = fake_cf::stringValue("kCFRunLoopDefaultMode");
  // Where the workspace says the host is; a CoreFoundation URL, as NSURL is.
  fake_cf::Object hostUrl = [] {
    fake_cf::Object url;
    url.isUrl = true;
    url.text = "/Applications/Ruvizuve.app";
    return url;
  }();

  std::map<std::string, std::unique_ptr<FakeObject>> classObjects;
  std::vector<std::unique_ptr<FakeObject>> instances;
  std::set<std::string> selectors;
  std::map<std::string, Imp> messengers;
  std::vector<std::unique_ptr<HeapBlock>> keptBlocks;
  std::thread late;
  std::atomic<int> completionsCalled{0};

  ~Runtime() {
    if (late.joinable()) {
      late.join();
    }
  }
};

Runtime* rt = nullptr;

std::string nameOf(Id object) {
  if (!object) {
    return "nil";
  }
  // Strings and URLs come from CoreFoundation; everything else from this runtime.
  for (const auto& instance : rt->instances) {
    if (reinterpret_cast<Id>(instance.get()) == object) {
      return instance->name;
    }
  }
  for (const auto& [name, cls] : rt->classObjects) {
    if (reinterpret_cast<Id>(cls.get()) == object) {
      return name;
    }
  }
  const auto* cf = fake_cf::asObject(reinterpret_cast<CFTypeRef>(object));
  return cf->isUrl ? "<" + cf->text + ">" : "\"" + cf->text + "\"";
}

template <typename T>
std::string shown(T value) {
  if constexpr (std::is_same_v<T, Id>) {
    return nameOf(value);
  } else if constexpr (std::is_same_v<T, CompletionBlock*>) {
    return "block";
  } else {
    return std::to_string(static_cast<long>(value));
  }
}

FakeObject* newInstance(const std::string& className) {
  int count = 0;
  for (const auto& instance : rt->instances) {
    count += instance->className == className;
  }
  rt->instances.push_back(std::make_unique<FakeObject>(
      FakeObject{className + "#" + std::to_string(count + 1), className}));
  return rt->instances.back().get();
}

Id asId(FakeObject* object) {
  return reinterpret_cast<Id>(object);
}

Clock::time_point clockNow() {
  return rt->testClock ? rt->now : Clock::now();
}

const fake_cf::Object* launchError() {
  return rt->launchError ? &*rt->launchError : nullptr;
}

void handOver(CompletionBlock* stackBlock) {
  auto copy = std::make_unique<HeapBlock>(stackBlock);
  rt->requested = clockNow();
  switch (rt->completion) {
    case Completion::InsideTheRequest:
      copy->call(launchError());
      ++rt->completionsCalled;
      break;
    case Completion::Later:
      rt->late = std::thread([copy = std::move(copy), delay = rt->completionDelay] {
        std::this_thread::sleep_for(delay);
        copy->call(launchError());
        ++rt->completionsCalled;
      });
      break;
    case Completion::DuringATurn:
    case Completion::Never:
      rt->keptBlocks.push_back(std::move(copy));
      break;
  }
}

// CFRunLoopRunInMode: a turn as long as asked, in which a completion that is due comes.
SInt32 runInMode(CFStringRef mode, CFTimeInterval seconds, Boolean returnAfterSourceHandled) {
  EXPECT_EQ(mode, fake_cf::asRef(&rt->defaultMode));
  EXPECT_TRUE(returnAfterSourceHandled);
  rt->turns.push_back(seconds);
  auto length = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
  if (rt->testClock) {
    rt->now += length;
  } else {
    std::this_thread::sleep_for(length);
  }
  if (rt->completion == Completion::DuringATurn && !rt->keptBlocks.empty() &&
      clockNow() - rt->requested >= rt->completionDelay) {
    rt->keptBlocks.back()->call(launchError());
    rt->keptBlocks.pop_back();
    ++rt->completionsCalled;
    return kCFRunLoopRunHandledSource;
  }
  return rt->runLoopAnswer;
}

// LSCopyApplicationURLsForBundleIdentifier: an array the caller owns, or none and an error it
// owns.
CFArrayRef copyApplicationURLs(CFStringRef bundleIdentifier, CFErrorRef* error) {
  rt->launchServicesAsked.push_back(fake_cf::asObject(bundleIdentifier)->text);
  constexpr CFIndex serverCommunicationError = -10822;
  auto failWith = [&](CFIndex code) {
    *error = fake_cf::asRef(fake_cf::world().make(fake_cf::errorValue(code, "")));
    return nullptr;
  };
  switch (rt->launchServices) {
    case LaunchServices::Answers:
      return rt->hostInstalled ? fake_cf::asRef(fake_cf::world().make(fake_cf::arrayValue(1)))
                               : failWith(-10814);
    case LaunchServices::EmptyList:
      return fake_cf::asRef(fake_cf::world().make(fake_cf::arrayValue(0)));
    case LaunchServices::Fails:
    case LaunchServices::Missing:
      break;
  }
  return failWith(serverCommunicationError);
}

// What a message answers: objects for object-returning ones, numbers for the rest.
struct Answer {
  Id object = nullptr;
  long number = 0;
};

Answer answer(Id receiver, const std::string& selector, CompletionBlock* block) {
  auto* target = reinterpret_cast<FakeObject*>(receiver);
  if (selector == "alloc") {
    return {asId(newInstance(target->name))};
  }
  if (selector == "init" && target->className == "NSWorkspaceOpenConfiguration" &&
      !rt->configurationInits) {
    return {};
  }
  if (selector == "init" || selector == "sharedApplication" || selector == "sharedWorkspace") {
    return {selector == "init" ? receiver : asId(newInstance(target->name))};
  }
  if (selector == "setActivationPolicy:") {
    return {nullptr, 1};
  }
  if (selector == "runModal") {
    long response = rt->responses.empty() ? 1001 : rt->responses.front();
    if (!rt->responses.empty()) {
      rt->responses.pop_front();
    }
    return {nullptr, response};
  }
  if (selector == "addButtonWithTitle:") {
    return {asId(newInstance("NSButton"))};
  }
  if (selector == "URLForApplicationWithBundleIdentifier:" && rt->hostInstalled) {
    return {reinterpret_cast<Id>(const_cast<fake_cf::Object*>(&rt->hostUrl))};
  }
  if (selector == "openApplicationAtURL:configuration:completionHandler:") {
    handOver(block);
  }
  return {};
}

CompletionBlock* blockIn(CompletionBlock* block) {
  return block;
}
template <typename T>
CompletionBlock* blockIn(T) {
  return nullptr;
}

// objc_msgSend as the backend casts it, for one function type.
template <typename R, typename... A>
R fakeSend(Id receiver, Sel selector, A... arguments) {
  const std::string& name = *reinterpret_cast<const std::string*>(selector);
  std::string line = nameOf(receiver) + " " + name;
  ((line += " " + shown(arguments)), ...);
  rt->sent.push_back(line);
  CompletionBlock* block = nullptr;
  ((block = block ? block : blockIn(arguments)), ...);
  Answer a = answer(receiver, name, block);
  if constexpr (std::is_same_v<R, Id>) {
    return a.object;
  } else if constexpr (!std::is_void_v<R>) {
    return static_cast<R>(a.number);
  }
}

template <typename R, typename... A>
void addMessenger() {
  rt->messengers[Message<R(A...)>::types.data()] = reinterpret_cast<Imp>(&fakeSend<R, A...>);
}

Class getClass(const char* name) {
  if (!rt->classes.count(name)) {
    return nullptr;
  }
  auto& cls = rt->classObjects[name];
  if (!cls) {
    cls = std::make_unique<FakeObject>(FakeObject{name, name});
  }
  return reinterpret_cast<Class>(cls.get());
}

Sel registerName(const char* name) {
  return reinterpret_cast<Sel>(const_cast<std::string*>(&*rt->selectors.insert(name).first));
}

// A method is its entry in the table of methods.
Method findMethod(char kind, Class cls, Sel sel) {
  std::string key = kind + reinterpret_cast<FakeObject*>(cls)->name + " " +
                    *reinterpret_cast<const std::string*>(sel);
  auto found = rt->methods.find(key);
  return found == rt->methods.end() ? nullptr : reinterpret_cast<Method>(&*found);
}

Method getInstanceMethod(Class cls, Sel sel) {
  return findMethod('-', cls, sel);
}
Method getClassMethod(Class cls, Sel sel) {
  return findMethod('+', cls, sel);
}

const char* methodTypeEncoding(Method method) {
  return reinterpret_cast<std::pair<const std::string, std::string>*>(method)->second.c_str();
}

Imp messengerFor(const char* types) {
  auto found = rt->messengers.find(types);
  return found == rt->messengers.end() ? nullptr : found->second;
}

int stackBlockClass;

const ObjcRuntime runtimeTable{getClass,           registerName, getInstanceMethod, getClassMethod,
                               methodTypeEncoding, messengerFor, &stackBlockClass};

// CGSessionCopyCurrentDictionary: a dictionary the caller owns, or none.
CFDictionaryRef copySessionDictionary() {
  return rt->session ? fake_cf::asRef(fake_cf::world().make(fake_cf::stringValue("session")))
                     : nullptr;
}

const ObjcRuntime* openAppKit() {
  ++rt->appKitOpened;
  return rt->appKitLoads ? &runtimeTable : nullptr;
}

// CFUserNotificationDisplayAlert, with the values CFUserNotification.h gives: alert levels 1
// (note) and 2 (caution); the answer in the lowest two bits.
SInt32 displayAlert(CFTimeInterval timeout, CFOptionFlags flags, CFURLRef iconURL,
                    CFURLRef soundURL, CFURLRef localizationURL, CFStringRef header,
                    CFStringRef message, CFStringRef defaultTitle, CFStringRef alternateTitle,
                    CFStringRef otherTitle, CFOptionFlags* responseFlags) {
  auto text = [](CFStringRef string) {
    return string ? "\"" + fake_cf::asObject(string)->text + "\"" : std::string("nil");
  };
  std::string level = flags == 1 ? "note" : flags == 2 ? "caution" : std::to_string(flags);
  rt->displayed.push_back(level + " " + text(header) + " " + text(message) + " buttons " +
                          text(defaultTitle) + " " + text(alternateTitle) + " " + text(otherTitle));
  EXPECT_EQ(timeout, 0) << "an alert that waits for its answer";
  EXPECT_EQ(iconURL, nullptr);
  EXPECT_EQ(soundURL, nullptr);
  EXPECT_EQ(localizationURL, nullptr);
  *responseFlags = 1;
  if (!rt->alertResponses.empty()) {
    *responseFlags = rt->alertResponses.front();
    rt->alertResponses.pop_front();
  }
  return rt->alertStatus;
}

class MacNotice : public testing::Test {
 protected:
  void SetUp() override {
    fake_cf::reset();
    runtime_ = std::make_unique<Runtime>();
    rt = runtime_.get();
    SetUpMessengers();
  }
  // The messengers for every function type the backend sends with.
  static void SetUpMessengers() {
    addMessenger<Id>();
    addMessenger<void>();
    addMessenger<ObjcBool, NSInteger>();
    addMessenger<void, ObjcBool>();
    addMessenger<void, NSUInteger>();
    addMessenger<void, Id>();
    addMessenger<Id, Id>();
    addMessenger<NSInteger>();
    addMessenger<void, Id, Id, CompletionBlock*>();
  }
  void TearDown() override {
    runtime_.reset();
    rt = nullptr;
    EXPECT_EQ(fake_cf::world().alive, 0) << "strings or URLs not released";
  }

  // A fresh runtime, as one row of a table of cases wants it.
  void startOver() {
    runtime_ = std::make_unique<Runtime>();
    rt = runtime_.get();
    SetUpMessengers();
  }

  // The system the desktop is made of, as the runtime of this test has it.
  static MacDesktopServices services() {
    MacDesktopServices services;
    services.cf = &fake_cf::table();
    services.copySessionDictionary = copySessionDictionary;
    services.openAppKit = openAppKit;
    services.displayAlert = displayAlert;
    services.standardInputIsTerminal = rt->terminal;
    if (rt->versionKnown) {
      services.isMacOS14OrLater = [] { return rt->macOS14OrLater; };
    }
    if (rt->launchServices != LaunchServices::Missing) {
      services.copyApplicationURLs = copyApplicationURLs;
    }
    services.runLoop = {runInMode, fake_cf::asRef(&rt->defaultMode), clockNow};
    return services;
  }

  // Runs the notice as the entry does: the desktop lives for the notice and goes after it.
  void showNotice(std::chrono::milliseconds launchWait = notice::hostLaunchWait) {
    auto desktop = makeMacDesktop(services());
    notice::showInstalledNotice(desktop->application(), desktop->workspace(), "1.0", launchWait);
  }

  // The notice, with what it tells on standard error.
  std::string showNoticeTelling() {
    testing::internal::CaptureStderr();
    showNotice();
    return testing::internal::GetCapturedStderr();
  }

  std::unique_ptr<Runtime> runtime_;
};

const std::vector<std::string> installedNotice = {
    "NSAutoreleasePool alloc",
    "NSAutoreleasePool#1 init",
    "NSApplication sharedApplication",
    "NSApplication#1 setActivationPolicy: 0",
    "NSApplication#1 activateIgnoringOtherApps: 1",
    "NSAlert alloc",
    "NSAlert#1 init",
    "NSAlert#1 setAlertStyle: 1",
    "NSAlert#1 setMessageText: \"Rivuderu Zororez Udod 1.0 is installed.\"",
    "NSAlert#1 setInformativeText: \"Open Ruvizuve: scoring starts by itself after the next "
    "library scan, or press SCORE QUALITY in the Library (\u2318L).\"",
    "NSAlert#1 addButtonWithTitle: \"Open Ruvizuve\"",
    "NSAlert#1 addButtonWithTitle: \"OK\"",
    "NSAlert#1 runModal",
    "NSAlert#1 release",
};

const std::vector<std::string> lookUpHost = {
    "NSWorkspace sharedWorkspace",
    "NSWorkspace#1 URLForApplicationWithBundleIdentifier: \"com.ruvizuve.Ruvizuve\"",
};

const std::vector<std::string> launchHost = {
    "NSWorkspaceOpenConfiguration alloc",
    "NSWorkspaceOpenConfiguration#1 init",
    "NSWorkspace sharedWorkspace",
    "NSWorkspace#2 openApplicationAtURL:configuration:completionHandler: "
    "</Applications/Ruvizuve.app> NSWorkspaceOpenConfiguration#1 block",
    "NSWorkspaceOpenConfiguration#1 release",
};

std::vector<std::string> joined(std::initializer_list<std::vector<std::string>> parts) {
  std::vector<std::string> all;
  for (const auto& part : parts) {
    all.insert(all.end(), part.begin(), part.end());
  }
  return all;
}

const std::vector<std::string> drain = {"NSAutoreleasePool#1 drain"};

TEST_F(MacNotice, AnsweredWithOkItShowsTheInstalledNoticeOnly) {
  rt->responses = {1001};
  showNotice();
  EXPECT_EQ(rt->sent, joined({installedNotice, drain}));
}

// A warning alert with the one button "OK", the second alert the notice shows.
std::vector<std::string> warningAlert(const std::string& message, const std::string& informative) {
  return {
      "NSAlert alloc",
      "NSAlert#2 init",
      "NSAlert#2 setAlertStyle: 0",
      "NSAlert#2 setMessageText: \"" + message + "\"",
      "NSAlert#2 setInformativeText: \"" + informative + "\"",
      "NSAlert#2 addButtonWithTitle: \"OK\"",
      "NSAlert#2 runModal",
      "NSAlert#2 release",
  };
}

const std::vector<std::string> hostMissing =
    warningAlert("Install Ruvizuve first",
                 "The Quality Pack works inside Ruvizuve 1.1 or newer. Drag Ruvizuve into "
                 "Applications, then open it.");
const std::vector<std::string> hostUnreachable =
    warningAlert("Open Ruvizuve from Applications",
                 "The Quality Pack could not open Ruvizuve by itself. It works inside Ruvizuve 1.1 "
                 "or newer: open Ruvizuve from the Applications folder.");

TEST_F(MacNotice, WithoutTheHostItSaysToInstallIt) {
  rt->responses = {1000, 1000};
  rt->hostInstalled = false;
  showNotice();
  EXPECT_EQ(rt->sent, joined({installedNotice, lookUpHost, hostMissing, drain}));
}

TEST_F(MacNotice, OpenLaunchesTheHostWithADefaultConfiguration) {
  rt->responses = {1000};
  showNotice();
  EXPECT_EQ(rt->sent, joined({installedNotice, lookUpHost, launchHost, drain}));
  EXPECT_EQ(rt->completionsCalled, 1);
}

// A launch that can't even be requested has failed, and is said to have.
TEST_F(MacNotice, ALaunchThatCantBeRequestedIsSaidToHaveFailed) {
  rt->responses = {1000, 1000};
  rt->configurationInits = false;
  showNotice();
  const std::vector<std::string> noConfiguration = {"NSWorkspaceOpenConfiguration alloc",
                                                    "NSWorkspaceOpenConfiguration#1 init"};
  EXPECT_EQ(
      rt->sent,
      joined({installedNotice, lookUpHost, noConfiguration,
              warningAlert("Ruvizuve could not be opened", "The system did not say why."), drain}));
}

// The handler's copy holds its own share of what the completion signals: the waiter gives up at
// its bound and goes, and the completion that comes afterwards still finds it. The sanitizers
// would see a semaphore used after it was destroyed, or a copy disposed of twice or never.
TEST_F(MacNotice, ACompletionAfterTheWaiterGaveUpFindsItsSemaphore) {
  rt->responses = {1000};
  rt->completion = Completion::Later;
  rt->completionDelay = 300ms;
  auto start = Clock::now();
  showNotice(50ms);
  auto waited = Clock::now() - start;
  EXPECT_GE(waited, 50ms);
  EXPECT_LT(waited, 250ms);
  EXPECT_EQ(rt->completionsCalled, 0);
  rt->late.join();
  EXPECT_EQ(rt->completionsCalled, 1);
}

TEST_F(MacNotice, ACompletionThatComesBeforeTheBoundEndsTheWait) {
  rt->responses = {1000};
  rt->completion = Completion::Later;
  rt->completionDelay = 50ms;
  auto start = Clock::now();
  showNotice(5s);
  EXPECT_LT(Clock::now() - start, 2s);
  EXPECT_EQ(rt->completionsCalled, 1);
}

TEST_F(MacNotice, WithoutACompletionTheWaitEndsAtTheBound) {
  rt->responses = {1000};
  rt->completion = Completion::Never;
  auto start = Clock::now();
  showNotice(100ms);
  auto waited = Clock::now() - start;
  EXPECT_GE(waited, 100ms);
  EXPECT_LT(waited, 2s);
  EXPECT_EQ(rt->keptBlocks.size(), 1u);
}

// The launch is awaited in short turns of the main run loop, on the test's clock, until its
// completion or the bound of 10 s; a failed launch is said, with the system's description of the
// error. Where the run loop has nothing to run, a turn would not wait: the rest is a plain wait.
TEST_F(MacNotice, TheLaunchIsAwaitedInTurnsOfTheRunLoop) {
  struct Case {
    const char* name;
    Completion completion;
    std::chrono::milliseconds delay;
    std::optional<fake_cf::Object> error;
    std::vector<std::string> said;  // the alert after the launch
    std::chrono::milliseconds waitedAtLeast;
    std::chrono::milliseconds waitedBelow;  // on the test's clock
    SInt32 runLoopAnswer = kCFRunLoopRunTimedOut;
  };
  const std::string damaged = "The application \u201cRuvizuve\u201d can\u2019t be opened.";
  fake_cf::Object unconvertible = fake_cf::errorValue(-10810, "");
  unconvertible.convertible = false;
  const std::vector<std::string> failedBecauseDamaged =
      warningAlert("Ruvizuve could not be opened", damaged);
  const Case cases[] = {
      {"success inside the request", Completion::InsideTheRequest, 0ms, std::nullopt, {}, 0ms, 1ms},
      {"failure inside the request", Completion::InsideTheRequest, 0ms,
       fake_cf::errorValue(-10810, damaged), failedBecauseDamaged, 0ms, 1ms},
      {"success after 2 s", Completion::DuringATurn, 2s, std::nullopt, {}, 2s, 2050ms},
      {"failure after 2 s", Completion::DuringATurn, 2s, fake_cf::errorValue(-10810, damaged),
       failedBecauseDamaged, 2s, 2050ms},
      {"a failure whose description can't be read", Completion::DuringATurn, 2s, unconvertible,
       warningAlert("Ruvizuve could not be opened", "The system did not say why."), 2s, 2050ms},
      {"no completion ever: the bound", Completion::Never, 0ms, std::nullopt, {}, 10s, 10001ms},
      {"a failure after the bound is not said",
       Completion::DuringATurn,
       11s,
       fake_cf::errorValue(-10810, damaged),
       {},
       10s,
       10001ms},
      {"nothing to run: one turn, then a plain wait",
       Completion::Later,
       500ms,
       std::nullopt,
       {},
       50ms,
       51ms,
       kCFRunLoopRunFinished},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    startOver();
    rt->testClock = true;
    rt->responses = {1000, 1000};
    rt->completion = c.completion;
    rt->completionDelay = c.delay;
    rt->launchError = c.error;
    rt->runLoopAnswer = c.runLoopAnswer;
    auto start = Clock::now();
    showNotice();
    EXPECT_LT(Clock::now() - start, 5s) << "waited in real time";
    if (rt->late.joinable()) {
      rt->late.join();
    }
    EXPECT_EQ(rt->sent, joined({installedNotice, lookUpHost, launchHost, c.said, drain}));
    for (double turn : rt->turns) {
      EXPECT_GT(turn, 0);
      EXPECT_LE(turn, 0.05);
    }
    auto waited = rt->now - rt->requested;
    EXPECT_GE(waited, c.waitedAtLeast);
    EXPECT_LT(waited, c.waitedBelow);
  }
}

// The wait says whether the launch was signalled: without a signal it ends, false, once the bound
// has passed on the test's clock; a signal that came first ends it at once.
TEST_F(MacNotice, TheWaitSaysWhetherTheLaunchWasSignalled) {
  rt->testClock = true;
  auto desktop = makeMacDesktop(services());
  platform::Semaphore launched(0);
  auto start = rt->now;
  EXPECT_FALSE(desktop->workspace().awaitLaunch(launched, 200ms));
  EXPECT_EQ(rt->now - start, 200ms);
  launched.signal();
  EXPECT_TRUE(desktop->workspace().awaitLaunch(launched, 200ms));
  EXPECT_EQ(rt->now - start, 200ms) << "a turn after the signal had come";
}

const std::string installedByAgent =
    "note \"Rivuderu Zororez Udod 1.0 is installed.\" \"Open Ruvizuve: scoring starts by itself "
    "after the next library scan, or press SCORE QUALITY in the Library (\u2318L).\" buttons "
    "\"Open Ruvizuve\" \"OK\" nil";
const std::string hostMissingByAgent =
    "caution \"Install Ruvizuve first\" \"The Quality Pack works inside Ruvizuve 1.1 or newer. "
    "Drag Ruvizuve into Applications, then open it.\" buttons \"OK\" nil nil";
const std::string hostUnreachableByAgent =
    "caution \"Open Ruvizuve from Applications\" \"The Quality Pack could not open Ruvizuve by "
    "itself. It works inside Ruvizuve 1.1 or newer: open Ruvizuve from the Applications folder.\" "
    "buttons \"OK\" nil nil";

bool sentTo(const std::string& receiverPrefix) {
  return std::any_of(rt->sent.begin(), rt->sent.end(),
                     [&](const std::string& line) { return line.rfind(receiverPrefix, 0) == 0; });
}

// The installed notice with the activation the system offers in place of the one before
// macOS 14.
std::vector<std::string> installedNoticeActivatedBy(const std::vector<std::string>& activation) {
  std::vector<std::string> lines = installedNotice;
  auto at = std::find(lines.begin(), lines.end(), "NSApplication#1 activateIgnoringOtherApps: 1");
  at = lines.erase(at);
  lines.insert(at, activation.begin(), activation.end());
  return lines;
}

// -activate from macOS 14 on, where it is documented; -activateIgnoringOtherApps: before it, or
// where the system can't tell its version, whatever the runtime answers to. An application that
// answers to neither (or to each with other types) shows its alerts all the same.
TEST_F(MacNotice, TheApplicationIsActivatedAsTheSystemDocuments) {
  enum class System { Older, Fourteen, Unknown };
  struct Case {
    const char* name;
    System system;
    const char* activate;           // encoding; none: missing
    const char* ignoringOtherApps;  // encoding; none: missing
    std::vector<std::string> activation;
  };
  const std::string ignoring = "v20@0:8" + boolCode + "16";
  const std::vector<std::string> ignoringOtherApps = {
      "NSApplication#1 activateIgnoringOtherApps: 1"};
  const Case cases[] = {
      {"macOS 14 and later",
       System::Fourteen,
       "v16@0:8",
       ignoring.c_str(),
       {"NSApplication#1 activate"}},
      {"before macOS 14, though the runtime has -activate", System::Older, "v16@0:8",
       ignoring.c_str(), ignoringOtherApps},
      {"a version that can't be told", System::Unknown, "v16@0:8", ignoring.c_str(),
       ignoringOtherApps},
      {"before macOS 14", System::Older, nullptr, ignoring.c_str(), ignoringOtherApps},
      {"macOS 14 without -activate", System::Fourteen, nullptr, ignoring.c_str(),
       ignoringOtherApps},
      {"-activate of other types", System::Fourteen, "v24@0:8@16", ignoring.c_str(),
       ignoringOtherApps},
      {"neither", System::Fourteen, nullptr, nullptr, {}},
      {"-activateIgnoringOtherApps: of other types", System::Older, "v16@0:8", "v24@0:8@16", {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    startOver();
    rt->macOS14OrLater = c.system == System::Fourteen;
    rt->versionKnown = c.system != System::Unknown;
    for (auto [method, encoding] :
         {std::pair{"-NSApplication activate", c.activate},
          {"-NSApplication activateIgnoringOtherApps:", c.ignoringOtherApps}}) {
      if (encoding) {
        rt->methods[method] = encoding;
      } else {
        rt->methods.erase(method);
      }
    }
    rt->responses = {1001};
    showNotice();
    EXPECT_EQ(rt->sent, joined({installedNoticeActivatedBy(c.activation), drain}));
    EXPECT_EQ(rt->displayed, std::vector<std::string>{});
  }
}

// Recent systems report some methods with integers of the other sign than they are declared
// with; such a method takes and returns what it is sent with.
TEST_F(MacNotice, AnIntegerOfTheOtherSignIsTheSameType) {
  rt->methods["-NSApplication setActivationPolicy:"] = boolCode + "24@0:8Q16";
  rt->methods["-NSAlert setAlertStyle:"] = "v24@0:8q16";
  rt->methods["-NSAlert runModal"] = "Q16@0:8";
  rt->responses = {1001};
  showNotice();
  EXPECT_EQ(rt->sent, joined({installedNotice, drain}));
}

// A message whose method is missing, or whose types are not the ones it would be sent with, is
// never sent: the alerts are all AppKit's or none of them are, and Ruvizuve is found through
// AppKit's workspace or not at all. Without AppKit's alerts, and with nobody to answer on a
// terminal, the system's agent shows them. Each case answers "Open Ruvizuve".
TEST_F(MacNotice, AMethodOfOtherTypesOrNoneAtAllIsNeverSent) {
  enum class Alerts { AppKit, Agent };
  struct Case {
    const char* method;
    const char* encoding;  // none: the method is missing
    Alerts alerts;
    bool workspace;
  };
  const std::string otherBool = boolCode == "B" ? "c" : "B";
  const std::string setPolicy = otherBool + "24@0:8q16";
  const Case cases[] = {
      {"-NSApplication setActivationPolicy:", setPolicy.c_str(), Alerts::Agent, true},
      {"-NSApplication setActivationPolicy:", nullptr, Alerts::Agent, true},
      {"+NSApplication sharedApplication", ":16@0:8", Alerts::Agent, true},
      {"-NSAlert setAlertStyle:", "v20@0:8I16", Alerts::Agent, true},
      {"-NSAlert runModal", "i16@0:8", Alerts::Agent, true},
      {"-NSAlert addButtonWithTitle:", "v24@0:8@16", Alerts::Agent, true},
      {"-NSAlert setMessageText:", "v24@0:8@16@24", Alerts::Agent, true},
      {"-NSWorkspace openApplicationAtURL:configuration:completionHandler:", "v40@0:8@16@24@32",
       Alerts::AppKit, false},
      {"+NSWorkspaceOpenConfiguration alloc", nullptr, Alerts::AppKit, false},
      {"-NSAutoreleasePool drain", "@16@0:8", Alerts::Agent, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.method) + " " + (c.encoding ? c.encoding : "missing"));
    startOver();
    if (c.encoding) {
      rt->methods[c.method] = c.encoding;
    } else {
      rt->methods.erase(c.method);
    }
    rt->responses = {1000, 1000};
    rt->alertResponses = {0, 0};
    std::string told = showNoticeTelling();
    EXPECT_EQ(told, "");
    bool byAppKit = c.alerts == Alerts::AppKit;
    EXPECT_EQ(sentTo("NSAlert"), byAppKit);
    EXPECT_EQ(sentTo("NSApplication"), byAppKit);
    EXPECT_EQ(rt->displayed.empty(), byAppKit);
    EXPECT_EQ(sentTo("NSWorkspace"), c.workspace);
    // Without a workspace, the Ruvizuve Launch Services knows of can't be opened from here.
    bool unreachable = !c.workspace;
    if (byAppKit) {
      EXPECT_EQ(sentTo("NSAlert#2 setMessageText: \"Open Ruvizuve from Applications\""),
                unreachable);
    } else {
      std::vector<std::string> shown{installedByAgent};
      if (unreachable) {
        shown.push_back(hostUnreachableByAgent);
      }
      EXPECT_EQ(rt->displayed, shown);
    }
  }
}

TEST_F(MacNotice, AMissingClassIsNeverSentTo) {
  for (const char* missing : {"NSAlert", "NSWorkspaceOpenConfiguration"}) {
    SCOPED_TRACE(missing);
    startOver();
    rt->classes.erase(missing);
    rt->responses = {1000, 1000};
    rt->alertResponses = {0, 0};
    showNotice();
    EXPECT_FALSE(sentTo(missing));
  }
}

// Without a window-server session (over SSH, with nobody logged in) AppKit is never loaded,
// nor where it can't be; the notice is the terminal's where it can ask there, else the agent's.
// Either way Ruvizuve can't be opened from here: the user is told to open it.
TEST_F(MacNotice, WithoutAppKitTheNoticeIsTheTerminalsOrTheAgents) {
  struct Case {
    const char* name;
    bool session;
    bool appKitLoads;
    bool terminal;
    bool byAgent;
  };
  const Case cases[] = {
      {"no session, on a terminal", false, true, true, false},
      {"no session, opened from elsewhere", false, true, false, true},
      {"AppKit can't be loaded, on a terminal", true, false, true, false},
      {"AppKit can't be loaded, opened from elsewhere", true, false, false, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    startOver();
    rt->session = c.session;
    rt->appKitLoads = c.appKitLoads;
    rt->terminal = c.terminal;
    rt->alertResponses = {0, 0};
    std::string told = showNoticeTelling();
    EXPECT_EQ(rt->appKitOpened, c.session ? 1 : 0);
    EXPECT_EQ(rt->sent, std::vector<std::string>{});
    if (c.byAgent) {
      EXPECT_EQ(told, "");
      EXPECT_EQ(rt->displayed,
                (std::vector<std::string>{installedByAgent, hostUnreachableByAgent}));
    } else {
      EXPECT_NE(told.find("Rivuderu Zororez Udod 1.0 is installed."), std::string::npos) << told;
      EXPECT_EQ(rt->displayed, std::vector<std::string>{});
    }
  }
}

// Where the workspace can't be had, Launch Services still tells whether Ruvizuve is installed:
// only one that is known to be missing is to be installed. Whatever it answers is let go.
TEST_F(MacNotice, WithoutTheWorkspaceLaunchServicesSaysWhetherTheHostIsInstalled) {
  struct Case {
    const char* name;
    bool session;  // with one, AppKit's alerts without its workspace; else the agent's
    LaunchServices launchServices;
    bool hostInstalled;
    bool missing;  // told to install it, else to open it from Applications
  };
  const Case cases[] = {
      {"installed", false, LaunchServices::Answers, true, false},
      {"not installed", false, LaunchServices::Answers, false, true},
      {"an empty list", false, LaunchServices::EmptyList, false, true},
      {"Launch Services fails", false, LaunchServices::Fails, false, false},
      {"no Launch Services", false, LaunchServices::Missing, false, false},
      {"not installed, with AppKit's alerts", true, LaunchServices::Answers, false, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    startOver();
    rt->session = c.session;
    rt->classes.erase("NSWorkspace");
    rt->launchServices = c.launchServices;
    rt->hostInstalled = c.hostInstalled;
    rt->responses = {1000, 1000};
    rt->alertResponses = {0, 0};
    showNotice();
    if (c.session) {
      EXPECT_EQ(rt->sent,
                joined({installedNotice, c.missing ? hostMissing : hostUnreachable, drain}));
    } else {
      EXPECT_EQ(rt->displayed,
                (std::vector<std::string>{
                    installedByAgent, c.missing ? hostMissingByAgent : hostUnreachableByAgent}));
    }
    bool asked = c.launchServices != LaunchServices::Missing;
    EXPECT_EQ(rt->launchServicesAsked, asked ? std::vector<std::string>{"com.ruvizuve.Ruvizuve"}
                                             : std::vector<std::string>{});
  }
}

// The agent's answers are the buttons' as AppKit's would be: the default one opens Ruvizuve,
// through AppKit's workspace where that is to be had. An alert the agent can't show is told on
// standard error, where it answers "OK" as a terminal alert does without a terminal.
TEST_F(MacNotice, TheAgentsAnswersAreTheButtons) {
  struct Case {
    const char* name;
    CFOptionFlags response;
    SInt32 status;
    bool opened;
  };
  const Case cases[] = {
      {"the default button", 0, 0, true},
      {"the default button, with check-box bits above it", 0x300, 0, true},
      {"the alternate button", 1, 0, false},
      {"cancelled or timed out", 3, 0, false},
      {"the agent can't show it", 0, -1, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    startOver();
    rt->classes.erase("NSAlert");
    rt->alertResponses = {c.response};
    rt->alertStatus = c.status;
    std::string told = showNoticeTelling();
    EXPECT_EQ(rt->displayed, std::vector<std::string>{installedByAgent});
    EXPECT_EQ(sentTo("NSWorkspace#2 openApplicationAtURL"), c.opened);
    EXPECT_EQ(rt->completionsCalled, c.opened ? 1 : 0);
    for (const char* text :
         {"Rivuderu Zororez Udod 1.0 is installed.", "Open Ruvizuve: scoring starts by itself"}) {
      EXPECT_EQ(told.find(text) != std::string::npos, c.status != 0) << text << "\n" << told;
    }
  }
}

// The frame offsets and the qualifiers the compiler adds are no part of a method's types.
TEST(ObjcTypeEncoding, ComparesTypesOnly) {
  struct Case {
    const char* encoding;
    const char* types;
    bool same;
  };
  const Case cases[] = {
      {"v16@0:8", "v@:", true},
      {"Vv16@0:8", "v@:", true},
      {"v40@0:8@16@24@?32", "v@:@@@?", true},
      {"v40@0:8@16@24@32", "v@:@@@?", false},
      {"q16@0:8", "Q@:", true},
      {"v24@0:8I16", "v@:i", true},
      {"v20@0:8L16", "v@:l", true},
      {"v20@0:8S16", "v@:s", true},
      {"v20@0:8i16", "v@:q", false},
      {"v20@0:8l16", "v@:q", false},
      {"v20@0:8C16", "v@:c", false},
      {"B16@0:8", "c@:", false},
      {":16@0:8", "@@:", false},
      {"v24@0:8^Q16", "v@:^q", false},
      {"v24@0:8r^v16", "v@:^v", true},
      {"v24@0:8@\"NSString\"16", "v@:@", false},
      {"{CGRect={CGPoint=dd}{CGSize=dd}}16@0:8", "{CGRect={CGPoint=dd}{CGSize=dd}}@:", true},
      {"{CGRect={CGPoint=dd}16@0:8", "{CGRect={CGPoint=dd}@:", false},
      {"v-8@0:8", "v@:", true},
      {"", "v@:", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(encodingHasTypes(c.encoding, c.types), c.same) << c.encoding << " vs " << c.types;
  }
  EXPECT_FALSE(encodingHasTypes(nullptr, "v@:"));
  EXPECT_STREQ(Message<ObjcBool(NSInteger)>::types.data(), (boolCode + "@:q").c_str());
  EXPECT_STREQ((Message<void(Id, Id, CompletionBlock*)>::types.data()), "v@:@@@?");
}

}  // namespace
