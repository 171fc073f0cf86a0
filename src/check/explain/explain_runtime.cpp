// The explanation's account of the interpreter: its file, how it is started, how its run went and
// what it answered; and the second question asked of it, where its runtime lies.

#include <signal.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>

#include "check/explain/explain.h"
#include "check/explain/explain_parts.h"
#include "check/output_lines.h"
#include "check/utf8.h"
#include "platform/json.h"

namespace check {
namespace {

using namespace explain_parts;
using platform::FileFacts;
using Kind = FileFacts::Kind;

// Asks the runtime where it lives and what it loads for torch; it prints one JSON object. The
// libraries are listed after the import, whether or not it succeeded: a failed import has often
// loaded the libraries that lead outside the bundle by then. Where ssl takes its certificates from
// is asked last, so that what ssl loads is not counted as torch's.
constexpr const char* whereScript =
    "import json, os, sys\n"
    "out = {'stdlib': os.path.dirname(os.__file__), 'path': sys.path, 'torch': '',\n"
    "       'torch_error': '', 'libraries': [], 'modules': []}\n"
    "try:\n"
    "    import importlib.util\n"
    "    found = importlib.util.find_spec('torch')\n"
    "    out['torch'] = found.origin if found and found.origin else ''\n"
    "    import torch\n"
    "except BaseException as exc:\n"
    "    import traceback\n"
    "    out['torch_error'] = traceback.format_exception_only(type(exc), exc)[-1].strip()\n"
    "out['modules'] = sorted({m.__file__ for m in list(sys.modules.values())\n"
    "                         if isinstance(getattr(m, '__file__', None), str)})\n"
    "try:\n"
    "    if sys.platform == 'darwin':\n"
    "        import ctypes\n"
    "        dyld = ctypes.CDLL(None)\n"
    "        dyld._dyld_get_image_name.restype = ctypes.c_char_p\n"
    "        out['libraries'] = [dyld._dyld_get_image_name(i).decode()\n"
    "                            for i in range(1, dyld._dyld_image_count())]\n"
    "    else:\n"
    "        with open('/proc/self/maps') as maps:\n"
    "            for line in maps:\n"
    "                name = line.split(None, 5)[5:]\n"
    "                name = name[0].rstrip('\\n') if name else ''\n"
    "                if name.startswith('/') and '.so' in os.path.basename(name) \\\n"
    "                        and name not in out['libraries']:\n"
    "                    out['libraries'].append(name)\n"
    "except Exception:\n"
    "    pass\n"
    "try:\n"
    "    import ssl\n"
    "    paths = ssl.get_default_verify_paths()\n"
    "    out['certificate_store'] = [p for p in (paths.cafile or paths.openssl_cafile,\n"
    "                                            paths.capath or paths.openssl_capath) if p]\n"
    "    out['certificates'] = ssl.create_default_context().cert_store_stats()['x509_ca']\n"
    "except Exception:\n"
    "    pass\n"
    "print(json.dumps(out))";

// Importing a real torch takes seconds; one that hangs is not waited on for ever.
constexpr auto whereRunLimit = std::chrono::seconds(60);

std::vector<std::string> stringsIn(const platform::Json& list) {
  std::vector<std::string> strings;
  if (list.is_array()) {
    for (const auto& item : list) {
      if (item.is_string()) {
        strings.push_back(item.get<std::string>());
      }
    }
  }
  return strings;
}

std::string stringIn(const platform::Json& answer, const char* key) {
  auto found = answer.find(key);
  return found != answer.end() && found->is_string() ? found->get<std::string>() : "";
}

// ---- The command that reproduces the probe ----

// `text` as one word of a POSIX shell's command line, on one line: in single quotes where that
// is enough, otherwise in $'...', which also carries line feeds and bytes that are not text.
std::string shellQuoted(std::string_view text) {
  bool utf8 = isValidUtf8(text);
  auto keptAsIs = [utf8](char c) {
    auto byte = static_cast<unsigned char>(c);
    return (byte >= 0x20 && byte < 0x7F) || (byte >= 0x80 && utf8);
  };
  auto bare = [](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || std::strchr("_./-=:,+@%", c) != nullptr;
  };
  if (!text.empty() && std::all_of(text.begin(), text.end(), bare)) {
    return std::string(text);
  }
  if (std::all_of(text.begin(), text.end(), [&](char c) { return keptAsIs(c) && c != '\''; })) {
    return "'" + std::string(text) + "'";
  }
  static const char hex[] = "0123456789abcdef";
  std::string quoted = "$'";
  for (char c : text) {
    auto byte = static_cast<unsigned char>(c);
    if (c == '\n') {
      quoted += "\\n";
    } else if (c == '\\' || c == '\'') {
      quoted += '\\';
      quoted += c;
    } else if (keptAsIs(c)) {
      quoted += c;
    } else {
      quoted += "\\x";
      quoted += hex[byte >> 4];
      quoted += hex[byte & 0x0F];
    }
  }
  return quoted + "'";
}

// ---- The interpreter's file ----

// A Python beside where the interpreter should be, by its name; empty when there is none.
std::string pythonBeside(const std::string& path, const platform::Files& files) {
  std::string bin = pack::deletingLastPathComponent(path);
  for (const auto& name : files.namesIn(bin)) {
    std::string other = pack::appendingPathComponent(bin, name);
    if (name.starts_with("python") && other != path && files.inspect(other).kind == Kind::Regular &&
        files.isExecutableFile(other)) {
      return name;
    }
  }
  return "";
}

bool explainInterpreterFile(const pack::PackPaths& paths, const platform::Files& files,
                            std::vector<Finding>& out) {
  const std::string& path = paths.pythonExecutable;
  FileFacts facts = files.inspect(path);
  if (facts.error == EACCES) {
    out.push_back(problem("interpreter", "permission denied", path,
                          "make every folder above it readable and enterable by every user "
                          "(chmod a+rx): the host may run as another user"));
    return false;
  }
  switch (facts.kind) {
    case Kind::Missing: {
      std::string beside = pythonBeside(path, files);
      out.push_back(
          beside.empty()
              ? problem("interpreter", "not found", path, runtimeFix)
              : problem("interpreter",
                        "not found, but " + beside +
                            " lies beside it: a copy that leaves links out (rsync -r without -l) "
                            "drops a bin/python3 that is a link",
                        path,
                        "copy the bundle with its links (rsync -a, cp -a), or make the runtime "
                        "again with scripts/make-runtime, which writes bin/python3 as a file"));
      return false;
    }
    case Kind::DanglingLink:
      out.push_back(problem("interpreter",
                            "a link to nothing: it points to " + inQuotes(facts.linkTarget), path,
                            runtimeFix));
      return false;
    case Kind::Directory:
    case Kind::Other:
      out.push_back(problem("interpreter", "not a regular file", path, runtimeFix));
      return false;
    case Kind::Regular:
      break;
  }
  if (!files.isExecutableFile(path)) {
    out.push_back(problem("interpreter", "not executable", path, "chmod a+rx '" + path + "'"));
    return false;
  }
  out.push_back(ok("interpreter",
                   facts.isLink || facts.realPath != path ? "leads to " + facts.realPath : "found",
                   path));
  return true;
}

bool isShell(const std::string& program) {
  std::string name = program.substr(program.find_last_of('/') + 1);
  for (const char* shell : {"sh", "bash", "dash", "zsh", "ksh"}) {
    if (name == shell) {
      return true;
    }
  }
  return false;
}

// The program a #! line's env runs: the first word after `from` that is neither an option nor an
// assignment; empty when there is none.
std::string wordAfterEnv(const std::string& line, size_t from) {
  size_t at = from;
  while (at < line.size() && (at = line.find_first_not_of(" \t", at)) != std::string::npos) {
    size_t end = std::min(line.find_first_of(" \t", at), line.size());
    std::string word = line.substr(at, end - at);
    if (!word.starts_with("-") && word.find('=') == std::string::npos) {
      return word;
    }
    at = end;
  }
  return "";
}

// The PYTHON... variables a shell script assigns, each named once: isolated mode (-I) makes the
// interpreter ignore every one of them.
std::vector<std::string> pythonVariablesSetIn(const std::string& script) {
  std::vector<std::string> names;
  for (size_t at = script.find("PYTHON"); at != std::string::npos;
       at = script.find("PYTHON", at + 1)) {
    bool startsWord = at == 0 || std::strchr(" \t\n;", script[at - 1]) != nullptr;
    size_t end = at + 6;
    while (end < script.size() &&
           (std::isupper(static_cast<unsigned char>(script[end])) || script[end] == '_')) {
      ++end;
    }
    std::string name = script.substr(at, end - at);
    if (startsWord && end < script.size() && script[end] == '=' &&
        std::find(names.begin(), names.end(), name) == names.end()) {
      names.push_back(name);
    }
  }
  return names;
}

// The absolute paths of Pythons that a shell script names: what a wrapper runs.
std::vector<std::string> pythonsNamedIn(const std::string& script) {
  std::vector<std::string> found;
  size_t at = 0;
  while ((at = script.find('/', at)) != std::string::npos) {
    bool startsWord = at == 0 || std::strchr(" \t\n\"'=;(", script[at - 1]) != nullptr;
    size_t end = script.find_first_of(" \t\r\n\"';)", at);
    end = end == std::string::npos ? script.size() : end;
    std::string word = script.substr(at, end - at);
    std::string name = word.substr(word.find_last_of('/') + 1);
    if (startsWord && name.starts_with("python")) {
      found.push_back(word);
    }
    at = end;
  }
  return found;
}

// What the interpreter's file is when it is a script rather than an interpreter: a #! line the
// system can't follow, or a shell script that runs a Python from elsewhere.
void explainScriptLine(const pack::PackPaths& paths, const platform::Files& files,
                       const std::string& bundle, std::vector<Finding>& out) {
  auto head = files.readStart(paths.pythonExecutable, 4096);
  if (!head || !head->starts_with("#!")) {
    return;
  }
  std::string line = head->substr(0, head->find('\n'));
  std::string shown = inQuotes(line);
  size_t start = line.find_first_not_of(" \t", 2);
  size_t end = line.find_first_of(" \t", start);
  std::string program = start == std::string::npos ? "" : line.substr(start, end - start);
  if (!line.empty() && line.back() == '\r') {
    out.push_back(problem("interpreter",
                          "its #! line " + shown +
                              " ends in a carriage return (Windows line ends): the system looks "
                              "for a program whose name ends in one",
                          "", "save it with Unix line ends (sed -i 's/\\r$//' FILE)"));
    return;
  }
  if (program.empty() || !files.isExecutableFile(program)) {
    out.push_back(problem("interpreter",
                          "its #! line " + shown + " names " +
                              (program.empty() ? "no program" : program + ", which is missing"),
                          "", "name a program that every machine has, such as /bin/sh"));
    return;
  }
  std::string name = program.substr(program.find_last_of('/') + 1);
  if (name == "env") {
    // env runs what the user's PATH finds first: a shell is a shell on every machine, a Python
    // is whichever one the user has.
    std::string ran = wordAfterEnv(line, end);
    if (!isShell(ran)) {
      out.push_back(problem(
          "interpreter",
          "its #! line " + shown + " runs whatever the user's PATH finds first, outside the bundle",
          "", runtimeFix));
      return;
    }
    program = ran;
  }
  if (!isInside(files.inspect(program).realPath, bundle) && !isShell(program)) {
    out.push_back(problem("interpreter",
                          "its #! line " + shown + " runs " + program + ", outside the bundle", "",
                          runtimeFix));
    return;
  }
  if (!isShell(program)) {
    return;
  }
  std::vector<std::string> outside;
  for (const auto& python : pythonsNamedIn(*head)) {
    if (!isInside(files.inspect(python).realPath, bundle)) {
      outside.push_back(python);
    }
  }
  if (!outside.empty()) {
    out.push_back(problem("interpreter",
                          "a shell script that runs " + listed(outside) + ", outside the bundle",
                          "", runtimeFix));
  } else {
    out.push_back(note("interpreter", "a shell script (" + shown +
                                          "), not the interpreter itself: what it runs must lie "
                                          "in the bundle"));
  }
  auto variables = pythonVariablesSetIn(*head);
  if (!variables.empty()) {
    out.push_back(note("interpreter",
                       "the shell script sets " + listed(variables) +
                           ", which the interpreter ignores: the check starts it with -I",
                       "",
                       "move those folders out of the runtime and make it again with "
                       "scripts/make-runtime --path FOLDER, which copies what they hold into the "
                       "runtime's own package folder"));
  }
}

// A virtual environment names the Python it was made from, and takes its library from there.
void explainVirtualEnvironment(const pack::PackPaths& paths, const platform::Files& files,
                               const std::string& bundle, std::vector<Finding>& out) {
  std::string bin = pack::deletingLastPathComponent(paths.pythonExecutable);
  for (const std::string& folder : {pack::deletingLastPathComponent(bin), bin}) {
    std::string config = pack::appendingPathComponent(folder, "pyvenv.cfg");
    auto text = files.readFile(config);
    if (!text) {
      continue;
    }
    std::string home;
    for (size_t at = 0; at < text->size();) {
      size_t end = std::min(text->find('\n', at), text->size());
      std::string line = text->substr(at, end - at);
      size_t equals = line.find('=');
      if (line.starts_with("home") && equals != std::string::npos &&
          line.find_first_not_of(" \t", 4) == equals) {
        size_t value = line.find_first_not_of(" \t", equals + 1);
        home = value == std::string::npos ? "" : line.substr(value);
        while (!home.empty() && (home.back() == '\r' || home.back() == ' ')) {
          home.pop_back();
        }
      }
      at = end + 1;
    }
    bool outside = !isInside(files.inspect(home).realPath, bundle);
    Finding finding = (outside ? problem : note)(
        "interpreter",
        "a virtual environment: its pyvenv.cfg names home = " + inQuotes(home) +
            (outside ? ", outside the bundle, whose Python and library it runs" : ""),
        config, "a virtual environment is not self-contained: " + std::string(runtimeFix));
    out.push_back(std::move(finding));
    return;
  }
}

// ---- Its run ----

std::string signalName(int signal) {
  const char* name = ::strsignal(signal);
  return "signal " + std::to_string(signal) + (name ? std::string(" (") + name + ")" : "");
}

std::string startFix(int error) {
  switch (error) {
    case ENOEXEC:
      return "a script needs a first line such as #!/bin/sh naming what runs it";
    case ENOENT:
      return "the program its #! line names, or the loader it was built for, is missing";
    case EACCES:
      return "make it, and every folder above it, executable for the user the host runs as";
#ifdef EBADARCH
    case EBADARCH:
      return "ship an arm64 or universal2 Python (lipo -archs FILE tells what a file is built "
             "for); Rosetta (softwareupdate --install-rosetta) runs an x86_64 one, but the "
             "pack's users may not have it";
#endif
    default:
      return "";
  }
}

// ---- What an executable is built for, by its first bytes ----

// The ELF machine this executable is built for; 0 where it is not an ELF system's.
constexpr unsigned thisElfMachine =
#if defined(__APPLE__)
    0;
#elif defined(__x86_64__)
    62;
#elif defined(__aarch64__)
    183;
#elif defined(__i386__)
    3;
#elif defined(__arm__)
    40;
#elif defined(__riscv)
    243;
#elif defined(__powerpc64__)
    21;
#elif defined(__s390x__)
    22;
#else
    0;
#endif

std::string elfMachineName(unsigned machine) {
  switch (machine) {
    case 3:
      return "i386 (32-bit x86)";
    case 8:
      return "MIPS";
    case 21:
      return "64-bit PowerPC";
    case 22:
      return "s390x";
    case 40:
      return "32-bit ARM";
    case 62:
      return "x86_64";
    case 183:
      return "arm64 (aarch64)";
    case 243:
      return "RISC-V";
    case 258:
      return "LoongArch";
    default:
      return "ELF machine " + std::to_string(machine);
  }
}

bool isElf(std::string_view head) {
  return head.starts_with(
      "\x7f"
      "ELF");
}

// The machine an ELF file's header names; none when `head` is not that far into an ELF file.
std::optional<unsigned> elfMachine(std::string_view head) {
  if (!isElf(head) || head.size() < 20) {
    return std::nullopt;
  }
  auto byte = [&head](size_t at) { return static_cast<unsigned char>(head[at]); };
  bool bigEndian = byte(5) == 2;
  return bigEndian ? (byte(18) << 8 | byte(19)) : (byte(19) << 8 | byte(18));
}

bool isMachO(std::string_view head) {
  for (std::string_view magic : {"\xcf\xfa\xed\xfe", "\xce\xfa\xed\xfe", "\xca\xfe\xba\xbe"}) {
    if (head.starts_with(magic)) {
      return true;
    }
  }
  return false;
}

// Why the system refused an executable as not one of its own (ENOEXEC), by its header, and the
// fix; none when the header is not one of an executable.
std::optional<std::pair<std::string, std::string>> refusedExecutable(std::string_view head) {
  auto machine = elfMachine(head);
  std::string here = elfMachineName(thisElfMachine);
  if (isElf(head) && thisElfMachine == 0) {
    return std::pair{"it is a Linux (ELF) executable" +
                         (machine ? " for " + elfMachineName(*machine) : std::string()),
                     std::string("ship a Python built for macOS (arm64 or universal2)")};
  }
  if (machine && *machine != thisElfMachine) {
    return std::pair{
        "it is built for " + elfMachineName(*machine) + ", and this machine is " + here,
        "ship a Python built for " + here +
            ": an interpreter runs only on the processor it is built for"};
  }
  if (isElf(head)) {
    return std::pair{std::string("an ELF file this machine can't run: cut short or damaged in "
                                 "the copy"),
                     std::string("copy the runtime again, or make it again")};
  }
  if (isMachO(head) && thisElfMachine != 0) {
    return std::pair{std::string("it is a macOS (Mach-O) executable"),
                     "ship a Python built for Linux on " + here};
  }
  return std::nullopt;
}

void explainRun(const ProbeRun& probe, const pack::PackPaths& paths, const platform::Files& files,
                std::vector<Finding>& out) {
  const platform::ChildRun& run = probe.child;
  if (run.outcome == platform::ChildOutcome::NotStarted) {
    std::string why = run.startError ? std::strerror(run.startError) : "no reason given";
    std::string fix = startFix(run.startError);
    if (run.startError == ENOEXEC) {
      auto head = files.readStart(paths.pythonExecutable, 64).value_or("");
      if (auto refused = refusedExecutable(head)) {
        why += ": " + refused->first;
        fix = refused->second;
      }
    }
    out.push_back(problem("interpreter", "could not be started: " + why, "", fix));
    return;
  }
  if (run.couldNotWait) {
    out.push_back(problem("interpreter",
                          "could not wait for it: the system gave no timer and no thread to bound "
                          "the wait, so it was ended at once",
                          "", "look at the limits the host runs under (ulimit -a)"));
    return;
  }
  if (run.reachedRunLimit) {
    out.push_back(problem("interpreter", "killed at the 120 s limit: it gave no answer in time", "",
                          "run the reproduce line below by hand to see where it stops; with "
                          "-X faulthandler after the interpreter's path, kill -ABRT shows where "
                          "it hangs"));
  } else if (run.exitSignal != 0) {
    out.push_back(problem("interpreter", "ended by " + signalName(run.exitSignal), "",
                          "run the reproduce line below with -X faulthandler after the "
                          "interpreter's path: it prints where it crashed"));
  } else if (run.exitStatus && *run.exitStatus != 0) {
    out.push_back(note("interpreter", "exited with status " + std::to_string(*run.exitStatus)));
  }
  if (run.outputCut) {
    out.push_back(note("interpreter",
                       "a process it left behind held its output open: it was given 2 s, then "
                       "ended"));
  }
}

// ---- Its answer ----

// How deep below the quality folder a torch package is looked for, and how many entries: a
// package folder of a runtime lies four folders down (python/lib/python3.11/site-packages).
constexpr int torchSearchDepth = 5;
constexpr size_t torchSearchEntries = 20000;

// The folders below the quality folder, the model's cache aside, that hold a torch package:
// where torch lies when the interpreter does not find it.
std::vector<std::string> torchFoldersIn(const pack::PackPaths& paths,
                                        const platform::Files& files) {
  std::vector<std::string> found;
  std::vector<std::pair<std::string, int>> folders{{paths.qualityDir, 0}};
  size_t looked = 0;
  for (size_t next = 0; next < folders.size() && looked < torchSearchEntries; ++next) {
    auto [folder, depth] = folders[next];
    if (files.fileExists(pack::appendingPathComponent(folder, "torch/__init__.py"))) {
      found.push_back(folder);
    }
    for (const auto& name : files.namesIn(folder)) {
      std::string path = pack::appendingPathComponent(folder, name);
      bool passedOver = name == "torch" || name == "__pycache__" || path == paths.hfCacheDir;
      if (++looked > torchSearchEntries || passedOver || depth + 1 > torchSearchDepth) {
        continue;
      }
      FileFacts facts = files.inspect(path);
      if (facts.kind == Kind::Directory && !facts.isLink) {
        folders.emplace_back(path, depth + 1);
      }
    }
  }
  return found;
}

std::string searchPathDetails(const std::vector<std::string>& searchPath) {
  std::string details = "it looks for modules in (sys.path):";
  for (const auto& folder : searchPath) {
    details += "\n  " + printable(folder, wholeLineBytes);
  }
  return details;
}

// Python's own shared library: libpython3.11.so.1.0, libpython3.11.dylib, or a framework's.
bool isPythonLibrary(const std::string& path) {
  return path.substr(path.find_last_of('/') + 1).starts_with("libpython") ||
         path.find("/Python.framework/") != std::string::npos;
}

// What makes the interpreter another Python than the bundle's own: its library, its standard
// library or the folders it looks in, outside the bundle. Empty when it is the bundle's own.
std::vector<std::string> notTheBundlesOwn(const RuntimePlace& runtime, const std::string& bundle,
                                          const platform::Files& files) {
  std::vector<std::string> reasons;
  for (const auto& library : runtime.libraries) {
    if (isPythonLibrary(library) && !isInside(library, bundle)) {
      reasons.push_back("it loaded " + printable(library, wholeLineBytes));
    }
  }
  std::string standardLibrary = files.inspect(runtime.standardLibrary).realPath;
  if (!standardLibrary.empty() && !isInside(standardLibrary, bundle)) {
    reasons.push_back("its standard library is " + printable(standardLibrary, wholeLineBytes));
  }
  std::vector<std::string> outside = searchPathOutside(runtime, bundle, files);
  if (!outside.empty()) {
    reasons.push_back("it looks for modules in " + firstFew(outside, 3));
  }
  return reasons;
}

// Torch is not where this interpreter looks: why, and what to do. Moving a package by hand is
// never the fix: its libraries' RUNPATHs are relative to where it lies.
Finding torchNotFound(const std::string& error, const RuntimePlace& runtime,
                      const pack::PackPaths& paths, const platform::Files& files) {
  std::string bundle = bundleFolder(paths, files);
  std::string why = "torch not found: " + error;
  std::string fix;
  auto reasons = notTheBundlesOwn(runtime, bundle, files);
  std::vector<std::string> unseen;
  for (const auto& folder : torchFoldersIn(paths, files)) {
    std::string real = files.inspect(folder).realPath;
    bool searched = false;
    for (const auto& entry : runtime.searchPath) {
      searched = searched || (!entry.empty() && files.inspect(entry).realPath == real);
    }
    if (!searched) {
      unseen.push_back(folder);
    }
  }
  auto wrapper = files.readStart(paths.pythonExecutable, 4096).value_or("");
  auto variables =
      wrapper.starts_with("#!") ? pythonVariablesSetIn(wrapper) : std::vector<std::string>{};
  if (!reasons.empty()) {
    why +=
        "; the interpreter is not the bundle's own Python: outside the bundle, " + listed(reasons);
    fix =
        "make the runtime again with scripts/make-runtime and copy it whole (cp -a): moving "
        "torch would not help, since this interpreter is not the bundle's";
  } else if (!unseen.empty()) {
    bool byVariable =
        std::find(variables.begin(), variables.end(), "PYTHONPATH") != variables.end();
    why += "; torch lies in " + listed(unseen) + ", where this interpreter never looks" +
           (byVariable ? " (the wrapper's PYTHONPATH names it, but -I makes the interpreter "
                         "ignore PYTHONPATH)"
                       : "");
    fix = std::string(byVariable ? "move that folder out of the runtime and make the runtime "
                                   "again with scripts/make-runtime --path FOLDER"
                                 : "make the runtime again with scripts/make-runtime") +
          ", which puts each package where its interpreter looks: a package moved by hand keeps "
          "RUNPATHs relative to where it was";
  } else {
    fix = "install torch into one of those folders inside the bundle";
  }
  Finding finding = problem("answer", why, "", fix);
  finding.details = searchPathDetails(runtime.searchPath);
  return finding;
}

std::string libraryFix(const std::string& error) {
  if (error.find("cannot open shared object") != std::string::npos ||
      error.find("Library not loaded") != std::string::npos) {
    return "a shared library torch needs is missing: carry it in the bundle (scripts/make-runtime "
           "copies every library the runtime loads)";
  }
  return "install torch and what it needs into the pack's runtime";
}

void explainAnswer(const ProbeRun& probe, const std::optional<RuntimePlace>& runtime,
                   const pack::PackPaths& paths, const platform::Files& files,
                   std::vector<Finding>& out) {
  const ProbeResult& answer = probe.result;
  auto torch = answer.find("torch");
  if (answer.empty()) {
    std::string what = !probe.lastLine           ? "its last line is longer than 1 MiB"
                       : probe.lastLine->empty() ? "it printed nothing"
                                                 : "its last line is not a JSON object: " +
                                                       printable(*probe.lastLine, shownLineBytes);
    Finding finding = problem("answer", "none: " + what);
    if (!probe.child.errorTail.empty()) {
      finding.details = "its standard error ended with:\n" +
                        printable(probe.child.errorTail, platform::errorTailBytes, true);
    }
    out.push_back(std::move(finding));
    return;
  }
  if (torch != answer.end() && torch->second.is_string()) {
    auto version = answer.find("python_version");
    out.push_back(
        ok("answer", "Python " +
                         (version == answer.end() ? std::string("?") : version->second.dump()) +
                         ", torch " + torch->second.dump()));
    return;
  }
  auto error = answer.find("error");
  // The probe's own account is cut short; the second run's is the whole line.
  std::string said = runtime && !runtime->torchError.empty()
                         ? printable(runtime->torchError, wholeLineBytes)
                     : error != answer.end() ? error->second.dump()
                                             : "no torch version";
  if (runtime && runtime->torch.empty()) {
    out.push_back(torchNotFound(said, *runtime, paths, files));
  } else if (error == answer.end()) {
    out.push_back(problem("answer", said, "", "install torch into the pack's runtime"));
  } else {
    out.push_back(problem("answer", "torch failed: " + said, runtime ? runtime->torch : "",
                          libraryFix(said)));
  }
}

// The certificates the runtime's ssl trusts come from the machine it runs on unless the bundle
// carries its own: nothing the check does needs them, as it runs offline.
void explainCertificates(const RuntimePlace& runtime, const std::string& bundle,
                         const platform::Files& files, std::vector<Finding>& out) {
  std::vector<std::string> outside;
  for (const auto& place : runtime.certificateStore) {
    std::string real = files.inspect(place).realPath;
    if (!isInside(real.empty() ? place : real, bundle)) {
      outside.push_back(printable(place, wholeLineBytes));
    }
  }
  if (outside.empty() || outside.size() < runtime.certificateStore.size()) {
    return;
  }
  std::string count =
      runtime.certificates < 0
          ? ""
          : " (" + counted(static_cast<size_t>(runtime.certificates), "certificate") + " here)";
  out.push_back(note("certificates",
                     "the interpreter's ssl takes the certificates it trusts from the machine, "
                     "not the bundle: " +
                         listed(outside) + count +
                         "; a machine without them has none. The check runs offline and needs "
                         "none",
                     "", "if the pack ever goes online, carry a store in the runtime (certifi)"));
}

bool answeredWell(const ProbeRun& probe) {
  auto torch = probe.result.find("torch");
  return probe.child.outcome == platform::ChildOutcome::Exited && torch != probe.result.end() &&
         torch->second.is_string();
}

}  // namespace

std::optional<RuntimePlace> runtimePlaceFromOutput(std::string_view output) {
  LastPieceTracker tracker(maxAnswerLineBytes);
  tracker.append(output);
  auto line = tracker.lastPiece();
  auto answer = line ? platform::parseJson(*line) : std::nullopt;
  if (!answer || !answer->is_object() || !answer->value("stdlib", platform::Json()).is_string()) {
    return std::nullopt;
  }
  RuntimePlace place;
  place.standardLibrary = stringIn(*answer, "stdlib");
  place.torch = stringIn(*answer, "torch");
  place.torchError = stringIn(*answer, "torch_error");
  place.searchPath = stringsIn(answer->value("path", platform::Json()));
  place.libraries = stringsIn(answer->value("libraries", platform::Json()));
  place.modules = stringsIn(answer->value("modules", platform::Json()));
  place.certificateStore = stringsIn(answer->value("certificate_store", platform::Json()));
  auto certificates = answer->value("certificates", platform::Json());
  place.certificates = certificates.is_number_integer() ? certificates.get<long long>() : -1;
  return place;
}

std::optional<RuntimePlace> askWhereTheRuntimeLies(const pack::PackPaths& paths,
                                                   platform::ChildProcesses& children) {
  platform::ChildLaunch launch{paths.pythonExecutable,
                               {"-I", "-B", "-c", whereScript},
                               probeEnvironment(children.environment(), paths),
                               false};
  std::string output;
  auto run = children.runCapturingOutput(
      launch,
      [&output](std::string_view chunk) {
        if (output.size() < maxAnswerLineBytes) {
          output.append(chunk);
        }
      },
      {.runLimit = whereRunLimit, .drainAfterExit = std::chrono::seconds(1)});
  if (run.outcome != platform::ChildOutcome::Exited) {
    return std::nullopt;
  }
  return runtimePlaceFromOutput(output);
}

std::string reproduceCommand(const pack::PackPaths& paths) {
  std::string command = "env";
  for (const auto& entry : probeEnvironment({}, paths)) {
    size_t equals = entry.find('=');
    command += " " + entry.substr(0, equals + 1) + shellQuoted(entry.substr(equals + 1));
  }
  command += " " + shellQuoted(paths.pythonExecutable);
  for (const auto& argument : probeArguments()) {
    command += " " + shellQuoted(argument);
  }
  return command;
}

namespace explain_parts {

void explainInterpreter(const CheckStory& story, const platform::Files& files,
                        std::vector<Finding>& out) {
  const pack::PackPaths& paths = story.pack.paths;
  std::string bundle = bundleFolder(paths, files);
  bool startable = explainInterpreterFile(paths, files, out);
  if (files.inspect(paths.pythonExecutable).kind == Kind::Regular) {
    explainScriptLine(paths, files, bundle, out);
    explainVirtualEnvironment(paths, files, bundle, out);
  }
  if (!startable) {
    return;
  }
  explainRun(story.probe, paths, files, out);
  if (story.probe.child.outcome != platform::ChildOutcome::NotStarted) {
    explainAnswer(story.probe, story.runtime, paths, files, out);
  }
  if (story.runtime) {
    explainCertificates(*story.runtime, bundle, files, out);
  }
  if (!answeredWell(story.probe)) {
    out.push_back(note("reproduce", reproduceCommand(paths)));
  }
}

}  // namespace explain_parts
}  // namespace check
