// The installed pack on systems older than the build machine: a root of each, made with
// debootstrap (scripts/debian-root, kept in the tool cache), entered by chroot-runner in a mount
// namespace of its own. The pack must start there and say the same as anywhere else.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <ostream>

#include "support/test_support.h"

namespace {

using namespace testing_support;

struct OlderSystem {
  const char* suite;
  const char* name;
  const char* glibc;   // what its C library is
  const char* python;  // the version its python3 reports
};

// Named in the tests' names and messages by the system's name.
void PrintTo(const OlderSystem& system, std::ostream* out) {
  *out << system.name;
}

const OlderSystem olderSystems[] = {
    {"bullseye", "Debian 11", "2.31", "3.9."},
    {"buster", "Debian 10", "2.28", "3.7."},
};

// A folder under the root's /tmp, removed with everything in it.
class FolderInRoot {
 public:
  explicit FolderInRoot(const fs::path& root) {
    std::string pattern = (root / "tmp/qp-test-XXXXXX").string();
    if (::mkdtemp(pattern.data())) {
      path_ = pattern;
    }
  }
  ~FolderInRoot() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  FolderInRoot(const FolderInRoot&) = delete;
  FolderInRoot& operator=(const FolderInRoot&) = delete;
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

class OlderSystemRun : public testing::TestWithParam<OlderSystem> {
 protected:
  void SetUp() override {
    if (!QP_FLOOR_BUILD) {
      GTEST_SKIP() << "this build's executable needs the build machine's glibc (QP_FLOOR is off)";
    }
    RunOptions make;
    make.arguments = {std::string(QP_SOURCE_DIR) + "/scripts/debian-root", GetParam().suite};
    // A first run fetches and unpacks a whole system.
    make.timeout = std::chrono::minutes(20);
    auto made = runProgram(make);
    if (made.status == 77) {
      GTEST_SKIP() << made.err;
    }
    ASSERT_EQ(made.status, 0) << made.err;
    root_ = made.out.substr(0, made.out.find('\n'));
  }

  // The pack as `cmake --install` lays it out, in the root's /tmp, with a stand-in interpreter
  // that answers as one with torch would, and the model's files.
  fs::path installPack(const fs::path& folder) {
    RunOptions install;
    install.arguments = {QP_CMAKE_COMMAND, "--install", QP_BUILD_DIR, "--prefix", folder.string()};
    install.timeout = std::chrono::minutes(2);
    auto installed = runProgram(install);
    EXPECT_EQ(installed.status, 0) << installed.err;
    fs::path bundle = folder / "Rivuderu Zororez Udod.app";
    fs::path quality = bundle / "Contents/Resources/quality";
    writeScript(quality / "python/bin/python3",
                "echo '{\"python_version\": \"3.11.2\", \"torch\": \"2.1.0\"}'\n");
    fs::path model = quality / "hf-cache/hub/models--facebook--audiobox-aesthetics";
    writeFile(model / "refs/main", "abc123");
    writeFile(model / "snapshots/abc123/model.safetensors", "weights");
    writeFile(model / "snapshots/abc123/config.json", "{}");
    return bundle;
  }

  // Runs the pack's executable inside the root; `bundle` lies in the root.
  RunResult runInside(const fs::path& bundle, const std::vector<std::string>& options) {
    RunOptions run;
    run.arguments = {
        QP_CHROOT_RUNNER, root_.string(),
        "/" + (bundle / "Contents/MacOS/quality-pack").lexically_relative(root_).string()};
    run.arguments.insert(run.arguments.end(), options.begin(), options.end());
    return runProgram(run);
  }

