#pragma once

#include <memory>
#include <optional>

#include "platform/desktop.h"
#include "platform/macos/core_foundation.h"
#include "platform/macos/objc_runtime.h"

namespace platform::macos_impl {

// Every message the notice may send, each bound to its class's method after its types were
// checked. Bound all at once, before the first is sent, so that a notice either runs wholly
// through AppKit or wholly on the terminal.
struct AppKitMessages {
  Class autoreleasePool = nullptr;
  Class application = nullptr;
  Class alert = nullptr;
  Class workspace = nullptr;
  Class openConfiguration = nullptr;

  Message<Id()> allocPool;
  Message<Id()> initPool;
  Message<void()> drainPool;

  Message<Id()> sharedApplication;
  Message<ObjcBool(NSInteger)> setActivationPolicy;
  Message<void(ObjcBool)> activateIgnoringOtherApps;

  Message<Id()> allocAlert;
  Message<Id()> initAlert;
  Message<void(NSUInteger)> setAlertStyle;
  Message<void(Id)> setMessageText;
  Message<void(Id)> setInformativeText;
  Message<Id(Id)> addButtonWithTitle;
  Message<NSInteger()> runModal;
  Message<void()> releaseAlert;

  Message<Id()> sharedWorkspace;
  Message<Id(Id)> urlForApplicationWithBundleIdentifier;
  Message<Id()> allocOpenConfiguration;
  Message<Id()> initOpenConfiguration;
  Message<void(Id, Id, CompletionBlock*)> openApplication;
  Message<void()> releaseOpenConfiguration;
};

// None when a class or method is missing or a method's types are not the ones it is sent with.
std::optional<AppKitMessages> bindAppKitMessages(const ObjcRuntime& runtime);

// The notice's desktop through AppKit: opening it makes an autorelease pool, which closing it
// drains, and takes the shared application. Without the runtime or CoreFoundation, or when the
// messages can't all be bound, it is the terminal's, with a workspace that finds no application;
// nothing is sent then.
std::unique_ptr<Desktop> makeAppKitDesktop(const ObjcRuntime* runtime, const CoreFoundation* cf);

}  // namespace platform::macos_impl
