// The accounts file and the list of logged-in names.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <thread>

#include "support/TestSupport.h"
#include "view/UnitListActiveUsers.h"
#include "view/UnitListUser.h"

namespace {

class ListUserTest : public ::testing::Test {
 protected:
  TListUser Users(const std::string& text) {
    test::WriteFile(dir / "users.txt", text);
    return TListUser(dir / "users.txt");
  }
  test::TTempDir dir;
};

TEST_F(ListUserTest, FirstLineWinsNamesInAnyCaseNothingTrimmed) {
  const TListUser users =
      Users("alice,first\nAlice,second\n bob,spaced\ncarol,pw,extra,more\ndave\ndave2,\nbob,real");
  EXPECT_EQ(users.GetPassword("ALICE"), "first");
  EXPECT_EQ(users.GetPassword("bob"), "real");
  EXPECT_EQ(users.GetPassword(" BOB"), "spaced");
  EXPECT_EQ(users.GetPassword("carol"), "pw");
  EXPECT_EQ(users.GetPassword("dave"), "");
  EXPECT_EQ(users.GetPassword("dave2"), "");
  EXPECT_EQ(users.GetPassword("nobody"), "");
}

TEST_F(ListUserTest, LineEndsAndNul) {
  const TListUser users = Users("a,1\r\nb,2\rc,3\n\nd,4\re,5\r\n");
  for (const auto& [name, password] :
       {std::pair{"a", "1"}, {"b", "2"}, {"c", "3"}, {"d", "4"}, {"e", "5"}})
    EXPECT_EQ(users.GetPassword(name), password) << name;
  EXPECT_EQ(Users(std::string("x,1\ny,2\0z,3\n", 12)).GetPassword("y"), "2");
  EXPECT_EQ(Users(std::string("x,1\ny,2\0z,3\n", 12)).GetPassword("z"), "");
}

TEST_F(ListUserTest, MissingFileIsEmptyUnreadableFileRaises) {
  EXPECT_EQ(TListUser(dir / "none.txt").GetPassword("a"), "");
  std::filesystem::create_directories(dir / "users.txt");
  EXPECT_THROW(TListUser(dir / "users.txt"), std::exception);
}

TEST(ListActiveUsersTest, SimultaneousLoginsLetExactlyOneThrough) {
  for (int round = 0; round < 200; ++round) {
    TListActiveUsers list;
    std::atomic<int> admitted{0};
    std::thread a([&] { admitted += !list.CheckAndAdd("zed"); });
    std::thread b([&] { admitted += !list.CheckAndAdd("ZED"); });
    a.join();
    b.join();
    ASSERT_EQ(admitted, 1);
  }
}

}  // namespace
