// The macOS backend's ties to the system: CoreFoundation, libobjc, CoreGraphics, CoreServices and
// AppKit opened at run time (the cross toolchain has no link stubs for them, and the last three are
// wanted in the notice mode only, so that --version and --check load no GUI framework), the
// executable's own location, and the process calls the descendant tracking makes.
#include <dlfcn.h>
#include <libproc.h>
#include <mach-o/dyld.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "platform/bundle.h"
#include "platform/desktop.h"
#include "platform/macos/appkit_desktop.h"
#include "platform/macos/bundle_macos.h"
#include "platform/macos/core_foundation.h"
#include "platform/macos/objc_runtime.h"
#include "platform/macos/process_tree_macos.h"
#include "platform/posix/dynamic_library.h"

// The class of blocks on the stack, from libSystem's block runtime.
extern "C" void* _NSConcreteStackBlock[32];

namespace platform {
namespace macos_impl {
namespace {

constexpr const char* coreFoundationPath =
    "/System/Library/Frameworks/CoreFoundation.framework/CoreFoundation";
constexpr const char* objcPath = "/usr/lib/libobjc.A.dylib";
constexpr const char* appKitPath = "/System/Library/Frameworks/AppKit.framework/AppKit";
constexpr const char* coreGraphicsPath =
    "/System/Library/Frameworks/CoreGraphics.framework/CoreGraphics";
constexpr const char* coreServicesPath =
    "/System/Library/Frameworks/CoreServices.framework/CoreServices";

using posix_impl::DynamicLibrary;

struct LoadedCoreFoundation {
  DynamicLibrary library{coreFoundationPath};
  CoreFoundation api{};

  LoadedCoreFoundation() {
    library.bind(api.bundleGetMainBundle, "CFBundleGetMainBundle");
    library.bind(api.bundleCopyResourcesDirectoryURL, "CFBundleCopyResourcesDirectoryURL");
    library.bind(api.bundleGetValueForInfoDictionaryKey, "CFBundleGetValueForInfoDictionaryKey");
    library.bind(api.urlGetFileSystemRepresentation, "CFURLGetFileSystemRepresentation");
    library.bind(api.urlCreateFromFileSystemRepresentation,
                 "CFURLCreateFromFileSystemRepresentation");
    library.bind(api.stringCreateWithBytes, "CFStringCreateWithBytes");
    library.bind(api.stringGetLength, "CFStringGetLength");
    library.bind(api.stringGetBytes, "CFStringGetBytes");
    library.bind(api.getTypeID, "CFGetTypeID");
    library.bind(api.stringGetTypeID, "CFStringGetTypeID");
    library.bind(api.numberGetTypeID, "CFNumberGetTypeID");
    library.bind(api.booleanGetTypeID, "CFBooleanGetTypeID");
    library.bind(api.numberIsFloatType, "CFNumberIsFloatType");
    library.bind(api.numberGetValue, "CFNumberGetValue");
    library.bind(api.booleanGetValue, "CFBooleanGetValue");
    library.bind(api.arrayGetCount, "CFArrayGetCount");
    library.bind(api.errorGetCode, "CFErrorGetCode");
    library.bind(api.errorCopyDescription, "CFErrorCopyDescription");
    library.bind(api.release, "CFRelease");
  }
};

// Loaded once and kept for the life of the process: a launch's completion may come after the
// notice is done.
const CoreFoundation* coreFoundation() {
  static const LoadedCoreFoundation* loaded = new LoadedCoreFoundation;
  return loaded->library.usable() ? &loaded->api : nullptr;
}

// objc_msgSend, taken once the runtime is loaded; the messenger for every type encoding but a
// structure's, which would come back in memory on x86_64 and need objc_msgSend_stret.
Imp objcMsgSend = nullptr;

Imp messengerFor(const char* typeEncoding) {
  return typeEncoding && typeEncoding[0] != '{' ? objcMsgSend : nullptr;
}

struct LoadedObjcRuntime {
  DynamicLibrary library{objcPath};
  ObjcRuntime api{};

