#include <gtest/gtest.h>

#include "check/probe.h"

namespace {

using platform::Json;
using namespace std::string_literals;

// How the interpreter's standard output turns into the probe's result.
TEST(ProbeOutput, TheLastNonEmptyPieceIsReadAsOneJsonObject) {
  struct Case {
    const char* name;
    std::string output;
    Json expected;  // the members, as an object
  };
  const Json answer = {{"python_version", "3.11.2"}, {"torch", "2.1.0"}, {"mps", false}};
  const std::string line = answer.dump();
  const Case cases[] = {
      {"other text before the answer", "Warning: something\n" + line + "\n", answer},
      {"no final line feed", line, answer},
      {"trailing empty lines", line + "\n\n\n", answer},
      {"CR LF ending", line + "\r\n", answer},
      {"text ended by LF, answer by CR LF", "noise\n" + line + "\r\n", answer},
      {"both lines ended by CR LF", "noise\r\n" + line + "\r\n", Json::object()},
      {"a line of spaces after the answer", line + "\n   \n", Json::object()},
      {"text after the answer", line + "\nbye\n", Json::object()},
      {"nothing", "", Json::object()},
      {"only line feeds", "\n\n", Json::object()},
      {"an array", "[1,2]\n", Json::object()},
      {"a bare number", "42\n", Json::object()},
      {"the empty object", "{}\n", Json::object()},
      {"a partial line", "{\"torch\": \"2.", Json::object()},
      {"a comment", "{\"a\":1} // note\n", Json::object()},
      {"a trailing comma", "{\"a\":1,}\n", Json::object()},
      {"white space around the value", " \t{\"a\":1} \n", {{"a", 1}}},
      {"ill-formed UTF-8 inside a string",
       "{\"error\":\"bad \xFF byte\"}\n",
       {{"error", "bad \xEF\xBF\xBD byte"}}},
      {"ill-formed UTF-8 outside a string", "{\"a\":1}\xFF\n", Json::object()},
      {"kinds kept",
       "{\"mps\":true,\"n\":null,\"v\":[1,{\"k\":2.5}]}",
       {{"mps", true}, {"n", nullptr}, {"v", {1, {{"k", 2.5}}}}}},
      {"number too large for a double", "{\"a\":1e400}", Json::object()},
      {"duplicate keys", "{\"a\":1,\"a\":2}", {{"a", 2}}},
      {"lone surrogate escape", "{\"a\":\"\\ud800\"}", Json::object()},
      {"a NUL byte and more after the answer", "{\"torch\":\"2.1\"}\0junk\n"s, Json::object()},
      {"a NUL byte inside a string", "{\"a\":\"x\0y\"}"s, Json::object()},
  };
  for (const auto& c : cases) {
    Json result(check::probeResultFromOutput(c.output));
    EXPECT_EQ(result, c.expected) << c.name;
    if (c.expected.contains("mps")) {
      EXPECT_TRUE(result["mps"].is_boolean()) << c.name;
    }
  }
}

TEST(ProbeOutput, NestingIsBounded) {
  auto nested = [](int depth) {
    return "{\"a\":" + std::string(static_cast<size_t>(depth), '[') +
           std::string(static_cast<size_t>(depth), ']') + "}";
  };
  EXPECT_FALSE(check::probeResultFromOutput(nested(platform::maxJsonNesting - 1)).empty());
  EXPECT_TRUE(check::probeResultFromOutput(nested(platform::maxJsonNesting)).empty());
  EXPECT_TRUE(check::probeResultFromOutput(nested(200000)).empty());
  // Brackets inside strings are text, not nesting.
  std::string brackets(100000, '[');
  EXPECT_FALSE(check::probeResultFromOutput("{\"a\":\"" + brackets + "\"}").empty());
  // An escaped quote does not end the string.
  EXPECT_FALSE(check::probeResultFromOutput("{\"a\":\"\\\"" + brackets + "\"}").empty());
  EXPECT_FALSE(
      check::probeResultFromOutput("{\"a\":\"\\\\\",\"b\":\"\\\"" + brackets + "\"}").empty());
}

TEST(ProbeScript, IsTheFixedNineLineProgram) {
  EXPECT_EQ(check::probeScript.size(), 264u);
  EXPECT_EQ(std::count(check::probeScript.begin(), check::probeScript.end(), '\n'), 8);
  EXPECT_EQ(check::probeScript.find_first_of("\r\t"), std::string_view::npos);
  EXPECT_EQ(check::probeScript.substr(0, 16), "import json, sys");
  EXPECT_EQ(check::probeScript.substr(242), "print(json.dumps(out))");
}

}  // namespace
