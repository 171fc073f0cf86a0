// --check --explain on packs with one thing wrong each: the explanation names it, and the report
// and the exit status stay byte for byte those of the plain check, which writes no explanation.
#include <gtest/gtest.h>
#include <unistd.h>

#include <functional>
#include <regex>
#include <sstream>

#include "platform/json.h"
#include "support/demo_pack.h"
#include "support/elf_image.h"
#include "support/test_support.h"

namespace {

using namespace testing_support;
using platform::Json;

const std::string torchAnswer = "{\"python_version\": \"3.11.2\", \"torch\": \"2.1.0\"}";

// What the pack's interpreter says of itself when asked where it lies; `changes` are put over
// the answer of a runtime whose standard library and torch lie inside the bundle.
std::string runtimeAnswer(const PackFixture& pack, const Json& changes = Json::object()) {
  fs::path python = pack.resources() / "quality/python";
  Json answer = {{"stdlib", (python / "lib/python3.11").string()},
                 {"path", {(python / "lib/python3.11").string()}},
                 {"torch", (python / "lib/python3.11/site-packages/torch/__init__.py").string()},
                 {"torch_error", ""},
                 {"libraries", Json::array()},
                 {"modules", Json::array()}};
  answer.update(changes);
  return answer.dump();
}

// A stand-in interpreter that answers the probe with `probe` and the runtime question with
// `runtime`, as a real one would; at `at` when given, in place of bin/python3.
void writeAnsweringInterpreter(const PackFixture& pack, const std::string& probe,
                               const std::string& runtime, const fs::path& at = {}) {
  fs::path folder = pack.resources();
  writeFile(folder / "probe-answer", probe + "\n");
  writeFile(folder / "runtime-answer", runtime + "\n");
  writeScript(at.empty() ? pack.interpreter() : at,
              "case \"$4\" in\n  *stdlib*) cat '" + (folder / "runtime-answer").string() +
                  "' ;;\n  *) cat '" + (folder / "probe-answer").string() + "' ;;\nesac\n");
}

// rwxr-xr-x: what a program in a pack is.
constexpr fs::perms runnable = fs::perms::owner_all | fs::perms::group_read |
                               fs::perms::group_exec | fs::perms::others_read |
                               fs::perms::others_exec;

const std::string torchNotFoundAnswer =
    "{\"python_version\": \"3.11.2\", \"error\": \"ModuleNotFoundError(\\\"No module named "
    "'torch'\\\")\"}";

// A pack with nothing wrong: laid out as the build lays it out (the executable and the libraries
// it carries in Contents/Frameworks), with a runtime that takes nothing from outside.
void layOutCleanPack(const PackFixture& pack) {
  auto laidOut = layOutDemoPack(pack.bundle(), "/nonexistent");
  ASSERT_EQ(laidOut.status, 0) << laidOut.err;
  fs::remove(pack.interpreter());
  writeAnsweringInterpreter(pack, torchAnswer, runtimeAnswer(pack));
}

struct Explained {
  RunResult plain;
  RunResult explained;
};

// The plain check and the explained one, which must agree on everything the host reads.
Explained checkBothWays(const PackFixture& pack, const std::string& name, RunOptions options = {}) {
  Explained both{pack.run({"--check"}, options), pack.run({"--check", "--explain"}, options)};
  EXPECT_EQ(both.explained.out, both.plain.out) << name;
  EXPECT_EQ(both.explained.status, both.plain.status) << name;
  EXPECT_EQ(both.plain.err, "") << name;
  return both;
}

size_t countOf(const std::string& text, const std::string& part) {
  size_t count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
    ++count;
  }
  return count;
}

struct Case {
  const char* name;
  std::function<void(PackFixture&, const fs::path& outside)> makeIt;
  std::vector<std::string> named;     // what the explanation must say
  std::vector<std::string> notNamed;  // what it must not say
};

void runCases(const std::vector<Case>& cases) {
  for (const auto& c : cases) {
    TempDir dir;
    PackFixture pack(dir.path());
    fs::path outside = dir.path() / "outside";
    fs::create_directories(outside);
    pack.writeStandardInfo("1.0", 1);
    pack.writeWeights("abc123");
    c.makeIt(pack, outside);
    std::string err = checkBothWays(pack, c.name).explained.err;
    for (const auto& text : c.named) {
      EXPECT_NE(err.find(text), std::string::npos) << c.name << ": " << text << "\n" << err;
    }
    for (const auto& text : c.notNamed) {
      EXPECT_EQ(err.find(text), std::string::npos) << c.name << ": " << text << "\n" << err;
    }
    // However many problems there are, the verdict counts them all, and is never a bare "usable"
    // under one.
    size_t problems = countOf(err, "\nproblem ") + (err.rfind("problem ", 0) == 0 ? 1 : 0);
    if (err.find("verdict: the host will count it usable, but ") != std::string::npos) {
      EXPECT_NE(err.find("but " + std::to_string(problems - 1) + " problem"), std::string::npos)
          << c.name << "\n"
          << err;
    }
    EXPECT_FALSE(problems > 0 && err.find("ok      verdict: usable") != std::string::npos)
        << c.name << "\n"
        << err;
  }
}

// What the explanation says when nothing is wrong, and the verdict's count when something is.
TEST(ExplainCheck, TheVerdictIsUsableOnlyWithoutAProblem) {
  TempDir dir;
  PackFixture pack(dir.path());
  layOutCleanPack(pack);
  auto clean = checkBothWays(pack, "clean");
  EXPECT_EQ(clean.plain.status, 0);
  EXPECT_NE(clean.explained.err.find("ok      portability: nothing leads outside the bundle\n"),
            std::string::npos)
      << clean.explained.err;
  EXPECT_NE(clean.explained.err.find("ok      verdict: usable\n"), std::string::npos)
      << clean.explained.err;
  EXPECT_EQ(clean.explained.err.find("problem "), std::string::npos) << clean.explained.err;
  EXPECT_NE(clean.explained.err.find("ok      answer: Python \"3.11.2\", torch \"2.1.0\"\n"),
            std::string::npos)
      << clean.explained.err;

  // Two problems the host does not see: an empty model file and a line feed after refs/main.
  writeFile(pack.modelDir() / "refs/main", "0123456789abcdef0123456789abcdef01234567\n");
  fs::path weights =
      pack.modelDir() / "snapshots/0123456789abcdef0123456789abcdef01234567/model.safetensors";
  fs::remove(weights);
  writeFile(weights, "");
  auto broken = checkBothWays(pack, "broken");
  EXPECT_EQ(broken.plain.status, 0);
  EXPECT_NE(broken.explained.err.find("problem verdict: the host will count it usable, but 2 "
                                      "problems above will break it for the user\n"),
            std::string::npos)
      << broken.explained.err;
}