  fs::path root_;
};

TEST_P(OlderSystemRun, TheInstalledPackRunsAndSaysTheSame) {
  const OlderSystem& system = GetParam();
  FolderInRoot folder(root_);
  ASSERT_FALSE(folder.path().empty());
  fs::path bundle = installPack(folder.path());

  auto version = runInside(bundle, {"--version"});
  if (version.status == 77) {
    GTEST_SKIP() << "no privileges for a chroot here: " << version.err;
  }
  EXPECT_EQ(version.status, 0) << version.err;
  EXPECT_EQ(version.out,
            PackFixture::runExecutable(bundle / "Contents/MacOS/quality-pack", {"--version"}).out);
  EXPECT_EQ(version.err, "");

  auto usable = runInside(bundle, {"--check"});
  EXPECT_EQ(usable.status, 0) << usable.err;
  EXPECT_NE(usable.out.find("\"ok\":true"), std::string::npos) << usable.out;
  EXPECT_EQ(usable.err, "");

  // What the maker reads there: the pack's floor, and nothing on this older glibc to mend.
  auto explained = runInside(bundle, {"--check", "--explain"});
  EXPECT_EQ(explained.out, usable.out);
  EXPECT_EQ(explained.status, usable.status);
  EXPECT_NE(explained.err.find("note    glibc: runs on glibc 2.17 or newer: not on Ubuntu 12.04, "
                               "Debian 7, RHEL 6 (2.17 is what this file needs"),
            std::string::npos)
      << explained.err;
  EXPECT_EQ(explained.err.find("problem "), std::string::npos) << explained.err;

  // A library of the build machine's in the runtime: it would not load on this system.
  fs::path library = "/usr/lib/x86_64-linux-gnu/libplist-2.0.so.3";
  if (fs::exists(library)) {
    fs::path lib = bundle / "Contents/Resources/quality/python/lib";
    fs::create_directories(lib);
    fs::copy_file(library, lib / "libplist-2.0.so.3");
    auto newer = runInside(bundle, {"--check", "--explain"});
    EXPECT_EQ(newer.out, usable.out);
    EXPECT_EQ(newer.status, usable.status);
    EXPECT_NE(newer.err.find("problem glibc: needs glibc 2.34, newer than this machine's " +
                             std::string(system.glibc) + ": it can't be loaded here: /tmp/"),
              std::string::npos)
        << newer.err;
    fs::remove(lib / "libplist-2.0.so.3");
  }

  fs::remove(bundle /
             "Contents/Resources/quality/hf-cache/hub/models--facebook--audiobox-aesthetics/"
             "snapshots/abc123/model.safetensors");
  auto unusable = runInside(bundle, {"--check"});
  EXPECT_EQ(unusable.status, 1) << unusable.err;
  EXPECT_NE(unusable.out.find("\"ok\":false"), std::string::npos) << unusable.out;
}

// The system's own python3 as the interpreter: a real one, without torch.
TEST_P(OlderSystemRun, TheSystemsOwnInterpreterAnswers) {
  const OlderSystem& system = GetParam();
  FolderInRoot folder(root_);
  ASSERT_FALSE(folder.path().empty());
  fs::path bundle = installPack(folder.path());
  fs::path interpreter = bundle / "Contents/Resources/quality/python/bin/python3";
  fs::remove(interpreter);
  fs::create_symlink("/usr/bin/python3", interpreter);

  auto check = runInside(bundle, {"--check"});
  if (check.status == 77) {
    GTEST_SKIP() << "no privileges for a chroot here: " << check.err;
  }
  EXPECT_EQ(check.status, 1) << check.err;
  EXPECT_NE(check.out.find("\"python_version\":\"" + std::string(system.python)), std::string::npos)
      << check.out;
  EXPECT_NE(check.out.find("No module named 'torch'"), std::string::npos) << check.out;
  EXPECT_NE(check.out.find("\"ok\":false"), std::string::npos) << check.out;
}

INSTANTIATE_TEST_SUITE_P(Debian, OlderSystemRun, testing::ValuesIn(olderSystems),
                         [](const testing::TestParamInfo<OlderSystem>& param) {
                           return std::string(param.param.suite);
                         });

}  // namespace
