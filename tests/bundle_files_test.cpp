// The bundle's own files, as anyone who can write to the bundle may leave them: each answers at
// once with the fallback. And the Info dictionary as its localizations change it.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <functional>

#include "support/binary_list.h"
#include "support/test_support.h"

namespace {

using namespace testing_support;
using namespace std::chrono_literals;

const std::string versionEntry = "<key>CFBundleShortVersionString</key><string>9.9</string>";
const std::string formatEntry = "<key>RuvizuvePackFormat</key><integer>1</integer>";

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

// A binary Info.plist with version 9.9 and format 1, and under "Extra" the object that `addExtra`
// adds to the list, with what it refers to.
std::string binaryInfo(const std::function<uint32_t(BinaryList&)>& addExtra,
                       uint64_t claimedObjects = 0) {
  BinaryList list;
  uint32_t versionKey = list.add(BinaryList::ascii("CFBundleShortVersionString"));
  uint32_t version = list.add(BinaryList::ascii("9.9"));
  uint32_t formatKey = list.add(BinaryList::ascii("RuvizuvePackFormat"));
  uint32_t format = list.add(BinaryList::integer(1));
  uint32_t extraKey = list.add(BinaryList::ascii("Extra"));
  uint32_t extra = addExtra(list);
  uint32_t root = list.add(
      BinaryList::dictionary({{versionKey, version}, {formatKey, format}, {extraKey, extra}}));
  return list.bytes(root, claimedObjects);
}

uint32_t addSharedArray(BinaryList& list) {  // 1,000 integers, a thousand times over
  uint32_t outer = list.next();
  list.add(BinaryList::array(std::vector<uint32_t>(1000, outer + 1)));
  list.add(BinaryList::array(std::vector<uint32_t>(1000, outer + 2)));
  list.add(BinaryList::integer(7));
  return outer;
}

uint32_t addDoublingChain(BinaryList& list, uint32_t levels) {
  uint32_t first = list.next();
  for (uint32_t i = 0; i < levels; ++i) {
    list.add(BinaryList::array({first + i + 1, first + i + 1}));
  }
  list.add(BinaryList::integer(1));
  return first;
}

// An XML Info.plist with version 9.9 and format 1, padded with white space to `size` bytes.
std::string infoOfSize(size_t size) {
  std::string head = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>" +
                     versionEntry + formatEntry;
  std::string tail = "</dict></plist>\n";
  return head + std::string(size - head.size() - tail.size(), ' ') + tail;
}

// A FIFO that holds a whole Info.plist and has no writer left: a read would get the list, then
// its end. The descriptor returned keeps the FIFO's buffer while the pack runs.
int makeFilledFifo(const fs::path& path, const std::string& content) {
  fs::create_directories(path.parent_path());
  EXPECT_EQ(::mkfifo(path.c_str(), 0600), 0);
  int reader = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  int writer = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
  EXPECT_EQ(::write(writer, content.data(), content.size()), static_cast<ssize_t>(content.size()));
  ::close(writer);
  return reader;
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
  auto infoBytes = [](const std::string& bytes) {
    return [bytes](PackFixture& pack) { writeFile(pack.bundle() / "Contents/Info.plist", bytes); };
  };
  const std::string& version = versionEntry;
  std::string flood;  // 1 MB of valid text that once took the parser seconds
  for (int i = 0; i < 200000; ++i) {
    flood += "&amp;";
  }
  const std::string standardInfo = infoOfSize(200);
  const size_t mebibyte = 1 << 20;  // the largest file the pack reads
  int fifoReader = -1;
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
      {"a hexadecimal digit in a decimal",
       info(version + "<key>RuvizuvePackFormat</key><integer>1a</integer>"), "1.0", "0", true},
      {"a flood of 200,000 references",
       info(version + formatEntry + "<key>Flood</key><string>" + flood + "</string>"), "9.9", "1",
       true},
      {"a binary list with its root last, as the rows below",
       infoBytes(binaryInfo([](BinaryList& list) { return list.add(BinaryList::integer(0)); })),
       "9.9", "1", true},
      {"a binary array shared a thousand times", infoBytes(binaryInfo(addSharedArray)), "1.0", "0",
       true},
      {"a binary doubling chain of 20 levels",
       infoBytes(binaryInfo([](BinaryList& list) { return addDoublingChain(list, 20); })), "1.0",
       "0", true},
      {"a binary trailer claiming 2^40 objects",
       infoBytes(binaryInfo([](BinaryList& list) { return list.add(BinaryList::integer(0)); },
                            uint64_t{1} << 40)),
       "1.0", "0", true},
      {"an encoding that can't be converted",
       infoBytes("<?xml version=\"1.0\" encoding=\"x-no-such-thing\"?><plist><dict>" + version +
                 formatEntry + "</dict></plist>"),
       "1.0", "0", true},
      {"a FIFO holding a whole list, its writer gone",
       [&](PackFixture& p) {
         fifoReader = makeFilledFifo(p.bundle() / "Contents/Info.plist", standardInfo);
       },
       "1.0", "0", true},
      {"entities that would expand a billion times",
       infoBytes("<?xml version=\"1.0\"?><!DOCTYPE plist [<!ENTITY a 'aaaaaaaaaa'>"
                 "<!ENTITY b '&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;'><!ENTITY c '&b;&b;&b;&b;&b;&b;&b;&b;"
                 "&b;&b;'><!ENTITY d '&c;&c;&c;&c;&c;&c;&c;&c;&c;&c;'><!ENTITY e '&d;&d;&d;&d;&d;"
                 "&d;&d;&d;&d;&d;'><!ENTITY f '&e;&e;&e;&e;&e;&e;&e;&e;&e;&e;'><!ENTITY g '&f;&f;"
                 "&f;&f;&f;&f;&f;&f;&f;&f;'><!ENTITY h '&g;&g;&g;&g;&g;&g;&g;&g;&g;&g;'><!ENTITY i "
                 "'&h;&h;&h;&h;&h;&h;&h;&h;&h;&h;'>]><plist><dict>" +
                 version + formatEntry + "<key>X</key><string>&i;</string></dict></plist>"),
       "1.0", "0", true},
      {"Info.plist of exactly 1 MiB", infoBytes(infoOfSize(mebibyte)), "9.9", "1", true},
      {"Info.plist of 1 MiB and a byte", infoBytes(infoOfSize(mebibyte + 1)), "1.0", "0", true},
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
    if (fifoReader >= 0) {
      ::close(fifoReader);
      fifoReader = -1;
    }
  }
}

