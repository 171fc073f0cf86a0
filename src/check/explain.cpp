#include "check/explain.h"

#include <signal.h>

#include <cstring>

#include "check/utf8.h"
#include "check/weights.h"
#include "pack/bundle_info.h"
#include "platform/json.h"

namespace check {
namespace {

using platform::FileFacts;
using Kind = FileFacts::Kind;

constexpr const char* versionKey = "CFBundleShortVersionString";
constexpr const char* formatKey = "RuvizuvePackFormat";
// Enough of a line to recognise it by, not a dump.
constexpr size_t shownLineBytes = 200;

// Asks the runtime where it lives; it prints one JSON object.
constexpr const char* whereScript =
    "import importlib.util, json, os\n"
    "found = importlib.util.find_spec('torch')\n"
    "print(json.dumps({'stdlib': os.path.dirname(os.__file__),\n"
    "                  'torch': found.origin if found and found.origin else ''}))";

Finding ok(std::string subject, std::string text, std::string path = "") {
  return {Severity::Ok, std::move(subject), std::move(text), std::move(path), "", ""};
}

Finding note(std::string subject, std::string text, std::string path = "", std::string fix = "") {
  return {Severity::Note, std::move(subject), std::move(text), std::move(path), std::move(fix), ""};
}

Finding problem(std::string subject, std::string text, std::string path = "",
                std::string fix = "") {
  return {Severity::Problem, std::move(subject), std::move(text),
          std::move(path),   std::move(fix),     ""};
}

std::string inQuotes(const std::string& text) {
  return "\"" + printable(text, shownLineBytes) + "\"";
}

std::string kindName(platform::InfoValue::Kind kind) {
  switch (kind) {
    case platform::InfoValue::Kind::String:
      return "a string";
    case platform::InfoValue::Kind::Integer:
      return "an integer";
    case platform::InfoValue::Kind::Real:
      return "a real number";
    case platform::InfoValue::Kind::Boolean:
      return "a Boolean";
    case platform::InfoValue::Kind::Other:
      break;
  }
  return "neither a string nor a number";
}

// Where a value of the Info dictionary came from.
std::string sourceOf(const platform::InfoValue& value) {
  return value.localization.empty() ? "Info.plist"
                                    : value.localization + ".lproj/InfoPlist.strings";
}

// ---- Info.plist ----

std::string infoPlistFix(const std::string& problem) {
  if (problem.find("case-sensitive") != std::string::npos) {
    return "rename it Info.plist";
  }
  if (problem.rfind("missing", 0) == 0) {
    return "lay the bundle out with cmake --install, which writes Contents/Info.plist";
  }
  if (problem.find("regular file") != std::string::npos ||
      problem.find("1 MiB") != std::string::npos || problem.find("link") != std::string::npos ||
      problem.find("read") != std::string::npos) {
    return "make it a readable regular file of at most 1 MiB";
  }
  return "write it as an XML or binary property list whose root is a dictionary";
}

void explainInfoPlist(const platform::MainBundle& bundle, std::vector<Finding>& out) {
  platform::InfoReport report = bundle.infoReport();
  if (report.infoPlist.empty()) {
    out.push_back(note("Info.plist", "the executable is not inside a bundle, so none is read",
                       bundle.executableLocation(),
                       "start it from Contents/MacOS inside the pack's bundle"));
  } else if (!report.infoPlistProblem.empty()) {
    out.push_back(problem("Info.plist", "not read: " + report.infoPlistProblem, report.infoPlist,
                          infoPlistFix(report.infoPlistProblem)));
  } else {
    out.push_back(ok("Info.plist", "read", report.infoPlist));
  }
  if (!report.strings.empty() && !report.stringsProblem.empty()) {
    out.push_back(problem("localized values", "not read: " + report.stringsProblem, report.strings,
                          "write it as UTF-16 or UTF-8 \"key\" = \"value\"; lines, or remove it"));
  } else if (!report.strings.empty()) {
    out.push_back(note("localized values", "read", report.strings));
  }
}

void explainVersion(const platform::MainBundle& bundle, std::vector<Finding>& out) {
  std::string version = pack::packVersion(bundle);
  auto value = bundle.infoValue(versionKey);
  if (!value) {
    out.push_back(note(
        "version", inQuotes(version) + ", the default: there is no " + std::string(versionKey)));
  } else if (value->kind != platform::InfoValue::Kind::String) {
    out.push_back(problem("version",
                          inQuotes(version) + ", the default: " + versionKey + " in " +
                              sourceOf(*value) + " is " + kindName(value->kind) + ", not a string",
                          "", "write it as <string>1.2.0</string>"));
  } else {
    out.push_back(ok("version", inQuotes(version) + " from " + sourceOf(*value)));
  }
}

void explainFormat(const platform::MainBundle& bundle, std::vector<Finding>& out) {
  std::int64_t format = pack::packFormat(bundle);
  auto value = bundle.infoValue(formatKey);
  const std::string fix =
      "give it as <key>" + std::string(formatKey) + "</key><integer>1</integer>";
  std::string shown = std::to_string(format);
  if (!value) {
    out.push_back(problem("format", shown + ", the default: there is no " + formatKey, "", fix));
  } else if (format == 0 && value->kind != platform::InfoValue::Kind::Integer) {
    out.push_back(problem("format",
                          shown + ", the default: " + formatKey + " in " + sourceOf(*value) +
                              " is " + kindName(value->kind) + ", not an integer",
                          "", fix));
  } else if (format != 1) {
    out.push_back(problem("format",
                          shown + " from " + sourceOf(*value) + ": only format 1 is usable", "",
                          "build a pack of format 1"));
  } else {
    out.push_back(ok("format", shown + " from " + sourceOf(*value)));
  }
}

// ---- The interpreter ----

std::string signalName(int signal) {
  const char* name = ::strsignal(signal);
  return "signal " + std::to_string(signal) + (name ? std::string(" (") + name + ")" : "");
}

constexpr const char* runtimeFix =
    "put a relocatable Python runtime with torch into Resources/quality/python, its interpreter "
    "at bin/python3";

bool explainInterpreterFile(const pack::PackPaths& paths, const platform::Files& files,
                            std::vector<Finding>& out) {
  const std::string& path = paths.pythonExecutable;
  FileFacts facts = files.inspect(path);
  switch (facts.kind) {
    case Kind::Missing:
      out.push_back(problem("interpreter", "not found", path, runtimeFix));
      return false;
    case Kind::DanglingLink:
      out.push_back(problem("interpreter", "a link to nothing", path, runtimeFix));
      return false;
    case Kind::Directory:
    case Kind::Other:
      out.push_back(problem("interpreter", "not a regular file", path, runtimeFix));
      return false;
    case Kind::Regular:
      break;
  }
  if (!files.isExecutableFile(path)) {
    out.push_back(problem("interpreter", "not executable", path, "chmod +x '" + path + "'"));
    return false;
  }
  out.push_back(ok("interpreter",
                   facts.isLink || facts.realPath != path ? "leads to " + facts.realPath : "found",
                   path));
  return true;
}

std::string startFix(int error) {
  switch (error) {
    case ENOEXEC:
      return "a script needs a first line such as #!/bin/sh naming what runs it";
    case ENOENT:
      return "the program its #! line names, or the loader it was built for, is missing";
    case EACCES:
      return "make it, and every folder above it, executable for the user the host runs as";
    default:
      return "";
  }
}

void explainRun(const ProbeRun& probe, std::vector<Finding>& out) {
  const platform::ChildRun& run = probe.child;
  if (run.outcome == platform::ChildOutcome::NotStarted) {
    std::string why = run.startError ? std::strerror(run.startError) : "no reason given";
    out.push_back(
        problem("interpreter", "could not be started: " + why, "", startFix(run.startError)));
    return;
  }
  if (run.couldNotWait) {
    out.push_back(problem("interpreter",
                          "could not wait for it: the system gave no timer to bound the wait, so "
                          "it was ended at once",
                          "", "look at the limits the host runs under (ulimit -a)"));
    return;
  }
  if (run.reachedRunLimit) {
    out.push_back(problem("interpreter", "killed at the 120 s limit: it gave no answer in time", "",
                          "run it by hand to see where it hangs"));
  } else if (run.exitSignal != 0) {
    out.push_back(problem("interpreter", "ended by " + signalName(run.exitSignal)));
  } else if (run.exitStatus && *run.exitStatus != 0) {
    out.push_back(note("interpreter", "exited with status " + std::to_string(*run.exitStatus)));
  }
  if (run.outputCut) {
    out.push_back(note("interpreter",
                       "a process it left behind held its output open: it was given 2 s, then "
                       "ended"));
  }
}

void explainAnswer(const ProbeRun& probe, std::vector<Finding>& out) {
  if (!probe.executable || probe.child.outcome == platform::ChildOutcome::NotStarted) {
    return;
  }
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
  } else if (torch == answer.end() || !torch->second.is_string()) {
    auto error = answer.find("error");
    std::string why =
        error == answer.end() ? "no torch version" : "torch failed: " + error->second.dump();
    out.push_back(problem("answer", why, "", "install torch into the pack's runtime"));
  } else {
    auto version = answer.find("python_version");
    out.push_back(
        ok("answer", "Python " +
                         (version == answer.end() ? std::string("?") : version->second.dump()) +
                         ", torch " + torch->second.dump()));
  }
}

// ---- The weights ----

std::string fileFinding(const FileFacts& facts) {
  switch (facts.kind) {
    case Kind::Missing:
      return "missing";
    case Kind::DanglingLink:
      return "a link to nothing";
    case Kind::Directory:
      return "a folder, not a file";
    case Kind::Other:
      return "not a regular file";
    case Kind::Regular:
      break;
  }
  return facts.size == 0 ? "empty" : std::to_string(facts.size) + " bytes";
}

std::string listed(const std::vector<std::string>& names) {
  std::string text;
  for (const auto& name : names) {
    text += (text.empty() ? "" : ", ") + name;
  }
  return text.empty() ? "nothing" : text;
}

// Why the model's folder is not where it is looked for, as far as its neighbours tell.
std::string whereTheModelIsNot(const pack::PackPaths& paths, const platform::Files& files) {
  if (files.inspect(paths.hfCacheDir).kind == Kind::Missing) {
    for (const auto& name : files.namesIn(paths.qualityDir)) {
      if (name != "hf-cache" && name.find("cache") != std::string::npos) {
        return "there is no hf-cache, but there is " + name + ": the folder must be named hf-cache";
      }
    }
    return "there is no hf-cache folder";
  }
  std::string model(pack::modelRepoFolder);
  if (files.inspect(pack::appendingPathComponent(paths.hfCacheDir, model)).kind != Kind::Missing) {
    return "the model's folder must be inside hf-cache/hub, not hf-cache";
  }
  std::vector<std::string> models;
  for (const auto& name : files.namesIn(pack::appendingPathComponent(paths.hfCacheDir, "hub"))) {
    if (name.rfind("models--", 0) == 0) {
      models.push_back(name);
    }
  }
  return "hub holds " + listed(models);
}

std::string cacheFix() {
  return "fill the cache as the hub's own tools do: hub/" + std::string(pack::modelRepoFolder) +
         "/refs/main naming a folder in snapshots/ that holds " +
         std::string(requiredWeightFiles[0]) + " and " + std::string(requiredWeightFiles[1]);
}

void explainWeights(const pack::PackPaths& paths, const platform::Files& files,
                    std::vector<Finding>& out) {
  std::string model = modelCacheDir(paths);
  if (files.inspect(model).kind != Kind::Directory) {
    out.push_back(problem("weights", "no model folder (" + whereTheModelIsNot(paths, files) + ")",
                          model, cacheFix()));
    return;
  }
  std::string refs = pack::appendingPathComponent(model, "refs/main");
  auto revision = snapshotRevision(paths, files);
  if (!revision) {
    FileFacts facts = files.inspect(refs);
    std::string why = facts.kind == Kind::Regular && facts.size <= platform::maxReadableFileBytes
                          ? "is not UTF-8 text"
                          : "is " + fileFinding(facts);
    out.push_back(problem("weights", "refs/main " + why, refs, cacheFix()));
    return;
  }
  out.push_back(ok("weights", "refs/main names " + inQuotes(*revision), refs));
  std::string snapshot = snapshotDir(paths, *revision);
  if (files.inspect(snapshot).kind != Kind::Directory) {
    out.push_back(
        problem("weights",
                "no snapshot " + inQuotes(*revision) + " (snapshots holds " +
                    listed(files.namesIn(pack::appendingPathComponent(model, "snapshots"))) + ")",
                snapshot, "make refs/main name the snapshot that holds the model's files"));
    return;
  }
  for (std::string_view name : requiredWeightFiles) {
    std::string path = pack::appendingPathComponent(snapshot, name);
    FileFacts facts = files.inspect(path);
    std::string finding = std::string(name) + ": " + fileFinding(facts);
    if (facts.kind == Kind::Regular && facts.size > 0) {
      out.push_back(ok("weights", finding, path));
    } else {
      out.push_back(problem("weights", finding, path,
                            "copy the model's " + std::string(name) + " into the snapshot"));
    }
  }
}

// ---- Portability ----

bool isInside(const std::string& path, const std::string& folder) {
  return !folder.empty() && (path == folder || path.rfind(folder + "/", 0) == 0);
}

void explainPortability(const pack::PackPaths& paths, const platform::Files& files,
                        const std::optional<RuntimePlace>& runtime, std::vector<Finding>& out) {
  std::string bundle = files
                           .inspect(pack::deletingLastPathComponent(
                               pack::deletingLastPathComponent(paths.resourcesRoot)))
                           .realPath;
  const std::string fix =
      "copy what it leads to into the bundle: the pack runs on machines that "
      "don't have it";
  size_t before = out.size();
  std::string python = pack::appendingPathComponent(paths.qualityDir, "python");
  for (const std::string& path :
       {paths.qualityDir, python, pack::appendingPathComponent(python, "bin"),
        paths.pythonExecutable, paths.hfCacheDir,
        pack::appendingPathComponent(paths.hfCacheDir, "hub"), modelCacheDir(paths)}) {
    FileFacts facts = files.inspect(path);
    if (facts.isLink && !facts.realPath.empty() && !isInside(facts.realPath, bundle)) {
      out.push_back(
          problem("portability", "leads outside the bundle, to " + facts.realPath, path, fix));
    }
  }
  if (runtime) {
    for (const auto& [what, where] :
         {std::pair<std::string, std::string>{"its standard library", runtime->standardLibrary},
          {"torch", runtime->torch}}) {
      std::string real = files.inspect(where).realPath;
      if (!real.empty() && !isInside(real, bundle)) {
        out.push_back(problem(
            "portability", "the interpreter takes " + what + " from outside the bundle", real,
            std::string(runtimeFix) + " (a copy of a system's python3 still uses the system's "
                                      "library)"));
      }
    }
  }
  if (out.size() == before) {
    out.push_back(ok("portability", "nothing leads outside the bundle"));
  }
}

// ---- The verdict ----

void explainVerdict(const CheckFacts& facts, std::vector<Finding>& out) {
  if (isUsable(facts)) {
    out.push_back(ok("verdict", "usable"));
    return;
  }
  std::string why;
  auto torch = facts.probe.find("torch");
  if (torch == facts.probe.end() || !torch->second.is_string()) {
    why += "no torch version from the interpreter";
  }
  if (!facts.weights) {
    why += std::string(why.empty() ? "" : "; ") + "the model's files are missing";
  }
  if (facts.packFormat != 1) {
    why += std::string(why.empty() ? "" : "; ") + "the format is not 1";
  }
  out.push_back(problem("verdict", "not usable: " + why));
}

const char* severityWord(Severity severity) {
  switch (severity) {
    case Severity::Ok:
      return "ok     ";
    case Severity::Note:
      return "note   ";
    case Severity::Problem:
      return "problem";
  }
  return "";
}

}  // namespace

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
        if (output.size() < (1 << 16)) {
          output.append(chunk);
        }
      },
      {.runLimit = std::chrono::seconds(30), .drainAfterExit = std::chrono::seconds(1)});
  auto answer = platform::parseJson(output);
  if (run.outcome != platform::ChildOutcome::Exited || !answer || !answer->is_object() ||
      !answer->value("stdlib", platform::Json()).is_string() ||
      !answer->value("torch", platform::Json()).is_string()) {
    return std::nullopt;
  }
  return RuntimePlace{(*answer)["stdlib"].get<std::string>(),
                      (*answer)["torch"].get<std::string>()};
}

