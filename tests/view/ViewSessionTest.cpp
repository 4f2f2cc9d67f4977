// The view session over real sockets: handshake, login, lists, request and the end steps.
#include <filesystem>

#include "ViewTestSupport.h"
#include "server/UnitZarnelGlobal.h"
#include "store/GameStore.h"

namespace {

using viewtest::TViewFixture;

class ViewSessionTest : public TViewFixture {
 protected:
  void SetUp() override { Start(); }
};

TEST_F(ViewSessionTest, RefusesOtherProtocols) {
  for (const std::string line : {"1.0.0.1\t1015", "1.0.0.1"}) {
    test::TRawClient c(FServer.BoundPort());
    c.ReceiveLine();
    c.Send(line + "\r\n");
    EXPECT_EQ(c.ReceiveLine(),
              std::string("FAIL\tInvalid protocol need 1016 Get latest client at ") + WebAddress);
    EXPECT_TRUE(c.ClosedByPeer());
  }
  EXPECT_TRUE(Logged("View Client Version: 1.0.0.1, Protocol: 0"));
  EXPECT_TRUE(Logged("Invalid protocol need 1016"));
  EXPECT_TRUE(Logged("View client connected [1 Total server connections] 127.0.0.1"));
}

TEST_F(ViewSessionTest, ListsAvailableGamesInReverseOrderAndSections) {
  for (const std::string game : {"A", "Final", "B", "HIDDEN", "C"}) {
    std::filesystem::create_directories(FStore.GameDir(game));
    FStore.WriteAvailable(game, game != "HIDDEN");
  }
  test::WriteFile(FStore.StreamsDir() + "plain", "");
  std::vector<std::string> listed;
  ListGames(FStore.StreamsDir(), listed);
  std::erase_if(listed, [](const std::string& g) { return g == "HIDDEN" || g == "plain"; });

  auto c = Connect();
  c->Send("listgames\r\n");
  ASSERT_EQ(c->ReceiveInt(), 4);
  for (auto it = listed.rbegin(); it != listed.rend(); ++it) EXPECT_EQ(c->ReceiveLine(), *it);

  FStore.WriteStreamType("C", 0, 0);
  FStore.WriteActiveStreams("C", 1);
  FStore.WriteActiveSections("C", 1);
  test::WriteFile(FStore.StreamPath("C", 0, 0), "");
  c->Send("LISTSECTIONS\tc\r\n");
  ASSERT_EQ(c->ReceiveInt(), 1);
  EXPECT_EQ(c->ReceiveLine(),
            "\"0\",Time,Map,\"Team 1\",\"Team 1 Score\",\"Team 2\",\"Team 2 Score\",,Audio,,,,");
  for (const std::string game : {"nothing", "..", "", "a/../c"}) {
    c->Send("LISTSECTIONS\t" + game + "\r\n");
    EXPECT_EQ(c->ReceiveInt(), 0) << game;
  }
  EXPECT_EQ(FStore.ReadViewers("C"), 0);
}

TEST_F(ViewSessionTest, ViewersUpAtRequestAndDownHoweverTheSessionEnds) {
  FSettings.Debug = true;
  WriteSection("GAME", 0, {});
  auto c = Connect();
  c->Send("bogus\r\nrequest\tgame\t0\t0\r\n");
  EXPECT_EQ(c->ReceiveInt(), 0);  // keep-alive: a section without streams
  EXPECT_EQ(FStore.ReadViewers("GAME"), 1);
  c->Close();
  EXPECT_TRUE(test::WaitFor([&] { return FStore.ReadViewers("GAME") == 0; }));
  EXPECT_TRUE(Logged("Incoming Command: [bogus]"));
  EXPECT_TRUE(Logged("Requesting Stream"));

  // A missing game and names that are no game end the session; nothing is written outside.
  for (const std::string game : {"NOPE", "..", "", "x/../../y"}) {
    auto v = Connect();
    v->Send("REQUEST\t" + game + "\t0\t0\r\n");
    EXPECT_TRUE(v->ClosedByPeer()) << game;
  }
  EXPECT_TRUE(
      Logged("View Exception:- Cannot create file " + FStore.StreamsDir() + "NOPE/info.ini"));
  EXPECT_EQ(test::ListDir(FStore.StreamsDir()), std::vector<std::string>{"GAME"});
  EXPECT_EQ(test::ListDir(FDir.Path()), (std::vector<std::string>{"Streams", "zarnel.log"}));
}

class ViewLoginTest : public TViewFixture {
 protected:
  void SetUp() override {
    FSettings.ViewerAuth = true;
    test::WriteFile(FDir / "users.txt", "bob,\neve,Secret\n");
    Start();
  }
  std::unique_ptr<test::TRawClient> Login(const std::string& line, const std::string& reply) {
    auto c = Connect();
    c->Send(line + "\r\n");
    EXPECT_EQ(c->ReceiveLine(), reply) << line;
    if (reply != "OK") {
      EXPECT_TRUE(c->ClosedByPeer());
    }
    return c;
  }
};

TEST_F(ViewLoginTest, OutcomesAndOneSessionPerName) {
  const std::string refused = "FAIL\tIncorrect username or password";
  Login("bob\t", refused);
  Login("eve\tsecret", refused);
  Login("mallory\tSecret", refused);
  auto first = Login("eve\tSecret", "OK");
  Login("EVE\tSecret", "FAIL\tEVE user is already logged in");
  first->Send("LISTGAMES\r\n");
  EXPECT_EQ(first->ReceiveInt(), 0);
  EXPECT_TRUE(test::WaitFor([&] { return FActiveUsers.Count() == 1; }));
  EXPECT_TRUE(Logged("Authenticated successfully (eve)"));
  EXPECT_TRUE(Logged("Incorrect username or password (mallory)"));

  // The end steps all run even when the game has gone: the name is freed.
  WriteSection("GAME", 0, {});
  first->Send("REQUEST\tGAME\t0\t0\r\n");
  EXPECT_EQ(first->ReceiveInt(), 0);
  std::filesystem::remove_all(FStore.GameDir("GAME"));
  std::int32_t message;
  while ((message = first->ReceiveInt()) == 0) {
  }
  EXPECT_EQ(message, -2);
  EXPECT_TRUE(first->ClosedByPeer());
  EXPECT_TRUE(
      Logged("View Exception:- Cannot create file " + FStore.StreamsDir() + "GAME/info.ini"));
  EXPECT_TRUE(test::WaitFor([&] { return FActiveUsers.Count() == 0; }));
  Login("Eve\tSecret", "OK");
}

}  // namespace
