#include <gtest/gtest.h>

#include <tuple>

#include "relay/UnitListRelayedSections.h"

namespace {

TEST(ListRelayedSections, EntriesStartFreshStayIndependentAndKeepTheirOrder) {
  TListRelayedSections list;
  TRelayedSection& first = list.Add("GAME", 4);
  TRelayedSection& second = list.Add("GAME", 4);
  // Enough further entries to make a growing container move its elements.
  for (int i = 0; i < 1000; ++i) list.Add("OTHER", i);
  EXPECT_EQ(std::make_tuple(second.GameName, second.Section, second.Completed),
            std::make_tuple(std::string("GAME"), 4, false));
  EXPECT_EQ(second.BlockStart, (std::array<std::int32_t, 2>{0, 0}));
  EXPECT_EQ(second.StreamCompleted, (std::array<bool, 2>{false, false}));
  first.BlockStart[0] = 500;
  first.StreamCompleted[1] = first.Completed = true;
  EXPECT_EQ(&list.Items(0), &first);
  EXPECT_EQ(&list.Items(1), &second);
  EXPECT_EQ(second.BlockStart[0] + second.StreamCompleted[1] + second.Completed, 0);
  ASSERT_EQ(list.Count(), 1002);
  EXPECT_EQ(list.Items(1001).Section, 999);
  EXPECT_THROW(list.Items(1002), std::out_of_range);
  EXPECT_THROW(list.Items(-1), std::out_of_range);
}

}  // namespace
