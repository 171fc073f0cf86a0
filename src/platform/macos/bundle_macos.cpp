#include "platform/macos/bundle_macos.h"

#include <string_view>

#include "platform/files.h"

namespace platform::macos_impl {
namespace {

std::string_view parentOf(std::string_view path) {
  auto slash = path.find_last_of('/');
  return slash == std::string_view::npos ? std::string_view() : path.substr(0, slash);
}

std::string_view nameOf(std::string_view path) {
  auto slash = path.find_last_of('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

InfoValue numberValue(const CoreFoundation& cf, CFNumberRef number) {
  InfoValue value;
  if (cf.numberIsFloatType(number)) {
    double real = 0;
    if (cf.numberGetValue(number, kCFNumberFloat64Type, &real)) {
      value.kind = InfoValue::Kind::Real;
      value.real = real;
    }
    return value;
  }
  // An integer outside the signed 64-bit range does not convert exactly, and is no integer here.
  std::int64_t integer = 0;
  if (cf.numberGetValue(number, kCFNumberSInt64Type, &integer)) {
    value.kind = InfoValue::Kind::Integer;
    value.integer = integer;
  }
  return value;
}

InfoValue infoValueOf(const CoreFoundation& cf, CFTypeRef object) {
  CFTypeID type = cf.getTypeID(object);
  InfoValue value;
  if (type == cf.stringGetTypeID()) {
    if (auto text = stringContents(cf, object)) {
      value.kind = InfoValue::Kind::String;
      value.text = std::move(*text);
    }
  } else if (type == cf.booleanGetTypeID()) {
    value.kind = InfoValue::Kind::Boolean;
    value.boolean = cf.booleanGetValue(object) != 0;
  } else if (type == cf.numberGetTypeID()) {
    value = numberValue(cf, object);
  }
  return value;
}

class CoreFoundationBundle final : public MainBundle {
 public:
  CoreFoundationBundle(const CoreFoundation* cf, std::string executable)
      : cf_(cf), executable_(std::move(executable)) {
    if (cf_ && isBundleExecutable(executable_)) {
      bundle_ = cf_->bundleGetMainBundle();
    }
  }

  std::optional<std::string> resourceDirectory() const override {
    if (!bundle_) {
      return std::nullopt;
    }
    CFOwned url(*cf_, cf_->bundleCopyResourcesDirectoryURL(bundle_));
    return url ? filePathOf(*cf_, url.get()) : std::nullopt;
  }

  std::optional<InfoValue> infoValue(const std::string& key) const override {
    if (!bundle_) {
      return std::nullopt;
    }
    CFOwned name(*cf_, createString(*cf_, key));
    if (!name) {
      return std::nullopt;
    }
    // The bundle owns the value; it is not released here.
    CFTypeRef value = cf_->bundleGetValueForInfoDictionaryKey(bundle_, name.get());
    if (!value) {
      return std::nullopt;
    }
    return infoValueOf(*cf_, value);
  }

  std::string executableLocation() const override { return executable_; }

  InfoReport infoReport() const override {
    InfoReport report;
    if (bundle_) {
      std::string contents(parentOf(parentOf(executable_)));
      report.infoPlist = contents + "/Info.plist";
      report.infoPlistProblem = whyUnreadable(systemFiles(), report.infoPlist);
    }
    return report;
  }

 private:
  const CoreFoundation* cf_;
  std::string executable_;
  CFBundleRef bundle_ = nullptr;  // none outside a bundle
};

}  // namespace

bool isBundleExecutable(const std::string& executableLocation) {
  std::string_view macos = parentOf(executableLocation);
  std::string_view contents = parentOf(macos);
  return nameOf(macos) == "MacOS" && nameOf(contents) == "Contents";
}

std::unique_ptr<MainBundle> makeCoreFoundationBundle(const CoreFoundation* cf,
                                                     std::string executableLocation) {
  return std::make_unique<CoreFoundationBundle>(cf, std::move(executableLocation));
}

}  // namespace platform::macos_impl
