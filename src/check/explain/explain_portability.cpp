// The explanation's account of what the pack takes from outside its bundle: links, the
// interpreter's library and torch, and the shared libraries the interpreter and the executable
// load. What works here from outside the bundle is missing on the user's machine. Then which
// machines the bundle's own compiled files reach (explain_machines.cpp).

#include <algorithm>
#include <cerrno>

#include "check/explain/explain.h"
#include "check/explain/explain_machines.h"
#include "check/explain/explain_parts.h"

namespace check {
namespace {

using namespace explain_parts;
using platform::FileFacts;
using Kind = FileFacts::Kind;

// A runtime with torch holds some tens of thousands of files; the walk stops well beyond that.
constexpr size_t walkEntries = 500000;
// Links told one by one; the rest are counted.
constexpr size_t linksTold = 10;
// Libraries named in the finding; the rest are counted.
constexpr size_t librariesNamed = 5;

const std::string outsideFix =
    "copy what it leads to into the bundle: the pack runs on machines that don't have it";

// What is wrong with a link, as a finding; none when it is a relative link within the bundle.
std::optional<Finding> judgeLink(const std::string& path, const std::string& bundle,
                                 const platform::Files& files) {
  FileFacts facts = files.inspect(path);
  if (facts.error == EACCES) {
    return problem("portability",
                   "a link that can't be followed: permission denied (it points to " +
                       inQuotes(facts.linkTarget) + ")",
                   path, "make what it leads to readable by every user");
  }
  if (facts.kind == Kind::DanglingLink) {
    return problem("portability", "a link to nothing: it points to " + inQuotes(facts.linkTarget),
                   path, "make it lead to a file inside the bundle, or copy the file in its place");
  }
  if (!isInside(facts.realPath, bundle)) {
    return problem("portability", "leads outside the bundle, to " + facts.realPath, path,
                   outsideFix);
  }
  if (!facts.linkTarget.empty() && facts.linkTarget.front() == '/') {
    return problem("portability",
                   "an absolute link, to " + inQuotes(facts.linkTarget) +
                       ": it leads nowhere once the bundle is moved",
                   path, "make it relative (ln -sfr TARGET LINK)");
  }
  return std::nullopt;
}

// Every link in the quality folder, and the folder itself where it is one.
void explainLinks(const pack::PackPaths& paths, const platform::Files& files,
                  const std::string& bundle, std::vector<Finding>& out) {
  std::vector<std::string> links;
  if (files.inspect(paths.qualityDir).isLink) {
    links.push_back(paths.qualityDir);
  }
  platform::LinkWalk walk = files.linksUnder(paths.qualityDir, walkEntries);
  links.insert(links.end(), walk.links.begin(), walk.links.end());
  size_t told = 0;
  size_t more = 0;
  for (const auto& link : links) {
    auto finding = alreadyNamed(out, link) ? std::nullopt : judgeLink(link, bundle, files);
    if (finding && told < linksTold) {
      out.push_back(std::move(*finding));
      ++told;
    } else if (finding) {
      ++more;
    }
  }
  if (more > 0) {
    out.push_back(problem("portability",
                          counted(more, "more link") + " lead outside the bundle, nowhere or by "
                                                       "an absolute path",
                          paths.qualityDir, "find them with: find quality -type l"));
  }
  if (walk.cut) {
    out.push_back(note("portability",
                       "only the first " + std::to_string(walkEntries) +
                           " entries below it were looked at for links",
                       paths.qualityDir));
  }
}

// The interpreter's library and torch, as it says itself.
void explainRuntimePlace(const RuntimePlace& runtime, const std::string& bundle,
                         const platform::Files& files, std::vector<Finding>& out) {
  for (const auto& [what, where] :
       {std::pair<std::string, std::string>{"its standard library", runtime.standardLibrary},
        {"torch", runtime.torch}}) {
    std::string real = files.inspect(where).realPath;
    if (!real.empty() && !isInside(real, bundle)) {
      out.push_back(problem("portability",
                            "the interpreter takes " + what + " from outside the bundle", real,
                            std::string(runtimeFix) + " (a copy of a system's python3 still "
                                                      "uses the system's library)"));
    }
  }
}

// Python's own modules are found by the runtime's path; the libraries beside them are what a
// runtime copied by hand leaves behind, so they are named first.
bool isPythonModule(const std::string& path) {
  return path.find("-packages/") != std::string::npos ||
         path.find("/lib-dynload/") != std::string::npos;
}

// The modules imported from outside the bundle, beyond the standard library and torch, which are
// told of on their own.
// Folders outside the bundle where the interpreter looks for modules: what it imports from there
// later, when the host scores, is missing elsewhere.
void explainSearchPath(const RuntimePlace& runtime, const std::string& bundle,
                       const platform::Files& files, std::vector<Finding>& out) {
  std::vector<std::string> outside = searchPathOutside(runtime, bundle, files);
  if (!outside.empty()) {
    out.push_back(problem("portability",
                          "the interpreter looks for modules outside the bundle, in " +
                              firstFew(outside, librariesNamed),
                          "", runtimeFix));
  }
}

// A module's package as installed: the folder or file right below site-packages or dist-packages.
std::string packageOf(const std::string& module) {
  size_t packages = module.find("-packages/");
  if (packages == std::string::npos) {
    return module;
  }
  size_t start = packages + 10;
  return module.substr(0, module.find('/', start));
}

void explainModules(const RuntimePlace& runtime, const std::string& bundle,
                    const platform::Files& files, std::vector<Finding>& out) {
  std::vector<std::string> toldOf;
  for (const std::string& folder :
       {runtime.standardLibrary, pack::deletingLastPathComponent(runtime.torch)}) {
    if (!runtime.torch.empty() || folder == runtime.standardLibrary) {
      toldOf.push_back(folder);
      toldOf.push_back(files.inspect(folder).realPath);
    }
  }
  std::vector<std::string> outside;
  for (const auto& module : runtime.modules) {
    std::string real = files.inspect(module).realPath;
    bool told = false;
    for (const auto& folder : toldOf) {
      told = told || isInside(module, folder) || isInside(real, folder);
    }
    std::string shown = printable(packageOf(real), wholeLineBytes);
    if (!real.empty() && !isInside(real, bundle) && !told &&
        std::find(outside.begin(), outside.end(), shown) == outside.end()) {
      outside.push_back(shown);
    }
  }
  if (!outside.empty()) {
    out.push_back(problem("portability",
                          "the interpreter imported " +
                              counted(outside.size(), "package or module", "packages or modules") +
                              " from outside the bundle: " + firstFew(outside, librariesNamed),
                          "",
                          "install them into the runtime in the bundle: scripts/make-runtime "
                          "copies what the packages it is given import"));
  }
}

std::vector<std::string> librariesOutside(const std::vector<std::string>& libraries,
                                          const std::string& bundle) {
  std::vector<std::string> outside;
  for (const auto& library : libraries) {
    if (!isInside(library, bundle) && !isSystemBaseLibrary(library)) {
      outside.push_back(printable(library, wholeLineBytes));
    }
  }
  std::stable_partition(outside.begin(), outside.end(),
                        [](const std::string& path) { return !isPythonModule(path); });
  return outside;
}

void explainLibraries(const std::string& who, const std::vector<std::string>& libraries,
                      const std::string& when, const std::string& bundle, const std::string& fix,
                      std::vector<Finding>& out) {
  std::vector<std::string> outside = librariesOutside(libraries, bundle);
  if (outside.empty()) {
    return;
  }
  out.push_back(
      problem("portability",
              who + " loaded " + counted(outside.size(), "shared library", "shared libraries") +
                  " from outside the bundle" + when + ": " + firstFew(outside, librariesNamed),
              "", fix));
}

}  // namespace

bool isSystemBaseLibrary(std::string_view path, LibrarySystem system) {
  if (system == LibrarySystem::MacOS) {
    return path.starts_with("/usr/lib/") || path.starts_with("/System/");
  }
  // The C library's own family, and the modules it loads itself (character sets, name services).
  std::string_view name = path.substr(path.find_last_of('/') + 1);
  if (path.find("/gconv/") != std::string_view::npos || name.starts_with("ld-linux") ||
      name.starts_with("libnss_")) {
    return true;
  }
  for (std::string_view stem :
       {"libc.so.", "libm.so.", "libmvec.so.", "libpthread.so.", "libdl.so.", "librt.so.",
        "libutil.so.", "libresolv.so.", "libcrypt.so.", "libanl.so."}) {
    if (name.starts_with(stem)) {
      return true;
    }
  }
  return false;
}

namespace explain_parts {
namespace {

void explainWhatLeadsOutside(const CheckStory& story, const platform::Files& files,
                             std::vector<Finding>& out) {
  const pack::PackPaths& paths = story.pack.paths;
  std::string bundle = bundleFolder(paths, files);
  size_t before = out.size();
  explainLinks(paths, files, bundle, out);
  if (story.runtime) {
    explainRuntimePlace(*story.runtime, bundle, files, out);
    explainSearchPath(*story.runtime, bundle, files, out);
    explainModules(*story.runtime, bundle, files, out);
    explainLibraries(
        "the interpreter", story.runtime->libraries,
        story.runtime->torchError.empty() ? " once torch was imported" : " while importing torch",
        bundle,
        "carry them in the bundle, each with a RUNPATH relative to the file that "
        "loads it: scripts/make-runtime does that (docs/making-a-pack.md)",
        out);
  }
  explainLibraries("the executable", story.executableLibraries, "", bundle,
                   "lay the bundle out with cmake --install, which carries them in "
                   "Contents/Frameworks, where the executable looks first",
                   out);
  if (out.size() != before) {
    return;
  }
  if (story.runtime) {
    out.push_back(ok("portability", "nothing leads outside the bundle"));
  } else {
    out.push_back(note("portability",
                       "no link leads outside the bundle; what the interpreter loads was not "
                       "looked at, since it gave no answer"));
  }
}

}  // namespace

void explainPortability(const CheckStory& story, const platform::Files& files,
                        std::vector<Finding>& out) {
  explainWhatLeadsOutside(story, files, out);
  explainMachines(story, platform::systemCompiledFiles(), out);
}

}  // namespace explain_parts
}  // namespace check
