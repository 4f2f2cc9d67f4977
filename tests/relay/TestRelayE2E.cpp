#include <signal.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "support/TestSupport.h"

namespace {

constexpr std::uint16_t RelayPort = 28300;

class RelayE2ETest : public ::testing::Test {
 protected:
  // Starts the server with Settings as its zarnel.ini; true once it serves.
  bool StartServer(const std::string& settings) {
    test::WriteFile(FDir / "zarnel.ini", "[settings]\n" + settings);
    FServer = std::make_unique<test::TServerProcess>(ZARNEL_BINARY, FDir.Path());
    if (FServer->WaitForLine("Waiting for Connections...")) return true;
    ADD_FAILURE() << FServer->Stderr();
    return false;
  }
  // Stops it with SIGINT and returns its console lines.
  std::vector<std::string> StopServer() {
    FServer->Signal(SIGINT);
    const int status = FServer->Wait();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    return test::SplitLines(FServer->Stdout());
  }
  static bool Has(const std::vector<std::string>& lines, const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
  }

  test::TTempDir FDir;
  std::unique_ptr<test::TServerProcess> FServer;
};

TEST_F(RelayE2ETest, AllowRelaysOpensTheRelayPortWithNothingOffered) {
  ASSERT_TRUE(StartServer("AllowRelays=1\n"));
  test::TRawClient peer(RelayPort);
  peer.SendInt(1);
  EXPECT_EQ(peer.ReceiveInt(), 0);
  EXPECT_EQ(peer.ReceiveInt(), 0);  // no games offered
  peer.SendInt(0);
  EXPECT_EQ(peer.ReceiveInt(), 1);
  EXPECT_EQ(peer.ReceiveInt(), 0);  // authorization refused
  const auto lines = StopServer();
  EXPECT_TRUE(Has(lines, "Closing down relay server thread..."));
  EXPECT_FALSE(Has(lines, "Disconecting Relay Thread..."));
  EXPECT_FALSE(Has(lines, "Closing down relay client thread..."));
}

TEST_F(RelayE2ETest, WithoutAllowRelaysNothingListensOnTheRelayPort) {
  ASSERT_TRUE(StartServer(""));
  EXPECT_TRUE(test::PortClosed(RelayPort));
  StopServer();
}

TEST_F(RelayE2ETest, RelayEnabledLinksUpAndStopsAtShutdown) {
  // The link is pointed at this server's own relay port.
  ASSERT_TRUE(StartServer("RelayEnabled=1\nRelayServer=127.0.0.1\nAllowRelays=1\n"));
  ASSERT_TRUE(test::WaitFor([&] {
    const auto messages = test::LogMessages(FDir / "zarnel.log");
    return std::count(messages.begin(), messages.end(), "Relay: Disconnected") > 0;
  }));
  const auto lines = StopServer();
  const std::vector<std::string> order{
      "Shutting down...", "Disconnecting Clients...", "Disconecting Relay Thread...",
      "Closing down relay client thread...", "Closing down film server thread..."};
  auto at = lines.begin();
  for (const auto& line : order) {
    at = std::find(at, lines.end(), line);
    EXPECT_NE(at, lines.end()) << "missing or out of order: " << line;
  }
}

}  // namespace
