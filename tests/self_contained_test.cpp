// The bundle the packaging lays out runs where the system holds nothing but glibc: a chroot with
// glibc's own files, /proc and /dev/null, and a statically linked stand-in interpreter.
#include <gtest/gtest.h>

#include <sstream>

#include "support/demo_pack.h"
#include "support/test_support.h"

namespace {

using namespace testing_support;

// glibc's shared objects and loader, as the system's C library package lists them, copied into
// `root` at the same paths.
void copyGlibc(const fs::path& root) {
  RunOptions list;
  list.arguments = {"/usr/bin/dpkg-query", "-L", "libc6"};
  auto listed = runProgram(list);
  ASSERT_EQ(listed.status, 0) << listed.err;
  std::istringstream paths(listed.out);
  int copied = 0;
  for (std::string path; std::getline(paths, path);) {
    bool library =
        path.find(".so") != std::string::npos || path.find("ld-linux") != std::string::npos;
    std::error_code error;
    if (!library || path.rfind("/usr/share", 0) == 0 || !fs::is_regular_file(path, error)) {
      continue;
    }
    fs::path target = root / fs::path(path).relative_path();
    fs::create_directories(target.parent_path());
    fs::copy_file(path, target, fs::copy_options::overwrite_existing);
    ++copied;
  }
  ASSERT_GT(copied, 0);
}

// The demo bundle as the build lays it out, with the stand-in as its interpreter.
fs::path layOutBundle(const fs::path& dir) {
  fs::path bundle = dir / "Pack.app";
  auto result = layOutDemoPack(bundle, QP_STATIC_INTERPRETER, "3.1.4");
  EXPECT_EQ(result.status, 0) << result.out << result.err;
  fs::path interpreter = bundle / "Contents/Resources/quality/python/bin/python3";
  fs::remove(interpreter);
  fs::copy_file(QP_STATIC_INTERPRETER, interpreter);
  return bundle;
}

RunResult runInside(const fs::path& root, const fs::path& bundle, const std::string& mode) {
  RunOptions options;
  options.arguments = {QP_CHROOT_RUNNER, root.string(),
                       (bundle / "Contents/MacOS/quality-pack").string(), mode};
  return runProgram(options);
}

TEST(SelfContained, TheBundleNeedsNothingButGlibc) {
  TempDir dir;
  fs::path bundle = layOutBundle(dir.path() / "outside");
  EXPECT_TRUE(fs::exists(bundle / "Contents/Frameworks/libplist-2.0.so.3"));
  // expat is linked in, and its notice travels with it.
  EXPECT_NE(readFile(bundle / "Contents/Resources/Licenses/expat.txt").find("Expat maintainers"),
            std::string::npos);

  // The bundle stands at the same path inside the chroot, so the reports can be the same.
  fs::path root = dir.path() / "root";
  copyGlibc(root);
  fs::create_directories(root / bundle.relative_path());
  fs::copy(bundle, root / bundle.relative_path(),
           fs::copy_options::recursive | fs::copy_options::copy_symlinks);
  fs::create_directories(root / "proc");
  writeFile(root / "dev/null", "");

  for (const char* mode : {"--version", "--check"}) {
    auto inside = runInside(root, bundle, mode);
    if (inside.status == 77) {
      GTEST_SKIP() << "no privileges for a chroot here: " << inside.err;
    }
    auto outside = PackFixture::runExecutable(bundle / "Contents/MacOS/quality-pack", {mode});
    EXPECT_EQ(inside.status, 0) << mode << ": " << inside.err;
    EXPECT_EQ(inside.out, outside.out) << mode;
    EXPECT_EQ(inside.status, outside.status) << mode;
  }
  auto version = runInside(root, bundle, "--version");
  EXPECT_EQ(version.out, "3.1.4\n");
  auto check = runInside(root, bundle, "--check");
  EXPECT_NE(check.out.find("\"ok\":true"), std::string::npos) << check.out;
}

}  // namespace
