#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>

#include "admin/AdminService.h"
#include "support/TestSupport.h"

namespace {

class AdminServiceTest : public ::testing::Test {
 protected:
  test::TTempDir FDir;
  const std::string FRoot = FDir / "Streams/";
  TSettings FSettings;
  TLog FLog{FDir / "zarnel.log"};
  TGameStore FStore{FRoot};
  TAdminService FAdmin{FSettings, FLog, FStore};
  TIdTCPServer FServer{0};
  std::unique_ptr<test::TRawClient> FClient;

  void SetUp() override {
    FSettings.AdminPassword = "Secret";
    mkdir(FRoot.c_str(), 0777);
    MakeGame("SHOWN", "[stream]\navailable=1\nviewers=3\n");
    MakeGame("HIDDEN", "");
    FServer.OnExecute = [this](TIdPeerThread& t) { FAdmin.Execute(t); };
    FServer.SetActive(true);
    FClient = std::make_unique<test::TRawClient>(FServer.BoundPort());
  }
  void TearDown() override {
    FClient.reset();
    FServer.SetActive(false);
  }
  void MakeGame(const std::string& game, const std::string& info) {
    mkdir((FRoot + game).c_str(), 0777);
    if (!info.empty()) test::WriteFile(FRoot + game + "/info.ini", info);
  }
  void Login() {
    FClient->Send("Secret\r\n");
    ASSERT_EQ(FClient->ReceiveLine(), "OK");
  }
  // Sends LISTGAMES and returns the reply lines.
  std::vector<std::string> List() {
    FClient->Send("LISTGAMES\n");
    std::vector<std::string> lines(static_cast<std::size_t>(FClient->ReceiveInt()));
    for (auto& line : lines) line = FClient->ReceiveLine();
    return lines;
  }
  // The lines the list must hold for the given flags, in reverse directory order.
  std::vector<std::string> Expected(const std::string& shown, const std::string& hidden) {
    std::vector<std::string> games;
    ListGames(FRoot, games);
    std::reverse(games.begin(), games.end());
    for (auto& game : games) game += game == "SHOWN" ? shown : hidden;
    return games;
  }
};

TEST_F(AdminServiceTest, PasswordRetryThenListInReverseOrder) {
  FClient->Send("secret\n");
  EXPECT_EQ(FClient->ReceiveLine(), "FAIL\tIncorrect Password");
  Login();
  // Neither a word after a space, an empty line nor an unknown command gets a reply, so the
  // first reply is the list after the game was hidden.
  FClient->Send(" LISTGAMES\n\nHELLO\n");
  FClient->Send("AVAILABLE\tSHOWN\tignored\n");
  FClient->SendInt(0);
  FClient->Send("listgames\tmore\n");
  EXPECT_EQ(FClient->ReceiveInt(), 2);
  const auto expected = Expected("\t3\t0", "\t0\t0");
  EXPECT_EQ(FClient->ReceiveLine(), expected[0]);
  EXPECT_EQ(FClient->ReceiveLine(), expected[1]);
}

TEST_F(AdminServiceTest, AnyNonZeroValueMakesAvailable) {
  Login();
  FClient->Send("available\tHIDDEN\n");
  FClient->SendInt(7);
  EXPECT_EQ(List(), Expected("\t3\t1", "\t0\t1"));
  EXPECT_EQ(test::ReadFile(FRoot + "HIDDEN/info.ini"), "[stream]\navailable=1\n\n");
}

TEST_F(AdminServiceTest, AvailableOnMissingOrInvalidGameRestartsAtPassword) {
  test::WriteFile(FRoot + "info.ini", "[stream]\navailable=0\n");
  for (const std::string game : {"NOPE", "..", ""}) {
    Login();
    FClient->Send("AVAILABLE\t" + game + "\n");
    FClient->SendInt(1);
    // The run ended through its error path; the connection stays and wants a password again.
    FClient->Send("LISTGAMES\n");
    EXPECT_EQ(FClient->ReceiveLine(), "FAIL\tIncorrect Password") << game;
  }
  EXPECT_EQ(test::ReadFile(FRoot + "info.ini"), "[stream]\navailable=0\n");
  EXPECT_FALSE(test::FileExists(FDir / "info.ini"));
  EXPECT_FALSE(test::FileExists(FRoot + "NOPE"));

  const auto log = test::LogMessages(FDir / "zarnel.log");
  ASSERT_GE(log.size(), 4u);
  EXPECT_EQ(
      std::vector<std::string>(log.begin(), log.begin() + 4),
      (std::vector<std::string>{"Admin client connected 127.0.0.1", "Admin client Disconnected",
                                "Admin Exception:- Cannot create file " + FRoot + "NOPE/info.ini",
                                "Admin client connected 127.0.0.1"}));
}

TEST_F(AdminServiceTest, PeerCloseEndsWithDisconnectAndExceptionLines) {
  Login();
  FClient.reset();
  ASSERT_TRUE(test::WaitFor([&] { return FServer.ThreadCount() == 0; }));
  const auto log = test::LogMessages(FDir / "zarnel.log");
  ASSERT_EQ(log.size(), 3u);
  EXPECT_EQ(log[1], "Admin client Disconnected");
  EXPECT_EQ(log[2], "Admin Exception:- Connection Closed Gracefully.");
}

}  // namespace
