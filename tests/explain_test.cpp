#include "check/explain/explain.h"

#include <gtest/gtest.h>

#include <signal.h>

#include <algorithm>
#include <cerrno>

#include "check/report.h"
#include "pack/pack_paths.h"
#include "platform/standard_output.h"
#include "support/test_support.h"

namespace {

using namespace testing_support;

// What an explanation shows of the interpreter's own output: enough to recognise, always
// printable, and marked where it was cut.
TEST(Explain, OutputIsShownPrintableAndCutVisibly) {
  struct Case {
    std::string bytes;
    size_t limit;
    bool keepLineFeeds;
    std::string shown;
  };
  const Case cases[] = {
      {"plain text", 20, false, "plain text"},
      {"exactly5", 8, false, "exactly5"},
      {"one too long", 11, false, "one too lon..."},
      {"bell\a and escape\x1b", 40, false, "bell\\x07 and escape\\x1b"},
      {"two\nlines", 20, false, "two\\x0alines"},
      {"two\nlines", 20, true, "two\nlines"},
      {"bad \xff byte", 20, false, "bad \xEF\xBF\xBD byte"},
      {"rub\x7fout", 20, false, "rub\\x7fout"},
      {"caf\xC3\xA9", 20, false, "caf\xC3\xA9"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(check::printable(c.bytes, c.limit, c.keepLineFeeds), c.shown) << c.bytes;
  }
}

// What every machine has, and so may come from outside the bundle; anything else may not.
TEST(Explain, OnlyTheSystemsOwnBaseMayComeFromOutside) {
  using check::LibrarySystem;
  struct Case {
    const char* path;
    LibrarySystem system;
    bool base;
  };
  const Case cases[] = {
      {"/lib/x86_64-linux-gnu/libc.so.6", LibrarySystem::Linux, true},
      {"/lib64/ld-linux-x86-64.so.2", LibrarySystem::Linux, true},
      {"/usr/lib/x86_64-linux-gnu/libm.so.6", LibrarySystem::Linux, true},
      {"/usr/lib/x86_64-linux-gnu/libpthread.so.0", LibrarySystem::Linux, true},
      {"/usr/lib/x86_64-linux-gnu/libdl.so.2", LibrarySystem::Linux, true},
      {"/usr/lib/x86_64-linux-gnu/librt.so.1", LibrarySystem::Linux, true},
      {"/usr/lib/x86_64-linux-gnu/libutil.so.1", LibrarySystem::Linux, true},
      {"/usr/lib/x86_64-linux-gnu/libresolv.so.2", LibrarySystem::Linux, true},
      {"/usr/lib/x86_64-linux-gnu/libcrypt.so.1", LibrarySystem::Linux, true},
      {"/usr/lib/x86_64-linux-gnu/libnss_files.so.2", LibrarySystem::Linux, true},
      {"/usr/lib/x86_64-linux-gnu/gconv/UTF-16.so", LibrarySystem::Linux, true},
      {"/usr/lib/x86_64-linux-gnu/libffi.so.8", LibrarySystem::Linux, false},
      {"/usr/lib/x86_64-linux-gnu/libcrypto.so.3", LibrarySystem::Linux, false},
      {"/usr/lib/x86_64-linux-gnu/libmpdec.so.3", LibrarySystem::Linux, false},
      {"/usr/lib/x86_64-linux-gnu/libplist-2.0.so.3", LibrarySystem::Linux, false},
      {"/opt/lib/libc.so", LibrarySystem::Linux, false},
      {"/usr/lib/libc++.1.dylib", LibrarySystem::MacOS, true},
      {"/System/Library/Frameworks/CoreFoundation.framework/CoreFoundation", LibrarySystem::MacOS,
       true},
      {"/usr/local/lib/libffi.8.dylib", LibrarySystem::MacOS, false},
      {"/opt/homebrew/lib/libomp.dylib", LibrarySystem::MacOS, false},
      {"/lib/x86_64-linux-gnu/libc.so.6", LibrarySystem::MacOS, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(check::isSystemBaseLibrary(c.path, c.system), c.base) << c.path;
  }
}

// The runtime question's answer is its last line, whatever torch printed before it.
TEST(Explain, TheRuntimeAnswerIsReadFromTheLastLine) {
  auto place = check::runtimePlaceFromOutput(
      "a banner torch printed\n{\"stdlib\": \"/p/lib/python3.11\", \"path\": [\"/p/a\", 3], "
      "\"torch\": \"\", \"torch_error\": \"ModuleNotFoundError: No module named 'torch'\", "
      "\"libraries\": [\"/usr/lib/libffi.so.8\"], \"modules\": [\"/p/a/six.py\"], "
      "\"certificate_store\": [\"/etc/ssl/cert.pem\"], \"certificates\": 144}\n\n");
  ASSERT_TRUE(place);
  EXPECT_EQ(place->standardLibrary, "/p/lib/python3.11");
  EXPECT_EQ(place->searchPath, std::vector<std::string>{"/p/a"});
  EXPECT_EQ(place->torch, "");
  EXPECT_EQ(place->torchError, "ModuleNotFoundError: No module named 'torch'");
  EXPECT_EQ(place->libraries, std::vector<std::string>{"/usr/lib/libffi.so.8"});
  EXPECT_EQ(place->modules, std::vector<std::string>{"/p/a/six.py"});
  EXPECT_EQ(place->certificateStore, std::vector<std::string>{"/etc/ssl/cert.pem"});
  EXPECT_EQ(place->certificates, 144);
  auto withoutSsl = check::runtimePlaceFromOutput("{\"stdlib\": \"/p\", \"certificates\": \"x\"}");
  ASSERT_TRUE(withoutSsl);
  EXPECT_EQ(withoutSsl->certificates, -1);
  EXPECT_TRUE(withoutSsl->certificateStore.empty());
  for (const char* output : {"", "{\"torch\": \"2.1\"}\n", "{\"stdlib\": 1}", "not json",
                             "{\"stdlib\": \"/p\"}\nafter\n"}) {
    EXPECT_FALSE(check::runtimePlaceFromOutput(output)) << output;
  }
}

// The walk finds every link below a folder, however deep, and follows none of them: a link to a
// folder is one link, not the links inside it. It also finds what other users can't read.
TEST(Explain, TheLinkWalkFindsLinksWithoutFollowingThem) {
  TempDir dir;
  fs::path root = dir.path() / "quality";
  fs::path elsewhere = dir.path() / "elsewhere";
  fs::create_directories(root / "a/b/c");
  fs::create_directories(elsewhere);
  fs::create_symlink("nowhere", root / "a/b/c/dangling");
  fs::create_symlink(elsewhere, root / "a/folder-link");
  fs::create_symlink("../../x", elsewhere / "inside-the-linked-folder");
  writeFile(root / "a/file", "");
  fs::create_symlink("file", root / "a/file-link");
  const platform::Files& files = platform::systemFiles();

  auto walk = files.linksUnder(root.string(), 1000);
  EXPECT_EQ(walk.links, (std::vector<std::string>{(root / "a/b/c/dangling").string(),
                                                  (root / "a/file-link").string(),
                                                  (root / "a/folder-link").string()}));
  EXPECT_FALSE(walk.cut);
  auto cut = files.linksUnder(root.string(), 3);
  EXPECT_TRUE(cut.cut);
  EXPECT_LT(cut.links.size(), 3u);

  EXPECT_EQ(walk.closed, std::vector<std::string>{}) << "folders 0755 and files 0644 are open";

  // Closed to others: a folder they can't list or enter, a file they can't read, one they can't
  // run where its owner may. A folder they may enter but not list is closed too: a runtime's
  // imports list their folders.
  using fs::perms;
  struct Row {
    const char* name;
    perms mode;
    bool folder;
    bool closed;
  };
  const Row rows[] = {
      {"folder-0700", perms::owner_all, true, true},
      {"folder-0711", perms::owner_all | perms::group_exec | perms::others_exec, true, true},
      {"folder-0755",
       perms::owner_all | perms::group_read | perms::group_exec | perms::others_read |
           perms::others_exec,
       true, false},
      {"file-0600", perms::owner_read | perms::owner_write, false, true},
      {"file-0640", perms::owner_read | perms::owner_write | perms::group_read, false, true},
      {"file-0644", perms::owner_read | perms::owner_write | perms::group_read | perms::others_read,
       false, false},
      {"file-0744", perms::owner_all | perms::group_read | perms::others_read, false, true},
      {"file-0755",
       perms::owner_all | perms::group_read | perms::group_exec | perms::others_read |
           perms::others_exec,
       false, false},
  };
  fs::path modes = dir.path() / "modes";
  fs::create_directories(modes);
  std::vector<std::string> closed;
  for (const auto& row : rows) {
    fs::path path = modes / row.name;
    row.folder ? (void)fs::create_directory(path) : writeFile(path, "");
    fs::permissions(path, row.mode);
    if (row.closed) {
      closed.push_back(path.string());
    }
  }
  fs::create_symlink("file-0600", modes / "link-to-a-closed-file");
  std::sort(closed.begin(), closed.end());
  EXPECT_EQ(files.linksUnder(modes.string(), 1000).closed, closed);
  fs::permissions(modes, perms::owner_all);
  EXPECT_EQ(files.linksUnder(modes.string(), 1000).closed.front(), modes.string())
      << "the folder walked is looked at too";
  fs::permissions(modes, perms::all);

  auto dangling = files.inspect((root / "a/b/c/dangling").string());
  EXPECT_EQ(dangling.kind, platform::FileFacts::Kind::DanglingLink);
  EXPECT_EQ(dangling.linkTarget, "nowhere");
  EXPECT_EQ(files.inspect((root / "a/file").string()).linkTarget, "");
  EXPECT_TRUE(files.inspect((root / "a/file").string()).readable);
}

// The start of a file of any size, and nothing of what is not a regular file.
TEST(Explain, OnlyTheStartOfAFileIsRead) {
  TempDir dir;
  fs::path big = dir.path() / "big";
  writeFile(big, "#!/bin/sh\n" + std::string(3 << 20, 'x'));
  const platform::Files& files = platform::systemFiles();
  EXPECT_EQ(files.readStart(big.string(), 12), "#!/bin/sh\nxx");
  EXPECT_FALSE(files.readFile(big.string())) << "larger than a bundle's file may be";
  EXPECT_EQ(files.readStart((dir.path() / "none").string(), 10), std::nullopt);
  EXPECT_EQ(files.readStart(dir.path().string(), 10), std::nullopt);
}

// ---- The whole check, with the interpreter's runs played by a fake ----

class FakeBundle : public platform::MainBundle {
 public:
  explicit FakeBundle(std::string resources) : resources_(std::move(resources)) {}
  std::optional<std::string> resourceDirectory() const override { return resources_; }
  std::optional<platform::InfoValue> infoValue(const std::string& key) const override {
    platform::InfoValue value;
    if (key == "RuvizuvePackFormat") {
      value.kind = platform::InfoValue::Kind::Integer;
      value.integer = 1;
      return value;
    }
    return std::nullopt;
  }
  std::string executableLocation() const override { return resources_ + "/../MacOS/qp"; }

 private:
  std::string resources_;
};

// Each run gets the next scripted outcome and output; what was started is kept.
class ScriptedChildren : public platform::ChildProcesses {
 public:
  struct Run {
    platform::ChildRun outcome;
    std::string output;
  };
  std::vector<Run> runs;
  std::vector<platform::ChildLaunch> launches;

  std::vector<std::string> environment() const override { return {"HOME=/home/maker"}; }
  platform::ChildRun runCapturingOutput(const platform::ChildLaunch& launch,
                                        const platform::OutputSink& sink,
                                        const platform::ChildLimits&) override {
    launches.push_back(launch);
    Run run = launches.size() <= runs.size() ? runs[launches.size() - 1] : Run{};
    sink(run.output);
    return run.outcome;
  }
};

// The system's files, with every question asked of them kept.
class RecordingFiles : public platform::Files {
 public:
  mutable std::vector<std::string> calls;

  bool isExecutableFile(const std::string& path) const override {
    calls.push_back("isExecutableFile " + path);
    return platform::systemFiles().isExecutableFile(path);
  }
  bool fileExists(const std::string& path) const override {
    calls.push_back("fileExists " + path);
    return platform::systemFiles().fileExists(path);
  }
  std::optional<std::string> readFile(const std::string& path) const override {
    calls.push_back("readFile " + path);
    return platform::systemFiles().readFile(path);
  }
  platform::FileFacts inspect(const std::string& path) const override {
    calls.push_back("inspect " + path);
    return platform::systemFiles().inspect(path);
  }
  std::vector<std::string> namesIn(const std::string& path) const override {
    calls.push_back("namesIn " + path);
    return platform::systemFiles().namesIn(path);
  }
  std::optional<std::string> readStart(const std::string& path, size_t bytes) const override {
    calls.push_back("readStart " + path);
    return platform::systemFiles().readStart(path, bytes);
  }
  platform::LinkWalk linksUnder(const std::string& path, size_t entries) const override {
    calls.push_back("linksUnder " + path);
    return platform::systemFiles().linksUnder(path, entries);
  }
};

class Written : public platform::StandardOutput {
 public:
  std::string text;
  bool write(std::string_view bytes) override {
    text.append(bytes);
    return true;
  }
};

platform::ChildRun exited(int status) {
  platform::ChildRun run;
  run.outcome = platform::ChildOutcome::Exited;
  run.exitStatus = status;
  return run;
}

struct CheckRun {
  std::string report;
  std::string explanation;
  int status;
};

CheckRun runCheckOn(const PackFixture& pack, ScriptedChildren& children,
                    const platform::Files& files, bool explain) {
  pack::Pack place{std::make_unique<FakeBundle>(pack.resources().string()),
                   pack::packPathsUnder(pack.resources().string())};
  Written report;
  Written explanation;
  int status =
      check::runCheck(place, files, children, report, {}, explain ? &explanation : nullptr);
  return {report.text, explanation.text, status};
}

// The plain check asks the interpreter once and the files only what the report needs: the
// explanation costs nothing unless asked for.
TEST(Explain, ThePlainCheckDoesNothingForTheExplanation) {
  TempDir dir;
  PackFixture pack(dir.path());
  pack.writeWeights();
  pack.writeInterpreterPrinting("{}");
  const std::string answer = "{\"python_version\": \"3.11\", \"torch\": \"2.1\"}\n";

  ScriptedChildren plainChildren;
  plainChildren.runs = {{exited(0), answer}};
  RecordingFiles plainFiles;
  CheckRun plain = runCheckOn(pack, plainChildren, plainFiles, false);
  EXPECT_EQ(plainChildren.launches.size(), 1u);
  std::string snapshot = (pack.modelDir() / "snapshots/abc123").string();
  EXPECT_EQ(plainFiles.calls,
            (std::vector<std::string>{"isExecutableFile " + pack.interpreter().string(),
                                      "readFile " + (pack.modelDir() / "refs/main").string(),
                                      "fileExists " + snapshot + "/model.safetensors",
                                      "fileExists " + snapshot + "/config.json"}));
  EXPECT_EQ(plain.status, 0);

  ScriptedChildren explainedChildren;
  explainedChildren.runs = {{exited(0), answer}, {exited(0), "{\"stdlib\": \"/l\"}\n"}};
  RecordingFiles explainedFiles;
  CheckRun explained = runCheckOn(pack, explainedChildren, explainedFiles, true);
  EXPECT_EQ(explained.report, plain.report);
  EXPECT_EQ(explained.status, plain.status);
  ASSERT_EQ(explainedChildren.launches.size(), 2u) << "the runtime question, after the report";
  EXPECT_EQ(explainedChildren.launches[1].arguments[0], "-I");
  EXPECT_NE(explained.explanation.find("verdict: "), std::string::npos);
}

// How a run that gave no answer ended, and what to try next; the report stays the plain one.
TEST(Explain, ARunWithoutAnAnswerIsNamedWithWhatToTry) {
  auto killedAtTheLimit = [] {
    platform::ChildRun run;
    run.outcome = platform::ChildOutcome::Failed;
    run.reachedRunLimit = true;
    run.exitSignal = SIGKILL;
    return run;
  };
  auto crashed = [] {
    platform::ChildRun run = exited(0);
    run.exitStatus.reset();
    run.exitSignal = SIGSEGV;
    return run;
  };
  auto notStarted = [] {
    platform::ChildRun run;
    run.startError = ENOENT;
    return run;
  };
#ifdef EBADARCH
  auto badArchitecture = [] {
    platform::ChildRun run;
    run.startError = EBADARCH;
    return run;
  };
#endif
  auto notWaitedFor = [] {
    platform::ChildRun run;
    run.outcome = platform::ChildOutcome::Failed;
    run.couldNotWait = true;
    return run;
  };
  struct Case {
    const char* name;
    platform::ChildRun run;
    std::vector<std::string> named;
  };
  const Case cases[] = {
      {"killed at the limit",
       killedAtTheLimit(),
       {"killed at the 120 s limit", "-X faulthandler", "kill -ABRT", "reproduce: env HF_HOME="}},
      {"crashed by a signal",
       crashed(),
       {"ended by signal 11 (Segmentation fault)",
        "run the reproduce line below with -X faulthandler", "reproduce: env HF_HOME="}},
      {"not started",
       notStarted(),
       {"could not be started: No such file or directory", "#! line names, or the loader"}},
      {"not waited for", notWaitedFor(), {"could not wait for it", "ulimit -a"}},
#ifdef EBADARCH
      {"built for another processor than this Mac's",
       badArchitecture(),
       {"could not be started: Bad CPU type in executable", "ship an arm64 or universal2 Python",
        "softwareupdate --install-rosetta"}},
#endif
  };
  for (const auto& c : cases) {
    TempDir dir;
    PackFixture pack(dir.path());
    pack.writeWeights();
    pack.writeInterpreterPrinting("{}");
    ScriptedChildren plainChildren;
    plainChildren.runs = {{c.run, ""}};
    ScriptedChildren explainedChildren;
    explainedChildren.runs = {{c.run, ""}};
    CheckRun plain = runCheckOn(pack, plainChildren, platform::systemFiles(), false);
    CheckRun explained = runCheckOn(pack, explainedChildren, platform::systemFiles(), true);
    EXPECT_EQ(explained.report, plain.report) << c.name;
    EXPECT_EQ(explained.status, plain.status) << c.name;
    EXPECT_EQ(explainedChildren.launches.size(), 1u) << c.name << ": nothing answered to ask again";
    for (const auto& text : c.named) {
      EXPECT_NE(explained.explanation.find(text), std::string::npos)
          << c.name << ": " << text << "\n"
          << explained.explanation;
    }
  }
}

#ifdef __linux__
// An interpreter the system refused to start as no executable of its own (ENOEXEC) is named by
// what its first bytes say it is built for.
TEST(Explain, AnInterpreterOfAnotherProcessorIsNamedByWhatItIsBuiltFor) {
  const std::string here = std::string(", and this machine is ") + thisMachineName;
  struct Case {
    std::string head;
    std::string named;
  };
  const Case cases[] = {
      {elfHeader(3), "it is built for i386 (32-bit x86)" + here},
      {elfHeader(8, true), "it is built for MIPS" + here},
      {elfHeader(21, true), "it is built for 64-bit PowerPC" + here},
      {elfHeader(22, true), "it is built for s390x" + here},
      {elfHeader(40), "it is built for 32-bit ARM" + here},
      {elfHeader(otherMachine), "it is built for " + std::string(otherMachineName) + here},
      {elfHeader(243), "it is built for RISC-V" + here},
      {elfHeader(258), "it is built for LoongArch" + here},
      {elfHeader(0x1234), "it is built for ELF machine 4660" + here},
      {elfHeader(otherMachine).substr(0, 20), "it is built for " + std::string(otherMachineName)},
      {elfHeader(otherMachine).substr(0, 19), "an ELF file this machine can't run: cut short"},
      {elfHeader(thisMachine), "an ELF file this machine can't run: cut short"},
      {std::string("\xca\xfe\xba\xbe\x00\x00\x00\x02", 8), "it is a macOS (Mach-O) executable"},
      {"echo '{}'\n", "could not be started: Exec format error; fix: a script needs a first line"},
  };
  for (const auto& c : cases) {
    TempDir dir;
    PackFixture pack(dir.path());
    pack.writeWeights();
    writeFile(pack.interpreter(), c.head);
    fs::permissions(pack.interpreter(), fs::perms::owner_all);
    platform::ChildRun refused;
    refused.startError = ENOEXEC;
    ScriptedChildren children;
    children.runs = {{refused, ""}};
    CheckRun explained = runCheckOn(pack, children, platform::systemFiles(), true);
    EXPECT_NE(explained.explanation.find(c.named), std::string::npos) << c.named << "\n"
                                                                      << explained.explanation;
  }
}
#endif

}  // namespace
