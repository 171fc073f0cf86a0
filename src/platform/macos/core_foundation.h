#pragma once

// The CoreFoundation functions the macOS backend calls, declared here as their C interface is
// documented, since the cross toolchain carries no framework headers or link stubs. The framework
// is opened at run time and its functions handed over as a table, which a test can fill with
// fakes. CoreFoundation's strings and URLs are also Foundation's NSString and NSURL objects
// (toll-free bridged), which is how the AppKit messages get their arguments.

#include <cstdint>
#include <optional>
#include <string>

namespace platform::macos_impl {

struct CFOpaque;
using CFTypeRef = const CFOpaque*;
using CFStringRef = const CFOpaque*;
using CFURLRef = const CFOpaque*;
using CFNumberRef = const CFOpaque*;
using CFBooleanRef = const CFOpaque*;
using CFAllocatorRef = const CFOpaque*;
using CFDictionaryRef = const CFOpaque*;
using CFArrayRef = const CFOpaque*;
using CFErrorRef = const CFOpaque*;  // the same object as Foundation's NSError
struct CFBundleOpaque;
using CFBundleRef = CFBundleOpaque*;
using CFIndex = long;
using CFTypeID = unsigned long;
using CFStringEncoding = std::uint32_t;
using CFNumberType = CFIndex;
using Boolean = unsigned char;
using CFTimeInterval = double;
using CFOptionFlags = unsigned long;
using SInt32 = std::int32_t;
struct CFRange {
  CFIndex location;
  CFIndex length;
};

inline constexpr CFStringEncoding kCFStringEncodingUTF8 = 0x08000100;
inline constexpr CFNumberType kCFNumberSInt64Type = 4;
inline constexpr CFNumberType kCFNumberFloat64Type = 6;

// CFRunLoopRunInMode's results, as CFRunLoop.h declares them.
inline constexpr SInt32 kCFRunLoopRunFinished = 1;  // the mode has no source or timer to run
inline constexpr SInt32 kCFRunLoopRunTimedOut = 3;
inline constexpr SInt32 kCFRunLoopRunHandledSource = 4;

// CFUserNotification's alert levels, and the response codes in the lowest two bits of an alert's
// response flags (the bits above hold check boxes and pop-up menus), as CFUserNotification.h
// declares them.
inline constexpr CFOptionFlags kCFUserNotificationNoteAlertLevel = 1;
inline constexpr CFOptionFlags kCFUserNotificationCautionAlertLevel = 2;
inline constexpr CFOptionFlags kCFUserNotificationCancelResponse = 3;
inline constexpr CFOptionFlags userNotificationResponseMask = 0x3;

// CFUserNotificationDisplayAlert: shows an alert of up to three buttons through the system's
// user-notification agent and waits for its answer (a timeout of 0 waits for ever); 0 when it
// was shown and answered.
using UserNotificationDisplayAlert =
    SInt32 (*)(CFTimeInterval timeout, CFOptionFlags flags, CFURLRef iconURL, CFURLRef soundURL,
               CFURLRef localizationURL, CFStringRef alertHeader, CFStringRef alertMessage,
               CFStringRef defaultButtonTitle, CFStringRef alternateButtonTitle,
               CFStringRef otherButtonTitle, CFOptionFlags* responseFlags);

struct CoreFoundation {
  CFBundleRef (*bundleGetMainBundle)();
  CFURLRef (*bundleCopyResourcesDirectoryURL)(CFBundleRef);
  CFTypeRef (*bundleGetValueForInfoDictionaryKey)(CFBundleRef, CFStringRef);
  Boolean (*urlGetFileSystemRepresentation)(CFURLRef, Boolean resolveAgainstBase,
                                            std::uint8_t* buffer, CFIndex maxBufLen);
  CFURLRef (*urlCreateFromFileSystemRepresentation)(CFAllocatorRef, const std::uint8_t* buffer,
                                                    CFIndex bufLen, Boolean isDirectory);
  CFStringRef (*stringCreateWithBytes)(CFAllocatorRef, const std::uint8_t* bytes, CFIndex numBytes,
                                       CFStringEncoding, Boolean isExternalRepresentation);
  CFIndex (*stringGetLength)(CFStringRef);
  CFIndex (*stringGetBytes)(CFStringRef, CFRange, CFStringEncoding, std::uint8_t lossByte,
                            Boolean isExternalRepresentation, std::uint8_t* buffer,
                            CFIndex maxBufLen, CFIndex* usedBufLen);
  CFTypeID (*getTypeID)(CFTypeRef);
  CFTypeID (*stringGetTypeID)();
  CFTypeID (*numberGetTypeID)();
  CFTypeID (*booleanGetTypeID)();
  Boolean (*numberIsFloatType)(CFNumberRef);
  Boolean (*numberGetValue)(CFNumberRef, CFNumberType, void* valuePtr);
  Boolean (*booleanGetValue)(CFBooleanRef);
  CFIndex (*arrayGetCount)(CFArrayRef);
  CFIndex (*errorGetCode)(CFErrorRef);
  // The error's localized description (for an NSError, what -localizedDescription answers).
  CFStringRef (*errorCopyDescription)(CFErrorRef);
  void (*release)(CFTypeRef);
};

// A CoreFoundation object this code created or copied, released when it goes.
class CFOwned {
 public:
  CFOwned(const CoreFoundation& cf, CFTypeRef object) : cf_(cf), object_(object) {}
  CFOwned(const CFOwned&) = delete;
  CFOwned& operator=(const CFOwned&) = delete;
  ~CFOwned() {
    if (object_) {
      cf_.release(object_);
    }
  }
  CFTypeRef get() const { return object_; }
  explicit operator bool() const { return object_ != nullptr; }

 private:
  const CoreFoundation& cf_;
  CFTypeRef object_;
};

// A new string holding `text`, taken as UTF-8; null when it is not UTF-8.
CFStringRef createString(const CoreFoundation& cf, const std::string& text);

// A new string to show: `text`, or an empty one when it is not UTF-8.
CFStringRef createDisplayText(const CoreFoundation& cf, const std::string& text);

// The whole of a string as UTF-8, NUL characters included; none when it can't be converted.
std::optional<std::string> stringContents(const CoreFoundation& cf, CFStringRef string);

// A file URL's absolute path; none when it is not one or the path is too long to be one.
std::optional<std::string> filePathOf(const CoreFoundation& cf, CFURLRef url);

}  // namespace platform::macos_impl
