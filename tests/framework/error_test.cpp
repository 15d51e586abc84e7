#include "framework/error.h"

#include <gtest/gtest.h>

TEST(ErrorCategory, NamesItselfAndPrintsDisplayTexts) {
  EXPECT_STREQ(vl::proto_error_category().name(), "vl.Error");
  EXPECT_EQ(make_error_code(vl::EC_APP_TERMINATED).message(), "Process terminated by signal");
  EXPECT_EQ(vl::proto_error_category().message(4242), "vl.Error 4242");
}
