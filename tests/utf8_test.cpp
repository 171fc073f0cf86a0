#include "check/utf8.h"

#include <gtest/gtest.h>

namespace {

const std::string fffd = "\xEF\xBF\xBD";

TEST(Utf8Repair, EachMaximalSubpartBecomesOneReplacementCharacter) {
  struct Case {
    std::string input;
    std::string expected;
  };
  const Case cases[] = {
      {"plain ascii", "plain ascii"},
      {"caf\xC3\xA9 \xE2\x8C\x98 \xF0\x9F\x8E\xB5", "caf\xC3\xA9 \xE2\x8C\x98 \xF0\x9F\x8E\xB5"},
      {"a\xFF"
       "b",
       "a" + fffd + "b"},
      {"\xC0\xAF", fffd + fffd},  // overlong lead: each byte alone
      {"\xE2\x8C", fffd},         // truncated at the end: one
      {"\xE2\x8C"
       "x",
       fffd + "x"},                                     // truncated before ASCII
      {"\xED\xA0\x80", fffd + fffd + fffd},             // surrogate: second byte out of range
      {"\xF0\x9F\x8E", fffd},                           // three of four bytes
      {"\xF4\x90\x80\x80", fffd + fffd + fffd + fffd},  // beyond U+10FFFF
      {"\x80\x80", fffd + fffd},                        // lone continuation bytes
      {"\xE0\x80\x80", fffd + fffd + fffd},             // overlong three-byte form
      {"\xF1\x80\x80\xE1\x80\xC2", fffd + fffd + fffd},
      // Each range's edges, both sides: its first and last characters, then the bytes just outside.
      {"\xC2\x80\xC2\xBF\xDF\xBF", "\xC2\x80\xC2\xBF\xDF\xBF"},  // U+0080, U+00BF, U+07FF
      {"\xC2\x7F", fffd + "\x7F"},
      {"\xC2\xC0", fffd + fffd},
      {"\xE0\xA0\x80\xE0\xBF\xBF", "\xE0\xA0\x80\xE0\xBF\xBF"},  // U+0800, U+0FFF
      {"\xE0\x9F\xBF", fffd + fffd + fffd},                      // overlong
      {"\xE3\x81\x80\xE3\x81\xBF", "\xE3\x81\x80\xE3\x81\xBF"},  // U+3040, U+307F
      {"\xE3\x81\x7F", fffd + "\x7F"},
      {"\xE3\x81\xC0", fffd + fffd},
      {"\xED\x9F\xBF\xEE\x80\x80\xEF\xBF\xBF",
       "\xED\x9F\xBF\xEE\x80\x80\xEF\xBF\xBF"},  // U+D7FF, U+E000, U+FFFF: around the surrogates
      {"\xF0\x90\x80\x80", "\xF0\x90\x80\x80"},  // U+10000
      {"\xF0\x8F\xBF\xBF", fffd + fffd + fffd + fffd},  // overlong
      {"\xF4\x8F\xBF\xBF", "\xF4\x8F\xBF\xBF"},         // U+10FFFF
      {"\xF4\x8F\xBF\xC0", fffd + fffd},
      {"\xF1\x80\x80\x7F", fffd + "\x7F"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(check::repairUtf8(c.input), c.expected) << testing::PrintToString(c.input);
    EXPECT_EQ(check::isValidUtf8(c.input), c.input == c.expected);
  }
}

// A view of the start of a text is read to its own end, not to what follows it in memory: here the
// lead byte of a two-byte character.
TEST(Utf8Repair, AViewEndsWhereItsBytesEnd) {
  const std::string text = "ab\xC3\xA9";
  const std::string_view start = std::string_view(text).substr(0, 2);
  EXPECT_TRUE(check::isValidUtf8(start));
  EXPECT_EQ(check::repairUtf8(start), "ab");
  EXPECT_EQ(check::trimWhitespaceAndNewlines(start), "ab");
}

TEST(Utf8Trim, RemovesUnicodeWhitespaceAndLineBreaksAtBothEndsOnly) {
  struct Case {
    std::string input;
    std::string expected;
  };
  const Case cases[] = {
      {"abc123\n", "abc123"},
      {" \t\r\nabc\r\n", "abc"},
      {"\xC2\xA0"
       "abc"
       "\xE3\x80\x80",
       "abc"},  // no-break space, ideographic space
      {"\xC2\x85"
       "abc"
       "\xE2\x80\xA8",
       "abc"},  // NEL, line separator
      {"1\n", "1"},
      {"\v\f"
       "a b"
       "\xE2\x80\x89",
       "a b"},  // thin space; the inner space stays
      {"\xEF\xBB\xBF"
       "abc",
       "\xEF\xBB\xBF"
       "abc"},  // a byte order mark is not white space
      {"\xE2\x80\x8B"
       "abc",
       "\xE2\x80\x8B"
       "abc"},  // nor a zero-width space
      {"", ""},
      {" \n\t ", ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(check::trimWhitespaceAndNewlines(c.input), c.expected)
        << testing::PrintToString(c.input);
  }
}

}  // namespace
