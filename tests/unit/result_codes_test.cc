#include <gtest/gtest.h>

#include "frame/result_codes.h"

TEST(ResultCodes, NamesOnlyTheListedCodes) {
  std::string name = "untouched";
  ResultCodeName(name, 164);
  EXPECT_EQ(name, "untouched");
  ResultCodeName(name, 220);
  EXPECT_EQ(name, "untouched");
  ResultCodeName(name, 163);
  EXPECT_EQ(name, "USER_NOT_IDLE");
  ResultCodeName(name, 10);
  EXPECT_EQ(name, "TVRL_MSG_WEB_BUSY");
  ResultCodeName(name, -2);
  EXPECT_EQ(name, "DB_EXECUTE_NO_RESULT");
  EXPECT_EQ(IsSuccess(1), 1);
  EXPECT_EQ(IsSuccess(0), 0);
  EXPECT_EQ(IsSuccess(-1), 0);
}
