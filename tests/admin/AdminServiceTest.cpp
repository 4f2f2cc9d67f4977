#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "admin/AdminService.h"
#include "support/TestSupport.h"

namespace {

class AdminServiceTest : public ::testing::Test {
 protected:
  test::TTempDir FDir;
  const std::string FRoot = FDir / "Streams/";
  TSettingsHolder FSettings;
  TLog FLog{FDir / "zarnel.log"};
  TGameStore FStore{FRoot};
  TAdminService FAdmin{FSettings, FLog, FStore};
  TIdTCPServer FServer{0};
  std::unique_ptr<test::TRawClient> FClient;

  void SetUp() override {
    FSettings.Change([](TSettings& s) { s.AdminPassword = "Secret"; });
    std::filesystem::create_directories(FRoot + "SHOWN");
    std::filesystem::create_directories(FRoot + "HIDDEN");
    test::WriteFile(FRoot + "SHOWN/info.ini", "[stream]\navailable=1\nviewers=3\n");
    FServer.OnExecute = [this](TIdPeerThread& t) { FAdmin.Execute(t); };
    FServer.SetActive(true);
    FClient = std::make_unique<test::TRawClient>(FServer.BoundPort());
  }
  void Login() {
    FClient->Send("Secret\r\n");
    ASSERT_EQ(FClient->ReceiveLine(), "OK");
  }
};

TEST_F(AdminServiceTest, PasswordListingAvailabilityAndErrors) {
  FClient->Send("secret\n");
  EXPECT_EQ(FClient->ReceiveLine(), "FAIL\tIncorrect Password");
  Login();
  // Neither a word after a space, an empty line nor an unknown command gets a reply, so the
  // first reply is the list after the availability changes; any value but 0 makes available.
  FClient->Send(" LISTGAMES\n\nHELLO\nAVAILABLE\tSHOWN\tignored\n");
  FClient->SendInt(0);
  FClient->Send("available\tHIDDEN\n");
  FClient->SendInt(7);
  FClient->Send("listgames\tmore\n");
  std::vector<std::string> lines(static_cast<std::size_t>(FClient->ReceiveInt()));
  for (auto& line : lines) line = FClient->ReceiveLine();
  // The list runs in reverse directory order.
  std::vector<std::string> games;
  ListGames(FRoot, games);
  std::reverse(games.begin(), games.end());
  for (auto& game : games) game += game == "SHOWN" ? "\t3\t0" : "\t0\t1";
  EXPECT_EQ(lines, games);
  EXPECT_EQ(test::ReadFile(FRoot + "HIDDEN/info.ini"), "[stream]\navailable=1\n\n");

  // AVAILABLE on a missing or invalid game ends the run: the next line is taken as a password.
  test::WriteFile(FRoot + "info.ini", "[stream]\navailable=0\n");
  for (const std::string game : {"NOPE", "..", ""}) {
    FClient->Send("AVAILABLE\t" + game + "\n");
    FClient->SendInt(1);
    FClient->Send("LISTGAMES\n");
    EXPECT_EQ(FClient->ReceiveLine(), "FAIL\tIncorrect Password") << game;
    Login();
  }
  EXPECT_EQ(test::ReadFile(FRoot + "info.ini"), "[stream]\navailable=0\n");
  EXPECT_FALSE(test::FileExists(FDir / "info.ini"));
  EXPECT_FALSE(test::FileExists(FRoot + "NOPE"));

  FClient.reset();
  ASSERT_TRUE(test::WaitFor([&] { return FServer.ThreadCount() == 0; }));
  std::string log;
  for (const auto& message : test::LogMessages(FDir / "zarnel.log")) log += message + "\n";
  const std::string in = "Admin client connected 127.0.0.1\n", out = "Admin client Disconnected\n";
  EXPECT_THAT(log, testing::StartsWith(in + "Incorrect Password\n" + out + in + out +
                                       "Admin Exception:- Cannot create file " + FRoot +
                                       "NOPE/info.ini\n" + in + "Incorrect Password\n"));
  EXPECT_THAT(log, testing::EndsWith(out + "Admin Exception:- Connection Closed Gracefully.\n"));
}

}  // namespace
