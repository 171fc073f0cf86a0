#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "pack/pack_paths.h"
#include "platform/child_process.h"
#include "platform/files.h"
#include "platform/json.h"

namespace check {

// The program the pack's interpreter runs: it reports the interpreter's release and what torch
// says about itself as one line of JSON.
inline constexpr std::string_view probeScript =
    "import json, sys\n"
    "out = {\"python_version\": sys.version.split()[0]}\n"
    "try:\n"
    "    import torch\n"
    "    out[\"torch\"] = torch.__version__\n"
    "    out[\"mps\"] = bool(torch.backends.mps.is_available())\n"
    "except Exception as exc:\n"
    "    out[\"error\"] = repr(exc)[:200]\n"
    "print(json.dumps(out))";

// The members of the JSON object on the probe's last output line; empty after any failure.
using ProbeResult = platform::Json::object_t;

// No answer line of the probe comes near this; a longer last line is not one.
inline constexpr size_t maxAnswerLineBytes = 1 << 20;

// The ProbeResult that the interpreter's whole standard output amounts to.
ProbeResult probeResultFromOutput(std::string_view output);

// The arguments the interpreter is started with, after its path: -B as well as the variable,
// since isolated mode (-I) ignores PYTHONDONTWRITEBYTECODE, and bytecode written into the bundle
// would change it.
std::vector<std::string> probeArguments();

// The interpreter's complete environment: the caller's, with the hub cache and the quiet
// settings put in.
std::vector<std::string> probeEnvironment(std::vector<std::string> inherited,
                                          const pack::PackPaths& paths);

// One run of the probe, in the detail a person looking into a failed check wants.
struct ProbeRun {
  bool executable = false;              // the interpreter was found, executable, and so started
  platform::ChildRun child;             // how its run went
  std::optional<std::string> lastLine;  // the line read as the answer; none when too long
  ProbeResult result;
};

// Runs the pack's interpreter on the probe script and reads back its answer; with
// `keepErrorTail`, the end of its standard error is kept too.
ProbeRun runProbeInDetail(const pack::PackPaths& paths, const platform::Files& files,
                          platform::ChildProcesses& children, const platform::ChildLimits& limits,
                          bool keepErrorTail);

// Runs the pack's interpreter on the probe script and reads back its answer.
ProbeResult runProbe(const pack::PackPaths& paths, const platform::Files& files,
                     platform::ChildProcesses& children, const platform::ChildLimits& limits = {});

}  // namespace check
