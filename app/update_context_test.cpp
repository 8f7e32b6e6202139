#include "app/update_context.h"

#include <gtest/gtest.h>

#include "tests/reset_context.h"

TEST(UpdateContextTest, ResetRestoresStartValues) {
  gContext.firmwarePath = "x.bin";
  gContext.appPids[2] = 7;
  gContext.imageData = new uint8_t[4];
  gContext.imageLength = 4;
  gContext.sessionState = 10;
  frameSequence = 200;
  resetUpdateContext();
  EXPECT_TRUE(gContext.firmwarePath.empty());
  EXPECT_EQ(gContext.appPids[2], 0);
  EXPECT_EQ(gContext.imageData, nullptr);
  EXPECT_EQ(gContext.imageLength, 0u);
  EXPECT_EQ(gContext.sessionState, 0u);
  EXPECT_EQ(gContext.checkWord, 0u);
  EXPECT_EQ(frameSequence, 1);
}
