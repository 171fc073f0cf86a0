#pragma once

// A CoreFoundation of plain C++ objects for the macOS backend's tests: strings, URLs, numbers,
// Booleans, arrays and errors that know what they hold, a main bundle answering from a map, and a
// count of the objects still alive, so a test sees what the backend created and failed to release.

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/macos/core_foundation.h"

namespace fake_cf {

using namespace platform::macos_impl;

enum TypeId : CFTypeID {
  StringType = 7,
  NumberType = 22,
  BooleanType = 21,
  DateType = 42,
  ArrayType = 19,
  ErrorType = 43
};

// One object, whatever its type. Those with `owned` set were created for the caller and count
// until released; a bundle's values are the bundle's.
struct Object {
  TypeId type = StringType;
  std::string text;  // a string's UTF-8, a URL's path, or an error's description
  bool isUrl = false;
  bool isFloat = false;  // a number: which of the two below
  std::int64_t integer = 0;
  double real = 0;
  bool integerFits = true;  // a number: whether it converts to 64 signed bits exactly
  bool boolean = false;
  bool convertible = true;  // a string, or an error's description: whether it converts to UTF-8
  CFIndex count = 0;        // an array: how many values it holds
  CFIndex code = 0;         // an error's code
  bool owned = false;
};

struct World {
  // The Info dictionary, localized as the system would have done it.
  std::map<std::string, Object> info;
  std::optional<std::string> resourcesDirectory = "/Packs/Q.app/Contents/Resources";
  int mainBundleCalls = 0;
  int alive = 0;  // owned objects not yet released
  std::vector<std::string> keysAsked;

  Object* make(Object object) {
    object.owned = true;
    ++alive;
    return new Object(std::move(object));
  }
};

// The world the table's functions answer from; one test at a time.
World& world();
void reset();

const CoreFoundation& table();

inline CFTypeRef asRef(const Object* object) {
  return reinterpret_cast<CFTypeRef>(object);
}
inline const Object* asObject(CFTypeRef ref) {
  return reinterpret_cast<const Object*>(ref);
}

inline Object stringValue(std::string text) {
  Object o;
  o.type = StringType;
  o.text = std::move(text);
  return o;
}
inline Object integerValue(std::int64_t value, bool fits = true) {
  Object o;
  o.type = NumberType;
  o.integer = value;
  o.integerFits = fits;
  return o;
}
inline Object realValue(double value) {
  Object o;
  o.type = NumberType;
  o.isFloat = true;
  o.real = value;
  return o;
}
inline Object booleanValue(bool value) {
  Object o;
  o.type = BooleanType;
  o.boolean = value;
  return o;
}
inline Object arrayValue(CFIndex count) {
  Object o;
  o.type = ArrayType;
  o.count = count;
  return o;
}
inline Object errorValue(CFIndex code, std::string description) {
  Object o;
  o.type = ErrorType;
  o.code = code;
  o.text = std::move(description);
  return o;
}
inline Object dateValue() {
  Object o;
  o.type = DateType;
  return o;
}

}  // namespace fake_cf
