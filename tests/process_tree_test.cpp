#include "platform/linux/process_tree.h"

#include <gtest/gtest.h>

#include <optional>

namespace {

using platform::linux_impl::parentInStat;

// Where the kernel keeps no children lists, each process's parent is read from its stat line,
// after a command name that may hold spaces and parentheses of its own.
TEST(ProcessTree, TheParentIsReadAfterTheWholeCommandName) {
  struct Case {
    const char* stat;
    std::optional<pid_t> parent;
  };
  const Case cases[] = {
      {"1234 (python3) S 1 1234 1234 0 -1", 1},
      {"1234 (a) b) S 42 1 1", 42},
      {"1234 (x (y) z) R 7 8 9", 7},
      {"1234 ()) S 99 1", 99},
      {"1234 (with space) Z 5", 5},
      {"1234 (sh) S", std::nullopt},
      {"1234 (sh) S x", std::nullopt},
      {"no parenthesis at all", std::nullopt},
      {"", std::nullopt},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(parentInStat(c.stat), c.parent) << c.stat;
  }
}

}  // namespace
