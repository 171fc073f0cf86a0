#include "platform/linux/strings_file.h"

#include <iconv.h>

#include <algorithm>
#include <cerrno>
#include <vector>

#include "platform/linux/property_list.h"

namespace platform::linux_impl {
namespace {

using Entries = std::map<std::string, std::string>;

// `bytes` converted from `encoding` to UTF-8; none when they are not valid in it.
std::optional<std::string> toUtf8(std::string_view bytes, const char* encoding) {
  iconv_t converter = ::iconv_open("UTF-8", encoding);
  if (converter == reinterpret_cast<iconv_t>(-1)) {
    return std::nullopt;
  }
  std::string out(bytes.size() * 2 + 16, '\0');
  auto* in = const_cast<char*>(bytes.data());
  size_t inLeft = bytes.size();
  char* next = out.data();
  size_t outLeft = out.size();
  bool ok = true;
  while (ok && inLeft > 0) {
    if (::iconv(converter, &in, &inLeft, &next, &outLeft) == static_cast<size_t>(-1)) {
      if (errno == E2BIG) {
        size_t used = static_cast<size_t>(next - out.data());
        out.resize(out.size() * 2);
        next = out.data() + used;
        outLeft = out.size() - used;
      } else {
        ok = false;  // an invalid or incomplete sequence
      }
    }
  }
  ::iconv_close(converter);
  if (!ok) {
    return std::nullopt;
  }
  out.resize(static_cast<size_t>(next - out.data()));
  return out;
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

bool isSpace(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v';
}

bool isUnquotedCharacter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
         std::string_view("_$+/:.-").find(c) != std::string_view::npos;
}

int hexValue(char c) {
  if (c >= '0' && c <= '9')
    return c - '0';
  if (c >= 'a' && c <= 'f')
    return c - 'a' + 10;
  if (c >= 'A' && c <= 'F')
    return c - 'A' + 10;
  return -1;
}

// The text form: entries `"key" = "value";` or `"key";` (the key is its own value), keys and
// values quoted, or unquoted when they are plain words; /* */ and // comments between them.
class StringsParser {
 public:
  explicit StringsParser(std::string_view text) : text_(text) {}

  std::optional<Entries> run() {
    Entries entries;
    for (;;) {
      if (!skipSpaceAndComments()) {
        return std::nullopt;
      }
      if (at_ == text_.size()) {
        return entries;
      }
      auto key = word();
      if (!key || !skipSpaceAndComments() || at_ == text_.size()) {
        return std::nullopt;
      }
      std::optional<std::string> value = key;
      if (text_[at_] == '=') {
        ++at_;
        if (!skipSpaceAndComments() || !(value = word()) || !skipSpaceAndComments()) {
          return std::nullopt;
        }
      }
      if (at_ == text_.size() || text_[at_] != ';') {
        return std::nullopt;
      }
      ++at_;
      entries[*key] = std::move(*value);
    }
  }

 private:
  bool skipSpaceAndComments() {
    while (at_ < text_.size()) {
      if (isSpace(text_[at_])) {
        ++at_;
      } else if (text_.substr(at_, 2) == "/*") {
        size_t end = text_.find("*/", at_ + 2);
        if (end == std::string_view::npos) {
          return false;
        }
        at_ = end + 2;
      } else if (text_.substr(at_, 2) == "//") {
        size_t end = text_.find('\n', at_);
        at_ = end == std::string_view::npos ? text_.size() : end + 1;
      } else {
        break;
      }
    }
    return true;
  }

  std::optional<std::string> word() {
    if (at_ < text_.size() && text_[at_] == '"') {
      return quoted();
    }
    size_t begin = at_;
    while (at_ < text_.size() && isUnquotedCharacter(text_[at_])) {
      ++at_;
    }
    if (at_ == begin) {
      return std::nullopt;
    }
    return std::string(text_.substr(begin, at_ - begin));
  }

  std::optional<std::string> quoted() {
    std::string out;
    ++at_;
    while (at_ < text_.size()) {
      char c = text_[at_++];
      if (c == '"') {
        return out;
      }
      if (c != '\\') {
        out += c;
      } else if (at_ < text_.size()) {
        escape(out);
      }
    }
    return std::nullopt;  // no closing quote
  }

  // One escape, after its backslash.
  void escape(std::string& out) {
    char c = text_[at_++];
    switch (c) {
      case 'n':
        out += '\n';
        return;
      case 't':
        out += '\t';
        return;
      case 'r':
        out += '\r';
        return;
      case 'a':
        out += '\a';
        return;
      case 'b':
        out += '\b';
        return;
      case 'f':
        out += '\f';
        return;
      case 'v':
        out += '\v';
        return;
      case 'U':
      case 'u':
        appendUtf8(out, utf16Escape());
        return;
      default:
        break;
    }
    if (c >= '0' && c <= '7') {
      char32_t value = static_cast<char32_t>(c - '0');
      for (int i = 0; i < 2 && at_ < text_.size() && text_[at_] >= '0' && text_[at_] <= '7'; ++i) {
        value = value * 8 + static_cast<char32_t>(text_[at_++] - '0');
      }
      appendUtf8(out, value);
      return;
    }
    out += c;  // the character itself: \" \\ \' and any other
  }