// The version and the format as the Info.plist gives them; when it can't be read, that is the
// problem named, with where in the file, and not the keys it may well hold.
TEST(ExplainCheck, WhatTheInfoPlistSaysIsNamed) {
  const std::string version = "<key>CFBundleShortVersionString</key><string>1.2</string>\n";
  auto info = [](const std::string& bytes) {
    return [bytes](PackFixture& p, const fs::path&) {
      writeFile(p.bundle() / "Contents/Info.plist", bytes);
      p.writeInterpreterPrinting(torchAnswer);
    };
  };
  auto format = [](long long number) {
    return [number](PackFixture& p, const fs::path&) {
      p.writeStandardInfo("1.2", number);
      p.writeInterpreterPrinting(torchAnswer);
    };
  };
  const std::vector<std::string> notRead = {
      "note    version: \"1.0\", the default: Info.plist could not be read (above), so none of "
      "its values were\n",
      "note    format: 0, the default: Info.plist could not be read (above)",
      "problem verdict: not usable: Info.plist could not be read, so there is no format\n"};
  auto with = [](std::vector<std::string> named, const std::vector<std::string>& more) {
    named.insert(named.end(), more.begin(), more.end());
    return named;
  };
  const std::vector<std::string> noFollowOn = {"there is no Ruvizuve", "give it as",
                                               "problem format", "problem version"};
  const std::vector<Case> cases = {
      {"format 2",
       format(2),
       {"problem format: 2 from Info.plist: only format 1 is usable",
        "problem verdict: not usable: the format is 2, not 1\n"},
       {"torch version", "model's files"}},
      {"format 0, as an integer",
       format(0),
       {"problem format: 0 from Info.plist: only format 1 is usable",
        "problem verdict: not usable: the format is 0, not 1\n"},
       {"not an integer"}},
      // expat places a mismatched end tag at its name.
      {"a misspelt end tag, which the reader names without a place",
       [&](PackFixture& p, const fs::path&) {
         p.writeInfoPlist(version + "<key>RuvizuvePackFormat</key><integer>1</interger>\n");
         p.writeInterpreterPrinting(torchAnswer);
       },
       with({"problem Info.plist: not read: </interger> where <integer> is open: ",
             "; fix: mend it at line 6, column 42: until it reads, the version and the format are "
             "the defaults\n"},
            notRead),
       noFollowOn},
      {"an element no list has, refused where it starts",
       [&](PackFixture& p, const fs::path&) {
         p.writeInfoPlist(version + "<key>RuvizuvePackFormat</key><interger>1</interger>\n");
         p.writeInterpreterPrinting(torchAnswer);
       },
       with({"problem Info.plist: not read: an element a property list does not have: "
             "<interger>: ",
             "; fix: mend it at line 6, column 30: "},
            notRead),
       noFollowOn},
      {"a list cut short, in expat's words",
       info("<plist>\n<dict>\n<key>RuvizuvePackFormat</key><integer>1</integer>\n"),
       with({"not read: not well-formed XML at line 4, column 1: no element found: ",
             "; fix: mend it at line 4, column 1: "},
            notRead),
       noFollowOn},
      {"a declaration after blank lines, the fault on its line",
       info("\n\n  <?xml version=\"1.0\"?><plist><dict><key>RuvizuvePackFormat</key><integer>1"
            "</interger></dict></plist>\n"),
       {"; fix: mend it at line 3, column 78: "},
       noFollowOn},
      {"a declaration after blank lines, the fault below it",
       info("\n\n  <?xml version=\"1.0\"?>\n<plist><dict><key>RuvizuvePackFormat</key><integer>1"
            "</interger></dict></plist>\n"),
       {"; fix: mend it at line 4, column 55: "},
       noFollowOn},
      {"no Info.plist",
       [](PackFixture& p, const fs::path&) {
         fs::remove(p.bundle() / "Contents/Info.plist");
         p.writeInterpreterPrinting(torchAnswer);
       },
       with({"problem Info.plist: not read: missing: ",
             "fix: lay the bundle out with cmake "
             "--install"},
            notRead),
       noFollowOn},
  };
  runCases(cases);
}

