#include "check/utf8.h"

#include <cstdint>

namespace check {
namespace {

constexpr std::string_view replacementCharacter = "\xEF\xBF\xBD";

struct Step {
  size_t length;  // bytes taken: the whole character, or the maximal subpart that was ill-formed
  bool wellFormed;
  char32_t codePoint;
};

// The range the second byte must fall in after the lead byte `lead`, and the sequence length.
// Continuation bytes after the second are always 80..BF.
struct LeadRule {
  size_t length;
  uint8_t secondLow;
  uint8_t secondHigh;
};

LeadRule ruleFor(uint8_t lead) {
  if (lead >= 0xC2 && lead <= 0xDF)
    return {2, 0x80, 0xBF};
  if (lead == 0xE0)
    return {3, 0xA0, 0xBF};
  if (lead == 0xED)
    return {3, 0x80, 0x9F};
  if (lead >= 0xE1 && lead <= 0xEF)
    return {3, 0x80, 0xBF};
  if (lead == 0xF0)
    return {4, 0x90, 0xBF};
  if (lead >= 0xF1 && lead <= 0xF3)
    return {4, 0x80, 0xBF};
  if (lead == 0xF4)
    return {4, 0x80, 0x8F};
  return {0, 0, 0};
}

Step decodeAt(std::string_view bytes, size_t at) {
  auto lead = static_cast<uint8_t>(bytes[at]);
  if (lead < 0x80) {
    return {1, true, lead};
  }
  LeadRule rule = ruleFor(lead);
  if (rule.length == 0) {
    return {1, false, 0};
  }
  char32_t codePoint = lead & (0x7F >> rule.length);
  for (size_t i = 1; i < rule.length; ++i) {
    if (at + i >= bytes.size()) {
      return {i, false, 0};
    }
    auto next = static_cast<uint8_t>(bytes[at + i]);
    uint8_t low = i == 1 ? rule.secondLow : 0x80;
    uint8_t high = i == 1 ? rule.secondHigh : 0xBF;
    if (next < low || next > high) {
      return {i, false, 0};
    }
    codePoint = (codePoint << 6) | (next & 0x3F);
  }
  return {rule.length, true, codePoint};
}

bool isWhitespaceOrNewline(char32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
         c == 0x3000;
}

}  // namespace

std::string repairUtf8(std::string_view bytes) {
  std::string repaired;
  repaired.reserve(bytes.size());
  size_t at = 0;
  while (at < bytes.size()) {
    Step step = decodeAt(bytes, at);
    if (step.wellFormed) {
      repaired.append(bytes.substr(at, step.length));
    } else {
      repaired.append(replacementCharacter);
    }
    at += step.length;
  }
  return repaired;
}

bool isValidUtf8(std::string_view bytes) {
  for (size_t at = 0; at < bytes.size();) {
    Step step = decodeAt(bytes, at);
    if (!step.wellFormed) {
      return false;
    }
    at += step.length;
  }
  return true;
}

std::string_view trimWhitespaceAndNewlines(std::string_view text) {
  size_t begin = 0;
  size_t end = 0;  // one past the last character that is kept
  for (size_t at = 0; at < text.size();) {
    Step step = decodeAt(text, at);
    if (!isWhitespaceOrNewline(step.codePoint) || !step.wellFormed) {
      if (end == 0) {
        begin = at;
      }
      end = at + step.length;
    }
    at += step.length;
  }
  return end == 0 ? std::string_view() : text.substr(begin, end - begin);
}

}  // namespace check
