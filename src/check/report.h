#pragma once

#include <cstdint>
#include <string>

#include "check/probe.h"
#include "pack/pack_paths.h"
#include "platform/child_process.h"
#include "platform/files.h"
#include "platform/json.h"
#include "platform/standard_output.h"

namespace check {

// What `--check` writes: the pack, its interpreter and model, and whether it is usable.
using CheckReport = platform::Json;

// Everything the report is made of, gathered before it is written.
struct CheckFacts {
  ProbeResult probe;
  bool weights = false;
  std::string packVersion;
  std::int64_t packFormat = 0;
  std::string pythonPath;
};

// Usable: torch answered with a version string, the weights are there and the format is 1.
bool isUsable(const CheckFacts& facts);

CheckReport buildReport(const CheckFacts& facts);

// The report's line: compact JSON with sorted keys and a line feed, or "{}" and a line feed when
// the report can't be written as JSON.
std::string reportLine(const CheckReport& report);

// The whole check: probe, weights, report on standard output. Returns the exit status. With
// `explanation`, an account of what the verdict rests on is written there too, after the report;
// the report and the status stay as they are.
int runCheck(const pack::Pack& pack, const platform::Files& files,
             platform::ChildProcesses& children, platform::StandardOutput& output,
             const platform::ChildLimits& limits = {},
             platform::StandardOutput* explanation = nullptr);

}  // namespace check