// Everything under Resources/quality that leads elsewhere, and every library from elsewhere.
TEST(ExplainCheck, WhatLeadsOutsideTheBundleIsNamed) {
  const std::vector<Case> cases = {
      {"a model file that is an absolute link out of the bundle",
       [](PackFixture& p, const fs::path& outside) {
         writeFile(outside / "model.safetensors", "weights");
         fs::path file = p.modelDir() / "snapshots/abc123/model.safetensors";
         fs::remove(file);
         fs::create_symlink(outside / "model.safetensors", file);
         p.writeInterpreterPrinting(torchAnswer);
       },
       {"problem portability: leads outside the bundle, to /", "/outside/model.safetensors: /"},
       {"nothing leads outside"}},
      {"a link deep in the runtime to nothing",
       [](PackFixture& p, const fs::path&) {
         fs::path lib = p.resources() / "quality/python/lib/libffi.so.8";
         fs::create_directories(lib.parent_path());
         fs::create_symlink("libffi.so.8.1.2", lib);
         p.writeInterpreterPrinting(torchAnswer);
       },
       {"portability: a link to nothing: it points to \"libffi.so.8.1.2\": "},
       {"nothing leads outside"}},
      {"an absolute link that stays inside the bundle",
       [](PackFixture& p, const fs::path&) {
         fs::path file = p.modelDir() / "snapshots/abc123/config.json";
         writeFile(p.modelDir() / "blobs/config", "{}");
         fs::remove(file);
         fs::create_symlink(p.modelDir() / "blobs/config", file);
         p.writeInterpreterPrinting(torchAnswer);
       },
       {"portability: an absolute link, to \"" + std::string("/"),
        "it leads nowhere once the bundle is moved"},
       {}},
      {"the quality folder a link out of the bundle",
       [](PackFixture& p, const fs::path& outside) {
         fs::rename(p.resources() / "quality", outside / "quality");
         fs::create_symlink(outside / "quality", p.resources() / "quality");
         p.writeInterpreterPrinting(torchAnswer);
       },
       {"problem portability: leads outside the bundle, to /", "/outside/quality: /"},
       {"nothing leads outside"}},
      {"libraries the interpreter loaded from elsewhere",
       [](PackFixture& p, const fs::path&) {
         fs::path inside = p.resources() / "quality/python/lib/libtorch.so";
         writeAnsweringInterpreter(
             p, torchAnswer,
             runtimeAnswer(p, {{"libraries",
                                {"/lib/x86_64-linux-gnu/libc.so.6", inside.string(),
                                 "/usr/lib/x86_64-linux-gnu/libffi.so.8",
                                 "/usr/lib/x86_64-linux-gnu/libm.so.6"}}}));
       },
       {"problem portability: the interpreter loaded 1 shared library from outside the bundle "
        "once torch was imported: /usr/lib/x86_64-linux-gnu/libffi.so.8; fix: "},
       {"libc.so.6", "libm.so.6", "libtorch.so"}},
      {"libraries loaded while torch failed to import",
       [](PackFixture& p, const fs::path&) {
         std::vector<std::string> libraries;
         for (int i = 0; i < 7; ++i) {
           libraries.push_back("/usr/lib/x86_64-linux-gnu/libdep" + std::to_string(i) + ".so.1");
         }
         writeAnsweringInterpreter(
             p, "{\"python_version\": \"3.11.2\", \"error\": \"ImportError('libffi')\"}",
             runtimeAnswer(p, {{"libraries", libraries},
                               {"torch_error",
                                "ImportError: libffi.so.8: cannot open shared "
                                "object file: No such file or directory"}}));
       },
       {"the interpreter loaded 7 shared libraries from outside the bundle while importing "
        "torch: /usr/lib/x86_64-linux-gnu/libdep0.so.1, ",
        "libdep4.so.1 and 2 more; fix: "},
       {"libdep5"}},
      {"modules the interpreter imported from elsewhere",
       [](PackFixture& p, const fs::path& outside) {
         writeFile(outside / "site/six.py", "");
         writeFile(outside / "site-packages/numpy/core/multiarray.py", "");
         writeAnsweringInterpreter(
             p, torchAnswer,
             runtimeAnswer(p, {{"modules",
                                {(outside / "site/six.py").string(),
                                 (outside / "site-packages/numpy/core/multiarray.py").string()}}}));
       },
       {"the interpreter imported 2 packages or modules from outside the bundle: ",
        "/outside/site/six.py, /", "/outside/site-packages/numpy; fix: "},
       {"nothing leads outside", "numpy/core"}},
      {"a package folder outside the bundle on sys.path",
       [](PackFixture& p, const fs::path& outside) {
         fs::create_directories(outside / "dist-packages");
         writeAnsweringInterpreter(
             p, torchAnswer,
             runtimeAnswer(p, {{"path",
                                {(p.resources() / "quality/python/lib/python3.11").string(),
                                 (outside / "dist-packages").string(), "/nonexistent"}}}));
       },
       {"problem portability: the interpreter looks for modules outside the bundle, in /",
        "/outside/dist-packages; fix: "},
       {"nonexistent"}},
      {"its standard library and torch from elsewhere",
       [](PackFixture& p, const fs::path& outside) {
         fs::create_directories(outside / "lib/python3.11");
         writeFile(outside / "torch/__init__.py", "");
         writeAnsweringInterpreter(
             p, torchAnswer,
             runtimeAnswer(p, {{"stdlib", (outside / "lib/python3.11").string()},
                               {"torch", (outside / "torch/__init__.py").string()},
                               {"modules", {(outside / "torch/__init__.py").string()}}}));
       },
       {"the interpreter takes its standard library from outside the bundle",
        "the interpreter takes torch from outside the bundle"},
       {"imported"}},
      {"certificates from the machine",
       [](PackFixture& p, const fs::path&) {
         writeAnsweringInterpreter(
             p, torchAnswer,
             runtimeAnswer(p,
                           {{"certificate_store", {"/usr/lib/ssl/cert.pem", "/usr/lib/ssl/certs"}},
                            {"certificates", 144}}));
       },
       {"note    certificates: the interpreter's ssl takes the certificates it trusts from the "
        "machine, not the bundle: /usr/lib/ssl/cert.pem, /usr/lib/ssl/certs (144 certificates "
        "here); a machine without them has none. The check runs offline and needs none; fix: "},
       {"problem certificates"}},
      {"a certificate store carried in the bundle",
       [](PackFixture& p, const fs::path&) {
         fs::path store = p.resources() / "quality/python/lib/python3.11/site-packages/certifi";
         writeFile(store / "cacert.pem", "");
         writeAnsweringInterpreter(
             p, torchAnswer,
             runtimeAnswer(
                 p, {{"certificate_store", {(store / "cacert.pem").string(), "/usr/lib/ssl/certs"}},
                     {"certificates", 140}}));
       },
       {"ok      answer: Python \"3.11.2\", torch \"2.1.0\""},
       {"certificates:"}},
      {"a bundle without Contents/Frameworks",
       [](PackFixture& p, const fs::path&) { p.writeInterpreterPrinting(torchAnswer); },
       {"problem portability: the executable loaded 1 shared library from outside the bundle: /",
        "lay the bundle out with cmake --install"},
       {"nothing leads outside"}},
      {"a library that needs a newer glibc than this machine's",
       [](PackFixture& p, const fs::path&) {
         writeFile(
             p.resources() / "quality/python/lib/libnew.so.1",
             ElfImage{62, true, false, {{"libc.so.6", {"GLIBC_2.17", "GLIBC_2.99"}}}}.bytes());
         p.writeInterpreterPrinting(torchAnswer);
       },
       {"problem glibc: needs glibc 2.99, newer than this machine's 2.",
        "/quality/python/lib/libnew.so.1; fix: build it on a system with glibc 2.",
        "note    glibc: runs on glibc 2.99 or newer: not on Debian 13, Ubuntu 24.04, RHEL 10 (2.99 "
        "is what this file needs, the newest of the bundle's 2 compiled files): /"},
       {}},
      {"a runtime that sets the floor",
       [](PackFixture& p, const fs::path&) {
         ElfImage library{62, true, false, {{"libc.so.6", {"GLIBC_2.2.5", "GLIBC_2.34"}}}};
         writeFile(p.resources() / "quality/python/lib/libtorch_cpu.so", library.bytes());
         library.needs = {{"libc.so.6", {"GLIBC_2.28"}}};
         writeFile(p.resources() / "quality/python/lib/libc10.so", library.bytes());
         p.writeInterpreterPrinting(torchAnswer);
       },
       // An executable built with the system's compiler (the sanitized build's) needs the build
       // machine's glibc, and it is then what sets the floor.
       QP_FLOOR_BUILD
           ? std::vector<std::string>{"note    glibc: runs on glibc 2.34 or newer: not on Debian "
                                      "11, Ubuntu 20.04, RHEL 8 (2.34 is what this file needs, the "
                                      "newest of the bundle's 3 compiled files): /",
                                      "/libtorch_cpu.so; fix: make the runtime on a system with an "
                                      "older glibc"}
           : std::vector<std::string>{"the newest of the bundle's 3 compiled files): /",
                                      "/MacOS/quality-pack"},
       {"problem glibc"}},
      {"an interpreter of another processor, refused by the system, is told of once",
       [](PackFixture& p, const fs::path&) {
         writeFile(p.interpreter(),
                   ElfImage{183, true, false, {{"libc.so.6", {"GLIBC_2.17"}}}}.bytes());
         fs::permissions(p.interpreter(), fs::perms::owner_all);
       },
       {"could not be started: Exec format error: it is built for arm64"},
       {"problem processor"}},
  };
  runCases(cases);
}

