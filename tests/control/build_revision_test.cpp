// The revision shown in the banner and the statistics lines.
#include <gtest/gtest.h>

#include <string>

#include "encoder/control/build_revision.h"

namespace {

TEST(BuildRevision, IsFortyLowerCaseHexDigits) {
  const std::string revision = build_revision;
  ASSERT_EQ(revision.size(), 40u) << revision;
  EXPECT_EQ(revision.find_first_not_of("0123456789abcdef"), std::string::npos) << revision;
}

}  // namespace
