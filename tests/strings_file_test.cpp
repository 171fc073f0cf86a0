// Strings files as bundles localize their Info dictionary with them, and the user's languages.
#include "platform/linux/strings_file.h"

#include <gtest/gtest.h>

namespace {

using platform::linux_impl::parseStringsFile;
using platform::linux_impl::preferredLocalizations;
using Entries = std::map<std::string, std::string>;
using namespace std::string_literals;

std::string utf16(const std::u16string& text, bool littleEndian) {
  std::string bytes = littleEndian ? "\xFF\xFE" : "\xFE\xFF";
  for (char16_t unit : text) {
    char low = static_cast<char>(unit & 0xFF);
    char high = static_cast<char>(unit >> 8);
    bytes += littleEndian ? std::string{low, high} : std::string{high, low};
  }
  return bytes;
}

TEST(StringsFile, ReadsTheTextFormInEachEncoding) {
  struct Case {
    const char* name;
    std::string bytes;
    std::optional<Entries> expected;
  };
  const Entries version{{"CFBundleShortVersionString", "2.0 \xC3\xA9t\xC3\xA9"}};
  const Case cases[] = {
      {"UTF-8", "\"CFBundleShortVersionString\" = \"2.0 \xC3\xA9t\xC3\xA9\";\n", version},
      {"UTF-8 with a byte-order mark",
       "\xEF\xBB\xBF\"CFBundleShortVersionString\" = \"2.0 \xC3\xA9t\xC3\xA9\";", version},
      {"UTF-16 little-endian",
       utf16(u"\"CFBundleShortVersionString\" = \"2.0 \u00e9t\u00e9\";", true), version},
      {"UTF-16 big-endian",
       utf16(u"\"CFBundleShortVersionString\" = \"2.0 \u00e9t\u00e9\";", false), version},
      {"comments and unquoted words",
       "/* Localized versions of Info.plist keys */\n// one more\nCFBundleName = Pack;\n"
       "\"a\"=\"b\" ; /* after */",
       Entries{{"CFBundleName", "Pack"}, {"a", "b"}}},
      {"a key that is its own value", "\"same\";", Entries{{"same", "same"}}},
      {"escapes", R"("k" = "q\"b\\n\nt\tu\U00e9o\101s\UD83D\UDE00l\UD83D";)",
       Entries{{"k", "q\"b\\n\nt\tu\xC3\xA9oAs\xF0\x9F\x98\x80l\xEF\xBF\xBD"}}},
      {"empty", "", Entries{}},
      {"the later of two entries wins", "a = 1; a = 2;", Entries{{"a", "2"}}},
      {"no semicolon", "\"a\" = \"b\"", std::nullopt},
      {"no closing quote", "\"a\" = \"b;", std::nullopt},
      {"an open comment", "\"a\" = \"b\"; /* ", std::nullopt},
      {"not UTF-8", "\"a\" = \"\xFF\";", std::nullopt},
      {"UTF-16 with a lone surrogate", utf16(u"a = b;"s + char16_t(0xD800), true), std::nullopt},
      {"a property list",
       "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>CFBundleShortVersionString</key>"
       "<string>3.0</string><key>RuvizuvePackFormat</key><integer>1</integer></dict></plist>",
       Entries{{"CFBundleShortVersionString", "3.0"}}},
      {"a property list that is no dictionary", "<plist><array/></plist>", std::nullopt},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(parseStringsFile(c.bytes), c.expected) << c.name;
  }
}

TEST(StringsFile, TheUsersLanguagesComeAsGettextReadsThem) {
  struct Case {
    const char* name;
    const char* language;
    const char* lcAll;
    const char* lcMessages;
    const char* lang;
    std::vector<std::string> expected;
  };
  using V = std::vector<std::string>;
  const Case cases[] = {
      {"LANG alone", nullptr, nullptr, nullptr, "de_DE.UTF-8", V{"de_DE", "de"}},
      {"a language without a country", nullptr, nullptr, nullptr, "fr", V{"fr"}},
      {"LC_ALL before LC_MESSAGES before LANG", nullptr, "it_IT@euro", "es_ES", "de_DE",
       V{"it_IT", "it"}},
      {"LC_MESSAGES before LANG", nullptr, "", "es_ES.UTF-8", "de_DE", V{"es_ES", "es"}},
      {"LANGUAGE first, as a list", "pt_BR:fr::de", nullptr, nullptr, "en_US.UTF-8",
       V{"pt_BR", "pt", "fr", "de", "en_US", "en"}},
      {"LANGUAGE is ignored in the C locale", "de", nullptr, nullptr, "C.UTF-8", V{}},
      {"nothing set", nullptr, nullptr, nullptr, nullptr, V{}},
      {"POSIX", nullptr, "POSIX", nullptr, nullptr, V{}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(preferredLocalizations(c.language, c.lcAll, c.lcMessages, c.lang), c.expected)
        << c.name;
  }
}

}  // namespace
