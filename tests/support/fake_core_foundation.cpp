#include "support/fake_core_foundation.h"

#include <cstring>

namespace fake_cf {
namespace {

// The system's own values, as Apple documents them, not the backend's copies of them.
constexpr CFStringEncoding utf8 = 0x08000100;
constexpr CFNumberType sInt64 = 4;
constexpr CFNumberType float64 = 6;

World* current = new World;

struct MainBundle {};
MainBundle mainBundle;

CFBundleRef bundleGetMainBundle() {
  ++world().mainBundleCalls;
  return reinterpret_cast<CFBundleRef>(&mainBundle);
}

CFURLRef bundleCopyResourcesDirectoryURL(CFBundleRef) {
  if (!world().resourcesDirectory) {
    return nullptr;
  }
  Object url;
  url.isUrl = true;
  url.text = *world().resourcesDirectory;
  return asRef(world().make(url));
}

CFTypeRef bundleGetValueForInfoDictionaryKey(CFBundleRef, CFStringRef key) {
  const std::string& name = asObject(key)->text;
  world().keysAsked.push_back(name);
  auto found = world().info.find(name);
  return found == world().info.end() ? nullptr : asRef(&found->second);
}

Boolean urlGetFileSystemRepresentation(CFURLRef url, Boolean resolveAgainstBase,
                                       std::uint8_t* buffer, CFIndex maxBufLen) {
  const std::string& path = asObject(url)->text;
  if (!resolveAgainstBase || static_cast<CFIndex>(path.size()) + 1 > maxBufLen) {
    return false;
  }
  std::memcpy(buffer, path.c_str(), path.size() + 1);
  return true;
}

CFURLRef urlCreateFromFileSystemRepresentation(CFAllocatorRef, const std::uint8_t* buffer,
                                               CFIndex length, Boolean) {
  Object url;
  url.isUrl = true;
  url.text.assign(reinterpret_cast<const char*>(buffer), static_cast<std::size_t>(length));
  return asRef(world().make(url));
}

CFStringRef stringCreateWithBytes(CFAllocatorRef, const std::uint8_t* bytes, CFIndex length,
                                  CFStringEncoding encoding, Boolean) {
  if (encoding != utf8) {
    return nullptr;
  }
  return asRef(world().make(stringValue(
      std::string(reinterpret_cast<const char*>(bytes), static_cast<std::size_t>(length)))));
}

// Lengths count bytes here, which the backend can't tell from UTF-16 units: it only passes them on.
CFIndex stringGetLength(CFStringRef string) {
  return static_cast<CFIndex>(asObject(string)->text.size());
}

CFIndex stringGetBytes(CFStringRef string, CFRange range, CFStringEncoding encoding, std::uint8_t,
                       Boolean, std::uint8_t* buffer, CFIndex maxBufLen, CFIndex* used) {
  const Object* object = asObject(string);
  if (encoding != utf8 || !object->convertible || range.location != 0 ||
      range.length != static_cast<CFIndex>(object->text.size())) {
    return 0;
  }
  CFIndex size = static_cast<CFIndex>(object->text.size());
  if (buffer) {
    if (maxBufLen < size) {
      return 0;
    }
    std::memcpy(buffer, object->text.data(), object->text.size());
  }
  *used = size;
  return size;
}

CFTypeID getTypeID(CFTypeRef object) {
  return asObject(object)->type;
}
CFTypeID stringGetTypeID() {
  return StringType;
}
CFTypeID numberGetTypeID() {
  return NumberType;
}
CFTypeID booleanGetTypeID() {
  return BooleanType;
}
Boolean numberIsFloatType(CFNumberRef number) {
  return asObject(number)->isFloat;
}

Boolean numberGetValue(CFNumberRef number, CFNumberType type, void* value) {
  const Object* object = asObject(number);
  if (type == float64) {
    *static_cast<double*>(value) = object->isFloat ? object->real : double(object->integer);
    return true;
  }
  if (type == sInt64) {
    *static_cast<std::int64_t*>(value) = object->integer;
    return !object->isFloat && object->integerFits;
  }
  return false;
}

Boolean booleanGetValue(CFBooleanRef boolean) {
  return asObject(boolean)->boolean;
}

CFIndex arrayGetCount(CFArrayRef array) {
  return asObject(array)->count;
}

CFIndex errorGetCode(CFErrorRef error) {
  return asObject(error)->code;
}

// Never null, as documented; the description keeps whether it converts.
CFStringRef errorCopyDescription(CFErrorRef error) {
  Object description = stringValue(asObject(error)->text);
  description.convertible = asObject(error)->convertible;
  return asRef(world().make(description));
}

void release(CFTypeRef ref) {
  const Object* object = asObject(ref);
  if (object->owned) {
    --world().alive;
    delete object;
  }
}

}  // namespace

World& world() {
  return *current;
}

void reset() {
  delete current;
  current = new World;
}

const CoreFoundation& table() {
  static const CoreFoundation cf{bundleGetMainBundle,
                                 bundleCopyResourcesDirectoryURL,
                                 bundleGetValueForInfoDictionaryKey,
                                 urlGetFileSystemRepresentation,
                                 urlCreateFromFileSystemRepresentation,
                                 stringCreateWithBytes,
                                 stringGetLength,
                                 stringGetBytes,
                                 getTypeID,
                                 stringGetTypeID,
                                 numberGetTypeID,
                                 booleanGetTypeID,
                                 numberIsFloatType,
                                 numberGetValue,
                                 booleanGetValue,
                                 arrayGetCount,
                                 errorGetCode,
                                 errorCopyDescription,
                                 release};
  return cf;
}

}  // namespace fake_cf
