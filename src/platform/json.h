#pragma once

#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace platform {

using Json = nlohmann::json;

// Deeper nesting is refused before parsing: the writer recurses once per level.
inline constexpr int maxJsonNesting = 512;

// One strict JSON text (no comments, no trailing commas, white space around the value
// allowed), or none when `text` is not one, holds a NUL byte or nests deeper than maxJsonNesting.
std::optional<Json> parseJson(std::string_view text);

// Compact text with keys sorted at every depth, "/" unescaped and non-ASCII written as UTF-8,
// or none when a string in `value` is not valid UTF-8.
std::optional<std::string> writeJson(const Json& value);

}  // namespace platform
