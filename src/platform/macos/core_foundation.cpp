#include "platform/macos/core_foundation.h"

#include <cstring>
#include <vector>

namespace platform::macos_impl {
namespace {

// Longer than any path the system hands out; a URL that needs more is no path to use.
constexpr CFIndex longestPath = CFIndex{1} << 16;

}  // namespace

CFStringRef createString(const CoreFoundation& cf, const std::string& text) {
  return cf.stringCreateWithBytes(nullptr, reinterpret_cast<const std::uint8_t*>(text.data()),
                                  static_cast<CFIndex>(text.size()), kCFStringEncodingUTF8, false);
}

CFStringRef createDisplayText(const CoreFoundation& cf, const std::string& text) {
  CFStringRef string = createString(cf, text);
  return string ? string : createString(cf, "");
}

std::optional<std::string> stringContents(const CoreFoundation& cf, CFStringRef string) {
  CFRange whole{0, cf.stringGetLength(string)};
  CFIndex needed = 0;
  // A first pass without a buffer only measures.
  if (cf.stringGetBytes(string, whole, kCFStringEncodingUTF8, 0, false, nullptr, 0, &needed) !=
          whole.length ||
      needed < 0) {
    return std::nullopt;
  }
  std::string bytes(static_cast<std::size_t>(needed), '\0');
  CFIndex used = 0;
  if (cf.stringGetBytes(string, whole, kCFStringEncodingUTF8, 0, false,
                        reinterpret_cast<std::uint8_t*>(bytes.data()), needed,
                        &used) != whole.length ||
      used != needed) {
    return std::nullopt;
  }
  return bytes;
}

std::optional<std::string> filePathOf(const CoreFoundation& cf, CFURLRef url) {
  for (CFIndex size = 1024; size <= longestPath; size *= 2) {
    std::vector<std::uint8_t> buffer(static_cast<std::size_t>(size));
    if (cf.urlGetFileSystemRepresentation(url, true, buffer.data(), size)) {
      const char* path = reinterpret_cast<const char*>(buffer.data());
      return std::string(path, ::strnlen(path, buffer.size()));
    }
  }
  return std::nullopt;
}

}  // namespace platform::macos_impl
