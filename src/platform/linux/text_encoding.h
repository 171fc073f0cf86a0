#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace platform::linux_impl {

// Whether `text` is UTF-8 as the report's JSON takes it: no overlong forms, no surrogates, nothing
// past U+10FFFF. The C library's converter lets the last of these through.
bool isValidUtf8(std::string_view text);

// `bytes` converted from `encoding` to valid UTF-8; none when the converter does not know the
// encoding or the bytes are not valid in it. `why`, when given, then says which.
std::optional<std::string> toUtf8(std::string_view bytes, const std::string& encoding,
                                  std::string* why = nullptr);

void appendUtf8(std::string& out, char32_t c);

}  // namespace platform::linux_impl
