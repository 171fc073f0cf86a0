#include "check/explain.h"

#include <gtest/gtest.h>

namespace {

// What an explanation shows of the interpreter's own output: enough to recognise, always
// printable, and marked where it was cut.
TEST(Explain, OutputIsShownPrintableAndCutVisibly) {
  struct Case {
    std::string bytes;
    size_t limit;
    bool keepLineFeeds;
    std::string shown;
  };
  const Case cases[] = {
      {"plain text", 20, false, "plain text"},
      {"exactly5", 8, false, "exactly5"},
      {"one too long", 11, false, "one too lon..."},
      {"bell\a and escape\x1b", 40, false, "bell\\x07 and escape\\x1b"},
      {"two\nlines", 20, false, "two\\x0alines"},
      {"two\nlines", 20, true, "two\nlines"},
      {"bad \xff byte", 20, false, "bad \xEF\xBF\xBD byte"},
      {"caf\xC3\xA9", 20, false, "caf\xC3\xA9"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(check::printable(c.bytes, c.limit, c.keepLineFeeds), c.shown) << c.bytes;
  }
}

}  // namespace
