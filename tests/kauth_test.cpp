#include "kauth.h"

#include <gtest/gtest.h>

namespace {

// The test executable has no authorization library beside it; the variants with a library are
// exercised through copies of the agent in the end-to-end tests.
TEST(KAuthTest, OneInstancePerProcessAndNoCodeWithoutTheLibrary) {
    KAuth& first = KAuth::instance();
    EXPECT_EQ(&first, &KAuth::instance());
    EXPECT_EQ(first.codes(), "");
    EXPECT_EQ(KAuth::instance().codes(), "");
}

}  // namespace