// The model's files as the host's loader will meet them; the check itself tests only that they
// are there.
TEST(ExplainCheck, WeightsThatWillNotLoadAreNamed) {
  auto replace = [](PackFixture& p, const std::string& name, const std::string& content) {
    writeFile(p.modelDir() / "snapshots/abc123" / name, content);
    p.writeInterpreterPrinting(torchAnswer);
  };
  // The model's folder alone, where the pack maker put it instead.
  auto moveModelTo = [](PackFixture& p, const fs::path& to) {
    fs::path aside = p.bundle() / "model-aside";
    fs::rename(p.modelDir(), aside);
    fs::remove_all(p.hfCache());
    fs::create_directories(to.parent_path());
    fs::rename(aside, to);
    p.writeInterpreterPrinting(torchAnswer);
  };
  auto linkModelToNothing = [](PackFixture& p) {
    fs::path file = p.modelDir() / "snapshots/abc123/model.safetensors";
    fs::remove(file);
    fs::create_symlink("../../blobs/gone", file);
    p.writeInterpreterPrinting(torchAnswer);
  };
  const std::string blobLink = "../../blobs/" + std::string(64, 'a');
  const std::vector<Case> cases = {
      {"an empty model file",
       [&](PackFixture& p, const fs::path&) { replace(p, "model.safetensors", ""); },
       {"problem weights: model.safetensors: empty: "},
       {}},
      {"a folder for a file",
       [](PackFixture& p, const fs::path&) {
         fs::remove(p.modelDir() / "snapshots/abc123/config.json");
         fs::create_directories(p.modelDir() / "snapshots/abc123/config.json");
         p.writeInterpreterPrinting(torchAnswer);
       },
       {"problem weights: config.json: a folder, not a file: "},
       {}},
      {"a link saved as a file",
       [&](PackFixture& p, const fs::path&) { replace(p, "model.safetensors", blobLink); },
       {"model.safetensors: a link saved as a file: it holds the text \"" + blobLink + "\"",
        "cp -a"},
       {}},
      {"a Git LFS pointer",
       [&](PackFixture& p, const fs::path&) {
         replace(p, "model.safetensors",
                 "version https://git-lfs.github.com\noid sha256:" + std::string(64, 'b') +
                     "\nsize 1273823\n");
       },
       {"model.safetensors: a Git LFS pointer, not the file itself", "git lfs pull"},
       {}},
      {"refs/main with a line feed",
       [](PackFixture& p, const fs::path&) {
         writeFile(p.modelDir() / "refs/main", "abc123\n");
         p.writeInterpreterPrinting(torchAnswer);
       },
       {"problem weights: refs/main ends in a line break", "printf '%s' abc123 > refs/main"},
       {}},
      {"refs/main with CR LF",
       [](PackFixture& p, const fs::path&) {
         writeFile(p.modelDir() / "refs/main", "abc123\r\n");
         p.writeInterpreterPrinting(torchAnswer);
       },
       {"problem weights: refs/main ends in a line break"},
       {}},
      {"refs/main without a line break",
       [](PackFixture& p, const fs::path&) { p.writeInterpreterPrinting(torchAnswer); },
       {"ok      weights: refs/main names \"abc123\""},
       {"line break"}},
      {"the cache named huggingface",
       [&](PackFixture& p, const fs::path&) {
         moveModelTo(p, p.resources() /
                            "quality/huggingface/hub/models--facebook--audiobox-"
                            "aesthetics");
       },
       {"it is at quality/huggingface/hub/models--facebook--audiobox-aesthetics",
        "rename quality/huggingface to quality/hf-cache"},
       {"hub holds"}},
      {"a copied ~/.cache",
       [&](PackFixture& p, const fs::path&) {
         moveModelTo(p, p.resources() /
                            "quality/hf-cache/.cache/huggingface/hub/models--facebook--audiobox-"
                            "aesthetics");
       },
       {"it is at quality/hf-cache/.cache/huggingface/hub/models--facebook--audiobox-aesthetics",
        "move quality/hf-cache/.cache/huggingface to quality/hf-cache"},
       {"hub holds"}},
      {"the repository's own name",
       [&](PackFixture& p, const fs::path&) {
         moveModelTo(p, p.hfCache() / "hub/facebook/audiobox-aesthetics");
       },
       {"there is quality/hf-cache/hub/facebook/audiobox-aesthetics, the repository's own name",
        "the hub's cache names it models--facebook--audiobox-aesthetics"},
       {"hub holds nothing"}},
      {"another model in hub",
       [](PackFixture& p, const fs::path&) {
         fs::rename(p.modelDir(), p.hfCache() / "hub/models--facebook--other");
         fs::create_directories(p.hfCache() / "hub/.locks");
         p.writeInterpreterPrinting(torchAnswer);
       },
       {"hub holds .locks, models--facebook--other"},
       {"hub holds nothing"}},
      {"only the snapshot copied, without the blobs its links lead to",
       [&](PackFixture& p, const fs::path&) { linkModelToNothing(p); },
       {"problem weights: model.safetensors: a link to nothing: it points to "
        "\"../../blobs/gone\"; there is no blobs/ folder: only the snapshot was copied",
        "copy the whole models--facebook--audiobox-aesthetics folder with cp -a, or the "
        "snapshot's files with cp -L"},
       {"portability: a link to nothing"}},
      {"a link to a blob that is not there",
       [&](PackFixture& p, const fs::path&) {
         linkModelToNothing(p);
         writeFile(p.modelDir() / "blobs/other", "{}");
       },
       {"problem weights: model.safetensors: a link to nothing: it points to "
        "\"../../blobs/gone\": "},
       {"only the snapshot", "download", "blobs/ holds"}},
      {"a copy that left the snapshot's links out",
       [](PackFixture& p, const fs::path&) {
         fs::remove(p.modelDir() / "snapshots/abc123/model.safetensors");
         writeFile(p.modelDir() / "blobs" / std::string(64, 'a'), "weights");
         p.writeInterpreterPrinting(torchAnswer);
       },
       {"problem weights: model.safetensors: missing; blobs/ holds 1 file: the copy left out "
        "the snapshot's links (rsync -r without -l does)",
        "fix: copy the cache with its links kept (cp -a, rsync -a)\n"},
       {"copy the model's"}},
      {"weights still downloading",
       [](PackFixture& p, const fs::path&) {
         fs::remove(p.modelDir() / "snapshots/abc123/model.safetensors");
         writeFile(p.modelDir() / "blobs" / (std::string(64, 'a') + ".incomplete"), "partial");
         writeFile(p.modelDir() / "blobs" / std::string(40, 'c'), "{}");
         writeFile(p.modelDir() / "snapshots/abc123/config.json", "");
         p.writeInterpreterPrinting(torchAnswer);
       },
       {"problem weights: model.safetensors: missing; the hub's download has not finished "
        "(blobs/" +
            std::string(64, 'a') + ".incomplete)",
        "let the download finish", "problem weights: config.json: empty: /"},
       {"copy the model's model.safetensors", "blobs/ holds"}},
      {"a stale refs/main",
       [](PackFixture& p, const fs::path&) {
         writeFile(p.modelDir() / "refs/main", "def456");
         fs::create_directories(p.modelDir() / "snapshots/def456");
         writeFile(p.modelDir() / "snapshots/def456/config.json", "{}");
         p.writeInterpreterPrinting(torchAnswer);
       },
       {"problem weights: model.safetensors: missing",
        "snapshots/abc123 holds both files: write its name into refs/main"},
       {}},
      {"refs/main naming no snapshot",
       [](PackFixture& p, const fs::path&) {
         writeFile(p.modelDir() / "refs/main", "main");
         p.writeInterpreterPrinting(torchAnswer);
       },
       {"no snapshot \"main\" (snapshots holds abc123)", "snapshots/abc123 holds both files"},
       {}},
  };
  runCases(cases);
}

