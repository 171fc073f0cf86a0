#pragma once

#include <plist/plist.h>

#include <memory>
#include <string>
#include <string_view>

namespace platform::linux_impl {

// Deeper nesting of dictionaries and arrays is refused before the parser sees it: the parser and
// the freeing of what it made recurse once per level.
inline constexpr int maxPropertyListNesting = 512;
// What the parser may be asked to build, keys included. A binary list may refer to one object
// from many places, and the parser copies it for each: a few KiB could otherwise stand for
// billions of nodes or gigabytes of text. Within these bounds the parser takes a few
// milliseconds; a real Info.plist holds a few hundred values.
inline constexpr size_t maxPropertyListNodes = size_t{1} << 15;
inline constexpr size_t maxPropertyListPayloadBytes = size_t{1} << 20;  // strings and data

// A place in a text file, as an editor shows it.
struct TextPosition {
  unsigned long line = 0;
  unsigned long column = 0;
};

struct PlistDeleter {
  void operator()(plist_t node) const { plist_free(node); }
};
using PlistPtr = std::unique_ptr<void, PlistDeleter>;

// An XML or binary property list, or none when `bytes` is not one or is one the pack refuses:
// nested deeper than maxPropertyListNesting, holding or expanding to more than
// maxPropertyListNodes nodes or maxPropertyListPayloadBytes, in an encoding that can't be brought
// to UTF-8, holding a NUL or an integer that is not a well-formed decimal or hexadecimal number. An
// integer outside the signed 64-bit range comes back as a value that is no number (false), since no
// reader can hold it. Every string in what comes back is valid UTF-8. When the list is refused and
// `why` is given, it receives a short reason in English ("nested deeper than 512 dictionaries and
// arrays").
// When `where` is given, it receives the line and column (each from 1) where the XML reader
// stopped, for the person who mends the list; it is left as it is for a binary list and for a
// refusal of the whole file (empty, too large, an encoding that can't be converted).
PlistPtr parsePropertyList(std::string_view bytes, std::string* why = nullptr,
                           TextPosition* where = nullptr);

}  // namespace platform::linux_impl