  // Up to four hexadecimal digits: a UTF-16 unit. A high surrogate pairs with a following
  // \U escape of a low one; a lone surrogate stands as U+FFFD.
  char32_t utf16Escape() {
    char32_t unit = hexDigits();
    if (unit >= 0xD800 && unit <= 0xDBFF && text_.substr(at_, 2) == "\\U") {
      size_t save = at_;
      at_ += 2;
      char32_t low = hexDigits();
      if (low >= 0xDC00 && low <= 0xDFFF) {
        return 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
      }
      at_ = save;
    }
    return unit >= 0xD800 && unit <= 0xDFFF ? 0xFFFD : unit;
  }

  char32_t hexDigits() {
    char32_t value = 0;
    for (int i = 0; i < 4 && at_ < text_.size() && hexValue(text_[at_]) >= 0; ++i) {
      value = value * 16 + static_cast<char32_t>(hexValue(text_[at_++]));
    }
    return value;
  }

  std::string_view text_;
  size_t at_ = 0;
};

std::optional<Entries> stringsOfPropertyList(std::string_view bytes) {
  auto root = parsePropertyList(bytes);
  if (!root || plist_get_node_type(root.get()) != PLIST_DICT) {
    return std::nullopt;
  }
  Entries entries;
  plist_dict_iter iterator = nullptr;
  plist_dict_new_iter(root.get(), &iterator);
  for (;;) {
    char* key = nullptr;
    plist_t value = nullptr;
    plist_dict_next_item(root.get(), iterator, &key, &value);
    if (!key) {
      break;
    }
    if (plist_get_node_type(value) == PLIST_STRING) {
      uint64_t length = 0;
      const char* text = plist_get_string_ptr(value, &length);
      entries[key] = std::string(text ? text : "", text ? length : 0);
    }
    free(key);
  }
  free(iterator);
  return entries;
}

std::optional<Entries> stringsOfText(std::string_view text) {
  size_t first = 0;
  while (first < text.size() && isSpace(text[first])) {
    ++first;
  }
  if (first < text.size() && text[first] == '<') {
    return stringsOfPropertyList(text);
  }
  return StringsParser(text).run();
}

bool startsWith(std::string_view bytes, std::string_view prefix) {
  return bytes.substr(0, prefix.size()) == prefix;
}

// A locale name without its codeset and modifier ("de_DE.UTF-8@euro" is "de_DE"); empty for
// the C locale, which names no language.
std::string languageOfLocale(std::string_view locale) {
  locale = locale.substr(0, locale.find_first_of(".@"));
  if (locale == "C" || locale == "POSIX") {
    return {};
  }
  return std::string(locale);
}

}  // namespace

std::optional<Entries> parseStringsFile(std::string_view bytes) {
  if (startsWith(bytes, "\xFF\xFE") || startsWith(bytes, "\xFE\xFF")) {
    auto text = toUtf8(bytes.substr(2), bytes[0] == '\xFF' ? "UTF-16LE" : "UTF-16BE");
    return text ? stringsOfText(*text) : std::nullopt;
  }
  if (startsWith(bytes, "bplist")) {
    return stringsOfPropertyList(bytes);
  }
  if (startsWith(bytes, "\xEF\xBB\xBF")) {
    bytes.remove_prefix(3);
  }
  auto text = toUtf8(bytes, "UTF-8");
  return text ? stringsOfText(*text) : std::nullopt;
}

std::vector<std::string> preferredLocalizations(const char* language, const char* lcAll,
                                                const char* lcMessages, const char* lang) {
  auto set = [](const char* value) { return value && *value; };
  const char* messages = set(lcAll) ? lcAll : set(lcMessages) ? lcMessages : lang;
  std::string messagesLanguage = languageOfLocale(set(messages) ? messages : "");
  std::vector<std::string> languages;
  // As gettext does, LANGUAGE counts only where messages are not in the C locale.
  if (!messagesLanguage.empty() && set(language)) {
    std::string_view list(language);
    while (!list.empty()) {
      size_t colon = list.find(':');
      languages.push_back(languageOfLocale(list.substr(0, colon)));
      list.remove_prefix(colon == std::string_view::npos ? list.size() : colon + 1);
    }
  }
  languages.push_back(messagesLanguage);
  std::vector<std::string> folders;
  auto add = [&folders](std::string name) {
    if (!name.empty() && std::find(folders.begin(), folders.end(), name) == folders.end()) {
      folders.push_back(std::move(name));
    }
  };
  for (const auto& name : languages) {
    add(name);
    add(name.substr(0, name.find('_')));
  }
  return folders;
}

}  // namespace platform::linux_impl
