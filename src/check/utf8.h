#pragma once

#include <string>
#include <string_view>

namespace check {

// `bytes` with every ill-formed UTF-8 sequence replaced by U+FFFD, one for each maximal subpart
// of an ill-formed sequence, as Unicode recommends.
std::string repairUtf8(std::string_view bytes);

bool isValidUtf8(std::string_view bytes);

// `text` (valid UTF-8) without white space and line breaks at either end: Unicode's category Z,
// U+0009 to U+000D and U+0085.
std::string_view trimWhitespaceAndNewlines(std::string_view text);

}  // namespace check
