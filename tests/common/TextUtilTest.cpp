// Field splitting and the integer conversion every protocol line and settings file goes through.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <utility>

#include "common/TextUtil.h"

namespace {

TEST(NextFieldTest, SplitsAtTheFirstDelimiter) {
  std::string text = "LOGIN\tuser\t\tpass";
  for (const char* want : {"LOGIN", "user", "", "pass", ""}) EXPECT_EQ(NextField(text, "\t"), want);
  EXPECT_EQ(text, "");
  text = "a, b,c";
  EXPECT_EQ(NextField(text, ", "), "a");
  EXPECT_EQ(text, "b,c");
  EXPECT_EQ(NextField(text, ""), "b,c");
  EXPECT_EQ(text, "");
}

TEST(TryStrToIntTest, HexDecimalAndRange) {
  // clang-format off
  const std::pair<const char*, std::int32_t> cases[] = {
      {"0x1A", 26}, {"0X1a", 26}, {"$1A", 26}, {"x1A", 26}, {"  42", 42}, {"+5", 5},
      {"-2147483648", INT32_MIN}, {"2147483647", INT32_MAX}, {"2147483648", 7},
      {"-2147483649", 7}, {"26abc", 7}, {"", 7}, {"-", 7}, {"0x", 7}, {"$", 7}, {"1 ", 7},
      {"$FFFFFFFF", -1}, {"0x80000000", INT32_MIN}, {"$100000000", 7}, {"true", 7}};
  // clang-format on
  std::int32_t value = 0;
  for (const auto& [text, expected] : cases)
    EXPECT_EQ(TryStrToInt(text, value) ? value : 7, expected) << "'" << text << "'";
}

TEST(NumberFieldTest, AFieldThatDoesNotConvertIsZero) {
  for (const auto& [text, expected] :
       {std::pair{"12", 12}, {"$10", 16}, {"-3", -3}, {"12a", 0}, {"", 0}, {"TRUE", 0}})
    EXPECT_EQ(NumberField(text), expected) << text;
  EXPECT_EQ(UpperCase("Game_1.zx\xe9"), "GAME_1.ZX\xe9");  // ASCII letters only
}

}  // namespace
