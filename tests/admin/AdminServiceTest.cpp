// The admin service driven over a socketpair, one behaviour per case.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <thread>

#include "admin/AdminService.h"
#include "net/SocketPairPeer.h"
#include "support/TestSupport.h"

namespace {

using S = std::vector<std::string>;
const std::string In = "Admin client connected ", Out = "Admin client Disconnected";

class AdminServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    TSettings settings;
    settings.AdminPassword = "Secret";
    FSettings.Set(settings);
    std::filesystem::create_directories(FRoot + "SHOWN");
    std::filesystem::create_directories(FRoot + "HIDDEN");
    test::WriteFile(FRoot + "SHOWN/info.ini", "[stream]\navailable=1\nviewers=3\n");
    // As the server does: the handler runs again while the connection stays open.
    FSession = std::thread([this] {
      while (FPeer.Thread().Connection().Connected()) FAdmin.Execute(FPeer.Thread());
    });
  }
  void TearDown() override { End(); }
  void Login() {
    FClient.Send("Secret\r\n");
    ASSERT_EQ(FClient.ReceiveLine(), "OK");
  }
  // The game list's lines.
  S List() {
    FClient.Send("LISTGAMES\n");
    S lines(static_cast<std::size_t>(FClient.ReceiveInt()));
    for (auto& line : lines) line = FClient.ReceiveLine();
    return lines;
  }
  // Closes the client and waits for the session to end; returns the log's messages.
  S End() {
    FClient.Close();
    if (FSession.joinable()) FSession.join();
    return test::LogMessages(FDir / "zarnel.log");
  }

  test::TTempDir FDir;
  const std::string FRoot = FDir / "Streams/";
  TSettingsHolder FSettings;
  TLog FLog{FDir / "zarnel.log"};
  TGameStore FStore{FRoot};
  TAdminService FAdmin{FSettings, FLog, FStore};
  TSocketPairPeer FPeer;
  test::TRawClient FClient{test::TRawClient::TAdopt{FPeer.ReleaseClient()}};
  std::thread FSession;
};

TEST_F(AdminServiceTest, WrongPasswordIsRefusedAndAskedForAgain) {
  FClient.Send("secret\n");
  EXPECT_EQ(FClient.ReceiveLine(), "FAIL\tIncorrect Password");
  Login();
  EXPECT_EQ(End(), (S{In, "Incorrect Password", Out, In, Out,
                      "Admin Exception:- Connection Closed Gracefully."}));
}

TEST_F(AdminServiceTest, ListRunsInReverseDirectoryOrderAndOtherLinesGetNoReply) {
  Login();
  // Neither a word after a space, an empty line nor an unknown command gets a reply.
  FClient.Send(" LISTGAMES\n\nHELLO\n");
  S games;
  ListGames(FRoot, games);
  std::reverse(games.begin(), games.end());
  for (auto& game : games) game += game == "SHOWN" ? "\t3\t1" : "\t0\t0";
  EXPECT_EQ(List(), games);
}

TEST_F(AdminServiceTest, AvailableClearsOnZeroAndSetsOnAnyOtherValue) {
  Login();
  FClient.Send("AVAILABLE\tSHOWN\tignored\n");
  FClient.SendInt(0);
  FClient.Send("available\tHIDDEN\n");
  FClient.SendInt(7);
  List();  // both changes are done once the list comes
  EXPECT_EQ(test::ReadFile(FRoot + "SHOWN/info.ini"), "[stream]\navailable=0\nviewers=3\n\n");
  EXPECT_EQ(test::ReadFile(FRoot + "HIDDEN/info.ini"), "[stream]\navailable=1\n\n");
}

TEST_F(AdminServiceTest, AvailableOnAMissingOrInvalidGameEndsTheRunAndIsLogged) {
  test::WriteFile(FRoot + "info.ini", "[stream]\navailable=0\n");
  Login();
  // The next line after the failed command is taken as a password.
  for (const std::string game : {"NOPE", "..", ""}) {
    FClient.Send("AVAILABLE\t" + game + "\n");
    FClient.SendInt(1);
    FClient.Send("LISTGAMES\n");
    EXPECT_EQ(FClient.ReceiveLine(), "FAIL\tIncorrect Password") << game;
    Login();
  }
  EXPECT_EQ(test::ReadFile(FRoot + "info.ini"), "[stream]\navailable=0\n");
  EXPECT_FALSE(test::FileExists(FDir / "info.ini"));
  EXPECT_FALSE(test::FileExists(FRoot + "NOPE"));
  const S log = End();
  ASSERT_GE(log.size(), 5u);
  EXPECT_EQ(S(log.begin(), log.begin() + 5), (S{In, Out,
                                                "Admin Exception:- Cannot create file " + FRoot +
                                                    "NOPE/info.ini: No such file or directory",
                                                In, "Incorrect Password"}));
}

TEST_F(AdminServiceTest, DeleteOfAnUnknownGameIsRefusedAndTheSessionGoesOn) {
  test::WriteFile(FRoot + "PLAIN", "not a game");
  Login();
  // A listed plain file, a missing game and names outside the store: none is a game.
  for (const std::string game : {"PLAIN", "NOPE", "..", "", "../Streams"}) {
    FClient.Send("deletegame\t" + game + "\n");
    EXPECT_EQ(FClient.ReceiveLine(), "FAIL\tUnknown game") << game;
  }
  EXPECT_EQ(List().size(), 3u);
  EXPECT_EQ(test::ListDir(FRoot), (S{"HIDDEN", "PLAIN", "SHOWN"}));
  EXPECT_EQ(End(),
            (S{In, "Game not deleted: PLAIN (Unknown game)",
               "Game not deleted: NOPE (Unknown game)", "Game not deleted: .. (Unknown game)",
               "Game not deleted:  (Unknown game)", "Game not deleted: ../Streams (Unknown game)",
               Out, "Admin Exception:- Connection Closed Gracefully."}));
}

TEST_F(AdminServiceTest, DeleteWaitsForTheViewersAndLeavesDamagedGamesOutOfTheList) {
  // SHOWN has 3 viewers; a damaged game is listed nowhere, yet can be deleted by its name.
  std::filesystem::create_directories(FRoot + "BROKEN");
  test::WriteFile(FRoot + "BROKEN/info.ini", std::string("[stream]\navail\0able=1\n", 22));
  Login();
  S games = List();
  std::sort(games.begin(), games.end());  // in directory order
  EXPECT_EQ(games, (S{"HIDDEN\t0\t0", "SHOWN\t3\t1"}));
  FClient.Send("DELETEGAME\tSHOWN\n");
  EXPECT_EQ(FClient.ReceiveLine(), "FAIL\tGame in use: viewers");
  for (int i = 0; i < 3; ++i) FStore.DecViewers("SHOWN");
  for (const char* game : {"SHOWN", "BROKEN"}) {
    FClient.Send(std::string("DELETEGAME\t") + game + "\n");
    EXPECT_EQ(FClient.ReceiveLine(), "OK") << game;
  }
  EXPECT_EQ(List(), S{"HIDDEN\t0\t0"});
  EXPECT_EQ(test::ListDir(FRoot), (S{".removed", "HIDDEN"}));
}

}  // namespace
