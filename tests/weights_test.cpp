#include "check/weights.h"

#include <gtest/gtest.h>

#include "support/test_support.h"

namespace {

namespace fs = std::filesystem;
using testing_support::TempDir;
using testing_support::writeFile;

class WeightsTest : public testing::Test {
 protected:
  WeightsTest() : paths_(pack::packPathsUnder(dir_.path().string())) {}
  fs::path model() const { return fs::path(check::modelCacheDir(paths_)); }
  bool present() const { return check::weightsPresent(paths_, platform::systemFiles()); }
  void snapshotFiles(const std::string& revision, std::initializer_list<const char*> names) {
    for (const char* name : names) {
      writeFile(model() / "snapshots" / revision / name, "x");
    }
  }

  TempDir dir_;
  pack::PackPaths paths_;
};

TEST_F(WeightsTest, LocationsFollowTheHubCacheLayout) {
  EXPECT_EQ(check::modelCacheDir(paths_),
            dir_.path().string() + "/quality/hf-cache/hub/models--facebook--audiobox-aesthetics");
  EXPECT_EQ(check::snapshotDir(paths_, "r/s"), check::modelCacheDir(paths_) + "/snapshots/r/s");
  EXPECT_EQ(check::snapshotDir(paths_, ""), check::modelCacheDir(paths_) + "/snapshots");
}

TEST_F(WeightsTest, RevisionIsTrimmedAndUsedAsItStands) {
  struct Case {
    std::string refsMain;
    std::string snapshot;  // where the files are put
    bool expected;
  };
  const Case cases[] = {
      {"abc123\n", "abc123", true},
      {" \t\r\nabc123\r\n", "abc123", true},
      {"\xC2\xA0"
       "abc123"
       "\xE2\x80\xA8",
       "abc123", true},
      {"", "", true},  // files straight in snapshots/
      {"  \n", "", true},
      {"main/nested", "main/nested", true},
      {"abc123", "other", false},
      {"abc\xFF"
       "123",
       "abc\xFF"
       "123",
       false},                         // not UTF-8: not read at all
      {"abc\n123", "abc\n123", true},  // inner line breaks stay
  };
  for (const auto& c : cases) {
    TempDir dir;
    paths_ = pack::packPathsUnder(dir.path().string());
    writeFile(model() / "refs/main", c.refsMain);
    snapshotFiles(c.snapshot, {"model.safetensors", "config.json"});
    EXPECT_EQ(present(), c.expected) << testing::PrintToString(c.refsMain);
  }
}

TEST_F(WeightsTest, EachRequiredFileMustExist) {
  writeFile(model() / "refs/main", "rev");
  EXPECT_FALSE(present()) << "no snapshot folder";
  snapshotFiles("rev", {"config.json"});
  EXPECT_FALSE(present()) << "model.safetensors missing";
  fs::remove(model() / "snapshots/rev/config.json");
  snapshotFiles("rev", {"model.safetensors"});
  EXPECT_FALSE(present()) << "config.json missing";
  fs::create_directory(model() / "snapshots/rev/config.json");
  EXPECT_TRUE(present()) << "a folder counts as present";
  writeFile(model() / "snapshots/rev/model.safetensors", "");
  EXPECT_TRUE(present()) << "a zero-byte file counts as present";
}

TEST_F(WeightsTest, LinksAreFollowed) {
  writeFile(model() / "refs/main", "rev");
  writeFile(model() / "blobs/one", "weights");
  writeFile(model() / "blobs/two", "{}");
  fs::create_directories(model() / "snapshots/rev");
  fs::create_symlink("../../blobs/one", model() / "snapshots/rev/model.safetensors");
  fs::create_symlink("../../blobs/two", model() / "snapshots/rev/config.json");
  EXPECT_TRUE(present());
  fs::remove(model() / "blobs/two");
  EXPECT_FALSE(present()) << "a dangling link counts as missing";
}

TEST_F(WeightsTest, UnreadableReferenceMeansNoWeights) {
  EXPECT_FALSE(present()) << "no cache at all";
  fs::create_directories(model() / "refs/main");
  snapshotFiles("", {"model.safetensors", "config.json"});
  EXPECT_FALSE(present()) << "refs/main is a folder";
}

TEST_F(WeightsTest, ARevisionWithANulByteNamesNothing) {
  // A NUL would cut the path short at the system call and test the folder before it.
  writeFile(model() / "refs/main", std::string("rev\0tail", 8));
  snapshotFiles("rev", {"model.safetensors", "config.json"});
  snapshotFiles("", {"model.safetensors", "config.json"});
  EXPECT_FALSE(present());
}

}  // namespace
