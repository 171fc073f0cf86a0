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

// The characters of one encoding, decoded one at a time by the C library's converter.
class CharacterDecoder {
 public:
  explicit CharacterDecoder(const std::string& encoding);
  ~CharacterDecoder();
  CharacterDecoder(const CharacterDecoder&) = delete;
  CharacterDecoder& operator=(const CharacterDecoder&) = delete;

  // Whether the converter knows the encoding; nothing is decoded when it does not.
  bool knowsEncoding() const;

  enum class Result { Character, Incomplete, Invalid };
  // What `bytes` make, all of them: exactly one Unicode scalar value, put in `c`; the start of
  // one; or neither (bytes not valid in the encoding, more than one character, or a shift that
  // makes none).
  Result decode(std::string_view bytes, char32_t& c);

  // Whether `bytes` begin with a character of the encoding; `c` receives it.
  bool startsWithCharacter(std::string_view bytes, char32_t& c);

 private:
  void* handle_;  // the converter's iconv_t
};

}  // namespace platform::linux_impl
