#include "check/probe.h"

#include "check/output_lines.h"
#include "check/utf8.h"

namespace check {
namespace {

static_assert(probeScript.size() == 264);

void setVariable(std::vector<std::string>& environment, std::string_view name,
                 std::string_view value) {
  std::string entry = std::string(name) + "=" + std::string(value);
  for (auto& existing : environment) {
    if (existing.size() > name.size() && existing.compare(0, name.size(), name) == 0 &&
        existing[name.size()] == '=') {
      existing = std::move(entry);
      return;
    }
  }
  environment.push_back(std::move(entry));
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

std::vector<std::string> probeEnvironment(std::vector<std::string> inherited,
                                          const pack::PackPaths& paths) {
  setVariable(inherited, "HF_HOME", paths.hfCacheDir);
  setVariable(inherited, "HF_HUB_OFFLINE", "1");
  setVariable(inherited, "HF_HUB_DISABLE_TELEMETRY", "1");
  setVariable(inherited, "PYTHONDONTWRITEBYTECODE", "1");
  return inherited;
}

ProbeResult runProbe(const pack::PackPaths& paths, const platform::Files& files,
                     platform::ChildProcesses& children, const platform::ChildLimits& limits) {
  if (!files.isExecutableFile(paths.pythonExecutable)) {
    return {};
  }
  platform::ChildLaunch launch{paths.pythonExecutable,
                               {"-I", "-c", std::string(probeScript)},
                               probeEnvironment(children.environment(), paths)};
  LastPieceTracker tracker(maxAnswerLineBytes);
  auto outcome = children.runCapturingOutput(
      launch, [&tracker](std::string_view chunk) { tracker.append(chunk); }, limits);
  if (outcome != platform::ChildOutcome::Exited) {
    return {};
  }
  return probeResultFrom(tracker);
}

}  // namespace check
