#include "pack/pack_paths.h"

#include <gtest/gtest.h>

namespace {

struct RootCase {
  const char* name;
  std::optional<std::string> resourceDirectory;
  std::string argument0;
  std::string workingDirectory;
  std::string expectedRoot;
};

TEST(PackLocations, ResourcesRootFollowsTheBundleOrElseTheProgramPath) {
  const RootCase cases[] = {
      {"bundle directory taken unchanged", "/Packs/Q.app/Contents/Resources", "ignored", "/x",
       "/Packs/Q.app/Contents/Resources"},
      {"bundle directory that does not exist", "/nowhere/Resources", "", "/", "/nowhere/Resources"},
      {"absolute program path", std::nullopt, "/Packs/Q.app/Contents/MacOS/qp", "/elsewhere",
       "/Packs/Q.app/Contents/Resources"},
      {"relative program path", std::nullopt, "MacOS/qp", "/Packs/Q.app/Contents",
       "/Packs/Q.app/Contents/Resources"},
      {"program in the working directory", std::nullopt, "qp", "/Packs/Q.app/Contents/MacOS",
       "/Packs/Q.app/Contents/Resources"},
      {"link path taken as given, not resolved", std::nullopt, "/usr/local/bin/qp", "/",
       "/usr/local/Resources"},
      {"dot-dot is not folded", std::nullopt, "../MacOS/qp", "/P/Q.app/Contents/MacOS",
       "/P/Q.app/Contents/MacOS/../Resources"},
      {"program at the root", std::nullopt, "/qp", "/", "/Resources"},
      {"trailing slash on the working directory", std::nullopt, "MacOS/qp", "/A/Contents/",
       "/A/Contents/Resources"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(pack::resourcesRootFor(c.resourceDirectory, c.argument0, c.workingDirectory),
              c.expectedRoot)
        << c.name;
  }
}

TEST(PackLocations, FourLocationsDerivedFromTheRoot) {
  auto paths = pack::packPathsUnder("/Packs/Q.app/Contents/Resources");
  EXPECT_EQ(paths.resourcesRoot, "/Packs/Q.app/Contents/Resources");
  EXPECT_EQ(paths.qualityDir, "/Packs/Q.app/Contents/Resources/quality");
  EXPECT_EQ(paths.pythonExecutable, "/Packs/Q.app/Contents/Resources/quality/python/bin/python3");
  EXPECT_EQ(paths.hfCacheDir, "/Packs/Q.app/Contents/Resources/quality/hf-cache");

  auto atRoot = pack::packPathsUnder("/");
  EXPECT_EQ(atRoot.qualityDir, "/quality");
}

class FakeBundle : public platform::MainBundle {
 public:
  std::optional<std::string> resources;
  std::optional<std::string> resourceDirectory() const override { return resources; }
  std::optional<platform::InfoValue> infoValue(const std::string&) const override { return {}; }
  std::string executableLocation() const override { return "/real/B.app/Contents/MacOS/qp"; }
};

TEST(PackLocations, EmptyArgumentListFallsBackToTheRealExecutable) {
  auto noBundle = std::make_unique<FakeBundle>();
  EXPECT_EQ(pack::resolvePackPaths(std::move(noBundle), {}, "/cwd").paths.resourcesRoot,
            "/real/B.app/Contents/Resources");

  auto bundle = std::make_unique<FakeBundle>();
  bundle->resources = "/bundle/Contents/Resources";
  EXPECT_EQ(pack::resolvePackPaths(std::move(bundle), {}, "/cwd").paths.resourcesRoot,
            "/bundle/Contents/Resources");
}

}  // namespace