// Why the interpreter gave no torch, in its own words, and where to look next.
TEST(ExplainCheck, TheRuntimesFailureIsNamed) {
  const std::string longError =
      "OSError: /usr/lib/python3/dist-packages/torch/lib/libtorch_global_deps.so: cannot open "
      "shared object file: No such file or directory";
  // An interpreter that is these bytes, as a file the system is asked to run.
  auto holding = [](const std::string& bytes) {
    return [bytes](PackFixture& p, const fs::path&) {
      writeFile(p.interpreter(), bytes);
      fs::permissions(p.interpreter(), runnable);
    };
  };
  const std::vector<Case> cases = {
      {"torch not on sys.path",
       [](PackFixture& p, const fs::path&) {
         fs::path python = p.resources() / "quality/python";
         writeFile(python / "lib/python3.11/site-packages/torch/__init__.py", "");
         writeAnsweringInterpreter(
             p,
             "{\"python_version\": \"3.11.2\", \"error\": \"ModuleNotFoundError(\\\"No module "
             "named 'torch'\\\")\"}",
             runtimeAnswer(p, {{"path",
                                {(python / "lib/python3.11").string(),
                                 (python / "lib/python3/dist-packages").string()}},
                               {"torch", ""},
                               {"torch_error", "ModuleNotFoundError: No module named 'torch'"}}));
       },
       {"problem answer: torch not found: ModuleNotFoundError: No module named 'torch'",
        "torch lies in ", "/lib/python3.11/site-packages, where this interpreter never looks",
        "make the runtime again with scripts/make-runtime",
        "        | it looks for modules in (sys.path):\n", "/lib/python3/dist-packages\n"},
       {"move it", "not the bundle's own"}},
      {"torch only behind a link out of the bundle",
       [](PackFixture& p, const fs::path& outside) {
         writeFile(outside / "packages/torch/__init__.py", "");
         fs::create_directories(p.resources() / "quality/python");
         fs::create_symlink(outside / "packages", p.resources() / "quality/python/vendor");
         writeAnsweringInterpreter(
             p, torchNotFoundAnswer,
             runtimeAnswer(p, {{"torch", ""},
                               {"torch_error", "ModuleNotFoundError: No module named 'torch'"}}));
       },
       {"fix: install torch into one of those folders inside the bundle",
        "problem portability: leads outside the bundle, to /"},
       {"torch lies in"}},
      {"torch not found by a Python whose library lies outside",
       [](PackFixture& p, const fs::path&) {
         fs::path python = p.resources() / "quality/python";
         writeFile(python / "lib/python3.11/site-packages/torch/__init__.py", "");
         writeAnsweringInterpreter(
             p, torchNotFoundAnswer,
             runtimeAnswer(p, {{"torch", ""},
                               {"torch_error", "ModuleNotFoundError: No module named 'torch'"},
                               {"libraries", {"/usr/lib/x86_64-linux-gnu/libpython3.11.so.1.0"}}}));
       },
       {"problem answer: torch not found: ModuleNotFoundError: No module named 'torch'; the "
        "interpreter is not the bundle's own Python: outside the bundle, it loaded "
        "/usr/lib/x86_64-linux-gnu/libpython3.11.so.1.0; fix: make the runtime again with "
        "scripts/make-runtime and copy it whole"},
       {"torch lies in", "move it"}},
      {"torch not found by a wrapper's Python from elsewhere",
       [](PackFixture& p, const fs::path& outside) {
         fs::path python = p.resources() / "quality/python";
         writeFile(python / "lib/python3.11/site-packages/torch/__init__.py", "");
         fs::create_directories(outside / "pyenv/lib/python3.11/site-packages");
         writeAnsweringInterpreter(
             p, torchNotFoundAnswer,
             runtimeAnswer(p, {{"path",
                                {(python / "lib/python3.11").string(),
                                 (outside / "pyenv/lib/python3.11/site-packages").string()}},
                               {"torch", ""},
                               {"torch_error", "ModuleNotFoundError: No module named 'torch'"}}));
       },
       {"the interpreter is not the bundle's own Python: outside the bundle, it looks for "
        "modules in /",
        "/outside/pyenv/lib/python3.11/site-packages; fix: make the runtime again"},
       {"torch lies in", "move it", "it loaded"}},
      {"torch under a folder only the wrapper's PYTHONPATH names",
       [](PackFixture& p, const fs::path&) {
         fs::path python = p.resources() / "quality/python";
         writeFile(python / "vendor/torch/__init__.py", "");
         fs::path real = python / "bin/python3.11";
         writeAnsweringInterpreter(
             p, torchNotFoundAnswer,
             runtimeAnswer(p, {{"torch", ""},
                               {"torch_error", "ModuleNotFoundError: No module named 'torch'"}}),
             real);
         writeScript(
             p.interpreter(),
             "SAVED_PYTHONHOME=\"$HOME\"\nPYTHONPATH=\"$(dirname \"$0\")/../vendor\" exec " +
                 real.string() + " \"$@\"\n");
       },
       {"note    interpreter: the shell script sets PYTHONPATH, which the interpreter ignores: "
        "the check starts it with -I",
        "/quality/python/vendor, where this interpreter never looks (the wrapper's PYTHONPATH "
        "names it, but -I makes the interpreter ignore PYTHONPATH); fix: move that folder out of "
        "the runtime and make the runtime again with scripts/make-runtime --path FOLDER"},
       {"not the bundle's own", "move it", "PYTHONHOME"}},
      {"bin/python3 lost by a copy, its python3.11 left beside it",
       [](PackFixture& p, const fs::path&) {
         writeScript(p.interpreter().parent_path() / "python3.11", "echo '" + torchAnswer + "'\n");
       },
       {"problem interpreter: not found, but python3.11 lies beside it: a copy that leaves links "
        "out (rsync -r without -l) drops a bin/python3 that is a link",
        "fix: copy the bundle with its links (rsync -a, cp -a)"},
       {}},
      {"an interpreter built for another processor",
       holding(elfHeader(otherMachine)),
       {"problem interpreter: could not be started: Exec format error: it is built for " +
        std::string(otherMachineName) + ", and this machine is " + thisMachineName +
        "; fix: ship a Python built for " + thisMachineName},
       {"#!/bin/sh"}},
      {"an interpreter for this machine that it can't run",
       holding(elfHeader(thisMachine)),  // no program headers to load
       {"could not be started: Exec format error: an ELF file this machine can't run: cut short "
        "or damaged in the copy; fix: copy the runtime again"},
       {"#!/bin/sh", "built for"}},
      {"an interpreter built for macOS",
       holding(std::string("\xcf\xfa\xed\xfe\x0c\x00\x00\x01", 8) + std::string(56, '\0')),
       {"could not be started: Exec format error: it is a macOS (Mach-O) executable; fix: ship a "
        "Python built for Linux on " +
        std::string(thisMachineName)},
       {"#!/bin/sh"}},
      {"the whole last traceback line",
       [&](PackFixture& p, const fs::path&) {
         writeAnsweringInterpreter(
             p, "{\"python_version\": \"3.11.2\", \"error\": \"OSError('cut short')\"}",
             runtimeAnswer(p, {{"torch_error", longError}}));
       },
       {"problem answer: torch failed: " + longError, "a shared library torch needs is missing",
        "reproduce: env HF_HOME="},
       {"cut short"}},
      {"a library missing, in macOS's words",
       [](PackFixture& p, const fs::path&) {
         writeAnsweringInterpreter(
             p, "{\"python_version\": \"3.11.2\", \"error\": \"ImportError('dlopen')\"}",
             runtimeAnswer(p, {{"torch_error",
                                "ImportError: dlopen(_C.so, 0x0002): Library not loaded: "
                                "@rpath/libc10.dylib"}}));
       },
       {"torch failed: ImportError: dlopen(_C.so, 0x0002): Library not loaded: @rpath/libc10.dylib",
        "a shared library torch needs is missing"},
       {}},
      {"a #! line with Windows line ends",
       [](PackFixture& p, const fs::path&) {
         writeFile(p.interpreter(), "#!/bin/sh\r\necho '{}'\r\n");
         fs::permissions(p.interpreter(), fs::perms::owner_all);
       },
       {"its #! line \"#!/bin/sh\\x0d\" ends in a carriage return (Windows line ends)"},
       {}},
      {"a #! line naming a missing interpreter",
       [](PackFixture& p, const fs::path&) {
         writeFile(p.interpreter(), "#!/opt/python-3.11/bin/python3 -s\nprint('{}')\n");
         fs::permissions(p.interpreter(), fs::perms::owner_all);
       },
       {"its #! line \"#!/opt/python-3.11/bin/python3 -s\" names /opt/python-3.11/bin/python3, "
        "which is missing",
        "could not be started: No such file or directory"},
       {}},
      {"a #! line that runs whatever is on the PATH",
       [](PackFixture& p, const fs::path&) {
         writeFile(p.interpreter(), "#!/usr/bin/env python3\nprint('{}')\n");
         fs::permissions(p.interpreter(), fs::perms::owner_all);
       },
       {"runs whatever the user's PATH finds first, outside the bundle"},
       {}},
      {"a #!/usr/bin/env wrapper that sets a variable and runs bash",
       [](PackFixture& p, const fs::path&) {
         writeScript(p.interpreter().parent_path() / "python3.11", "echo '" + torchAnswer + "'\n");
         writeFile(p.interpreter(),
                   "#!/usr/bin/env -S LC_ALL=C bash\nexec \"$(dirname "
                   "\"$0\")/python3.11\" \"$@\"\n");
         fs::permissions(p.interpreter(), runnable);
       },
       {"note    interpreter: a shell script (\"#!/usr/bin/env -S LC_ALL=C bash\")",
        "ok      answer: Python \"3.11.2\", torch \"2.1.0\""},
       {"PATH finds first", "problem interpreter"}},
      {"a #!/usr/bin/env bash wrapper that runs the bundle's Python",
       [](PackFixture& p, const fs::path&) {
         writeScript(p.interpreter().parent_path() / "python3.11", "echo '" + torchAnswer + "'\n");
         writeFile(p.interpreter(),
                   "#!/usr/bin/env bash\nexec \"$(dirname \"$0\")/python3.11\" \"$@\"\n");
         fs::permissions(p.interpreter(), runnable);
       },
       {"note    interpreter: a shell script (\"#!/usr/bin/env bash\"), not the interpreter "
        "itself",
        "ok      answer: Python \"3.11.2\", torch \"2.1.0\""},
       {"PATH finds first", "problem interpreter"}},
      {"a wrapper that runs other programs before the bundle's Python",
       [](PackFixture& p, const fs::path&) {
         fs::path real = p.interpreter().parent_path() / "python3.11";
         writeScript(real, "echo '" + torchAnswer + "'\n");
         writeScript(p.interpreter(),
                     "/bin/true && exec /usr/bin/env " + real.string() + " \"$@\"\n");
       },
       {"note    interpreter: a shell script (\"#!/bin/sh\"), not the interpreter itself"},
       {"problem interpreter"}},
      {"a #! line that runs a Python outside the bundle",
       [](PackFixture& p, const fs::path& outside) {
         writeScript(outside / "python3.11", "echo '" + torchAnswer + "'\n");
         writeFile(p.interpreter(), "#!" + (outside / "python3.11").string() + "\n");
         fs::permissions(p.interpreter(), fs::perms::owner_all);
       },
       {"problem interpreter: its #! line \"#!", "/outside/python3.11\" runs ",
        "/outside/python3.11, outside the bundle"},
       {"a shell script"}},
      {"a shell script that runs another Python",
       [](PackFixture& p, const fs::path& outside) {
         writeScript(outside / "python3.11", "echo '" + torchAnswer + "'\n");
         writeScript(p.interpreter(), "exec " + (outside / "python3.11").string() + " \"$@\"\n");
       },
       {"problem interpreter: a shell script that runs ",
        "/outside/python3.11, outside the bundle"},
       {}},
      {"a shell script that runs a Python in the bundle",
       [](PackFixture& p, const fs::path&) {
         fs::path real = p.interpreter().parent_path() / "python3.11";
         writeScript(real, "echo '" + torchAnswer + "'\n");
         writeScript(p.interpreter(), "exec " + real.string() + " \"$@\"\n");
       },
       {"note    interpreter: a shell script (\"#!/bin/sh\"), not the interpreter itself"},
       {"problem interpreter"}},
      {"a virtual environment",
       [](PackFixture& p, const fs::path&) {
         writeFile(p.resources() / "quality/python/pyvenv.cfg",
                   "home = /usr/bin\ninclude-system-site-packages = false\nversion = 3.11.2\n");
         p.writeInterpreterPrinting(torchAnswer);
       },
       {"problem interpreter: a virtual environment: its pyvenv.cfg names home = \"/usr/bin\", "
        "outside the bundle"},
       {}},
      {"a crash by a signal",
       [](PackFixture& p, const fs::path&) { writeScript(p.interpreter(), "kill -SEGV $$\n"); },
       {"ended by signal 11", "-X faulthandler", "reproduce: env HF_HOME="},
       {}},
      {"the 2 KiB standard-error tail",
       [](PackFixture& p, const fs::path&) {
         writeScript(p.interpreter(),
                     "printf 'early%.0s' $(seq 20) >&2\nprintf 'y%.0s' $(seq 2048) >&2\nexit 1\n");
       },
       {"its standard error ended with:\n        | " + std::string(2048, 'y') + "\n"},
       {"early", "y..."}},
      // What comes before the tail is dropped unread by the kernel, and the tail is still the end:
      // a flood, then a flood and the tail in one write.
      {"the tail after a flood of standard error",
       [](PackFixture& p, const fs::path& outside) {
         fs::path both = outside / "both";
         writeFile(both, std::string(100000, 'f') + std::string(2048, 'y'));
         writeScript(p.interpreter(), "head -c 4194304 /dev/zero | tr '\\0' f >&2\ncat '" +
                                          both.string() + "' >&2\nexit 1\n");
       },
       {"its standard error ended with:\n        | " + std::string(2048, 'y') + "\n"},
       {"fy", "f\n"}},
  };
  runCases(cases);
}

