#include "platform/linux/bundle_files/strings_file.h"

#include <algorithm>
#include <iterator>
#include <utility>
#include <vector>

#include "platform/linux/bundle_files/property_list.h"
#include "platform/linux/bundle_files/text_encoding.h"

namespace platform::linux_impl {
namespace {

using Entries = std::map<std::string, std::string>;

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

// Whether text begins, after white space, as XML does.
bool looksLikeXml(std::string_view text) {
  size_t first = 0;
  while (first < text.size() && isSpace(text[first])) {
    ++first;
  }
  return first < text.size() && text[first] == '<';
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

// The names older bundles gave the folders of the languages they were first made in.
constexpr std::pair<std::string_view, std::string_view> oldLanguageNames[] = {
    {"en", "English"}, {"de", "German"},  {"fr", "French"}, {"ja", "Japanese"},
    {"es", "Spanish"}, {"it", "Italian"}, {"nl", "Dutch"}};

bool isLetter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

bool isDigit(char c) {
  return c >= '0' && c <= '9';
}

bool all(std::string_view text, bool (*test)(char)) {
  return std::all_of(text.begin(), text.end(), test);
}

char upper(char c) {
  return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

char lower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

struct LanguageTag {
  std::string language;  // "pt"
  std::string script;    // "Hant", where given
  std::string region;    // "BR", where given
};

// "pt_BR", "zh-Hant-TW", "en-US" or "English", taken apart; a region in capitals and a script
// with one, as folders are named.
LanguageTag tagOf(std::string_view name) {
  for (auto [code, oldName] : oldLanguageNames) {
    if (name == oldName) {
      return LanguageTag{std::string(code), {}, {}};
    }
  }
  size_t end = name.find_first_of("-_");
  LanguageTag tag{std::string(name.substr(0, end)), {}, {}};
  while (end != std::string_view::npos) {
    name.remove_prefix(end + 1);
    end = name.find_first_of("-_");
    std::string_view part = name.substr(0, end);
    if (part.size() == 4 && all(part, isLetter)) {
      tag.script = {upper(part[0]), lower(part[1]), lower(part[2]), lower(part[3])};
    } else if ((part.size() == 2 && all(part, isLetter)) ||
               (part.size() == 3 && all(part, isDigit))) {
      tag.region.clear();
      std::transform(part.begin(), part.end(), std::back_inserter(tag.region), upper);
    }
  }
  return tag;
}

// Chinese folders are named by script, and the region tells which script its people read.
std::string scriptOf(const LanguageTag& tag) {
  if (!tag.script.empty() || tag.language != "zh") {
    return tag.script;
  }
  if (tag.region == "CN" || tag.region == "SG") {
    return "Hans";
  }
  if (tag.region == "TW" || tag.region == "HK" || tag.region == "MO") {
    return "Hant";
  }
  return {};
}

// The folder names that may hold a language, the closest first.
std::vector<std::string> foldersOf(std::string_view name) {
  LanguageTag tag = tagOf(name);
  std::vector<std::string> folders;
  if (!tag.region.empty()) {
    folders.push_back(tag.language + "-" + tag.region);
    folders.push_back(tag.language + "_" + tag.region);
  }
  if (std::string script = scriptOf(tag); !script.empty()) {
    folders.push_back(tag.language + "-" + script);
  }
  folders.push_back(tag.language);
  for (auto [code, oldName] : oldLanguageNames) {
    if (tag.language == code) {
      folders.emplace_back(oldName);
    }
  }
  return folders;
}

}  // namespace

std::optional<Entries> parseStringsFile(std::string_view bytes) {
  if (startsWith(bytes, "bplist")) {
    return stringsOfPropertyList(bytes);
  }
  std::optional<std::string> text;
  if (startsWith(bytes, "\xFF\xFE") || startsWith(bytes, "\xFE\xFF")) {
    text = toUtf8(bytes.substr(2), bytes[0] == '\xFF' ? "UTF-16LE" : "UTF-16BE");
  } else {
    std::string_view body = startsWith(bytes, "\xEF\xBB\xBF") ? bytes.substr(3) : bytes;
    // A list is handed over as it is: it may name an encoding of its own.
    if (looksLikeXml(body)) {
      return stringsOfPropertyList(bytes);
    }
    text = isValidUtf8(body) ? std::optional<std::string>(body) : std::nullopt;
  }
  if (!text) {
    return std::nullopt;
  }
  return looksLikeXml(*text) ? stringsOfPropertyList(bytes) : StringsParser(*text).run();
}

std::vector<std::string> preferredLanguages(const char* language, const char* lcAll,
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
      if (auto name = languageOfLocale(list.substr(0, colon)); !name.empty()) {
        languages.push_back(std::move(name));
      }
      list.remove_prefix(colon == std::string_view::npos ? list.size() : colon + 1);
    }
  }
  if (!messagesLanguage.empty()) {
    languages.push_back(messagesLanguage);
  }
  return languages;
}

std::vector<std::string> localizationSearchOrder(const std::vector<std::string>& languages,
                                                 std::string_view developmentRegion) {
  std::vector<std::string> folders;
  auto add = [&folders](const std::vector<std::string>& names) {
    for (const auto& name : names) {
      if (!name.empty() && std::find(folders.begin(), folders.end(), name) == folders.end()) {
        folders.push_back(name);
      }
    }
  };
  for (const auto& language : languages) {
    add(foldersOf(language));
  }
  add(foldersOf(developmentRegion));
  add({"en", "English"});
  return folders;
}

}  // namespace platform::linux_impl
