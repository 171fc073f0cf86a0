#include <gtest/gtest.h>

#include "support/test_support.h"

namespace {
TEST(NoticeDesktop, Placeholder) {}
}  // namespace
