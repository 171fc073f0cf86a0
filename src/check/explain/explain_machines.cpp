// The explanation's account of which machines the pack reaches: every compiled file in the bundle
// must load on the user's machine, so the newest glibc any of them needs is the pack's floor, and
// the interpreter must be built for the processor the executable is built for.

#include "check/explain/explain_machines.h"

#include <algorithm>
#include <cerrno>

#include "check/explain/explain_parts.h"

namespace check::explain_parts {
namespace {

using platform::CompiledFile;
using platform::CompiledFileScan;
using platform::GlibcVersion;

// As many entries as the walk for links looks at: a runtime with torch holds some tens of
// thousands.
constexpr size_t scanEntries = 500000;
// Files named in a finding; the rest are counted.
constexpr size_t filesNamed = 5;
// What the pack's own build needs (scripts/build-floor): above it, the runtime sets the floor.
constexpr GlibcVersion buildFloor{2, 17, 0};

struct Release {
  const char* family;
  const char* version;
  GlibcVersion glibc;
};

// The commonest Linux families on desktops and servers, each release with the glibc it ships.
constexpr Release releases[] = {
    {"Debian", "7", {2, 13, 0}},     {"Debian", "8", {2, 19, 0}},
    {"Debian", "9", {2, 24, 0}},     {"Debian", "10", {2, 28, 0}},
    {"Debian", "11", {2, 31, 0}},    {"Debian", "12", {2, 36, 0}},
    {"Debian", "13", {2, 41, 0}},    {"Ubuntu", "12.04", {2, 15, 0}},
    {"Ubuntu", "14.04", {2, 19, 0}}, {"Ubuntu", "16.04", {2, 23, 0}},
    {"Ubuntu", "18.04", {2, 27, 0}}, {"Ubuntu", "20.04", {2, 31, 0}},
    {"Ubuntu", "22.04", {2, 35, 0}}, {"Ubuntu", "24.04", {2, 39, 0}},
    {"RHEL", "6", {2, 12, 0}},       {"RHEL", "7", {2, 17, 0}},
    {"RHEL", "8", {2, 28, 0}},       {"RHEL", "9", {2, 34, 0}},
    {"RHEL", "10", {2, 39, 0}},
};

const CompiledFile* needingTheNewest(const CompiledFileScan& scan) {
  const CompiledFile* newest = nullptr;
  for (const auto& file : scan.files) {
    if (file.newestGlibc && (!newest || *file.newestGlibc > *newest->newestGlibc)) {
      newest = &file;
    }
  }
  return newest;
}

void explainFloor(const CompiledFileScan& scan, const pack::PackPaths& paths,
                  std::vector<Finding>& out) {
  if (scan.cut) {
    out.push_back(note("glibc",
                       "only the first " + std::to_string(scanEntries) +
                           " entries were looked at for programs and shared libraries",
                       paths.qualityDir));
  }
  const CompiledFile* newest = needingTheNewest(scan);
  if (!newest) {
    return;
  }
  GlibcVersion floor = *newest->newestGlibc;
  std::string leftOut = releasesLeftOut(floor);
  std::string fix;
  if (floor > buildFloor && isInside(newest->path, paths.qualityDir)) {
    fix =
        "make the runtime on a system with an older glibc, or from a Python built for one "
        "(docs/making-a-pack.md)";
  }
  out.push_back(note("glibc",
                     "runs on glibc " + floor.text() + " or newer" +
                         (leftOut.empty() ? "" : ": " + leftOut) + " (" + floor.text() +
                         " is what this file needs, the newest of the bundle's " +
                         counted(scan.files.size(), "compiled file") + ")",
                     printable(newest->path, wholeLineBytes), fix));
}

// A file that needs a newer glibc than this machine's fails to load here, and on the user's
// machine wherever it is as old.
void explainNewerThanHere(const CompiledFileScan& scan, const std::optional<GlibcVersion>& here,
                          std::vector<Finding>& out) {
  std::vector<const CompiledFile*> newer;
  for (const auto& file : scan.files) {
    if (here && file.newestGlibc && *file.newestGlibc > *here) {
      newer.push_back(&file);
    }
  }
  if (newer.empty()) {
    return;
  }
  std::stable_sort(newer.begin(), newer.end(), [](const CompiledFile* a, const CompiledFile* b) {
    return *a->newestGlibc > *b->newestGlibc;
  });
  std::string fix = "build it on a system with glibc " + here->text() +
                    " or older, as docs/making-a-pack.md says of the runtime";
  if (newer.size() == 1) {
    out.push_back(problem("glibc",
                          "needs glibc " + newer.front()->newestGlibc->text() +
                              ", newer than this machine's " + here->text() +
                              ": it can't be loaded here",
                          printable(newer.front()->path, wholeLineBytes), fix));
    return;
  }
  std::vector<std::string> named;
  for (const auto* file : newer) {
    named.push_back(printable(file->path, wholeLineBytes) + " (" + file->newestGlibc->text() + ")");
  }
  out.push_back(problem("glibc",
                        std::to_string(newer.size()) + " compiled files need a newer glibc than " +
                            "this machine's " + here->text() +
                            ", and can't be loaded here: " + firstFew(named, filesNamed),
                        "", fix));
}

// A bundle holds the executable of one processor, and its runtime must be built for the same. An
// interpreter the system refused to start (ENOEXEC) is told of with the reason it gave.
void explainProcessor(const CheckStory& story, const platform::CompiledFiles& compiled,
                      std::vector<Finding>& out) {
  const pack::PackPaths& paths = story.pack.paths;
  std::string own = compiled.ownProcessor();
  auto interpreter = compiled.read(paths.pythonExecutable);
  if (own.empty() || !interpreter || interpreter->processor == own ||
      story.probe.child.startError == ENOEXEC) {
    return;
  }
  std::string fix = "put in a runtime built for " + own;
  if (interpreter->processor == "x86_64" || interpreter->processor == "aarch64") {
    fix += ", or build the pack for " + interpreter->processor +
           " (-DQP_FLOOR_ARCH=" + interpreter->processor + ")";
  }
  out.push_back(problem("processor",
                        "the interpreter is built for " + interpreter->processor +
                            ", the executable for " + own + ": a bundle holds one processor's pack",
                        paths.pythonExecutable, fix));
}

}  // namespace

std::string releasesLeftOut(const GlibcVersion& floor) {
  std::vector<const Release*> left;
  for (const char* family : {"Debian", "Ubuntu", "RHEL"}) {
    const Release* newest = nullptr;
    for (const auto& release : releases) {
      if (std::string_view(release.family) == family && release.glibc < floor &&
          (!newest || release.glibc > newest->glibc)) {
        newest = &release;
      }
    }
    if (newest) {
      left.push_back(newest);
    }
  }
  if (left.empty()) {
    return "";
  }
  std::stable_sort(left.begin(), left.end(),
                   [](const Release* a, const Release* b) { return a->glibc > b->glibc; });
  std::vector<std::string> names;
  for (const auto* release : left) {
    names.push_back(std::string(release->family) + " " + release->version);
  }
  return "not on " + listed(names);
}

void explainMachines(const CheckStory& story, const platform::CompiledFiles& compiled,
                     std::vector<Finding>& out) {
  const pack::PackPaths& paths = story.pack.paths;
  std::string contents = pack::deletingLastPathComponent(paths.resourcesRoot);
  CompiledFileScan scan = compiled.scan(
      {story.pack.mainBundle->executableLocation(), contents + "/Frameworks", paths.qualityDir},
      scanEntries);
  explainFloor(scan, paths, out);
  explainNewerThanHere(scan, compiled.runningGlibc(), out);
  explainProcessor(story, compiled, out);
}

}  // namespace check::explain_parts
