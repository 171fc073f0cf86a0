// The bundle as the build lays it out for a pack maker: what it refuses, what it keeps as given,
// and what it leaves out.
#include <gtest/gtest.h>

#include <optional>

#include "support/test_support.h"

namespace {

using namespace testing_support;

const fs::path layOutBundle = fs::path(QP_SOURCE_DIR) / "packaging/lay_out_bundle.cmake";

RunResult cmake(std::vector<std::string> arguments) {
  RunOptions options;
  options.arguments = {QP_CMAKE_COMMAND};
  options.arguments.insert(options.arguments.end(), arguments.begin(), arguments.end());
  options.timeout = std::chrono::seconds(120);
  return runProgram(options);
}

// The format becomes the Info.plist's <integer>: anything else would make the whole file
// unreadable, so the build stops with a message saying why.
TEST(Packaging, AFormatThatIsNotAnIntegerIsRefused) {
  TempDir dir;
  fs::path script = dir.path() / "check.cmake";
  writeFile(script,
            "include(\"" + layOutBundle.string() + "\")\ncheck_pack_format(\"${FORMAT}\")\n");
  struct Case {
    std::string format;
    bool accepted;
  };
  const Case cases[] = {
      {"1", true},
      {"2", true},
      {"-3", true},
      {"1.0", false},
      {"one", false},
      {"", false},
      {"1e0", false},
      {"0x1", false},
      {"123456789012345678", true},
      {"12345678901234567890", false},
  };
  for (const auto& c : cases) {
    auto result = cmake({"-DFORMAT=" + c.format, "-P", script.string()});
    EXPECT_EQ(result.status == 0, c.accepted) << "'" << c.format << "': " << result.err;
    if (!c.accepted) {
      EXPECT_NE(result.err.find("QP_PACK_FORMAT must be an integer"), std::string::npos)
          << result.err;
    }
  }
  // And the real configure stops there.
  auto configured =
      cmake({"-S", QP_SOURCE_DIR, "-B", (dir.path() / "build").string(), "-DQP_PACK_FORMAT=1.0"});
  EXPECT_NE(configured.status, 0);
  EXPECT_NE(configured.err.find("QP_PACK_FORMAT must be an integer"), std::string::npos)
      << configured.err;
}

// Any version text comes back out of the laid-out bundle as it went in.
TEST(Packaging, TheVersionRoundTripsWhateverItHolds) {
  const std::string version = "2.0 \"beta\" & <x> 'y' ; ${HOME} \\ end";
  TempDir dir;
  fs::path versionFile = dir.path() / "version";
  writeFile(versionFile, version);
  fs::path bundle = dir.path() / "Pack.app";
  auto laidOut =
      cmake({"-DPACK=" + bundle.string(), "-DEXECUTABLE=" + qualityPackExecutable().string(),
             "-DVERSION_FILE=" + versionFile.string(), "-DFORMAT=1", "-DINTERPRETER=/bin/false",
             "-DTEMPLATE=" + std::string(QP_INFO_TEMPLATE), "-P", QP_MAKE_DEMO_PACK});
  ASSERT_EQ(laidOut.status, 0) << laidOut.err;
  auto result = PackFixture::runExecutable(bundle / "Contents/MacOS/quality-pack", {"--version"});
  EXPECT_EQ(result.out, version + "\n");
}

// CFBundleVersion, the build number every signed bundle carries, is the version text unless the
// build names one of its own.
TEST(Packaging, TheBuildNumberIsTheVersionTextUnlessOneIsGiven) {
  const std::string version = "2.0 \"beta\" & <x>";
  struct Case {
    const char* name;
    std::optional<std::string> buildNumber;  // none: no file names one
    std::string expected;
  };
  const Case cases[] = {
      {"none given", std::nullopt, version},
      {"an empty one", "", version},
      {"one of its own", "2.0.17 <&>", "2.0.17 <&>"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    fs::path versionFile = dir.path() / "version";
    writeFile(versionFile, version);
    fs::path bundle = dir.path() / "Pack.app";
    std::vector<std::string> arguments = {"-DPACK=" + bundle.string(),
                                          "-DEXECUTABLE=" + qualityPackExecutable().string(),
                                          "-DVERSION_FILE=" + versionFile.string(),
                                          "-DFORMAT=1",
                                          "-DINTERPRETER=/bin/false",
                                          "-DTEMPLATE=" + std::string(QP_INFO_TEMPLATE)};
    if (c.buildNumber) {
      fs::path buildNumberFile = dir.path() / "build-number";
      writeFile(buildNumberFile, *c.buildNumber);
      arguments.push_back("-DBUNDLE_VERSION_FILE=" + buildNumberFile.string());
    }
    arguments.insert(arguments.end(), {"-P", QP_MAKE_DEMO_PACK});
    auto laidOut = cmake(arguments);
    ASSERT_EQ(laidOut.status, 0) << laidOut.err;
    RunOptions read;
    read.arguments = {"/usr/bin/python3", "-c",
                      "import plistlib, sys\n"
                      "info = plistlib.load(open(sys.argv[1], 'rb'))\n"
                      "sys.stdout.write(info['CFBundleVersion'] + '|' +\n"
                      "                 info['CFBundleShortVersionString'])\n",
                      (bundle / "Contents/Info.plist").string()};
    auto info = runProgram(read);
    ASSERT_EQ(info.status, 0) << info.err;
    EXPECT_EQ(info.out, c.expected + "|" + version);
  }
}

// What `cmake --install` lays out carries no debugging information: the pack's users have no use
// for it, and it is most of the executable's size.
TEST(Packaging, TheInstalledExecutableIsStripped) {
  TempDir dir;
  auto installed = cmake({"--install", QP_BUILD_DIR, "--prefix", dir.path().string()});
  ASSERT_EQ(installed.status, 0) << installed.err;
  fs::path executable = dir.path() / "Rivuderu Zororez Udod.app/Contents/MacOS/quality-pack";
  RunOptions sections;
  sections.arguments = {"/usr/bin/readelf", "-S", "-W", executable.string()};
  auto listed = runProgram(sections);
  ASSERT_EQ(listed.status, 0) << listed.err;
  EXPECT_EQ(listed.out.find(".debug_"), std::string::npos) << listed.out;
  EXPECT_EQ(listed.out.find(".symtab"), std::string::npos) << listed.out;
  EXPECT_EQ(PackFixture::runExecutable(executable, {"--version"}).status, 0);
}

}  // namespace
