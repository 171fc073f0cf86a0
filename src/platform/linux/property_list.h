#pragma once

#include <plist/plist.h>

#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace platform::linux_impl {

// Deeper nesting of dictionaries and arrays is refused before the parser sees it: the parser and
// the freeing of what it made recurse once per level.
inline constexpr int maxPropertyListNesting = 512;
// A binary list may refer to one object from many places, and the parser copies it for each: a
// few KiB could otherwise stand for billions of nodes.
inline constexpr size_t maxPropertyListNodes = 1 << 20;

struct PlistDeleter {
  void operator()(plist_t node) const { plist_free(node); }
};
using PlistPtr = std::unique_ptr<void, PlistDeleter>;

// An XML or binary property list, or none when `bytes` is not one, nests deeper than
// maxPropertyListNesting, expands to more than maxPropertyListNodes or holds an integer that is
// not a well-formed decimal or hexadecimal number. An integer outside the signed 64-bit range
// comes back as a value that is no number (false), since no reader can hold it.
PlistPtr parsePropertyList(std::string_view bytes);

// The checks and rewrites above, without the parse: the text to hand to the parser, or none.
// An XML list's integers are rewritten in plain decimal, as the parser reads a leading 0 as octal.
std::optional<std::string> preparedXmlList(std::string_view xml);
// A binary list's out-of-range integers are turned into false in place.
std::optional<std::string> preparedBinaryList(std::string_view binary);

}  // namespace platform::linux_impl
