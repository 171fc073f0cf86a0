#include "check/probe.h"

#include <algorithm>

#include "check/output_lines.h"
#include "check/utf8.h"

namespace check {
namespace {

static_assert(probeScript.size() == 264);

bool entryIsNamed(const std::string& entry, std::string_view name) {
  return entry.size() > name.size() && entry.compare(0, name.size(), name) == 0 &&
         entry[name.size()] == '=';
}

// The variable ends up with exactly one entry, `value`, where its first entry stood: a caller's
// environment may hold a name twice, and the child could read either copy.
void setVariable(std::vector<std::string>& environment, std::string_view name,
                 std::string_view value) {
  auto named = [name](const std::string& entry) { return entryIsNamed(entry, name); };
  auto first = std::find_if(environment.begin(), environment.end(), named);
  std::string entry = std::string(name) + "=" + std::string(value);
  if (first == environment.end()) {
    environment.push_back(std::move(entry));
    return;
  }
  *first = std::move(entry);
  environment.erase(std::remove_if(first + 1, environment.end(), named), environment.end());
}

ProbeResult probeResultFromLine(std::string_view line) {
  auto value = platform::parseJson(repairUtf8(line));
  if (!value || !value->is_object()) {
    return {};
  }
  return std::move(value->get_ref<platform::Json::object_t&>());
}

ProbeResult probeResultFrom(const LastPieceTracker& tracker) {
  auto line = tracker.lastPiece();
  return line ? probeResultFromLine(*line) : ProbeResult{};
}

}  // namespace

ProbeResult probeResultFromOutput(std::string_view output) {
  LastPieceTracker tracker(maxAnswerLineBytes);
  tracker.append(output);
  return probeResultFrom(tracker);
}

std::vector<std::string> probeArguments() {
  return {"-I", "-B", "-c", std::string(probeScript)};
}

std::vector<std::string> probeEnvironment(std::vector<std::string> inherited,
                                          const pack::PackPaths& paths) {
  setVariable(inherited, "HF_HOME", paths.hfCacheDir);
  setVariable(inherited, "HF_HUB_OFFLINE", "1");
  setVariable(inherited, "HF_HUB_DISABLE_TELEMETRY", "1");
  setVariable(inherited, "PYTHONDONTWRITEBYTECODE", "1");
  return inherited;
}

ProbeRun runProbeInDetail(const pack::PackPaths& paths, const platform::Files& files,
                          platform::ChildProcesses& children, const platform::ChildLimits& limits,
                          bool keepErrorTail) {
  ProbeRun probe;
  probe.executable = files.isExecutableFile(paths.pythonExecutable);
  if (!probe.executable) {
    return probe;
  }
  platform::ChildLaunch launch{paths.pythonExecutable, probeArguments(),
                               probeEnvironment(children.environment(), paths), keepErrorTail};
  LastPieceTracker tracker(maxAnswerLineBytes);
  probe.child = children.runCapturingOutput(
      launch, [&tracker](std::string_view chunk) { tracker.append(chunk); }, limits);
  probe.lastLine = tracker.lastPiece();
  // A child killed at the run limit may have printed a valid answer before it hung: it is not one.
  if (probe.child.outcome == platform::ChildOutcome::Exited) {
    probe.result = probeResultFrom(tracker);
  }
  return probe;
}

ProbeResult runProbe(const pack::PackPaths& paths, const platform::Files& files,
                     platform::ChildProcesses& children, const platform::ChildLimits& limits) {
  return runProbeInDetail(paths, files, children, limits, false).result;
}

}  // namespace check
