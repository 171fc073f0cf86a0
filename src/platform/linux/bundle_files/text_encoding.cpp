#include "platform/linux/bundle_files/text_encoding.h"

#include <iconv.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>

namespace platform::linux_impl {
namespace {

// The length of the UTF-8 sequence starting at `text[at]`, or 0 when none starts there.
size_t sequenceLength(std::string_view text, size_t at) {
  auto byte = [&](size_t i) { return static_cast<uint8_t>(text[at + i]); };
  auto continuation = [&](size_t i) { return at + i < text.size() && (byte(i) & 0xC0) == 0x80; };
  uint8_t lead = byte(0);
  if (lead < 0x80) {
    return 1;
  }
  if (lead >= 0xC2 && lead <= 0xDF) {
    return continuation(1) ? 2 : 0;
  }
  if (lead >= 0xE0 && lead <= 0xEF) {
    if (!continuation(1) || !continuation(2)) {
      return 0;
    }
    // E0 would be overlong below A0; ED would be a surrogate from A0.
    bool fits = (lead != 0xE0 || byte(1) >= 0xA0) && (lead != 0xED || byte(1) < 0xA0);
    return fits ? 3 : 0;
  }
  if (lead >= 0xF0 && lead <= 0xF4) {
    if (!continuation(1) || !continuation(2) || !continuation(3)) {
      return 0;
    }
    // F0 would be overlong below 90; F4 would pass U+10FFFF from 90.
    bool fits = (lead != 0xF0 || byte(1) >= 0x90) && (lead != 0xF4 || byte(1) < 0x90);
    return fits ? 4 : 0;
  }
  return 0;
}

const auto closedHandle = reinterpret_cast<void*>(-1);  // what iconv_open returns on failure

class Converter {
 public:
  explicit Converter(const std::string& from) : handle_(::iconv_open("UTF-8", from.c_str())) {}
  ~Converter() {
    if (isOpen()) {
      ::iconv_close(handle_);
    }
  }
  Converter(const Converter&) = delete;
  Converter& operator=(const Converter&) = delete;

  bool isOpen() const { return handle_ != reinterpret_cast<iconv_t>(-1); }

  std::optional<std::string> convert(std::string_view bytes) {
    std::string out(bytes.size() * 2 + 16, '\0');
    auto* in = const_cast<char*>(bytes.data());
    size_t inLeft = bytes.size();
    char* next = out.data();
    size_t outLeft = out.size();
    while (inLeft > 0) {
      if (::iconv(handle_, &in, &inLeft, &next, &outLeft) != static_cast<size_t>(-1)) {
        continue;
      }
      if (errno != E2BIG) {
        return std::nullopt;  // an invalid or incomplete sequence
      }
      size_t used = static_cast<size_t>(next - out.data());
      out.resize(out.size() * 2);
      next = out.data() + used;
      outLeft = out.size() - used;
    }
    out.resize(static_cast<size_t>(next - out.data()));
    return out;
  }

 private:
  iconv_t handle_;
};

}  // namespace

bool isValidUtf8(std::string_view text) {
  for (size_t at = 0; at < text.size();) {
    size_t length = sequenceLength(text, at);
    if (length == 0) {
      return false;
    }
    at += length;
  }
  return true;
}

std::optional<std::string> toUtf8(std::string_view bytes, const std::string& encoding,
                                  std::string* why) {
  Converter converter(encoding);
  if (!converter.isOpen()) {
    if (why) {
      *why = "encoding " + encoding + " can't be converted";
    }
    return std::nullopt;
  }
  auto text = converter.convert(bytes);
  if (!text || !isValidUtf8(*text)) {
    if (why) {
      *why = "text that is not valid " + encoding;
    }
    return std::nullopt;
  }
  return text;
}

CharacterDecoder::CharacterDecoder(const std::string& encoding)
    : handle_(::iconv_open("UTF-32LE", encoding.c_str())) {}

CharacterDecoder::~CharacterDecoder() {
  if (knowsEncoding()) {
    ::iconv_close(static_cast<iconv_t>(handle_));
  }
}

bool CharacterDecoder::knowsEncoding() const {
  return handle_ != closedHandle;
}

CharacterDecoder::Result CharacterDecoder::decode(std::string_view bytes, char32_t& c) {
  if (!knowsEncoding()) {
    return Result::Invalid;
  }
  auto handle = static_cast<iconv_t>(handle_);
  ::iconv(handle, nullptr, nullptr, nullptr, nullptr);  // back to the initial shift state
  auto* in = const_cast<char*>(bytes.data());
  size_t inLeft = bytes.size();
  char out[8];  // room for two characters: a second one makes the bytes more than one
  char* next = out;
  size_t outLeft = sizeof out;
  bool whole = ::iconv(handle, &in, &inLeft, &next, &outLeft) != static_cast<size_t>(-1);
  size_t produced = sizeof out - outLeft;
  if (!whole && errno == EINVAL && produced == 0) {
    return Result::Incomplete;
  }
  if (!whole || produced != 4) {
    return Result::Invalid;
  }
  uint32_t value = 0;
  for (int i = 3; i >= 0; --i) {
    value = (value << 8) | static_cast<uint8_t>(out[i]);
  }
  c = value;  // a Unicode scalar value: the converter writes no surrogate and nothing past U+10FFFF
  return Result::Character;
}

bool CharacterDecoder::startsWithCharacter(std::string_view bytes, char32_t& c) {
  constexpr size_t longestCharacter = 4;  // in the encodings a text file is written in
  for (size_t length = 1; length <= std::min(bytes.size(), longestCharacter); ++length) {
    Result result = decode(bytes.substr(0, length), c);
    if (result != Result::Incomplete) {
      return result == Result::Character;
    }
  }
  return false;
}

void appendUtf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

}  // namespace platform::linux_impl
