#include "check/output_lines.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

std::optional<std::string> lastPieceOf(const std::vector<std::string>& chunks, size_t max = 64) {
  check::LastPieceTracker tracker(max);
  for (const auto& chunk : chunks) {
    tracker.append(chunk);
  }
  return tracker.lastPiece();
}

// Every way of cutting the output into reads gives the same answer.
std::optional<std::string> lastPieceSplitEverywhere(const std::string& output, size_t max) {
  std::optional<std::string> whole = lastPieceOf({output}, max);
  for (size_t a = 0; a <= output.size(); ++a) {
    for (size_t b = a; b <= output.size(); ++b) {
      auto split =
          lastPieceOf({output.substr(0, a), output.substr(a, b - a), output.substr(b)}, max);
      EXPECT_EQ(split, whole) << testing::PrintToString(output) << " cut at " << a << "," << b;
    }
  }
  return whole;
}

TEST(LastPiece, CutsAtLineFeedsThatDoNotFollowACarriageReturn) {
  struct Case {
    std::string output;
    std::string expected;
  };
  const Case cases[] = {
      {"", ""},
      {"\n\n\n", ""},
      {"one\ntwo\n", "two"},
      {"one\ntwo", "two"},
      {"{}\n\n\n", "{}"},
      {"{}\n   \n", "   "},
      {"{}\r\n", "{}\r\n"},
      {"a\r\nb\r\n", "a\r\nb\r\n"},
      {"text\n{}\r\n", "{}\r\n"},
      {"x\n\r\n", "\r\n"},
      {"\r\n", "\r\n"},
      {"a\rb\n", "a\rb"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(lastPieceSplitEverywhere(c.output, 64), c.expected)
        << testing::PrintToString(c.output);
  }
}

TEST(LastPiece, APieceOverTheBoundIsNotKept) {
  std::string longLine(65, 'x');
  EXPECT_EQ(lastPieceSplitEverywhere(std::string(64, 'x'), 64), std::string(64, 'x'));
  EXPECT_EQ(lastPieceSplitEverywhere(longLine, 64), std::nullopt);
  EXPECT_EQ(lastPieceSplitEverywhere(longLine + "\n\n", 64), std::nullopt);
  // A long piece that is followed by a short one no longer matters.
  EXPECT_EQ(lastPieceSplitEverywhere(longLine + "\n{}", 64), "{}");
  EXPECT_EQ(lastPieceSplitEverywhere("{}\n" + longLine, 64), std::nullopt);
}

TEST(LastPiece, ManySmallReadsKeepOnlyTheLastLine) {
  check::LastPieceTracker tracker(16);
  for (int i = 0; i < 100000; ++i) {
    tracker.append("ab\n");
  }
  tracker.append("{\"x\":1}");
  tracker.append("\n");
  EXPECT_EQ(tracker.lastPiece(), "{\"x\":1}");
}

}  // namespace
