#include <plist/plist.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <vector>

#include "platform/bundle.h"
#include "platform/files.h"

namespace platform {
namespace {

std::string parentOf(const std::string& path) {
  auto slash = path.find_last_of('/');
  if (slash == std::string::npos || slash == 0) {
    return "/";
  }
  return path.substr(0, slash);
}

std::string nameOf(const std::string& path) {
  auto slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string realExecutableLocation() {
  std::vector<char> buffer(4096);
  for (;;) {
    ssize_t n = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (n < 0) {
      return {};
    }
    if (static_cast<size_t>(n) < buffer.size()) {
      return std::string(buffer.data(), static_cast<size_t>(n));
    }
    buffer.resize(buffer.size() * 2);
  }
}

struct PlistDeleter {
  void operator()(plist_t node) const { plist_free(node); }
};
using PlistPtr = std::unique_ptr<void, PlistDeleter>;

PlistPtr parsePlist(const std::string& bytes) {
  if (bytes.empty() || bytes.size() > std::numeric_limits<uint32_t>::max()) {
    return nullptr;
  }
  auto length = static_cast<uint32_t>(bytes.size());
  plist_t root = nullptr;
  if (plist_is_binary(bytes.data(), length)) {
    plist_from_bin(bytes.data(), length, &root);
  } else {
    plist_from_xml(bytes.data(), length, &root);
  }
  PlistPtr owned(root);
  if (owned && plist_get_node_type(owned.get()) != PLIST_DICT) {
    return nullptr;
  }
  return owned;
}

InfoValue infoValueOf(plist_t node) {
  InfoValue value;
  switch (plist_get_node_type(node)) {
    case PLIST_STRING: {
      uint64_t length = 0;
      const char* text = plist_get_string_ptr(node, &length);
      value.kind = InfoValue::Kind::String;
      value.text.assign(text ? text : "", text ? length : 0);
      break;
    }
    case PLIST_UINT: {
      // The library keeps every integer in 64 unsigned bits; negative ones come back in two's
      // complement, which the conversion turns back into their value.
      uint64_t bits = 0;
      plist_get_uint_val(node, &bits);
      value.kind = InfoValue::Kind::Integer;
      value.integer = static_cast<int64_t>(bits);
      break;
    }
    case PLIST_REAL:
      value.kind = InfoValue::Kind::Real;
      plist_get_real_val(node, &value.real);
      break;
    case PLIST_BOOLEAN: {
      uint8_t flag = 0;
      plist_get_bool_val(node, &flag);
      value.kind = InfoValue::Kind::Boolean;
      value.boolean = flag != 0;
      break;
    }
    default:
      break;
  }
  return value;
}

// On Linux a pack is a folder laid out like a macOS application bundle: the executable in
// Contents/MacOS, the Info dictionary in Contents/Info.plist, resources in Contents/Resources.
class LinuxMainBundle final : public MainBundle {
 public:
  LinuxMainBundle() : executable_(realExecutableLocation()) {
    std::string macos = parentOf(executable_);
    std::string contents = parentOf(macos);
    if (!executable_.empty() && nameOf(macos) == "MacOS" && nameOf(contents) == "Contents") {
      contents_ = contents;
      if (auto bytes = systemFiles().readFile(contents + "/Info.plist")) {
        info_ = parsePlist(*bytes);
      }
    }
  }

  std::optional<std::string> resourceDirectory() const override {
    if (contents_.empty()) {
      return std::nullopt;
    }
    return contents_ == "/" ? "/Resources" : contents_ + "/Resources";
  }

  std::optional<InfoValue> infoValue(const std::string& key) const override {
    if (!info_) {
      return std::nullopt;
    }
    plist_t node = plist_dict_get_item(info_.get(), key.c_str());
    if (!node) {
      return std::nullopt;
    }
    return infoValueOf(node);
  }

  std::string executableLocation() const override { return executable_; }

 private:
  std::string executable_;
  std::string contents_;  // empty when the executable is not in a bundle
  PlistPtr info_;
};

}  // namespace

std::unique_ptr<MainBundle> openMainBundle() {
  return std::make_unique<LinuxMainBundle>();
}

std::string currentDirectory() {
  std::vector<char> buffer(4096);
  for (;;) {
    if (::getcwd(buffer.data(), buffer.size())) {
      return buffer.data();
    }
    if (errno != ERANGE) {
      return "/";
    }
    buffer.resize(buffer.size() * 2);
  }
}

}  // namespace platform
