// The macOS main bundle against a fake CoreFoundation: what each kind of Info value reads as,
// where the resources are, and what a bare executable reports.
#include <gtest/gtest.h>

#include <unistd.h>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <fstream>

#include "pack/bundle_info.h"
#include "platform/macos/bundle_macos.h"
#include "support/fake_core_foundation.h"

namespace {

using platform::InfoValue;
using platform::macos_impl::makeCoreFoundationBundle;

constexpr const char* bundledExecutable = "/Packs/Q.app/Contents/MacOS/quality-pack";

class MacBundle : public testing::Test {
 protected:
  void SetUp() override { fake_cf::reset(); }
  // Whatever the backend created it released, key strings and URLs alike.
  void TearDown() override { EXPECT_EQ(fake_cf::world().alive, 0); }

  std::unique_ptr<platform::MainBundle> bundle(std::string executable = bundledExecutable) {
    return makeCoreFoundationBundle(&fake_cf::table(), std::move(executable));
  }
};

TEST_F(MacBundle, EachKindOfValueReadsAsTheLinuxReaderReadsIt) {
  struct Case {
    const char* name;
    fake_cf::Object stored;
    InfoValue::Kind kind;
    std::int64_t format;  // what packFormat makes of it
  };
  const Case cases[] = {
      {"string", fake_cf::stringValue("1"), InfoValue::Kind::String, 0},
      {"integer", fake_cf::integerValue(1), InfoValue::Kind::Integer, 1},
      {"negative integer", fake_cf::integerValue(-3), InfoValue::Kind::Integer, -3},
      {"integer beyond 64 signed bits", fake_cf::integerValue(-1, false), InfoValue::Kind::Other,
       0},
      {"whole real", fake_cf::realValue(2.0), InfoValue::Kind::Real, 2},
      {"fractional real", fake_cf::realValue(1.5), InfoValue::Kind::Real, 0},
      {"real at -2^63", fake_cf::realValue(-9223372036854775808.0), InfoValue::Kind::Real,
       INT64_MIN},
      {"real at 2^63", fake_cf::realValue(9223372036854775808.0), InfoValue::Kind::Real, 0},
      {"infinite real", fake_cf::realValue(HUGE_VAL), InfoValue::Kind::Real, 0},
      {"real that is not a number", fake_cf::realValue(NAN), InfoValue::Kind::Real, 0},
      {"Boolean true", fake_cf::booleanValue(true), InfoValue::Kind::Boolean, 0},
      {"Boolean false", fake_cf::booleanValue(false), InfoValue::Kind::Boolean, 0},
      {"date", fake_cf::dateValue(), InfoValue::Kind::Other, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fake_cf::world().info = {{"RuvizuvePackFormat", c.stored}};
    auto b = bundle();
    auto value = b->infoValue("RuvizuvePackFormat");
    ASSERT_TRUE(value);
    EXPECT_EQ(value->kind, c.kind);
    EXPECT_EQ(value->boolean, c.kind == InfoValue::Kind::Boolean && c.stored.boolean);
    EXPECT_EQ(pack::packFormat(*b), c.format);
  }
}

TEST_F(MacBundle, StringsComeBackWhole) {
  const std::string texts[] = {"", " 1.2.3 ", "2.0\u00e9\u2318", std::string("a\0b", 3)};
  for (const auto& text : texts) {
    fake_cf::world().info = {{"CFBundleShortVersionString", fake_cf::stringValue(text)}};
    EXPECT_EQ(pack::packVersion(*bundle()), text);
  }
}

TEST_F(MacBundle, AStringThatDoesNotConvertIsNoString) {
  auto stored = fake_cf::stringValue("2.0");
  stored.convertible = false;
  fake_cf::world().info = {{"CFBundleShortVersionString", stored}};
  auto value = bundle()->infoValue("CFBundleShortVersionString");
  ASSERT_TRUE(value);
  EXPECT_EQ(value->kind, InfoValue::Kind::Other);
}

TEST_F(MacBundle, AMissingKeyIsNone) {
  fake_cf::world().info = {{"CFBundleName", fake_cf::stringValue("Q")}};
  EXPECT_FALSE(bundle()->infoValue("CFBundleShortVersionString"));
  EXPECT_EQ(fake_cf::world().keysAsked, std::vector<std::string>{"CFBundleShortVersionString"});
}

TEST_F(MacBundle, ResourcesAreWhereCoreFoundationSays) {
  fake_cf::world().resourcesDirectory = "/Volumes/Other/Q.app/Contents/Resources";
  auto b = bundle();
  EXPECT_EQ(b->resourceDirectory(), "/Volumes/Other/Q.app/Contents/Resources");
  EXPECT_EQ(b->executableLocation(), bundledExecutable);

  fake_cf::world().resourcesDirectory.reset();
  EXPECT_FALSE(b->resourceDirectory());
}

// Outside Contents/MacOS the executable has no bundle: no resources (the pack's locations then
// come from its program path) and no Info values, and CoreFoundation is not asked. Likewise
// without CoreFoundation at all.
TEST_F(MacBundle, ABareExecutableHasNoBundle) {
  fake_cf::world().info = {{"CFBundleShortVersionString", fake_cf::stringValue("9")}};
  for (const char* executable :
       {"/usr/local/bin/quality-pack", "/Packs/Q.app/Contents/quality-pack",
        "/Packs/Q.app/MacOS/quality-pack", "/Packs/Contents/MacOSX/quality-pack"}) {
    SCOPED_TRACE(executable);
    auto b = bundle(executable);
    EXPECT_FALSE(b->resourceDirectory());
    EXPECT_FALSE(b->infoValue("CFBundleShortVersionString"));
    EXPECT_EQ(b->executableLocation(), executable);
  }
  auto withoutFramework = makeCoreFoundationBundle(nullptr, bundledExecutable);
  EXPECT_FALSE(withoutFramework->resourceDirectory());
  EXPECT_EQ(pack::packVersion(*withoutFramework), "1.0");
  EXPECT_EQ(fake_cf::world().mainBundleCalls, 0);
}

// CoreFoundation says nothing of an Info.plist it could not read; what lies at its place is
// told, for a person mending the pack.
TEST_F(MacBundle, TheReportSaysWhatLiesWhereTheInfoPlistBelongs) {
  namespace fs = std::filesystem;
  fs::path root = fs::temp_directory_path() / ("mac-bundle-" + std::to_string(::getpid()));
  fs::path contents = root / "Q.app/Contents";
  fs::create_directories(contents / "MacOS");
  std::string executable = (contents / "MacOS/quality-pack").string();
  std::string infoPlist = (contents / "Info.plist").string();

  EXPECT_EQ(bundle(executable)->infoReport().infoPlistProblem, "missing");
  fs::create_directory(infoPlist);
  EXPECT_EQ(bundle(executable)->infoReport().infoPlistProblem, "not a regular file");
  fs::remove(infoPlist);
  std::ofstream(infoPlist) << "<plist/>";
  auto report = bundle(executable)->infoReport();
  EXPECT_EQ(report.infoPlist, infoPlist);
  EXPECT_EQ(report.infoPlistProblem, "");

  EXPECT_EQ(bundle("/usr/local/bin/quality-pack")->infoReport().infoPlist, "");
  fs::remove_all(root);
}

}  // namespace
