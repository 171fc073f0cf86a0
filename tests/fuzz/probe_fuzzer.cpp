// From the bytes an interpreter might print to the report line the host reads: whatever comes
// in, the line is one JSON object and a line feed.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "check/output_lines.h"
#include "check/probe.h"
#include "check/report.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view output(reinterpret_cast<const char*>(data), size);

  // Cut into reads at a point the input chooses: the answer must not depend on it.
  size_t cut = size == 0 ? 0 : data[0] % (size + 1);
  check::LastPieceTracker whole(check::maxAnswerLineBytes);
  check::LastPieceTracker split(check::maxAnswerLineBytes);
  whole.append(output);
  split.append(output.substr(0, cut));
  split.append(output.substr(cut));
  if (whole.lastPiece() != split.lastPiece()) {
    std::abort();
  }

  check::CheckFacts facts;
  facts.probe = check::probeResultFromOutput(output);
  facts.weights = true;
  facts.packVersion = "1.0";
  facts.packFormat = 1;
  facts.pythonPath = "/Pack.app/Contents/Resources/quality/python/bin/python3";
  std::string line = check::reportLine(check::buildReport(facts));
  if (line.empty() || line.back() != '\n' || line.find('\n') != line.size() - 1) {
    std::abort();
  }
  auto reparsed = platform::parseJson(line);
  if (!reparsed || !reparsed->is_object() || (line != "{}\n" && !reparsed->contains("ok"))) {
    std::abort();
  }
  return 0;
}