  LoadedObjcRuntime() {
    library.bind(api.getClass, "objc_getClass");
    library.bind(api.registerName, "sel_registerName");
    library.bind(api.getInstanceMethod, "class_getInstanceMethod");
    library.bind(api.getClassMethod, "class_getClassMethod");
    library.bind(api.methodTypeEncoding, "method_getTypeEncoding");
    library.bind(objcMsgSend, "objc_msgSend");
    api.messengerFor = messengerFor;
    api.stackBlockClass = &_NSConcreteStackBlock;
  }
};

const ObjcRuntime* objcRuntime() {
  static const LoadedObjcRuntime* loaded = new LoadedObjcRuntime;
  return loaded->library.usable() ? &loaded->api : nullptr;
}

// AppKit's classes join the runtime when it is loaded; nothing is taken from it directly.
const ObjcRuntime* openAppKit() {
  static const bool loaded = ::dlopen(appKitPath, RTLD_NOW | RTLD_LOCAL) != nullptr;
  return loaded ? objcRuntime() : nullptr;
}

// One function of a system library, taken on its own: a system without it loses that function
// and nothing else. The library stays loaded (DynamicLibrary never closes it); none where the
// library or the function is missing.
template <typename FunctionPointer>
FunctionPointer systemFunction(const char* libraryPath, const char* symbol) {
  DynamicLibrary library{libraryPath};
  FunctionPointer function = nullptr;
  library.bind(function, symbol);
  return library.usable() ? function : nullptr;
}

UserNotificationDisplayAlert userNotificationDisplayAlert() {
  static const auto displayAlert = systemFunction<UserNotificationDisplayAlert>(
      coreFoundationPath, "CFUserNotificationDisplayAlert");
  return displayAlert;
}

// Without CoreGraphics there is no window-server session to be found.
CFDictionaryRef copySessionDictionary() {
  static const auto copyCurrentDictionary =
      systemFunction<CFDictionaryRef (*)()>(coreGraphicsPath, "CGSessionCopyCurrentDictionary");
  return copyCurrentDictionary ? copyCurrentDictionary() : nullptr;
}

// Launch Services' look-up by bundle identifier, which CoreServices re-exports from its
// LaunchServices framework; none without it.
CopyApplicationURLs copyApplicationURLs() {
  static const auto copy = systemFunction<CopyApplicationURLs>(
      coreServicesPath, "LSCopyApplicationURLsForBundleIdentifier");
  return copy;
}

// The main thread's run loop in its default mode; none where CoreFoundation lacks either.
RunLoopTurns mainRunLoop() {
  struct Loaded {
    DynamicLibrary library{coreFoundationPath};
    decltype(RunLoopTurns::runInMode) runInMode = nullptr;
    const CFStringRef* defaultMode = nullptr;  // a constant of the library's, not a function
    Loaded() {
      library.bind(runInMode, "CFRunLoopRunInMode");
      library.bind(defaultMode, "kCFRunLoopDefaultMode");
    }
  };
  static const Loaded* loaded = new Loaded;
  RunLoopTurns turns;
  if (loaded->library.usable()) {
    turns.runInMode = loaded->runInMode;
    turns.defaultMode = *loaded->defaultMode;
  }
  return turns;
}

// __builtin_available asks the system itself (through _availability_version_check), not the
// deployment target.
bool isMacOS14OrLater() {
  if (__builtin_available(macOS 14.0, *)) {
    return true;
  }
  return false;
}

std::string realExecutableLocation() {
  std::uint32_t size = 0;
  _NSGetExecutablePath(nullptr, &size);  // reports the size it needs
  std::vector<char> path(size + 1);
  if (_NSGetExecutablePath(path.data(), &size) != 0) {
    return {};
  }
  char real[PATH_MAX];
  return ::realpath(path.data(), real) ? std::string(real) : std::string();
}

// The unique-id flavour of proc_pidinfo, which the kernel answers for any process whoever runs
// it, is left out of the public sys/proc_info.h: declared here as xnu's bsd/sys/proc_info.h
// declares it.
constexpr int procPidUniqueIdentifierInfo = 17;  // PROC_PIDUNIQIDENTIFIERINFO
struct ProcUniqueIdentifierInfo {                // struct proc_uniqidentifierinfo
  std::uint8_t p_uuid[16];
  std::uint64_t p_uniqueid;
  std::uint64_t p_puniqueid;
  std::uint64_t p_reserve2;
  std::uint64_t p_reserve3;
  std::uint64_t p_reserve4;
};
static_assert(sizeof(ProcUniqueIdentifierInfo) == 56, "the size the kernel copies out");

// The system's process calls, each one that needs no right over the process asked about: the
// full BSD information (PROC_PIDTBSDINFO) is refused for another user's process. A process that
// is no longer there answers like one without children, and has neither id nor parent.
class SystemProcessTable final : public ProcessTable {
 public:
  std::vector<pid_t> childrenOf(pid_t pid) override {
    return listAllPids(
        [pid](pid_t* buffer, int bytes) { return ::proc_listchildpids(pid, buffer, bytes); });
  }

