#include "platform/compiled_files.h"

#include <charconv>

namespace platform {

std::string GlibcVersion::text() const {
  std::string text = std::to_string(major) + "." + std::to_string(minor);
  return patch == 0 ? text : text + "." + std::to_string(patch);
}

std::optional<GlibcVersion> glibcVersionFromText(const std::string& text) {
  int parts[3] = {0, 0, 0};
  const char* at = text.data();
  const char* end = text.data() + text.size();
  for (int i = 0; i < 3; ++i) {
    auto [next, error] = std::from_chars(at, end, parts[i]);
    if (error != std::errc() || parts[i] < 0) {
      return std::nullopt;
    }
    at = next;
    if (at == end) {
      return i == 0 ? std::nullopt : std::optional(GlibcVersion{parts[0], parts[1], parts[2]});
    }
    if (*at != '.') {
      return std::nullopt;
    }
    ++at;
  }
  return std::nullopt;
}

}  // namespace platform