// `text`, ASCII or Latin-1, in UTF-16 with a byte-order mark: each byte one unit.
std::string utf16(const std::string& text, bool littleEndian = true) {
  std::u16string units;
  for (char c : text) {
    units += static_cast<char16_t>(static_cast<unsigned char>(c));
  }
  return testing_support::utf16(units, littleEndian);
}

// A pack that is usable but for what its Info.plist, `bytes`, says, laid out under `name`.
void layOutUsablePackWithInfo(PackFixture& pack, const std::string& bytes,
                              const std::string& name = "Info.plist") {
  pack.writeWeights();
  pack.writeInterpreterPrinting("{\"torch\":\"2.1.0\"}\n");
  writeFile(pack.bundle() / "Contents" / name, bytes);
}

// Info.plist files as editors, converters and other systems leave them: each is read whole.
TEST(BundleFiles, EveryValidFormOfInfoPlistIsRead) {
  auto list = [](const std::string& declaration, const std::string& body) {
    return "<?xml version=\"1.0\" encoding=\"" + declaration +
           "\"?>\n<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
           "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n<plist "
           "version=\"1.0\">\n<dict>\n" +
           body + "\n</dict>\n</plist>\n";
  };
  auto versioned = [&](const std::string& version, const std::string& more = formatEntry) {
    return list("UTF-8",
                "<key>CFBundleShortVersionString</key><string>" + version + "</string>\n" + more);
  };
  auto format = [&](const std::string& integer) {
    return versioned("2.5", "<key>RuvizuvePackFormat</key><integer>" + integer + "</integer>");
  };
  const std::string latin1Body =
      "<key>CFBundleShortVersionString</key><string>2.5 caf\xE9</string>\n" + formatEntry;
  const std::string cafe = "2.5 caf\xC3\xA9";
  struct Case {
    const char* name;
    std::string bytes;
    std::string version;      // what --version prints before its line feed
    std::string versionJson;  // how the report writes it
  };
  const Case cases[] = {
      {"a UTF-8 byte-order mark", "\xEF\xBB\xBF" + versioned(cafe), cafe, cafe},
      {"ISO-8859-1", list("ISO-8859-1", latin1Body), cafe, cafe},
      {"UTF-16 little-endian", utf16(list("UTF-16", latin1Body), true), cafe, cafe},
      {"UTF-16 big-endian", utf16(list("UTF-16", latin1Body), false), cafe, cafe},
      {"&#0; in a comment", versioned("2.5<!-- &#0; -->"), "2.5", "2.5"},
      {"&#0; in CDATA",
       versioned("2.5", formatEntry + "<key>N</key><string><![CDATA[&#0;]]></string>"), "2.5",
       "2.5"},
      {"an integer with a comment", format("<!-- the format -->1"), "2.5", "2.5"},
      {"an integer in CDATA", format("<![CDATA[1]]>"), "2.5", "2.5"},
      {"an integer by reference", format("&#49;"), "2.5", "2.5"},
      {"an empty key", versioned("2.5", formatEntry + "<key/><string>e</string>"), "2.5", "2.5"},
      {"a version across a CR LF", versioned("2.5\r\nbeta"), "2.5\nbeta", "2.5\\nbeta"},
      {"references in the version", versioned("2.5 &#x3B2; &amp; &lt;1&gt;"), "2.5 \xCE\xB2 & <1>",
       "2.5 \xCE\xB2 & <1>"},
      {"windows-1252",
       list("windows-1252",
            "<key>CFBundleShortVersionString</key><string>2.5 \x80</string>\n" + formatEntry),
       "2.5 \xE2\x82\xAC", "2.5 \xE2\x82\xAC"},
      {"a declaration after a line feed", "\n" + versioned("2.5"), "2.5", "2.5"},
  };
  for (const auto& c : cases) {
    TempDir dir;
    PackFixture pack(dir.path());
    layOutUsablePackWithInfo(pack, c.bytes);
    auto versionRun = pack.run({"--version"});
    EXPECT_EQ(versionRun.out, c.version + "\n") << c.name;
    auto check = pack.run({"--check"});
    EXPECT_EQ(check.status, 0) << c.name << ": " << check.out;
    EXPECT_NE(check.out.find("\"format\":1,"), std::string::npos) << c.name << ": " << check.out;
    EXPECT_NE(check.out.find("\"pack\":\"" + c.versionJson + "\""), std::string::npos)
        << c.name << ": " << check.out;
  }
}

