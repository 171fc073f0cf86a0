#include "platform/json.h"

namespace platform {
namespace {

// Counts the nesting of arrays and objects outside strings. A text that is not JSON may be
// miscounted, but the parser refuses it anyway.
bool nestsDeeperThan(std::string_view text, int limit) {
  int depth = 0;
  bool inString = false;
  bool escaped = false;
  for (char c : text) {
    if (inString) {
      if (escaped) {
        escaped = false;
      } else if (c == '\\') {
        escaped = true;
      } else if (c == '"') {
        inString = false;
      }
    } else if (c == '"') {
      inString = true;
    } else if (c == '[' || c == '{') {
      if (++depth > limit) {
        return true;
      }
    } else if (c == ']' || c == '}') {
      --depth;
    }
  }
  return false;
}

}  // namespace

std::optional<Json> parseJson(std::string_view text) {
  // A NUL byte is never part of a JSON text, but the parser would take it for the input's end.
  if (text.find('\0') != std::string_view::npos || nestsDeeperThan(text, maxJsonNesting)) {
    return std::nullopt;
  }
  try {
    Json value = Json::parse(text, nullptr, /*allow_exceptions=*/false, /*ignore_comments=*/false);
    if (value.is_discarded()) {
      return std::nullopt;
    }
    return value;
  } catch (const Json::exception&) {
    return std::nullopt;
  }
}

std::optional<std::string> writeJson(const Json& value) {
  try {
    return value.dump(-1, ' ', /*ensure_ascii=*/false, Json::error_handler_t::strict);
  } catch (const Json::exception&) {
    return std::nullopt;
  }
}

}  // namespace platform