std::vector<Finding> explainCheck(const CheckStory& story, const platform::Files& files) {
  std::vector<Finding> findings;
  const platform::MainBundle& bundle = *story.pack.mainBundle;
  explainInfoPlist(bundle, findings);
  explainVersion(bundle, findings);
  explainFormat(bundle, findings);
  if (explainInterpreterFile(story.pack.paths, files, findings)) {
    explainRun(story.probe, findings);
    explainAnswer(story.probe, findings);
  }
  explainWeights(story.pack.paths, files, findings);
  explainPortability(story.pack.paths, files, story.runtime, findings);
  explainVerdict(story.facts, findings);
  return findings;
}

std::string explanationText(const std::vector<Finding>& findings) {
  std::string text;
  for (const auto& f : findings) {
    text += std::string(severityWord(f.severity)) + " " + f.subject + ": " + f.text;
    if (!f.path.empty()) {
      text += ": " + f.path;
    }
    if (!f.fix.empty()) {
      text += "; fix: " + f.fix;
    }
    text += "\n";
    size_t at = 0;
    while (at < f.details.size()) {
      size_t end = f.details.find('\n', at);
      end = end == std::string::npos ? f.details.size() : end;
      text += "        | " + f.details.substr(at, end - at) + "\n";
      at = end + 1;
    }
  }
  return text;
}

std::string printable(std::string_view bytes, size_t limit, bool keepLineFeeds) {
  bool cut = bytes.size() > limit;
  std::string repaired = repairUtf8(bytes.substr(0, limit));
  std::string text;
  for (char c : repaired) {
    auto byte = static_cast<unsigned char>(c);
    if (c == '\n' && keepLineFeeds) {
      text += c;
    } else if (byte < 0x20 || byte == 0x7F) {
      static const char hex[] = "0123456789abcdef";
      text += "\\x";
      text += hex[byte >> 4];
      text += hex[byte & 0x0F];
    } else {
      text += c;
    }
  }
  return cut ? text + "..." : text;
}

}  // namespace check