// A pack maker is told why their Info.plist was not read, in the words the reader gives.
TEST(BundleFiles, AnInfoPlistNotReadSaysWhyInTheExplanation) {
  struct Case {
    std::string bytes;
    std::string why;
    std::string name = "Info.plist";  // what the file is called
  };
  const Case cases[] = {
      {"<plist>\n<dict>\n" + versionEntry + "\n<key>RuvizuvePackFormat</key><integer>1</dict>",
       "</dict> where <integer> is open"},
      {"<plist>\n<dict>\n" + versionEntry + "\n", "not well-formed XML at line 4, column 1: "},
      {"<!DOCTYPE plist [<!ENTITY v '9.9'>]><plist><dict></dict></plist>",
       "a document type that declares an entity: v"},
      {"<plist><dict><key>CFBundleShortVersionString</key><string>caf\xE9</string></dict></plist>",
       "text that is not valid UTF-8"},
      {"<?xml version=\"1.0\" encoding=\"x-no-such-thing\"?><plist/>",
       "encoding x-no-such-thing can't be converted"},
      {infoOfSize(200), "missing (there is info.plist: names are case-sensitive)", "info.plist"},
  };
  for (const auto& c : cases) {
    TempDir dir;
    PackFixture pack(dir.path());
    layOutUsablePackWithInfo(pack, c.bytes, c.name);
    auto explained = pack.run({"--check", "--explain"});
    EXPECT_EQ(explained.status, 1) << c.why;
    EXPECT_NE(explained.out.find("\"format\":0,"), std::string::npos) << explained.out;
    EXPECT_NE(explained.err.find("Info.plist: not read: " + c.why), std::string::npos)
        << c.why << ":\n"
        << explained.err;
  }
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
       {{"de", utf16(entry("2.0-de"))}, {"en", entry("2.0-en")}},
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
      {"ll-CC as current bundles name it",
       {{"pt-BR", entry("pt-BR")}, {"pt", entry("pt")}, {"en", entry("en")}},
       language("pt_BR.UTF-8"),
       "",
       "pt-BR"},
      {"en-GB",
       {{"en-GB", entry("en-GB")}, {"en", entry("en")}},
       language("en_GB.UTF-8"),
       "",
       "en-GB"},
      {"pt-PT beside pt-BR",
       {{"pt-BR", entry("pt-BR")}, {"pt-PT", entry("pt-PT")}},
       language("pt_PT.UTF-8"),
       "",
       "pt-PT"},
      {"zh_CN reads zh-Hans",
       {{"zh-Hans", entry("hans")}, {"zh-Hant", entry("hant")}, {"en", entry("en")}},
       language("zh_CN.UTF-8"),
       "",
       "hans"},
      {"zh_SG reads zh-Hans",
       {{"zh-Hans", entry("hans")}, {"zh-Hant", entry("hant")}},
       language("zh_SG.UTF-8"),
       "",
       "hans"},
      {"zh_TW reads zh-Hant",
       {{"zh-Hans", entry("hans")}, {"zh-Hant", entry("hant")}},
       language("zh_TW.UTF-8"),
       "",
       "hant"},
      {"zh_HK reads zh-Hant",
       {{"zh-Hans", entry("hans")}, {"zh-Hant", entry("hant")}},
       language("zh_HK.UTF-8"),
       "",
       "hant"},
      {"zh_MO reads zh-Hant",
       {{"zh-Hans", entry("hans")}, {"zh-Hant", entry("hant")}},
       language("zh_MO.UTF-8"),
       "",
       "hant"},
      {"old English names",
       {{"German", entry("German")}, {"English", entry("English")}},
       language("de_DE.UTF-8"),
       "",
       "German"},
      {"French by its old name",
       {{"French", entry("French")}, {"English", entry("English")}},
       language("fr_FR.UTF-8"),
       "",
       "French"},
      {"no match: English by its old name",
       {{"English", entry("English")}},
       language("sv_SE"),
       "",
       "English"},
      {"a development region by its old name, the folder by its code",
       {{"de", entry("de")}, {"en", entry("en")}},
       language("sv_SE"),
       "German",
       "de"},
      {"a development region with a country, the folder by its old name",
       {{"German", entry("German")}, {"en", entry("en")}},
       language("sv_SE"),
       "de-AT",
       "German"},
      {"a development region that leads out of the resources",
       {{"../Elsewhere", entry("elsewhere")}},
       language("sv_SE"),
       "../Elsewhere",
       "1.5"},
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
