#include "check/explain/explain.h"

#include "check/explain/explain_parts.h"
#include "check/utf8.h"
#include "pack/bundle_info.h"

namespace check {

namespace explain_parts {

Finding ok(std::string subject, std::string text, std::string path) {
  return {Severity::Ok, std::move(subject), std::move(text), std::move(path), "", ""};
}

Finding note(std::string subject, std::string text, std::string path, std::string fix) {
  return {Severity::Note, std::move(subject), std::move(text), std::move(path), std::move(fix), ""};
}

Finding problem(std::string subject, std::string text, std::string path, std::string fix) {
  return {Severity::Problem, std::move(subject), std::move(text),
          std::move(path),   std::move(fix),     ""};
}

std::string inQuotes(const std::string& text) {
  return "\"" + printable(text, shownLineBytes) + "\"";
}

std::string listed(const std::vector<std::string>& names) {
  std::string text;
  for (const auto& name : names) {
    text += (text.empty() ? "" : ", ") + name;
  }
  return text.empty() ? "nothing" : text;
}

std::string firstFew(const std::vector<std::string>& names, size_t shown) {
  if (names.size() <= shown) {
    return listed(names);
  }
  std::vector<std::string> first(names.begin(), names.begin() + static_cast<long>(shown));
  return listed(first) + " and " + std::to_string(names.size() - shown) + " more";
}

std::string counted(size_t count, const std::string& thing, const std::string& things) {
  return std::to_string(count) + " " + (count == 1 ? thing : things.empty() ? thing + "s" : things);
}

bool isInside(const std::string& path, const std::string& folder) {
  return !folder.empty() && (path == folder || path.starts_with(folder + "/"));
}

std::string bundleFolder(const pack::PackPaths& paths, const platform::Files& files) {
  return files
      .inspect(
          pack::deletingLastPathComponent(pack::deletingLastPathComponent(paths.resourcesRoot)))
      .realPath;
}

std::vector<std::string> searchPathOutside(const RuntimePlace& runtime, const std::string& bundle,
                                           const platform::Files& files) {
  std::string standardLibrary = files.inspect(runtime.standardLibrary).realPath;
  std::vector<std::string> outside;
  for (const auto& entry : runtime.searchPath) {
    std::string real = files.inspect(entry).realPath;
    if (!real.empty() && !isInside(real, bundle) && !isInside(real, standardLibrary)) {
      outside.push_back(printable(entry, wholeLineBytes));
    }
  }
  return outside;
}

bool alreadyNamed(const std::vector<Finding>& findings, const std::string& path) {
  for (const auto& finding : findings) {
    if (finding.severity == Severity::Problem && finding.path == path) {
      return true;
    }
  }
  return false;
}

}  // namespace explain_parts

namespace {

using namespace explain_parts;

constexpr const char* versionKey = "CFBundleShortVersionString";
constexpr const char* formatKey = "RuvizuvePackFormat";

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

// Whether the Info.plist was looked for and not read: then none of its values are known, and a
// value that is not there is not the key's fault.
bool infoPlistUnread(const platform::MainBundle& bundle) {
  platform::InfoReport report = bundle.infoReport();
  return !report.infoPlist.empty() && !report.infoPlistProblem.empty();
}

const char* unreadDefault = "Info.plist could not be read (above), so none of its values were";

std::string infoPlistFix(const platform::InfoReport& report) {
  const std::string& problem = report.infoPlistProblem;
  if (report.infoPlistProblemLine > 0) {
    return "mend it at line " + std::to_string(report.infoPlistProblemLine) + ", column " +
           std::to_string(report.infoPlistProblemColumn) +
           ": until it reads, the version and the format are the defaults";
  }
  if (problem.find("case-sensitive") != std::string::npos) {
    return "rename it Info.plist";
  }
  if (problem.find("permission denied") != std::string::npos) {
    return "make it, and every folder above it, readable by every user (chmod a+r, a+rx for "
           "folders): the host may run as another user";
  }
  if (problem.starts_with("missing")) {
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
                          infoPlistFix(report)));
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
    out.push_back(
        note("version", inQuotes(version) + ", the default: " +
                            (infoPlistUnread(bundle) ? std::string(unreadDefault)
                                                     : "there is no " + std::string(versionKey))));
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
  if (!value && infoPlistUnread(bundle)) {
    // The Info.plist's own problem is the one to mend; the key may well be in it.
    out.push_back(note("format", shown + ", the default: " + unreadDefault));
  } else if (!value) {
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

// ---- Who may read the pack ----

// A pack holds some tens of thousands of files; the walk stops well beyond that.
constexpr size_t accessWalkEntries = 500000;
constexpr size_t closedNamed = 5;

// What only its owner may read works when the check runs as the owner, or as root, and fails for
// the user the host runs as when that is another.
void explainAccess(const pack::PackPaths& paths, const platform::Files& files,
                   std::vector<Finding>& out) {
  std::string bundle = bundleFolder(paths, files);
  if (bundle.empty()) {
    return;
  }
  std::vector<std::string> closed;
  for (const auto& path : files.linksUnder(bundle, accessWalkEntries).closed) {
    if (!alreadyNamed(out, path)) {
      closed.push_back(path == bundle ? "the bundle itself" : path.substr(bundle.size() + 1));
    }
  }
  if (closed.empty()) {
    return;
  }
  out.push_back(
      problem("permissions",
              counted(closed.size(), "file or folder", "files or folders") +
                  " only their owner and group can read: " + firstFew(closed, closedNamed) +
                  "; it works for its owner and root, and fails for the other users "
                  "the host may run as",
              bundle,
              "chmod -R a+rX on the bundle (X lets everyone enter its folders and run what its "
              "owner may)"));
}

// ---- The verdict ----

void explainVerdict(const CheckFacts& facts, const platform::MainBundle& bundle,
                    std::vector<Finding>& out) {
  size_t problems = 0;
  for (const auto& finding : out) {
    problems += finding.severity == Severity::Problem ? 1 : 0;
  }
  if (isUsable(facts)) {
    // The host judges by what exists; the user's machine meets everything listed above as well.
    out.push_back(problems == 0 ? ok("verdict", "usable")
                                : problem("verdict", "the host will count it usable, but " +
                                                         counted(problems, "problem") +
                                                         " above will break it for the user"));
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
    why += std::string(why.empty() ? "" : "; ") +
           (infoPlistUnread(bundle) && !bundle.infoValue(formatKey)
                ? "Info.plist could not be read, so there is no format"
                : "the format is " + std::to_string(facts.packFormat) + ", not 1");
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

std::vector<Finding> explainCheck(const CheckStory& story, const platform::Files& files) {
  std::vector<Finding> findings;
  const platform::MainBundle& bundle = *story.pack.mainBundle;
  explainInfoPlist(bundle, findings);
  explainVersion(bundle, findings);
  explainFormat(bundle, findings);
  explainInterpreter(story, files, findings);
  explainWeights(story.pack.paths, files, findings);
  explainPortability(story, files, findings);
  explainAccess(story.pack.paths, files, findings);
  explainVerdict(story.facts, bundle, findings);
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
