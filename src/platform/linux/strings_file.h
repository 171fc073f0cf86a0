#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform::linux_impl {

// The entries of a strings file ("key" = "value"; lines, with comments), as a bundle's
// localizations keep them: UTF-16 with a byte-order mark, or UTF-8, or a property list whose
// dictionary holds the strings. Values come back in UTF-8. None when the file is not one of
// these; a list's entries that are not strings are left out.
std::optional<std::map<std::string, std::string>> parseStringsFile(std::string_view bytes);

// The languages the user prefers for messages, most preferred first, from LANGUAGE, LC_ALL,
// LC_MESSAGES and LANG as gettext reads them, and for each "ll_CC" the folder names to try in
// order: "ll_CC", then "ll".
std::vector<std::string> preferredLocalizations(const char* language, const char* lcAll,
                                                const char* lcMessages, const char* lang);

}  // namespace platform::linux_impl
