#include "platform/macos/objc_runtime.h"

#include <optional>
#include <string>

namespace platform::macos_impl {
namespace {

bool isQualifier(char c) {
  return std::string_view("rnNoORV").find(c) != std::string_view::npos;
}

bool isDigit(char c) {
  return c >= '0' && c <= '9';
}

// An integer type of either sign as its signed type: the two pass in the same register, and
// the runtime of recent systems reports some of AppKit's methods with the other sign than their
// declarations. Char is left as it is: on Intel it is BOOL's type.
char withSignIgnored(char code) {
  switch (code) {
    case 'S':
      return 's';
    case 'I':
      return 'i';
    case 'L':
      return 'l';
    case 'Q':
      return 'q';
    default:
      return code;
  }
}

// Where the type that starts at `at` ends, or none when it is cut off or unbalanced.
std::optional<std::size_t> endOfType(std::string_view encoding, std::size_t at) {
  if (at >= encoding.size()) {
    return std::nullopt;
  }
  char c = encoding[at];
  if (c == '^') {
    return endOfType(encoding, at + 1);
  }
  // An object may name its class in quotes. (A block, "@?", reads as an object and a '?'.)
  if (c == '@') {
    if (at + 1 < encoding.size() && encoding[at + 1] == '"') {
      auto close = encoding.find('"', at + 2);
      return close == std::string_view::npos ? std::nullopt : std::optional(close + 1);
    }
    return at + 1;
  }
  if (c != '{' && c != '(' && c != '[') {
    return at + 1;
  }
  // A structure, union or array: up to its matching end.
  int depth = 0;
  for (std::size_t i = at; i < encoding.size(); ++i) {
    char d = encoding[i];
    depth += (d == '{' || d == '(' || d == '[') ? 1 : (d == '}' || d == ')' || d == ']') ? -1 : 0;
    if (depth == 0) {
      return i + 1;
    }
  }
  return std::nullopt;
}

// The encoding's types, each without its qualifiers and frame offset, integers whatever their
// sign.
std::optional<std::string> typesOf(std::string_view encoding) {
  std::string types;
  std::size_t at = 0;
  while (at < encoding.size()) {
    while (at < encoding.size() && isQualifier(encoding[at])) {
      ++at;
    }
    auto end = endOfType(encoding, at);
    if (!end) {
      return std::nullopt;
    }
    std::string_view type = encoding.substr(at, *end - at);
    if (type.size() == 1) {
      types.push_back(withSignIgnored(type[0]));
    } else {
      types.append(type);
    }
    at = *end;
    if (at < encoding.size() && encoding[at] == '-') {
      ++at;
    }
    while (at < encoding.size() && isDigit(encoding[at])) {
      ++at;
    }
  }
  return types;
}

}  // namespace

bool encodingHasTypes(const char* encoding, std::string_view types) {
  if (!encoding) {
    return false;
  }
  auto found = typesOf(encoding);
  auto wanted = typesOf(types);
  return found && wanted && *found == *wanted;
}

}  // namespace platform::macos_impl