  std::optional<UniqueId> uniqueIdOf(pid_t pid) override {
    ProcUniqueIdentifierInfo info{};
    if (::proc_pidinfo(pid, procPidUniqueIdentifierInfo, 0, &info, sizeof info) !=
        static_cast<int>(sizeof info)) {
      return std::nullopt;
    }
    return info.p_uniqueid;
  }

  std::optional<pid_t> parentOf(pid_t pid) override {
    proc_bsdshortinfo info{};
    if (::proc_pidinfo(pid, PROC_PIDT_SHORTBSDINFO, 0, &info, PROC_PIDT_SHORTBSDINFO_SIZE) !=
        static_cast<int>(PROC_PIDT_SHORTBSDINFO_SIZE)) {
      return std::nullopt;
    }
    return static_cast<pid_t>(info.pbsi_ppid);
  }

  void sendSignal(pid_t pid, int signal) override { ::kill(pid, signal); }

  Reaped reap(pid_t pid) override {
    for (;;) {
      pid_t reaped = ::waitpid(pid, nullptr, WNOHANG);
      if (reaped == pid) {
        return Reaped::Yes;
      }
      if (reaped == 0) {
        return Reaped::NotYet;
      }
      if (errno != EINTR) {
        return Reaped::NotOurs;
      }
    }
  }
};

}  // namespace

ProcessTable& systemProcessTable() {
  static SystemProcessTable table;
  return table;
}

}  // namespace macos_impl

std::unique_ptr<MainBundle> openMainBundle() {
  std::string executable = macos_impl::realExecutableLocation();
  // Outside a bundle CoreFoundation has nothing to tell, and is not loaded.
  const macos_impl::CoreFoundation* cf =
      macos_impl::isBundleExecutable(executable) ? macos_impl::coreFoundation() : nullptr;
  return macos_impl::makeCoreFoundationBundle(cf, std::move(executable));
}

// The application's name on macOS is the bundle's (CFBundleName); the parameter names it
// where the system has no bundle to ask.
std::unique_ptr<Desktop> openDesktop(std::string_view) {
  macos_impl::MacDesktopServices services;
  services.cf = macos_impl::coreFoundation();
  services.copySessionDictionary = macos_impl::copySessionDictionary;
  services.openAppKit = macos_impl::openAppKit;
  services.displayAlert = macos_impl::userNotificationDisplayAlert();
  services.standardInputIsTerminal = ::isatty(STDIN_FILENO) == 1;
  services.isMacOS14OrLater = macos_impl::isMacOS14OrLater;
  services.copyApplicationURLs = macos_impl::copyApplicationURLs();
  services.runLoop = macos_impl::mainRunLoop();
  return macos_impl::makeMacDesktop(services);
}

}  // namespace platform
