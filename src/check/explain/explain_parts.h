#pragma once

// What the parts of the explanation share; for src/check/explain*.cpp only.

#include <string>
#include <vector>

#include "check/explain/explain.h"

namespace check::explain_parts {

// Enough of a line to recognise it by, not a dump.
inline constexpr size_t shownLineBytes = 200;
// A line the interpreter wrote that is worth showing whole, within reason.
inline constexpr size_t wholeLineBytes = 4096;

inline constexpr const char* runtimeFix =
    "put a self-contained Python runtime with torch into Resources/quality/python, its "
    "interpreter at bin/python3 (scripts/make-runtime makes one on Linux)";

Finding ok(std::string subject, std::string text, std::string path = "");
Finding note(std::string subject, std::string text, std::string path = "", std::string fix = "");
Finding problem(std::string subject, std::string text, std::string path = "", std::string fix = "");

// `text` in double quotes, printable and cut to a line's worth.
std::string inQuotes(const std::string& text);
// The names joined by commas; "nothing" when there are none.
std::string listed(const std::vector<std::string>& names);
// The first `shown` names, and how many more there are.
std::string firstFew(const std::vector<std::string>& names, size_t shown);
// "1 thing", "2 things"; "1 library", "2 libraries" with the plural given.
std::string counted(size_t count, const std::string& thing, const std::string& things = "");

bool isInside(const std::string& path, const std::string& folder);
// The bundle's own folder with every link resolved: what "inside the bundle" means.
std::string bundleFolder(const pack::PackPaths& paths, const platform::Files& files);
// The folders the interpreter looks for modules in that lie outside the bundle, its standard
// library's aside (told of on its own), as printable text.
std::vector<std::string> searchPathOutside(const RuntimePlace& runtime, const std::string& bundle,
                                           const platform::Files& files);
// Whether a problem is already told about `path`, so that it is not counted twice.
bool alreadyNamed(const std::vector<Finding>& findings, const std::string& path);

// The interpreter's file, its run and its answer.
void explainInterpreter(const CheckStory& story, const platform::Files& files,
                        std::vector<Finding>& out);
// The model's files as the host's loader will meet them.
void explainWeights(const pack::PackPaths& paths, const platform::Files& files,
                    std::vector<Finding>& out);
// What the pack takes from outside its bundle, and so will not find on another machine.
void explainPortability(const CheckStory& story, const platform::Files& files,
                        std::vector<Finding>& out);

}  // namespace check::explain_parts
