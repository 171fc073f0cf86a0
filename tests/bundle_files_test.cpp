// The bundle's own files, as anyone who can write to the bundle may leave them: each answers at
// once with the fallback. And the Info dictionary as its localizations change it.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "support/test_support.h"

namespace {

using namespace testing_support;
using namespace std::chrono_literals;

std::string nestedXml(size_t depth) {
  std::string text =
      "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict>"
      "<key>CFBundleShortVersionString</key><string>9.9</string>"
      "<key>RuvizuvePackFormat</key><integer>1</integer><key>deep</key>";
  for (size_t i = 0; i < depth; ++i)
    text += "<array>";
  for (size_t i = 0; i < depth; ++i)
    text += "</array>";
  return text + "</dict></plist>";
}

// A chain of arrays `depth` deep as a binary list, each array holding the next.
std::string nestedBinary(uint32_t depth) {
  auto bigEndian = [](uint64_t value, size_t width) {
    std::string bytes(width, '\0');
    for (size_t i = 0; i < width; ++i)
      bytes[width - 1 - i] = static_cast<char>(value >> (8 * i));
    return bytes;
  };
  std::string list = "bplist00";
  std::string offsets;
  for (uint32_t i = 0; i < depth; ++i) {
    offsets += bigEndian(list.size(), 4);
    list += i + 1 < depth ? "\xA1" + bigEndian(i + 1, 4) : std::string("\xA0");
  }
  size_t table = list.size();
  return list + offsets + std::string(6, '\0') + "\x04\x04" + bigEndian(depth, 8) +
         bigEndian(0, 8) + bigEndian(table, 8);
}

void makeFifo(const fs::path& path) {
  fs::create_directories(path.parent_path());
  ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
}

void makeSparse(const fs::path& path, off_t size) {
  writeFile(path, "");
  ASSERT_EQ(::truncate(path.c_str(), size), 0);
}

TEST(BundleFiles, HostileFilesAnswerAtOnceWithTheFallback) {
  struct Case {
    const char* name;
    std::function<void(PackFixture&)> lay;
    std::string version;  // what --version prints
    std::string format;   // the report's "format"
    bool weights;
  };
  auto info = [](const std::string& body) {
    return [body](PackFixture& pack) { pack.writeInfoPlist(body); };
  };
  const std::string version = "<key>CFBundleShortVersionString</key><string>9.9</string>";
  const Case cases[] = {
      {"Info.plist is a FIFO", [](PackFixture& p) { makeFifo(p.bundle() / "Contents/Info.plist"); },
       "1.0", "0", true},
      {"refs/main is a FIFO",
       [](PackFixture& p) {
         p.writeStandardInfo("9.9", 1);
         fs::remove(p.modelDir() / "refs/main");
         makeFifo(p.modelDir() / "refs/main");
       },
       "9.9", "1", false},
      {"Info.plist of 2 GiB",
       [](PackFixture& p) { makeSparse(p.bundle() / "Contents/Info.plist", 2LL << 30); }, "1.0",
       "0", true},
      {"refs/main of 2 GiB",
       [](PackFixture& p) {
         p.writeStandardInfo("9.9", 1);
         makeSparse(p.modelDir() / "refs/main", 2LL << 30);
       },
       "9.9", "1", false},
      {"XML nested 200000 deep",
       [](PackFixture& p) { writeFile(p.bundle() / "Contents/Info.plist", nestedXml(200000)); },
       "1.0", "0", true},
      {"binary nested 300000 deep",
       [](PackFixture& p) { writeFile(p.bundle() / "Contents/Info.plist", nestedBinary(300000)); },
       "1.0", "0", true},
      {"an integer with letters after it",
       info(version + "<key>RuvizuvePackFormat</key><integer>1abc</integer>"), "1.0", "0", true},
      {"an integer below the 64-bit range",
       info(version + "<key>RuvizuvePackFormat</key><integer>-18446744073709551615</integer>"),
       "9.9", "0", true},
      {"an integer above it",
       info(version + "<key>RuvizuvePackFormat</key><integer>9223372036854775808</integer>"), "9.9",
       "0", true},
      {"a leading zero is still decimal",
       info(version + "<key>RuvizuvePackFormat</key><integer>010</integer>"), "9.9", "10", true},
      {"hexadecimal", info(version + "<key>RuvizuvePackFormat</key><integer>0x1</integer>"), "9.9",
       "1", true},
  };
  for (const auto& c : cases) {
    TempDir dir;
    PackFixture pack(dir.path());
    pack.writeWeights();
    c.lay(pack);
    auto versionRun = pack.run({"--version"});
    EXPECT_EQ(versionRun.out, c.version + "\n") << c.name;
    EXPECT_EQ(versionRun.status, 0) << c.name;
    EXPECT_LT(versionRun.elapsed, 1s) << c.name;
    auto check = pack.run({"--check"});
    EXPECT_NE(check.out.find("\"format\":" + c.format + ","), std::string::npos)
        << c.name << ": " << check.out;
    EXPECT_NE(check.out.find(std::string("\"weights\":") + (c.weights ? "true" : "false")),
              std::string::npos)
        << c.name << ": " << check.out;
    EXPECT_EQ(check.status, 1) << c.name;
    EXPECT_LT(check.elapsed, 1s) << c.name;
  }
}

std::string utf16le(const std::string& ascii) {
  std::string bytes = "\xFF\xFE";
  for (char c : ascii) {
    bytes += c;
    bytes += '\0';
  }
  return bytes;
}

// Localized values of the Info dictionary take precedence, in the language the user reads.
TEST(BundleFiles, LocalizedValuesFollowTheUsersLanguage) {
  struct Case {
    const char* name;
    std::map<std::string, std::string> stringsFiles;  // localization -> file content
    std::map<std::string, std::optional<std::string>> environment;
    std::string developmentRegion;  // none when empty
    std::string version;
  };
  auto entry = [](const std::string& value) {
    return "/* Info.plist */\n\"CFBundleShortVersionString\" = \"" + value + "\";\n";
  };
  const std::map<std::string, std::optional<std::string>> noLanguage = {
      {"LANGUAGE", std::nullopt}, {"LC_ALL", std::nullopt}, {"LC_MESSAGES", std::nullopt}};
  auto language = [&](const std::string& lang) {
    auto environment = noLanguage;
    environment["LANG"] = lang;
    return environment;
  };
  const Case cases[] = {
      {"the user's language, UTF-16",
       {{"de", utf16le(entry("2.0-de"))}, {"en", entry("2.0-en")}},
       language("de_DE.UTF-8"),
       "",
       "2.0-de"},
      {"the user's language, UTF-8",
       {{"fr", entry("2.0-fr \xC3\xA9")}},
       language("fr_FR.UTF-8"),
       "",
       "2.0-fr \xC3\xA9"},
      {"ll_CC before ll",
       {{"pt_BR", entry("br")}, {"pt", entry("pt")}},
       language("pt_BR.UTF-8"),
       "",
       "br"},
      {"ll_CC falls back to ll", {{"pt", entry("pt")}}, language("pt_PT.UTF-8"), "", "pt"},
      {"LANGUAGE before LANG",
       {{"de", entry("de")}, {"it", entry("it")}},
       {{"LANGUAGE", "sv:it"},
        {"LC_ALL", std::nullopt},
        {"LC_MESSAGES", std::nullopt},
        {"LANG", "de_DE.UTF-8"}},
       "",
       "it"},
      {"no match: the development region",
       {{"de", entry("de")}, {"en", entry("en")}},
       language("ja_JP.UTF-8"),
       "de",
       "de"},
      {"no match and no region named: English",
       {{"de", entry("de")}, {"en", entry("en")}},
       language("ja_JP.UTF-8"),
       "",
       "en"},
      {"no localization at all", {}, language("de_DE.UTF-8"), "", "1.5"},
      {"a strings file that can't be read",
       {{"de", "\"CFBundleShortVersionString\" = \"x"}},
       language("de_DE.UTF-8"),
       "",
       "1.5"},
  };
  for (const auto& c : cases) {
    TempDir dir;
    PackFixture pack(dir.path());
    pack.writeInfoPlist("<key>CFBundleShortVersionString</key><string>1.5</string>\n" +
                        (c.developmentRegion.empty()
                             ? std::string()
                             : "<key>CFBundleDevelopmentRegion</key><string>" +
                                   c.developmentRegion + "</string>\n"));
    for (const auto& [localization, content] : c.stringsFiles) {
      writeFile(pack.resources() / (localization + ".lproj") / "InfoPlist.strings", content);
    }
    RunOptions options;
    options.environment = c.environment;
    auto result = pack.run({"--version"}, options);
    EXPECT_EQ(result.out, c.version + "\n") << c.name;
  }
}

TEST(BundleFiles, ALocalizedFormatIsAStringAndSoNoFormat) {
  TempDir dir;
  PackFixture pack(dir.path());
  pack.writeStandardInfo("1.0", 1);
  pack.writeWeights();
  pack.writeInterpreterPrinting("{\"torch\":\"2\"}\n");
  writeFile(pack.resources() / "en.lproj/InfoPlist.strings", "\"RuvizuvePackFormat\" = \"1\";\n");
  RunOptions options;
  options.environment = {{"LANG", "en_US.UTF-8"}};
  auto result = pack.run({"--check"}, options);
  EXPECT_NE(result.out.find("\"format\":0,"), std::string::npos) << result.out;
  EXPECT_EQ(result.status, 1);
}

}  // namespace
