// The explanation's account of the model's files: the check tests only that they exist; this says
// what the host's loader will meet when it reads them.

#include <cerrno>

#include "check/explain/explain.h"
#include "check/explain/explain_parts.h"
#include "check/weights.h"

namespace check {
namespace {

using namespace explain_parts;
using platform::FileFacts;
using Kind = FileFacts::Kind;

// Files this small may be a stand-in for the real one: a pointer or a link saved as text.
constexpr std::uint64_t stubBytes = 1024;
// How far below the quality folder a misplaced model folder is looked for, and how many entries.
constexpr int searchDepth = 5;
constexpr size_t searchEntries = 20000;

const std::string permissionFix =
    "make it readable by every user (chmod -R a+rX on the cache): the host may run as another "
    "user";

std::string modelFolderName() {
  return std::string(pack::modelRepoFolder);
}

std::string cacheFix() {
  return "fill the cache as the hub's own tools do: hub/" + modelFolderName() +
         "/refs/main naming a folder in snapshots/ that holds " +
         std::string(requiredWeightFiles[0]) + " and " + std::string(requiredWeightFiles[1]);
}

// A path below `base`, shown from it.
std::string below(const std::string& path, const std::string& base) {
  return path.starts_with(base + "/") ? path.substr(base.size() + 1) : path;
}

std::string relativeToQuality(const pack::PackPaths& paths, const std::string& path) {
  return "quality/" + below(path, paths.qualityDir);
}

bool permissionDenied(const FileFacts& facts) {
  return facts.error == EACCES ||
         (facts.kind != Kind::Missing && facts.kind != Kind::DanglingLink && !facts.readable);
}

// What is at a path where a file should be, in a few words; empty when it is a file to read.
std::string whatIsThere(const FileFacts& facts) {
  if (permissionDenied(facts)) {
    return "permission denied";
  }
  switch (facts.kind) {
    case Kind::Missing:
      return "missing";
    case Kind::DanglingLink:
      return "a link to nothing: it points to " + inQuotes(facts.linkTarget);
    case Kind::Directory:
      return "a folder, not a file";
    case Kind::Other:
      return "not a regular file";
    case Kind::Regular:
      break;
  }
  return facts.size == 0 ? "empty" : "";
}

// A small file that stands in for the real one: what it is, and what to do; empty when it is not
// one.
std::pair<std::string, std::string> standIn(const std::string& path, const FileFacts& facts,
                                            const platform::Files& files) {
  if (facts.size > stubBytes) {
    return {};
  }
  std::string head = files.readStart(path, 200).value_or("");
  if (head.starts_with("version https://git-lfs")) {
    return {"a Git LFS pointer, not the file itself",
            "fetch the file itself (git lfs pull) and copy that"};
  }
  if (head.starts_with("../") && head.find("blobs/") != std::string::npos) {
    return {"a link saved as a file: it holds the text " + inQuotes(head),
            "copy the cache with its links kept (cp -a), or copy the file the link leads to"};
  }
  return {};
}

// How a model file went missing, when the cache shows it: the hub's download not finished, the
// snapshot copied without the blobs its links lead to, or a copy that left the links out. What it
// is, and what to do; empty when the cache shows nothing of it.
std::pair<std::string, std::string> howItWentMissing(const std::string& model,
                                                     const FileFacts& facts,
                                                     const platform::Files& files) {
  std::string blobs = pack::appendingPathComponent(model, "blobs");
  std::vector<std::string> downloading;
  size_t blobFiles = 0;
  for (const auto& name : files.namesIn(blobs)) {
    if (name.ends_with(".incomplete")) {
      downloading.push_back("blobs/" + name);
    } else if (files.inspect(pack::appendingPathComponent(blobs, name)).kind == Kind::Regular) {
      ++blobFiles;
    }
  }
  if (!downloading.empty()) {
    return {"the hub's download has not finished (" + firstFew(downloading, 2) + ")",
            "let the download finish (run it again if it stopped), then copy the cache"};
  }
  bool intoBlobs = facts.linkTarget.find("blobs/") != std::string::npos;
  if (facts.kind == Kind::DanglingLink && intoBlobs &&
      files.inspect(blobs).kind != Kind::Directory) {
    return {
        "there is no blobs/ folder: only the snapshot was copied, not the blobs its links "
        "lead to",
        "copy the whole " + modelFolderName() +
            " folder with cp -a, or the snapshot's files with cp -L (which copies what the "
            "links lead to)"};
  }
  if (facts.kind == Kind::Missing && blobFiles > 0) {
    return {"blobs/ holds " + counted(blobFiles, "file") +
                ": the copy left out the snapshot's links (rsync -r without -l does)",
            "copy the cache with its links kept (cp -a, rsync -a)"};
  }
  return {};
}

// The snapshots that hold every required file: what refs/main could name.
std::vector<std::string> completeSnapshots(const std::string& model, const platform::Files& files) {
  std::vector<std::string> complete;
  std::string snapshots = pack::appendingPathComponent(model, "snapshots");
  for (const auto& name : files.namesIn(snapshots)) {
    bool all = true;
    for (std::string_view file : requiredWeightFiles) {
      all = all && files.fileExists(pack::appendingPathComponent(
                       pack::appendingPathComponent(snapshots, name), file));
    }
    if (all) {
      complete.push_back(name);
    }
  }
  return complete;
}

std::string nameItFix(const std::vector<std::string>& complete, const std::string& otherwise) {
  if (complete.empty()) {
    return otherwise;
  }
  return "snapshots/" + complete.front() + " holds both files: write its name into refs/main " +
         "(printf '%s' " + complete.front() + " > refs/main)";
}

// ---- Where the model's folder is, when it is not where it is looked for ----

struct Found {
  std::string modelFolder;  // a folder with the hub's name for the model
  std::string plainFolder;  // facebook/audiobox-aesthetics, the repository's own name
};

// Looks below the quality folder, outside the runtime, for the model's folder under either name.
Found searchForTheModel(const pack::PackPaths& paths, const platform::Files& files) {
  Found found;
  std::vector<std::pair<std::string, int>> folders{{paths.qualityDir, 0}};
  size_t looked = 0;
  for (size_t next = 0; next < folders.size() && looked < searchEntries; ++next) {
    auto [folder, depth] = folders[next];
    for (const auto& name : files.namesIn(folder)) {
      std::string path = pack::appendingPathComponent(folder, name);
      if (++looked > searchEntries || (depth == 0 && name == "python")) {
        continue;
      }
      if (files.inspect(path).kind != Kind::Directory) {
        continue;
      }
      if (name == modelFolderName() && found.modelFolder.empty()) {
        found.modelFolder = path;
      } else if (name == "audiobox-aesthetics" && folder.size() >= 9 &&
                 folder.compare(folder.size() - 9, 9, "/facebook") == 0 &&
                 found.plainFolder.empty()) {
        found.plainFolder = path;
      } else if (depth + 1 < searchDepth) {
        folders.emplace_back(path, depth + 1);
      }
    }
  }
  return found;
}

// What to do about a model folder found elsewhere: move the cache it belongs to, or the folder.
std::string moveFix(const pack::PackPaths& paths, const std::string& found) {
  std::string hub = pack::deletingLastPathComponent(found);
  if (hub.size() > 4 && hub.compare(hub.size() - 4, 4, "/hub") == 0) {
    std::string cache = pack::deletingLastPathComponent(hub);
    if (cache != paths.qualityDir) {
      bool besideIt = pack::deletingLastPathComponent(cache) == paths.qualityDir;
      return std::string(besideIt ? "rename " : "move ") + relativeToQuality(paths, cache) +
             " to quality/hf-cache";
    }
  }
  return "move it to quality/hf-cache/hub/" + modelFolderName();
}

std::string whereTheModelIsNot(const pack::PackPaths& paths, const platform::Files& files,
                               std::string& fix) {
  Found found = searchForTheModel(paths, files);
  if (!found.modelFolder.empty()) {
    fix = moveFix(paths, found.modelFolder);
    return "it is at " + relativeToQuality(paths, found.modelFolder);
  }
  if (!found.plainFolder.empty()) {
    fix = "the hub's cache names it " + modelFolderName() +
          ", with refs/main and snapshots/<revision>/ inside: lay " +
          relativeToQuality(paths, found.plainFolder) + " out so, at quality/hf-cache/hub/" +
          modelFolderName();
    return "there is " + relativeToQuality(paths, found.plainFolder) +
           ", the repository's own name";
  }
  fix = cacheFix();
  if (files.inspect(paths.hfCacheDir).kind != Kind::Directory) {
    return "there is no hf-cache folder; quality holds " + listed(files.namesIn(paths.qualityDir));
  }
  std::string hub = pack::appendingPathComponent(paths.hfCacheDir, "hub");
  if (files.inspect(hub).kind != Kind::Directory) {
    return "there is no hf-cache/hub folder; hf-cache holds " +
           listed(files.namesIn(paths.hfCacheDir));
  }
  return "hub holds " + listed(files.namesIn(hub));
}

// ---- refs/main ----

// The revision refs/main names, or none after a problem is told.
std::optional<std::string> explainRefsMain(const pack::PackPaths& paths,
                                           const platform::Files& files,
                                           std::vector<Finding>& out) {
  std::string model = modelCacheDir(paths);
  std::string refs = pack::appendingPathComponent(model, "refs/main");
  auto revision = snapshotRevision(paths, files);
  if (!revision) {
    FileFacts facts = files.inspect(refs);
    std::string why = whatIsThere(facts);
    if (why.empty()) {
      why = facts.size > platform::maxReadableFileBytes ? "larger than 1 MiB" : "not UTF-8 text";
    }
    out.push_back(problem(
        "weights",
        why == "permission denied" ? "refs/main can't be read: " + why : "refs/main is " + why,
        refs,
        why == "permission denied" ? permissionFix
                                   : nameItFix(completeSnapshots(model, files), cacheFix())));
    return std::nullopt;
  }
  // The hub's own offline lookup reads the file as it stands and looks for a snapshot named with
  // the line break in it; the check's trimmed name finds the folder all the same.
  std::string text = files.readFile(refs).value_or("");
  if (!text.empty() && (text.back() == '\n' || text.back() == '\r')) {
    out.push_back(problem("weights",
                          "refs/main ends in a line break: the hub's offline lookup reads it "
                          "untrimmed and finds no snapshot of that name",
                          refs, "write it without one: printf '%s' " + *revision + " > refs/main"));
  }
  out.push_back(ok("weights", "refs/main names " + inQuotes(*revision), refs));
  return revision;
}

}  // namespace

namespace explain_parts {

void explainWeights(const pack::PackPaths& paths, const platform::Files& files,
                    std::vector<Finding>& out) {
  std::string model = modelCacheDir(paths);
  FileFacts modelFacts = files.inspect(model);
  if (permissionDenied(modelFacts)) {
    out.push_back(problem("weights", "the model folder: permission denied", model, permissionFix));
    return;
  }
  if (modelFacts.kind != Kind::Directory) {
    std::string fix;
    std::string where = whereTheModelIsNot(paths, files, fix);
    out.push_back(problem("weights", "no model folder (" + where + ")", model, fix));
    return;
  }
  auto revision = explainRefsMain(paths, files, out);
  if (!revision) {
    return;
  }
  std::string snapshot = snapshotDir(paths, *revision);
  FileFacts snapshotFacts = files.inspect(snapshot);
  if (snapshotFacts.kind != Kind::Directory || permissionDenied(snapshotFacts)) {
    std::string why =
        permissionDenied(snapshotFacts)
            ? "snapshot " + inQuotes(*revision) + ": permission denied"
            : "no snapshot " + inQuotes(*revision) + " (snapshots holds " +
                  listed(files.namesIn(pack::appendingPathComponent(model, "snapshots"))) + ")";
    out.push_back(
        problem("weights", why, snapshot,
                permissionDenied(snapshotFacts)
                    ? permissionFix
                    : nameItFix(completeSnapshots(model, files),
                                "make refs/main name the snapshot that holds the model's files")));
    return;
  }
  for (std::string_view name : requiredWeightFiles) {
    std::string path = pack::appendingPathComponent(snapshot, name);
    FileFacts facts = files.inspect(path);
    std::string why = whatIsThere(facts);
    std::string fix = why == "permission denied"
                          ? permissionFix
                          : "copy the model's " + std::string(name) + " into the snapshot";
    if (why.empty()) {
      auto [what, standInFix] = standIn(path, facts, files);
      why = what;
      fix = standInFix;
    }
    bool gone = why == "missing" || why.starts_with("a link to nothing");
    auto [lost, lostFix] =
        gone ? howItWentMissing(model, facts, files) : std::pair<std::string, std::string>{};
    if (why.empty()) {
      out.push_back(
          ok("weights", std::string(name) + ": " + std::to_string(facts.size) + " bytes", path));
    } else if (!lost.empty()) {
      out.push_back(
          problem("weights", std::string(name) + ": " + why + "; " + lost, path, lostFix));
    } else {
      if (why == "missing") {
        fix = nameItFix(completeSnapshots(model, files), fix);
      }
      out.push_back(problem("weights", std::string(name) + ": " + why, path, fix));
    }
  }
}

}  // namespace explain_parts
}  // namespace check
