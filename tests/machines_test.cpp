// Which machines a pack reaches: what its compiled files ask of the system, read as the dynamic
// loader reads it, and which releases a glibc floor leaves out.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cerrno>
#include <regex>
#include <sstream>

#include "check/explain/explain.h"
#include "check/explain/explain_machines.h"
#include "pack/pack_paths.h"
#include "platform/compiled_files.h"
#include "platform/linux/elf_file.h"
#include "support/elf_image.h"
#include "support/test_support.h"

namespace {

using namespace testing_support;
using platform::GlibcVersion;

std::optional<std::string> newestGlibcText(const std::optional<platform::CompiledFile>& file) {
  return file && file->newestGlibc ? std::optional(file->newestGlibc->text()) : std::nullopt;
}

// Each class, byte order and kind of version need, as linkers for the processors a runtime may be
// built for leave them.
TEST(Machines, TheNewestGlibcAFileNeedsIsRead) {
  struct Case {
    const char* name;
    ElfImage image;
    std::string processor;
    std::optional<std::string> newest;
  };
  const Case cases[] = {
      {"x86_64, two libraries",
       {62,
        true,
        false,
        {{"libc.so.6", {"GLIBC_2.2.5", "GLIBC_2.17"}}, {"libm.so.6", {"GLIBC_2.29"}}}},
       "x86_64",
       "2.29"},
      {"aarch64", {183, true, false, {{"libc.so.6", {"GLIBC_2.17"}}}}, "aarch64", "2.17"},
      {"32-bit ARM",
       {40, false, false, {{"libc.so.6", {"GLIBC_2.4", "GLIBC_2.34"}}}},
       "arm",
       "2.34"},
      {"big-endian s390x",
       {22, true, true, {{"libc.so.6", {"GLIBC_2.2", "GLIBC_2.28"}}}},
       "s390x",
       "2.28"},
      {"32-bit big-endian",
       {20, false, true, {{"libc.so.6", {"GLIBC_2.3.4"}}}},
       "machine 20",
       "2.3.4"},
      {"packed relocations",
       {62, true, false, {{"libc.so.6", {"GLIBC_2.34", "GLIBC_ABI_DT_RELR"}}}},
       "x86_64",
       "2.36"},
      {"versions that are not glibc's",
       {62, true, false, {{"libc.so.6", {"GLIBC_PRIVATE"}}, {"libfoo.so.1", {"FOO_2.99"}}}},
       "x86_64",
       std::nullopt},
      {"linked statically", {62, true, false, {}, false}, "x86_64", std::nullopt},
  };
  TempDir dir;
  for (const auto& c : cases) {
    fs::path file = dir.path() / "lib.so";
    writeFile(file, c.image.bytes());
    auto read = platform::systemCompiledFiles().read(file.string());
    ASSERT_TRUE(read) << c.name;
    EXPECT_EQ(read->processor, c.processor) << c.name;
    EXPECT_EQ(newestGlibcText(read), c.newest) << c.name;
  }
  for (const char* notCompiled : {"", "#!/bin/sh\n",
                                  "\x7f"
                                  "ELF"}) {
    writeFile(dir.path() / "other", notCompiled);
    EXPECT_FALSE(platform::systemCompiledFiles().read((dir.path() / "other").string()));
  }
  EXPECT_FALSE(platform::systemCompiledFiles().read(dir.path().string()));
}

// A damaged file is read as far as it is sound: cut anywhere, or with its counts and offsets
// pointing past its end, it gives a subset of what the whole one gives, and never a crash.
TEST(Machines, ADamagedFileIsReadOnlyAsFarAsItIsSound) {
  std::string whole =
      ElfImage{62,
               true,
               false,
               {{"libc.so.6", {"GLIBC_2.2.5", "GLIBC_2.17"}}, {"libm.so.6", {"GLIBC_2.29"}}}}
          .bytes();
  auto readFrom = [](const std::string& bytes) {
    return platform::linux_impl::readElfNeeds(
        [&bytes](std::uint64_t offset, size_t size) -> std::optional<std::string> {
          if (offset > bytes.size()) {
            return std::nullopt;
          }
          return bytes.substr(offset, size);
        });
  };
  auto full = readFrom(whole);
  ASSERT_TRUE(full);
  EXPECT_EQ(full->versions, (std::vector<std::string>{"GLIBC_2.2.5", "GLIBC_2.17", "GLIBC_2.29"}));
  auto isSubset = [&](const std::vector<std::string>& versions) {
    for (const auto& version : versions) {
      if (std::find(full->versions.begin(), full->versions.end(), version) ==
          full->versions.end()) {
        return false;
      }
    }
    return true;
  };
  for (size_t length = 0; length < whole.size(); ++length) {
    auto cut = readFrom(whole.substr(0, length));
    EXPECT_TRUE(!cut || isSubset(cut->versions)) << length;
  }
  // Every 16-bit and 32-bit field set to its largest value in turn: counts, offsets, indexes. The
  // names themselves are left as they are: a name changed is another name.
  size_t names = whole.find(std::string("\0libc.so.6\0", 11));
  size_t namesEnd = whole.find("GLIBC_2.29") + 11;
  for (size_t at = 16; at + 4 <= whole.size(); at += 2) {
    for (size_t width : {2, 4}) {
      if (at + width > names && at < namesEnd) {
        continue;
      }
      std::string damaged = whole;
      damaged.replace(at, width, std::string(width, '\xff'));
      auto read = readFrom(damaged);
      EXPECT_TRUE(!read || isSubset(read->versions)) << "at " << at << ", " << width;
    }
  }
}

// What a file needs, as readelf, a reader of its own, tells it: the newest GLIBC_ version among
// the version needs, and the machine.
std::pair<std::string, std::string> asReadelfReadsIt(const std::string& path) {
  RunOptions options;
  options.arguments = {"/usr/bin/readelf", "-h", "-V", "-W", path};
  auto run = runProgram(options);
  // The versions a library defines are listed too, before the ones it needs.
  std::string needs =
      run.out.substr(std::min(run.out.find("Version needs section"), run.out.size()));
  std::regex version("Name: GLIBC_([0-9][0-9.]*)");
  std::optional<GlibcVersion> newest;
  for (std::sregex_iterator it(needs.begin(), needs.end(), version), end; it != end; ++it) {
    auto found = platform::glibcVersionFromText((*it)[1].str());
    if (found && (!newest || *found > *newest)) {
      newest = found;
    }
  }
  std::smatch machine;
  std::regex_search(run.out, machine, std::regex("Machine: +([^\n]*)"));
  return {newest ? newest->text() : "", machine[1].str()};
}

TEST(Machines, RealFilesReadAsReadelfReadsThem) {
  const std::pair<const char*, const char*> machines[] = {
      {"x86_64", "Advanced Micro Devices X86-64"}, {"aarch64", "AArch64"}};
  std::vector<std::string> paths = {qualityPackExecutable().string(), fs::canonical("/bin/sh"),
                                    fs::canonical("/proc/self/exe")};
  for (const char* library :
       {"/lib/x86_64-linux-gnu/libc.so.6", "/usr/lib/x86_64-linux-gnu/libplist-2.0.so.3"}) {
    if (fs::exists(library)) {
      paths.push_back(fs::canonical(library));
    }
  }
  for (const auto& path : paths) {
    auto read = platform::systemCompiledFiles().read(path);
    ASSERT_TRUE(read) << path;
    auto [newest, machine] = asReadelfReadsIt(path);
    EXPECT_EQ(newestGlibcText(read).value_or(""), newest) << path;
    for (const auto& [processor, readelfName] : machines) {
      if (machine == readelfName) {
        EXPECT_EQ(read->processor, processor) << path;
      }
    }
  }
}

// The walk finds programs and shared libraries at any depth, by their content, and follows no
// link: what a link leads to is found where it lies, or is told of as outside the bundle.
TEST(Machines, TheScanFindsCompiledFilesWithoutFollowingLinks) {
  TempDir dir;
  fs::path root = dir.path() / "quality";
  std::string library = ElfImage{62, true, false, {{"libc.so.6", {"GLIBC_2.17"}}}}.bytes();
  writeFile(root / "lib/python3.11/lib-dynload/_json.cpython-311-x86_64-linux-gnu.so", library);
  writeFile(root / "lib/libz.so.1.2.13", library);
  fs::create_symlink("libz.so.1.2.13", root / "lib/libz.so.1");
  writeFile(root / "bin/python3.11", library);
  fs::permissions(root / "bin/python3.11", fs::perms::owner_all);
  writeScript(root / "bin/pip", "exit 0\n");
  writeFile(root / "lib/python3.11/json/__init__.py", "");
  writeFile(root / "lib/data.so.txt", "not a library");
  fs::create_symlink(dir.path() / "elsewhere", root / "lib/outside");
  writeFile(dir.path() / "elsewhere/libfar.so", library);
  fs::path single = dir.path() / "single";
  writeFile(single, library);

  auto scan = platform::systemCompiledFiles().scan(
      {single.string(), root.string(), (dir.path() / "missing").string()}, 1000);
  std::vector<std::string> found;
  for (const auto& file : scan.files) {
    found.push_back(file.path);
  }
  EXPECT_EQ(
      found,
      (std::vector<std::string>{
          (root / "bin/python3.11").string(), (root / "lib/libz.so.1.2.13").string(),
          (root / "lib/python3.11/lib-dynload/_json.cpython-311-x86_64-linux-gnu.so").string(),
          single.string()}));
  EXPECT_FALSE(scan.cut);
  EXPECT_TRUE(platform::systemCompiledFiles().scan({root.string()}, 4).cut);
}

TEST(Machines, GlibcVersionsReadAndCompareAsGlibcNumbersThem) {
  struct Case {
    const char* text;
    std::optional<GlibcVersion> version;
  };
  const Case cases[] = {
      {"2.17", GlibcVersion{2, 17, 0}},
      {"2.2.5", GlibcVersion{2, 2, 5}},
      {"2.36", GlibcVersion{2, 36, 0}},
      {"2", std::nullopt},
      {"2.", std::nullopt},
      {"2.17.1.1", std::nullopt},
      {"2.x", std::nullopt},
      {"", std::nullopt},
      {"-2.17", std::nullopt},
  };
  for (const auto& c : cases) {
    auto version = platform::glibcVersionFromText(c.text);
    EXPECT_EQ(version, c.version) << c.text;
    if (version) {
      EXPECT_EQ(version->text(), c.text);
    }
  }
  EXPECT_LT((GlibcVersion{2, 2, 5}), (GlibcVersion{2, 3, 0}));
  EXPECT_LT((GlibcVersion{2, 9, 0}), (GlibcVersion{2, 17, 0}));
  EXPECT_TRUE(platform::systemCompiledFiles().runningGlibc());
}

// The newest release of each family that a floor leaves out, newest first.
TEST(Machines, AFloorNamesTheReleasesItLeavesOut) {
  struct Case {
    GlibcVersion floor;
    std::string leftOut;
  };
  const Case cases[] = {
      {{2, 34, 0}, "not on Debian 11, Ubuntu 20.04, RHEL 8"},
      {{2, 17, 0}, "not on Ubuntu 12.04, Debian 7, RHEL 6"},
      {{2, 28, 0}, "not on Ubuntu 18.04, Debian 9, RHEL 7"},
      {{2, 36, 0}, "not on Ubuntu 22.04, RHEL 9, Debian 11"},
      {{2, 99, 0}, "not on Debian 13, Ubuntu 24.04, RHEL 10"},
      {{2, 12, 0}, ""},
      {{2, 2, 5}, ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(check::explain_parts::releasesLeftOut(c.floor), c.leftOut) << c.floor.text();
  }
}

// ---- What the explanation makes of what the files need, with the system played by a fake ----

class FakeCompiledFiles : public platform::CompiledFiles {
 public:
  platform::CompiledFileScan scanned;
  std::optional<platform::CompiledFile> interpreter;
  std::optional<GlibcVersion> running = GlibcVersion{2, 31, 0};
  mutable std::vector<std::string> scannedPaths;

  platform::CompiledFileScan scan(const std::vector<std::string>& paths, size_t) const override {
    scannedPaths = paths;
    return scanned;
  }
  std::optional<platform::CompiledFile> read(const std::string&) const override {
    return interpreter;
  }
  std::optional<GlibcVersion> runningGlibc() const override { return running; }
  std::string ownProcessor() const override { return "x86_64"; }
};

class BundleAt : public platform::MainBundle {
 public:
  std::optional<std::string> resourceDirectory() const override {
    return "/p/Pack.app/Contents/Resources";
  }
  std::optional<platform::InfoValue> infoValue(const std::string&) const override {
    return std::nullopt;
  }
  std::string executableLocation() const override {
    return "/p/Pack.app/Contents/MacOS/quality-pack";
  }
};

platform::CompiledFile compiled(const std::string& path, std::optional<GlibcVersion> glibc,
                                const std::string& processor = "x86_64") {
  return {path, processor, glibc};
}

std::string explainedWith(const FakeCompiledFiles& files, int startError = 0) {
  pack::Pack place{std::make_unique<BundleAt>(),
                   pack::packPathsUnder("/p/Pack.app/Contents/Resources")};
  check::ProbeRun probe;
  probe.child.startError = startError;
  check::CheckFacts facts;
  check::CheckStory story{place, probe, facts, std::nullopt, {}};
  std::vector<check::Finding> findings;
  check::explain_parts::explainMachines(story, files, findings);
  return check::explanationText(findings);
}

// The floor is the newest any file needs, named by the first file that needs it; files newer than
// the running system are problems, the newest first; a walk cut short is said.
TEST(Machines, TheExplanationNamesTheFloorAndWhatCantLoadHere) {
  const std::string quality = "/p/Pack.app/Contents/Resources/quality";
  struct Case {
    const char* name;
    std::vector<platform::CompiledFile> files;
    bool cut;
    std::vector<std::string> named;
    std::vector<std::string> notNamed;
  };
  const Case cases[] = {
      {"all within the running glibc",
       {compiled("/p/Pack.app/Contents/MacOS/quality-pack", GlibcVersion{2, 17, 0}),
        compiled(quality + "/python/lib/a.so", GlibcVersion{2, 28, 0}),
        compiled(quality + "/python/lib/b.so", GlibcVersion{2, 28, 0}),
        compiled(quality + "/python/lib/static", std::nullopt)},
       false,
       {"note    glibc: runs on glibc 2.28 or newer: not on Ubuntu 18.04, Debian 9, RHEL 7 (2.28 "
        "is "
        "what this file needs, the newest of the bundle's 4 compiled files): " +
        quality + "/python/lib/a.so; fix: make the runtime on a system with an older glibc"},
       {"problem", "b.so"}},
      {"the executable's floor, with no fix to make",
       {compiled("/p/Pack.app/Contents/MacOS/quality-pack", GlibcVersion{2, 17, 0})},
       false,
       {"note    glibc: runs on glibc 2.17 or newer: not on Ubuntu 12.04, Debian 7, RHEL 6 (2.17 "
        "is what this file needs, the newest of the bundle's 1 compiled file): "
        "/p/Pack.app/Contents/MacOS/quality-pack\n"},
       {"problem", "fix"}},
      {"one file newer than this machine's",
       {compiled(quality + "/python/lib/a.so", GlibcVersion{2, 34, 0}),
        compiled(quality + "/python/lib/b.so", GlibcVersion{2, 31, 0})},
       false,
       {"problem glibc: needs glibc 2.34, newer than this machine's 2.31: it can't be loaded "
        "here: " +
        quality + "/python/lib/a.so; fix: build it on a system with glibc 2.31 or older"},
       {"b.so ("}},
      {"several, the newest first",
       {compiled(quality + "/python/lib/a.so", GlibcVersion{2, 32, 0}),
        compiled(quality + "/python/lib/b.so", GlibcVersion{2, 36, 0}),
        compiled(quality + "/python/lib/c.so", GlibcVersion{2, 2, 5})},
       false,
       {"problem glibc: 2 compiled files need a newer glibc than this machine's 2.31, and can't be "
        "loaded here: " +
        quality + "/python/lib/b.so (2.36), " + quality + "/python/lib/a.so (2.32)"},
       {"c.so ("}},
      {"more newer files than are named: the newest five, and the rest counted",
       [&quality] {
         std::vector<platform::CompiledFile> files;
         for (int minor = 32; minor < 39; ++minor) {
           files.push_back(compiled(quality + "/lib" + std::to_string(minor) + ".so",
                                    GlibcVersion{2, minor, 0}));
         }
         return files;
       }(),
       false,
       {"problem glibc: 7 compiled files need a newer glibc than this machine's 2.31",
        "/lib38.so (2.38), ", "/lib35.so (2.35), " + quality + "/lib34.so (2.34) and 2 more"},
       {"lib33.so (", "lib32.so ("}},
      {"a runtime at the pack's own floor, with no fix to make",
       {compiled(quality + "/python/lib/a.so", GlibcVersion{2, 17, 0}),
        compiled(quality + "/python/lib/b.so", GlibcVersion{2, 14, 0})},
       false,
       {"note    glibc: runs on glibc 2.17 or newer: ", quality + "/python/lib/a.so\n"},
       {"problem", "fix"}},
      {"a walk cut short",
       {},
       true,
       {"note    glibc: only the first 500000 entries were looked at for programs and shared "
        "libraries: " +
        quality},
       {"runs on"}},
  };
  for (const auto& c : cases) {
    FakeCompiledFiles files;
    files.scanned.files = c.files;
    files.scanned.cut = c.cut;
    std::string text = explainedWith(files);
    for (const auto& part : c.named) {
      EXPECT_NE(text.find(part), std::string::npos) << c.name << ": " << part << "\n" << text;
    }
    for (const auto& part : c.notNamed) {
      EXPECT_EQ(text.find(part), std::string::npos) << c.name << ": " << part << "\n" << text;
    }
  }
  FakeCompiledFiles files;
  explainedWith(files);
  EXPECT_EQ(files.scannedPaths,
            (std::vector<std::string>{"/p/Pack.app/Contents/MacOS/quality-pack",
                                      "/p/Pack.app/Contents/Frameworks", quality}));
}

// An interpreter of another processor than the executable's is a problem, unless the system
// refused to start it, which the interpreter's own part tells of.
TEST(Machines, AnInterpreterOfAnotherProcessorIsAProblem) {
  struct Case {
    const char* name;
    std::optional<platform::CompiledFile> interpreter;
    int startError;
    bool named;
  };
  const Case cases[] = {
      {"aarch64, started", compiled("/i", std::nullopt, "aarch64"), 0, true},
      {"i386, started", compiled("/i", std::nullopt, "i386"), 0, true},
      {"aarch64, refused", compiled("/i", std::nullopt, "aarch64"), ENOEXEC, false},
      {"aarch64, missing", compiled("/i", std::nullopt, "aarch64"), ENOENT, true},
      {"x86_64", compiled("/i", std::nullopt, "x86_64"), 0, false},
      {"no compiled file", std::nullopt, 0, false},
  };
  for (const auto& c : cases) {
    FakeCompiledFiles files;
    files.interpreter = c.interpreter;
    std::string text = explainedWith(files, c.startError);
    EXPECT_EQ(text.find("problem processor: the interpreter is built for ") != std::string::npos,
              c.named)
        << c.name << "\n"
        << text;
  }
  FakeCompiledFiles files;
  files.interpreter = compiled("/i", std::nullopt, "aarch64");
  EXPECT_NE(explainedWith(files).find("the executable for x86_64: a bundle holds one processor's "
                                      "pack: /p/Pack.app/Contents/Resources/quality/python/bin/"
                                      "python3; fix: put in a runtime built for x86_64, or build "
                                      "the pack for aarch64 (-DQP_FLOOR_ARCH=aarch64)"),
            std::string::npos);
  files.interpreter = compiled("/i", std::nullopt, "i386");
  std::string i386 = explainedWith(files);
  EXPECT_NE(i386.find("fix: put in a runtime built for x86_64\n"), std::string::npos) << i386;
}

}  // namespace
