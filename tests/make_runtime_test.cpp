// scripts/make-runtime turns a Python installation into a runtime that works where the system has
// neither that Python nor the libraries its packages load: shown on a package with a C extension
// of its own that links a shared library of its own, run by scripts/try-elsewhere with everything
// of the system's but its C library hidden.
#include <gtest/gtest.h>
#include <unistd.h>

#include <regex>
#include <sstream>

#include "platform/compiled_files.h"
#include "support/demo_pack.h"
#include "support/test_support.h"

namespace {

using namespace testing_support;

const fs::path systemPython = "/usr/bin/python3";

RunResult run(std::vector<std::string> arguments) {
  RunOptions options;
  options.arguments = std::move(arguments);
  options.timeout = std::chrono::seconds(300);
  return runProgram(options);
}

std::string pythonSays(const std::string& expression) {
  auto said =
      run({systemPython.string(), "-I", "-c", "import sysconfig; print(" + expression + ")"});
  std::string text = said.out;
  while (!text.empty() && text.back() == '\n') {
    text.pop_back();
  }
  return text;
}

// A package named torch, as little of it as the probe needs: its version comes from a C extension
// that takes it from libtinyscale.so.1, a library that lies outside the Python's folders.
void buildPackage(const fs::path& system) {
  fs::path lib = system / "lib";
  fs::path torch = system / "site/torch";
  fs::create_directories(lib);
  fs::create_directories(torch / "backends");
  writeFile(system / "tiny.c", "const char* tiny_version(void) { return \"0.1-tiny\"; }\n");
  auto library = run({"/usr/bin/cc", "-shared", "-fPIC", "-Wl,-soname,libtinyscale.so.1", "-o",
                      (lib / "libtinyscale.so.1").string(), (system / "tiny.c").string()});
  ASSERT_EQ(library.status, 0) << library.err;
  writeFile(system / "native.c",
            "#include <Python.h>\n"
            "const char* tiny_version(void);\n"
            "static PyObject* version(PyObject* self, PyObject* args) {\n"
            "  return PyUnicode_FromString(tiny_version());\n"
            "}\n"
            "static PyMethodDef methods[] = {{\"version\", version, METH_NOARGS, \"\"},\n"
            "                                {NULL, NULL, 0, NULL}};\n"
            "static struct PyModuleDef module = {PyModuleDef_HEAD_INIT, \"_native\", NULL, -1,\n"
            "                                    methods};\n"
            "PyMODINIT_FUNC PyInit__native(void) { return PyModule_Create(&module); }\n");
  std::string include = pythonSays("sysconfig.get_paths()['include']");
  std::string suffix = pythonSays("sysconfig.get_config_var('EXT_SUFFIX')");
  auto extension = run({"/usr/bin/cc", "-shared", "-fPIC", "-I" + include, "-o",
                        (torch / ("_native" + suffix)).string(), (system / "native.c").string(),
                        "-L" + lib.string(), "-l:libtinyscale.so.1", "-Wl,-rpath," + lib.string()});
  ASSERT_EQ(extension.status, 0) << extension.err;
  writeFile(torch / "__init__.py",
            "from ._native import version\n__version__ = version()\nfrom . import backends\n");
  writeFile(torch / "backends/__init__.py", "from . import mps\n");
  writeFile(torch / "backends/mps.py", "def is_available():\n    return False\n");
}

// Runs `command` as scripts/try-elsewhere does, where only the C library's family is left of the
// system's libraries, and the system's Python and the fixture's own folders are hidden.
RunResult runElsewhere(const fs::path& bundle, const fs::path& system,
                       const std::vector<std::string>& command) {
  std::vector<std::string> arguments = {std::string(QP_SOURCE_DIR) + "/scripts/try-elsewhere",
                                        "--hide", system.string(), bundle.string()};
  arguments.insert(arguments.end(), command.begin(), command.end());
  return run(arguments);
}

TEST(MakeRuntime, TheRuntimeWorksWhereTheSystemHasNoneOfItsFiles) {
  if (::geteuid() != 0) {
    GTEST_SKIP() << "hiding the system's Python needs a mount namespace: run as root";
  }
  if (!fs::exists("/usr/bin/unshare") ||
      run({"/usr/bin/unshare", "--mount", "/bin/true"}).status != 0) {
    GTEST_SKIP() << "no mount namespace can be made here (unshare --mount fails)";
  }
  if (!fs::exists(systemPython) ||
      !fs::exists(pythonSays("sysconfig.get_paths()['include']") + "/Python.h")) {
    GTEST_SKIP() << "no python3 with its headers (python3-dev) to build the fixture with";
  }
  TempDir dir;
  fs::path system = dir.path() / "system";
  buildPackage(system);

  PackFixture pack(dir.path());
  auto laidOut = layOutDemoPack(pack.bundle(), systemPython.string());
  ASSERT_EQ(laidOut.status, 0) << laidOut.err;
  fs::path executable = pack.executable();

  // The demo's link to the system's python3 fails there, and the explanation says why: the hiding
  // is real.
  auto linked = runElsewhere(pack.bundle(), system, {});
  EXPECT_EQ(linked.status, 1) << linked.out << linked.err;
  EXPECT_NE(linked.out.find("\"torch\":null"), std::string::npos) << linked.out;
  EXPECT_NE(linked.err.find("error while loading shared libraries"), std::string::npos)
      << linked.err;

  auto made = run({std::string(QP_SOURCE_DIR) + "/scripts/make-runtime", "--python",
                   systemPython.string(), "--path", (system / "site").string(),
                   (pack.resources() / "quality/python").string(), "torch"});
  ASSERT_EQ(made.status, 0) << made.out << made.err;
  EXPECT_TRUE(fs::exists(pack.resources() / "quality/python/lib/libtinyscale.so.1")) << made.out;
  // A copy that leaves links out keeps the interpreter.
  EXPECT_EQ(fs::symlink_status(pack.interpreter()).type(), fs::file_type::regular);
  // It says its floor, and which of its files sets it; the pack's explanation names that floor,
  // or a newer one its executable needs.
  std::smatch floor;
  ASSERT_TRUE(std::regex_search(made.out, floor,
                                std::regex("make-runtime: its floor: glibc ([0-9.]+) or newer, "
                                           "which (\\S+) needs")))
      << made.out;
  EXPECT_TRUE(fs::is_regular_file(pack.resources() / "quality/python" / floor[2].str()))
      << floor[2];

  auto plain = runElsewhere(pack.bundle(), system, {executable.string(), "--check"});
  EXPECT_EQ(plain.status, 0) << plain.out << plain.err;
  EXPECT_NE(plain.out.find("\"ok\":true"), std::string::npos) << plain.out;
  EXPECT_NE(plain.out.find("\"torch\":\"0.1-tiny\""), std::string::npos) << plain.out;

  auto explained =
      runElsewhere(pack.bundle(), system, {executable.string(), "--check", "--explain"});
  EXPECT_EQ(explained.out, plain.out);
  EXPECT_EQ(explained.status, plain.status);
  EXPECT_NE(explained.err.find("ok      portability: nothing leads outside the bundle\n"),
            std::string::npos)
      << explained.err;
  EXPECT_NE(explained.err.find("ok      verdict: usable\n"), std::string::npos) << explained.err;
  EXPECT_EQ(explained.err.find("problem "), std::string::npos) << explained.err;
  std::smatch named;
  ASSERT_TRUE(std::regex_search(explained.err, named,
                                std::regex("note    glibc: runs on glibc ([0-9.]+) or newer")))
      << explained.err;
  auto packFloor = platform::glibcVersionFromText(named[1].str());
  auto runtimeFloor = platform::glibcVersionFromText(floor[1].str());
  ASSERT_TRUE(packFloor && runtimeFloor);
  EXPECT_GE(*packFloor, *runtimeFloor);

  // With the system's copies in view, the same runtime still takes nothing from them.
  auto here = PackFixture::runExecutable(executable, {"--check", "--explain"});
  EXPECT_EQ(here.out, plain.out);
  EXPECT_EQ(here.err.find("problem "), std::string::npos) << here.err;
}

// The runtime's folder is made anew: a folder of packages named inside it (a vendor folder of the
// runtime before) is refused before anything is removed, not deleted before it is copied.
TEST(MakeRuntime, WhatLiesInsideTheRuntimesFolderIsKept) {
  if (!fs::exists(systemPython) || !fs::exists("/usr/bin/patchelf")) {
    GTEST_SKIP() << "no python3 or patchelf here";
  }
  TempDir dir;
  fs::path out = dir.path() / "python";
  fs::path package = out / "vendor/tinypackage/__init__.py";
  writeFile(package, "version = 1\n");
  auto made =
      run({std::string(QP_SOURCE_DIR) + "/scripts/make-runtime", "--python", systemPython.string(),
           "--path", (out / "vendor").string(), out.string(), "tinypackage"});
  EXPECT_EQ(made.status, 1) << made.out << made.err;
  EXPECT_NE(made.err.find("/vendor/tinypackage lies inside " + out.string() +
                          ", which is made anew: move it elsewhere first"),
            std::string::npos)
      << made.err;
  EXPECT_EQ(readFile(package), "version = 1\n");
}

}  // namespace
