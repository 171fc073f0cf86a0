#pragma once

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
  // How the application is brought to the front: -activate where it answers to it (macOS 14
  // and later), else -activateIgnoringOtherApps:, deprecated since; where neither can be sent,
  // the alerts are shown all the same.
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
std::optional<AppKitMessages> bindAppKitMessages(const ObjcRuntime& runtime);

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
};

// The notice's desktop. AppKit is loaded only where there is a window-server session: without
// one it may wait for ever for a window server to answer. The alerts are AppKit's where all
// their messages could be bound; otherwise, where standard input is no terminal to ask on, the
// system's user-notification alerts; otherwise the terminal's. Ruvizuve is found and opened
// through AppKit's workspace where its messages could be bound; otherwise it counts as not
// installed. Opening the desktop makes an autorelease pool where AppKit is used, which closing
// it drains.
std::unique_ptr<Desktop> makeMacDesktop(const MacDesktopServices& services);

}  // namespace platform::macos_impl
