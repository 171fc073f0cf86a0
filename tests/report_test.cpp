#include "check/report.h"

#include <gtest/gtest.h>

namespace {

using platform::Json;

check::CheckFacts facts(Json probe, bool weights = true, std::int64_t format = 1) {
  check::CheckFacts f;
  f.probe = probe.get<check::ProbeResult>();
  f.weights = weights;
  f.packVersion = "1.0";
  f.packFormat = format;
  f.pythonPath = "/P.app/Contents/Resources/quality/python/bin/python3";
  return f;
}

std::string lineFor(const check::CheckFacts& f) {
  return check::reportLine(check::buildReport(f));
}

TEST(CheckReport, EmptyProbeGivesTheFullReportWithDefaults) {
  EXPECT_EQ(lineFor(facts(Json::object())),
            "{\"format\":1,\"mps\":false,\"ok\":false,\"pack\":\"1.0\","
            "\"python\":\"/P.app/Contents/Resources/quality/python/bin/python3\","
            "\"python_version\":null,\"torch\":null,\"weights\":true}\n");
}

TEST(CheckReport, OkNeedsATorchStringTheWeightsAndFormatOne) {
  struct Case {
    const char* name;
    Json probe;
    bool weights;
    std::int64_t format;
    bool ok;
  };
  const Case cases[] = {
      {"all hold", {{"torch", "2.1.0"}, {"mps", true}}, true, 1, true},
      {"empty torch string", {{"torch", ""}}, true, 1, true},
      {"torch and error, no mps", {{"torch", "2.1.0"}, {"error", "x"}}, true, 1, true},
      {"torch a number", {{"torch", 2.1}}, true, 1, false},
      {"torch null", {{"torch", nullptr}}, true, 1, false},
      {"no torch", {{"error", "No module named 'torch'"}}, true, 1, false},
      {"weights missing", {{"torch", "2.1.0"}}, false, 1, false},
      {"format 0", {{"torch", "2.1.0"}}, true, 0, false},
      {"format 2", {{"torch", "2.1.0"}}, true, 2, false},
  };
  for (const auto& c : cases) {
    auto f = facts(c.probe, c.weights, c.format);
    Json report = check::buildReport(f);
    EXPECT_EQ(check::isUsable(f), c.ok) << c.name;
    EXPECT_EQ(report["ok"], c.ok) << c.name;
    EXPECT_EQ(report["format"], c.format) << c.name;
    EXPECT_EQ(report["weights"], c.weights) << c.name;
    EXPECT_EQ(report["torch"],
              c.probe.value("torch", Json()).is_string() ? c.probe["torch"] : Json())
        << c.name;
  }
}

TEST(CheckReport, ProbeValuesPassThroughWithTheirKinds) {
  auto line = lineFor(facts({{"python_version", nullptr},
                             {"mps", nullptr},
                             {"torch", "2.1"},
                             {"error", {{"b", 1}, {"a", "\xC3\xA9/\x01"}}},
                             {"extra", "not reported"}}));
  EXPECT_EQ(line,
            "{\"error\":{\"a\":\"\xC3\xA9/\\u0001\",\"b\":1},\"format\":1,\"mps\":null,\"ok\":true,"
            "\"pack\":\"1.0\",\"python\":\"/P.app/Contents/Resources/quality/python/bin/python3\","
            "\"python_version\":null,\"torch\":\"2.1\",\"weights\":true}\n");

  auto kinds = check::buildReport(facts({{"python_version", 3.11}, {"mps", "yes"}, {"error", 7}}));
  EXPECT_EQ(kinds["python_version"], 3.11);
  EXPECT_EQ(kinds["mps"], "yes");
  EXPECT_EQ(kinds["error"], 7);
}

TEST(CheckReport, TextThatIsNotUtf8BecomesTheEmptyObject) {
  auto f = facts(Json::object());
  f.pythonPath = "/packs/caf\xE9/python3";
  EXPECT_EQ(lineFor(f), "{}\n");
}

}  // namespace