// The reproduce line, pasted into a shell, starts the interpreter exactly as the check did,
// whatever the bundle's path holds.
TEST(ExplainCheck, TheReproduceLineRunsTheProbeAsTheCheckDid) {
  TempDir dir;
  PackFixture pack(dir.path(), "Q 'Pack' $HOME\\n.app");
  pack.writeStandardInfo("1.0", 1);
  pack.writeWeights();
  pack.installRecordingInterpreter();
  fs::path byCheck = dir.path() / "by-check";
  fs::path byHand = dir.path() / "by-hand";
  RunOptions options;
  options.environment = {{"QP_TEST_RECORD", byCheck.string()}};
  auto explained = pack.run({"--check", "--explain"}, options);
  std::smatch found;
  ASSERT_TRUE(std::regex_search(explained.err, found, std::regex("reproduce: ([^\n]*)\n")))
      << explained.err;

  RunOptions shell;
  shell.arguments = {"/bin/bash", "-c", found[1].str()};
  shell.environment = {{"QP_TEST_RECORD", byHand.string()}};
  auto ran = runProgram(shell);
  ASSERT_EQ(ran.status, 0) << ran.err;
  auto startedWith = [](const std::string& record) {
    std::string kept;
    std::istringstream lines(record);
    for (std::string line; std::getline(lines, line);) {
      for (const char* prefix : {"arg ", "env HF_HOME=", "env HF_HUB_OFFLINE=",
                                 "env HF_HUB_DISABLE_TELEMETRY=", "env PYTHONDONTWRITEBYTECODE="}) {
        kept += line.rfind(prefix, 0) == 0 ? line + "\n" : "";
      }
    }
    return kept;
  };
  std::string expected = startedWith(readFile(byCheck));
  EXPECT_NE(expected.find("arg -c\n"), std::string::npos) << expected;
  EXPECT_EQ(startedWith(readFile(byHand)), expected);
}

