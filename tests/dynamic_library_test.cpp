// Libraries opened at run time are used whole or not at all.
#include "platform/posix/dynamic_library.h"

#include <gtest/gtest.h>

#include <cmath>

namespace {

using platform::posix_impl::DynamicLibrary;

TEST(DynamicLibrary, IsUsableOnlyWhenEveryFunctionWasFound) {
  DynamicLibrary math("libm.so.6");
  double (*cosine)(double) = nullptr;
  math.bind(cosine, "cos");
  ASSERT_TRUE(math.usable());
  EXPECT_EQ(cosine(0.0), 1.0);

  double (*missing)(double) = nullptr;
  math.bind(missing, "no_such_function_anywhere");
  EXPECT_EQ(missing, nullptr);
  EXPECT_FALSE(math.usable());

  double (*found)(double) = nullptr;
  math.bind(found, "sin");
  EXPECT_NE(found, nullptr);
  EXPECT_FALSE(math.usable()) << "one missing function spoils the library";
}

TEST(DynamicLibrary, AMissingLibraryBindsNothing) {
  DynamicLibrary none("libno-such-library.so.0");
  double (*cosine)(double) = &::cos;
  none.bind(cosine, "cos");
  EXPECT_EQ(cosine, nullptr);
  EXPECT_FALSE(none.usable());
}

}  // namespace
