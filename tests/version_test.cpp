#include <plist/plist.h>

#include <gtest/gtest.h>

#include "support/test_support.h"

namespace {

using namespace testing_support;

// The same dictionary written by the plist library in its binary form; a key beyond ASCII is
// stored in UTF-16.
std::string binaryPlist(const std::string& version, bool withVersion,
                        const char* otherKey = nullptr) {
  plist_t dict = plist_new_dict();
  if (otherKey) {
    plist_dict_set_item(dict, otherKey, plist_new_string("v"));
  }
  if (withVersion) {
    plist_dict_set_item(dict, "CFBundleShortVersionString", plist_new_string(version.c_str()));
  }
  plist_dict_set_item(dict, "RuvizuvePackFormat", plist_new_uint(1));
  char* bytes = nullptr;
  uint32_t length = 0;
  plist_to_bin(dict, &bytes, &length);
  std::string result(bytes, length);
  free(bytes);
  plist_free(dict);
  return result;
}

TEST(VersionMode, PrintsTheVersionTextAndOneLineFeed) {
  struct Case {
    const char* name;
    std::optional<std::string> infoPlist;  // raw file content; none for no file
    std::string expected;
  };
  auto xml = [](const std::string& body) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict>\n" + body +
           "</dict>\n</plist>\n";
  };
  const Case cases[] = {
      {"xml string", xml("<key>CFBundleShortVersionString</key><string>2.4.1</string>"), "2.4.1\n"},
      {"binary plist", binaryPlist("3.0 beta", true), "3.0 beta\n"},
      {"binary plist without the key", binaryPlist("", false), "1.0\n"},
      {"binary plist with a key beyond ASCII", binaryPlist("3.1", true, "Schl\xC3\xBCssel"),
       "3.1\n"},
      {"empty string", xml("<key>CFBundleShortVersionString</key><string></string>"), "\n"},
      {"padded with spaces", xml("<key>CFBundleShortVersionString</key><string>  1.2 </string>"),
       "  1.2 \n"},
      {"beyond ASCII",
       xml("<key>CFBundleShortVersionString</key><string>1.0\xE2\x80\x93\xCE\xB2</string>"),
       "1.0\xE2\x80\x93\xCE\xB2\n"},
      {"a number", xml("<key>CFBundleShortVersionString</key><real>1.5</real>"), "1.0\n"},
      {"key in another case", xml("<key>cfbundleshortversionstring</key><string>9</string>"),
       "1.0\n"},
      {"no Info.plist", std::nullopt, "1.0\n"},
      {"malformed", std::string("<?xml version=\"1.0\"?><plist><dict><key>CFBundle"), "1.0\n"},
      {"not a plist at all", std::string("\x00\x01garbage", 9), "1.0\n"},
      {"root is an array",
       std::string("<plist version=\"1.0\"><array><string>2</string></array>"
                   "</plist>"),
       "1.0\n"},
  };
  for (const auto& c : cases) {
    TempDir dir;
    PackFixture pack(dir.path());
    if (c.infoPlist) {
      writeFile(pack.bundle() / "Contents/Info.plist", *c.infoPlist);
    }
    // An interpreter that leaves a mark shows whether the version mode started one.
    writeScript(pack.interpreter(), "touch '" + (dir.path() / "started").string() + "'\n");
    auto result = pack.run({"--version"});
    EXPECT_EQ(result.status, 0) << c.name;
    EXPECT_EQ(result.out, c.expected) << c.name;
    EXPECT_EQ(result.err, "") << c.name;
    EXPECT_FALSE(std::filesystem::exists(dir.path() / "started")) << c.name;
  }
}

TEST(VersionMode, ClosedStandardOutputStillExitsZero) {
  TempDir dir;
  PackFixture pack(dir.path());
  pack.writeStandardInfo("1.0");
  for (Stream output : {Stream::Closed, Stream::BrokenPipe}) {
    RunOptions options;
    options.output = output;
    EXPECT_EQ(pack.run({"--version"}, options).status, 0);
  }
}

TEST(PackFormat, ReadFromTheInfoPlistIntoTheReport) {
  struct Case {
    const char* name;
    std::string entry;
    long long expected;
  };
  const Case cases[] = {
      {"integer 1", "<integer>1</integer>", 1},
      {"integer 2", "<integer>2</integer>", 2},
      {"negative integer", "<integer>-3</integer>", -3},
      {"whole real", "<real>1.0</real>", 1},
      {"fractional real", "<real>1.5</real>", 0},
      {"real beyond 64 bits", "<real>1e19</real>", 0},
      {"string holding 1", "<string>1</string>", 0},
      {"boolean true", "<true/>", 0},
      {"date", "<date>2024-01-01T00:00:00Z</date>", 0},
      {"array", "<array><integer>1</integer></array>", 0},
      {"missing", "", 0},
  };
  for (const auto& c : cases) {
    TempDir dir;
    PackFixture pack(dir.path());
    pack.writeInfoPlist(c.entry.empty() ? "" : "<key>RuvizuvePackFormat</key>" + c.entry + "\n");
    auto result = pack.run({"--check"});
    EXPECT_NE(result.out.find("\"format\":" + std::to_string(c.expected) + ","), std::string::npos)
        << c.name << ": " << result.out;
  }
}

}  // namespace