// The host may run as a user other than the pack's maker: what that user can't read is named as
// such, not as missing or as not text.
TEST(ExplainCheck, WhatTheUserCannotReadIsNamed) {
  RunOptions asAnotherUser;
  if (::geteuid() == 0) {
    if (!fs::exists("/usr/bin/setpriv")) {
      GTEST_SKIP() << "running as root, and no setpriv to run the pack as another user";
    }
    asAnotherUser.arguments = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534",
                               "--clear-groups", "--"};
  }
  struct Row {
    const char* name;
    std::string locked;  // below the model's folder
    std::string named;
  };
  const Row rows[] = {
      {"refs/main", "refs/main", "problem weights: refs/main can't be read: permission denied"},
      {"the snapshot folder", "snapshots/abc123",
       "problem weights: snapshot \"abc123\": permission denied"},
      {"a model file", "snapshots/abc123/model.safetensors",
       "problem weights: model.safetensors: permission denied"},
  };
  for (const auto& row : rows) {
    TempDir dir;
    fs::permissions(dir.path(), fs::perms::all);
    PackFixture pack(dir.path());
    pack.writeStandardInfo("1.0", 1);
    pack.writeWeights("abc123");
    pack.writeInterpreterPrinting(torchAnswer);
    fs::permissions(pack.interpreter(), fs::perms::all);
    fs::permissions(pack.resources() / "probe-output", fs::perms::all);
    fs::permissions(pack.modelDir() / row.locked, fs::perms::none);
    auto run = [&](const std::vector<std::string>& options) {
      RunOptions base = asAnotherUser;
      base.arguments.push_back(pack.executable().string());
      base.arguments.insert(base.arguments.end(), options.begin(), options.end());
      return runProgram(base);
    };
    auto plain = run({"--check"});
    auto explained = run({"--check", "--explain"});
    EXPECT_EQ(explained.out, plain.out) << row.name;
    EXPECT_EQ(explained.status, plain.status) << row.name;
    EXPECT_EQ(plain.err, "") << row.name;
    EXPECT_NE(explained.err.find(row.named), std::string::npos) << row.name << "\n"
                                                                << explained.err;
    EXPECT_EQ(explained.err.find("not UTF-8"), std::string::npos) << row.name;
    fs::permissions(pack.modelDir() / row.locked, fs::perms::owner_all);
  }

  // What only its owner can read works when the check runs as the owner, or as root: it is named
  // all the same.
  const std::string quality = "Contents/Resources/quality";
  runCases({
      {"a quality folder only its owner can enter",
       [](PackFixture& p, const fs::path&) {
         p.writeInterpreterPrinting(torchAnswer);
         fs::permissions(p.resources() / "quality", fs::perms::owner_all);
       },
       {"problem permissions: 1 file or folder only their owner and group can read: " + quality +
            "; it works for its owner and root, and fails for the other users the host may run "
            "as: ",
        "fix: chmod -R a+rX on the bundle"},
       {}},
      {"a model file only its group can read, an interpreter only its owner can run",
       [](PackFixture& p, const fs::path&) {
         p.writeInterpreterPrinting(torchAnswer);
         fs::permissions(p.modelDir() / "snapshots/abc123/model.safetensors",
                         fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
         fs::permissions(p.interpreter(),
                         fs::perms::owner_all | fs::perms::group_read | fs::perms::others_read);
       },
       {"problem permissions: 2 files or folders only their owner and group can read: " + quality +
        "/hf-cache/hub/models--facebook--audiobox-aesthetics/snapshots/abc123/"
        "model.safetensors, " +
        quality + "/python/bin/python3; "},
       {}},
      {"everything open to everyone",
       [](PackFixture& p, const fs::path&) { p.writeInterpreterPrinting(torchAnswer); },
       {},
       {"permissions:"}},
  });
}

}  // namespace
