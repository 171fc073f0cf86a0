#pragma once

#include <optional>
#include <string>
#include <vector>

#include "check/probe.h"
#include "check/report.h"
#include "pack/pack_paths.h"
#include "platform/child_process.h"
#include "platform/files.h"

namespace check {

// A check that explains itself, for the person who makes a pack: what each part of the verdict
// rests on, the path it is about and, where there is one, the fix. It explains the verdict and
// never changes it.

enum class Severity { Ok, Note, Problem };

struct Finding {
  Severity severity = Severity::Ok;
  std::string subject;  // what it is about: "Info.plist", "interpreter", "weights", ...
  std::string text;
  std::string path;     // the path it is about; may be empty
  std::string fix;      // what to do about it; empty when there is nothing to do
  std::string details;  // further lines, shown indented below it (the end of standard error)
};

// Where the pack's interpreter takes its standard library and torch from, as it says itself.
struct RuntimePlace {
  std::string standardLibrary;
  std::string torch;  // empty when torch is not found
};

// Asks the interpreter where its standard library and torch lie: a second, short run, made only
// when an explanation is asked for. None when it does not say.
std::optional<RuntimePlace> askWhereTheRuntimeLies(const pack::PackPaths& paths,
                                                   platform::ChildProcesses& children);

// Everything the explanation looks at, gathered by the check.
struct CheckStory {
  const pack::Pack& pack;
  const ProbeRun& probe;
  const CheckFacts& facts;
  std::optional<RuntimePlace> runtime;
};

std::vector<Finding> explainCheck(const CheckStory& story, const platform::Files& files);

// The findings as lines of text, one finding a line.
std::string explanationText(const std::vector<Finding>& findings);

// At most `limit` bytes of `bytes`, as printable text: control characters (line feeds too, unless
// kept) are escaped, what is not UTF-8 is replaced, and a cut is marked.
std::string printable(std::string_view bytes, size_t limit, bool keepLineFeeds = false);

}  // namespace check
