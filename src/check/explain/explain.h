#pragma once

#include <optional>
#include <string>
#include <string_view>
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

// Where the pack's interpreter takes its standard library, torch and their shared libraries from,
// as it says itself.
struct RuntimePlace {
  std::string standardLibrary;
  std::string torch;       // where torch is imported from; empty when it is not found
  std::string torchError;  // the last line of what importing torch raised; empty when it imported
  std::vector<std::string> searchPath;  // where it looks for modules (sys.path)
  // The shared libraries it had loaded once torch was imported (or had failed to), by path.
  std::vector<std::string> libraries;
  // The files of the modules it had imported by then.
  std::vector<std::string> modules;
  // Where its ssl module takes the certificates it trusts from (a file, a folder), and how many
  // its default context loaded; empty and -1 when it could not say.
  std::vector<std::string> certificateStore;
  long long certificates = -1;
};

// Asks the interpreter where its standard library, torch and their libraries lie: a second run,
// made only when an explanation is asked for. None when it does not say.
std::optional<RuntimePlace> askWhereTheRuntimeLies(const pack::PackPaths& paths,
                                                   platform::ChildProcesses& children);

// Reads the runtime question's answer from the interpreter's whole standard output.
std::optional<RuntimePlace> runtimePlaceFromOutput(std::string_view output);

// Everything the explanation looks at, gathered by the check.
struct CheckStory {
  const pack::Pack& pack;
  const ProbeRun& probe;
  const CheckFacts& facts;
  std::optional<RuntimePlace> runtime;
  // The shared libraries the pack's executable itself loaded, by path.
  std::vector<std::string> executableLibraries;
};

// Which system's base a library path is judged against.
enum class LibrarySystem { Linux, MacOS };
#ifdef __APPLE__
inline constexpr LibrarySystem thisLibrarySystem = LibrarySystem::MacOS;
#else
inline constexpr LibrarySystem thisLibrarySystem = LibrarySystem::Linux;
#endif

// Whether a shared library is part of the system's own base, there on every machine the pack
// runs on: the C library's family on Linux, /usr/lib and /System on macOS.
bool isSystemBaseLibrary(std::string_view path, LibrarySystem system = thisLibrarySystem);

// The command that runs the pack's interpreter as the check does, as one line for a POSIX shell.
std::string reproduceCommand(const pack::PackPaths& paths);

std::vector<Finding> explainCheck(const CheckStory& story, const platform::Files& files);

// The findings as lines of text, one finding a line.
std::string explanationText(const std::vector<Finding>& findings);

// At most `limit` bytes of `bytes`, as printable text: control characters (line feeds too, unless
// kept) are escaped, what is not UTF-8 is replaced, and a cut is marked.
std::string printable(std::string_view bytes, size_t limit, bool keepLineFeeds = false);

}  // namespace check
