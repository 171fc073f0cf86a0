#pragma once

#include <chrono>
#include <memory>
#include <optional>

#include "platform/desktop.h"
#include "platform/macos/core_foundation.h"
#include "platform/macos/objc_runtime.h"

namespace platform::macos_impl {

// The messages of the notice's alerts, each bound to its class's method after its types were
// checked.
struct AlertMessages {
  Class application = nullptr;
  Class alert = nullptr;

  Message<Id()> sharedApplication;
  Message<ObjcBool(NSInteger)> setActivationPolicy;
  // How the application is brought to the front: -activate on macOS 14 and later, where it is
  // documented, else -activateIgnoringOtherApps: (deprecated from 14 on); where neither can be
  // sent, the alerts are shown all the same.
  enum class Activation { Activate, IgnoringOtherApps, None };
  Activation activation = Activation::None;
  Message<void()> activate;
  Message<void(ObjcBool)> activateIgnoringOtherApps;

  Message<Id()> allocAlert;
  Message<Id()> initAlert;
  Message<void(NSUInteger)> setAlertStyle;
  Message<void(Id)> setMessageText;
  Message<void(Id)> setInformativeText;
  Message<Id(Id)> addButtonWithTitle;
  Message<NSInteger()> runModal;
  Message<void()> releaseAlert;
};

// The messages that find and open Ruvizuve.
struct WorkspaceMessages {
  Class workspace = nullptr;
  Class openConfiguration = nullptr;

  Message<Id()> sharedWorkspace;
  Message<Id(Id)> urlForApplicationWithBundleIdentifier;
  Message<Id()> allocOpenConfiguration;
  Message<Id()> initOpenConfiguration;
  Message<void(Id, Id, CompletionBlock*)> openApplication;
  Message<void()> releaseOpenConfiguration;
};

// Every message the notice may send through AppKit, all bound before the first is sent. The
// alerts and the workspace are bound each as a whole, and each without the other if need be:
// a notice either shows all its alerts through AppKit or none, and finds Ruvizuve through the
// workspace or not at all.
struct AppKitMessages {
  Class autoreleasePool = nullptr;
  Message<Id()> allocPool;
  Message<Id()> initPool;
  Message<void()> drainPool;

  std::optional<AlertMessages> alerts;
  std::optional<WorkspaceMessages> workspace;
};

// None when the autorelease pool's messages, or both the alerts' and the workspace's, can't be
// bound: a class or method is missing, or a method's types are not the ones it is sent with.
// -activate is bound only where the system is known to be macOS 14 or later.
std::optional<AppKitMessages> bindAppKitMessages(const ObjcRuntime& runtime,
                                                 bool systemIsMacOS14OrLater);

// The main thread's run loop, turned while the notice waits for the host's launch, and the clock
// the wait is counted on.
struct RunLoopTurns {
  // CFRunLoopRunInMode: runs the calling thread's run loop in `mode` for at most `seconds`, or
  // until a source was handled; kCFRunLoopRunFinished at once where the mode has nothing to run.
  SInt32 (*runInMode)(CFStringRef mode, CFTimeInterval seconds,
                      Boolean returnAfterSourceHandled) = nullptr;
  CFStringRef defaultMode = nullptr;  // kCFRunLoopDefaultMode
  std::chrono::steady_clock::time_point (*now)() = [] { return std::chrono::steady_clock::now(); };
};

// LSCopyApplicationURLsForBundleIdentifier (CoreServices, macOS 10.10 and later): the URLs of the
// applications with that identifier, or none and an error, whose code is
// kLSApplicationNotFoundErr where there is no such application.
using CopyApplicationURLs = CFArrayRef (*)(CFStringRef bundleIdentifier, CFErrorRef* error);
inline constexpr CFIndex kLSApplicationNotFoundErr = -10814;

// What the notice's desktop is made of on macOS, each part a system library opened at run time
// (or a fake of it).
struct MacDesktopServices {
  const CoreFoundation* cf = nullptr;  // none when CoreFoundation can't be opened
  // CGSessionCopyCurrentDictionary: the window-server session's dictionary, none without a
  // session (over SSH, or with nobody logged in) or without CoreGraphics.
  CFDictionaryRef (*copySessionDictionary)() = nullptr;
  // Loads AppKit, whose classes then join the runtime given; none when either can't be had.
  const ObjcRuntime* (*openAppKit)() = nullptr;
  UserNotificationDisplayAlert displayAlert = nullptr;  // none without it
  bool standardInputIsTerminal = false;
  // Whether the system is macOS 14 or later; none: taken as older.
  bool (*isMacOS14OrLater)() = nullptr;
  // Launch Services without AppKit, asked where the workspace can't be; none without CoreServices.
  CopyApplicationURLs copyApplicationURLs = nullptr;
  RunLoopTurns runLoop;
};

// The notice's desktop. AppKit is loaded only where there is a window-server session: without
// one it may wait for ever for a window server to answer. The alerts are AppKit's where all
// their messages could be bound; otherwise, where standard input is no terminal to ask on, the
// system's user-notification alerts; otherwise the terminal's. Ruvizuve is found and opened
// through AppKit's workspace where its messages could be bound, and the launch awaited in turns
// of the main run loop. Otherwise Launch Services tells only whether Ruvizuve is installed: it
// can't be opened from here either way. Opening the desktop makes an autorelease pool where
// AppKit is used, which closing it drains.
std::unique_ptr<Desktop> makeMacDesktop(const MacDesktopServices& services);

}  // namespace platform::macos_impl
