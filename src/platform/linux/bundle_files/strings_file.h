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
// LC_MESSAGES and LANG as gettext reads them: locale names without codeset or modifier ("pt_BR").
std::vector<std::string> preferredLanguages(const char* language, const char* lcAll,
                                            const char* lcMessages, const char* lang);

// The names of the .lproj folders to look for, in order: for each of the user's languages, then
// for the bundle's development region, "ll-CC", "ll_CC", the script folder of Chinese
// ("zh-Hans", "zh-Hant"), "ll" and the old English name ("German"); last "en" and "English".
// A name given as an old English name or with a hyphen is taken apart the same way.
std::vector<std::string> localizationSearchOrder(const std::vector<std::string>& languages,
                                                 std::string_view developmentRegion);

}  // namespace platform::linux_impl
