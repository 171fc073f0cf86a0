#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <functional>
#include <string>

namespace platform::posix_impl {

// Calls `visit` with every entry below `folder` (itself followed when it is a link), at any depth,
// and what lstat says of it, without following the links it finds; an entry lstat can't look at
// is passed by. At most `maxEntries` entries are looked at. Returns whether the walk stopped at
// that bound.
bool walkFolder(const std::string& folder, size_t maxEntries,
                const std::function<void(const std::string& path, const struct stat& info)>& visit);

}  // namespace platform::posix_impl
