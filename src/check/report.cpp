#include "check/report.h"

#include "check/explain/explain.h"
#include "check/weights.h"
#include "pack/bundle_info.h"
#include "platform/loaded_libraries.h"

namespace check {
namespace {

const platform::Json* member(const ProbeResult& probe, const char* key) {
  auto found = probe.find(key);
  return found == probe.end() ? nullptr : &found->second;
}

bool hasTorchVersion(const ProbeResult& probe) {
  const platform::Json* torch = member(probe, "torch");
  return torch && torch->is_string();
}

}  // namespace

bool isUsable(const CheckFacts& facts) {
  return hasTorchVersion(facts.probe) && facts.weights && facts.packFormat == 1;
}

CheckReport buildReport(const CheckFacts& facts) {
  const platform::Json* pythonVersion = member(facts.probe, "python_version");
  const platform::Json* mps = member(facts.probe, "mps");
  const platform::Json* error = member(facts.probe, "error");
  CheckReport report = platform::Json::object();
  report["pack"] = facts.packVersion;
  report["format"] = facts.packFormat;
  report["python"] = facts.pythonPath;
  report["python_version"] = pythonVersion ? *pythonVersion : platform::Json(nullptr);
  report["torch"] =
      hasTorchVersion(facts.probe) ? *member(facts.probe, "torch") : platform::Json(nullptr);
  report["mps"] = mps ? *mps : platform::Json(false);
  report["weights"] = facts.weights;
  report["ok"] = isUsable(facts);
  if (error) {
    report["error"] = *error;
  }
  return report;
}

std::string reportLine(const CheckReport& report) {
  return platform::writeJson(report).value_or("{}") + "\n";
}

int runCheck(const pack::Pack& pack, const platform::Files& files,
             platform::ChildProcesses& children, platform::StandardOutput& output,
             const platform::ChildLimits& limits, platform::StandardOutput* explanation) {
  ProbeRun probe = runProbeInDetail(pack.paths, files, children, limits, explanation != nullptr);
  CheckFacts facts;
  facts.probe = probe.result;
  facts.weights = weightsPresent(pack.paths, files);
  facts.packVersion = pack::packVersion(*pack.mainBundle);
  facts.packFormat = pack::packFormat(*pack.mainBundle);
  facts.pythonPath = pack.paths.pythonExecutable;
  CheckReport report = buildReport(facts);
  // A reader that went away changes nothing: the status answers for the pack, not the pipe.
  output.write(reportLine(report));
  if (explanation) {
    CheckStory story{pack, probe, facts, std::nullopt, platform::loadedLibraries()};
    // Only an interpreter that answered is asked again, and only after the report is out.
    if (!probe.result.empty()) {
      story.runtime = askWhereTheRuntimeLies(pack.paths, children);
    }
    explanation->write(explanationText(explainCheck(story, files)));
  }
  return isUsable(facts) ? 0 : 1;
}

}  // namespace check
