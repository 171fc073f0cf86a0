#include <plist/plist.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <memory>
#include <vector>

#include "platform/bundle.h"
#include "platform/files.h"
#include "platform/linux/bundle_files/property_list.h"
#include "platform/linux/bundle_files/strings_file.h"

namespace platform {
namespace {

using linux_impl::localizationSearchOrder;
using linux_impl::parsePropertyList;
using linux_impl::parseStringsFile;
using linux_impl::PlistPtr;
using linux_impl::preferredLanguages;

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

// The Info dictionary, or none when Info.plist can't be read or its root is not a dictionary;
// the report says why, and where in the file when it can.
PlistPtr readInfoDictionary(const std::string& path, InfoReport& report) {
  std::string& problem = report.infoPlistProblem;
  auto bytes = systemFiles().readFile(path);
  if (!bytes) {
    problem = whyUnreadable(systemFiles(), path);
    return nullptr;
  }
  std::string why;
  linux_impl::TextPosition where;
  PlistPtr root = parsePropertyList(*bytes, &why, &where);
  if (!root) {
    problem = why.empty() ? "not a property list the pack can read" : why;
    report.infoPlistProblemLine = where.line;
    report.infoPlistProblemColumn = where.column;
  } else if (plist_get_node_type(root.get()) != PLIST_DICT) {
    problem = "its root is not a dictionary";
    root = nullptr;
  }
  return root;
}

std::optional<std::string> stringIn(plist_t dictionary, const char* key) {
  plist_t node = dictionary ? plist_dict_get_item(dictionary, key) : nullptr;
  if (!node || plist_get_node_type(node) != PLIST_STRING) {
    return std::nullopt;
  }
  uint64_t length = 0;
  const char* text = plist_get_string_ptr(node, &length);
  return std::string(text ? text : "", text ? length : 0);
}

bool isDirectory(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// A name is one folder's, never a way out of the bundle's resources.
bool isFolderName(const std::string& name) {
  return !name.empty() && name.find('/') == std::string::npos &&
         name.find('\0') == std::string::npos && name != "." && name != "..";
}

// The localization the bundle is shown in: the first of the user's languages it has a folder
// for, else the one it was developed in, else English.
std::optional<std::string> chosenLocalization(const std::string& resources,
                                              const std::string& developmentRegion) {
  auto languages = preferredLanguages(std::getenv("LANGUAGE"), std::getenv("LC_ALL"),
                                      std::getenv("LC_MESSAGES"), std::getenv("LANG"));
  for (const auto& name : localizationSearchOrder(languages, developmentRegion)) {
    if (isFolderName(name) && isDirectory(resources + "/" + name + ".lproj")) {
      return name;
    }
  }
  return std::nullopt;
}

// The strings that localize the Info dictionary, from the chosen localization's InfoPlist.strings.
std::map<std::string, std::string> readLocalizedInfo(const std::string& resources, plist_t info,
                                                     InfoReport& report,
                                                     std::string& localization) {
  auto chosen =
      chosenLocalization(resources, stringIn(info, "CFBundleDevelopmentRegion").value_or(""));
  if (!chosen) {
    return {};
  }
  localization = *chosen;
  std::string path = resources + "/" + *chosen + ".lproj/InfoPlist.strings";
  if (systemFiles().inspect(path).kind == FileFacts::Kind::Missing) {
    return {};
  }
  report.strings = path;
  auto bytes = systemFiles().readFile(path);
  auto entries = bytes ? parseStringsFile(*bytes) : std::nullopt;
  if (!entries) {
    report.stringsProblem =
        bytes ? "not a strings file the pack can read" : whyUnreadable(systemFiles(), path);
  }
  return entries.value_or(std::map<std::string, std::string>{});
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
      report_.infoPlist = contents + "/Info.plist";
      info_ = readInfoDictionary(report_.infoPlist, report_);
      localizedInfo_ = readLocalizedInfo(*resourceDirectory(), info_.get(), report_, localization_);
    }
  }

  std::optional<std::string> resourceDirectory() const override {
    if (contents_.empty()) {
      return std::nullopt;
    }
    return contents_ == "/" ? "/Resources" : contents_ + "/Resources";
  }

  // A localized value is always a string, and takes precedence.
  std::optional<InfoValue> infoValue(const std::string& key) const override {
    if (auto localized = localizedInfo_.find(key); localized != localizedInfo_.end()) {
      InfoValue value;
      value.kind = InfoValue::Kind::String;
      value.text = localized->second;
      value.localization = localization_;
      return value;
    }
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
  InfoReport infoReport() const override { return report_; }

 private:
  std::string executable_;
  std::string contents_;  // empty when the executable is not in a bundle
  PlistPtr info_;
  std::map<std::string, std::string> localizedInfo_;
  std::string localization_;
  InfoReport report_;
};

}  // namespace

std::unique_ptr<MainBundle> openMainBundle() {
  return std::make_unique<LinuxMainBundle>();
}

}  // namespace platform
