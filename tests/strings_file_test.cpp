// Strings files as bundles localize their Info dictionary with them, and the user's languages.
#include "platform/linux/bundle_files/strings_file.h"

#include <gtest/gtest.h>

#include "support/test_support.h"

namespace {

using testing_support::utf16;

using platform::linux_impl::localizationSearchOrder;
using platform::linux_impl::parseStringsFile;
using platform::linux_impl::preferredLanguages;
using Entries = std::map<std::string, std::string>;
using namespace std::string_literals;

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
      {"unquoted words of every character they may hold", "azAZ09_$+/:.- = Zz;",
       Entries{{"azAZ09_$+/:.-", "Zz"}}},
      {"an unquoted word with a character it may not hold", "a@b = c;", std::nullopt},
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
      {"a property list after white space",
       "\n  <?xml version=\"1.0\"?><plist><dict><key>CFBundleName</key><string>P</string></dict>"
       "</plist>",
       Entries{{"CFBundleName", "P"}}},
      {"a property list in ISO-8859-1",
       "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><plist><dict><key>CFBundleName</key>"
       "<string>caf\xE9</string></dict></plist>",
       Entries{{"CFBundleName", "caf\xC3\xA9"}}},
      {"a property list in UTF-16",
       utf16(u"<plist><dict><key>CFBundleName</key><string>caf\u00e9</string></dict></plist>",
             false),
       Entries{{"CFBundleName", "caf\xC3\xA9"}}},
      {"UTF-8 past U+10FFFF", "\"a\" = \"\xF4\x90\x80\x80\";", std::nullopt},
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
      {"LANG alone", nullptr, nullptr, nullptr, "de_DE.UTF-8", V{"de_DE"}},
      {"a language without a country", nullptr, nullptr, nullptr, "fr", V{"fr"}},
      {"LC_ALL before LC_MESSAGES before LANG", nullptr, "it_IT@euro", "es_ES", "de_DE",
       V{"it_IT"}},
      {"LC_MESSAGES before LANG", nullptr, "", "es_ES.UTF-8", "de_DE", V{"es_ES"}},
      {"LANGUAGE first, as a list", "pt_BR:fr::de", nullptr, nullptr, "en_US.UTF-8",
       V{"pt_BR", "fr", "de", "en_US"}},
      {"LANGUAGE is ignored in the C locale", "de", nullptr, nullptr, "C.UTF-8", V{}},
      {"nothing set", nullptr, nullptr, nullptr, nullptr, V{}},
      {"POSIX", nullptr, "POSIX", nullptr, nullptr, V{}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(preferredLanguages(c.language, c.lcAll, c.lcMessages, c.lang), c.expected) << c.name;
  }
}

// Bundles name their folders "pt-BR", "pt_BR", "zh-Hans" or, older ones, "German".
TEST(StringsFile, FoldersAreSoughtByEveryNameBundlesGiveThem) {
  struct Case {
    std::vector<std::string> languages;
    const char* developmentRegion;
    std::vector<std::string> expected;
  };
  using V = std::vector<std::string>;
  const Case cases[] = {
      {V{"pt_BR"}, "", V{"pt-BR", "pt_BR", "pt", "en", "English"}},
      {V{"pt_br"}, "", V{"pt-BR", "pt_BR", "pt", "en", "English"}},
      {V{"zh_CN"}, "", V{"zh-CN", "zh_CN", "zh-Hans", "zh", "en", "English"}},
      {V{"zh_SG"}, "", V{"zh-SG", "zh_SG", "zh-Hans", "zh", "en", "English"}},
      {V{"zh_TW"}, "", V{"zh-TW", "zh_TW", "zh-Hant", "zh", "en", "English"}},
      {V{"zh_HK"}, "", V{"zh-HK", "zh_HK", "zh-Hant", "zh", "en", "English"}},
      {V{"zh_MO"}, "", V{"zh-MO", "zh_MO", "zh-Hant", "zh", "en", "English"}},
      {V{"zh"}, "", V{"zh", "en", "English"}},
      {V{"az_AZ", "uz_az"}, "", V{"az-AZ", "az_AZ", "az", "uz-AZ", "uz_AZ", "uz", "en", "English"}},
      {V{"de_DE", "fr"}, "", V{"de-DE", "de_DE", "de", "German", "fr", "French", "en", "English"}},
      {V{"ja_JP", "es", "it", "nl"}, "",
       V{"ja-JP", "ja_JP", "ja", "Japanese", "es", "Spanish", "it", "Italian", "nl", "Dutch", "en",
         "English"}},
      {V{"sv_SE"}, "de", V{"sv-SE", "sv_SE", "sv", "de", "German", "en", "English"}},
      {V{}, "German", V{"de", "German", "en", "English"}},
      {V{}, "en-US", V{"en-US", "en_US", "en", "English"}},
      {V{}, "zh-Hant", V{"zh-Hant", "zh", "en", "English"}},
      {V{}, "sr-Latn-RS", V{"sr-RS", "sr_RS", "sr-Latn", "sr", "en", "English"}},
      {V{}, "es-419", V{"es-419", "es_419", "es", "Spanish", "en", "English"}},
      // A variant in digits (traditional German spelling) is neither a script nor a region.
      {V{"de-1901"}, "", V{"de", "German", "en", "English"}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(localizationSearchOrder(c.languages, c.developmentRegion), c.expected)
        << c.languages.size() << " languages, region " << c.developmentRegion;
  }
}

}  // namespace
