#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <filesystem>

#include "support/TestSupport.h"

namespace {

using namespace ::testing;
constexpr std::uint16_t RelayPort = 28300;
const char* const Disconnected = "Relay: Disconnected from 127.0.0.1";

// Runs the server with Settings as its zarnel.ini and Check while it serves; stops it with
// SIGINT and returns its console lines.
std::vector<std::string> RunServer(const std::string& settings, const auto& check) {
  test::TTempDir dir;
  test::WriteFile(dir / "zarnel.ini", "[settings]\n" + settings);
  test::TServerProcess server(ZARNEL_BINARY, dir.Path());
  EXPECT_TRUE(server.WaitForLine("Waiting for Connections...")) << server.Stderr();
  check(dir);
  server.Signal(SIGINT);
  EXPECT_EQ(server.Wait(), 0);  // exit status 0
  return test::SplitLines(server.Stdout());
}

TEST(RelayE2ETest, RelaySettingsOpenThePortAndRunTheLinkUntilShutdown) {
  // The link is pointed at this server's own relay port.
  const auto lines = RunServer(
      "RelayEnabled=1\nRelayServer=127.0.0.1\nAllowRelays=1\n", [](const test::TTempDir& dir) {
        test::TRawClient peer(RelayPort);
        peer.SendInt(1);  // game list: refused, no games
        peer.SendInt(0);  // authorization: refused
        for (std::int32_t expected : {0, 0, 1, 0}) EXPECT_EQ(peer.ReceiveInt(), expected);
        EXPECT_TRUE(test::WaitFor(
            [&] { return Value(test::LogMessages(dir / "zarnel.log"), Contains(Disconnected)); }));
      });
  auto at = lines.begin();
  for (const std::string line :
       {"Shutting down...", "Disconnecting Clients...", "Disconecting Relay Thread...",
        "Closing down relay client thread...", "Closing down film server thread...",
        "Closing down relay server thread..."}) {
    at = std::find(at, lines.end(), line);
    EXPECT_NE(at, lines.end()) << "missing or out of order: " << line;
  }
  const auto plain =
      RunServer("", [](const test::TTempDir&) { EXPECT_TRUE(test::PortClosed(RelayPort)); });
  EXPECT_THAT(plain, Not(Contains("Disconecting Relay Thread...")));
}

}  // namespace

namespace {

TEST(RelayE2ETest, AServerRelayingFromItselfAuthorizesByAddressAndLeavesItsGamesAlone) {
  RunServer(
      "RelayEnabled=1\nRelayServer=127.0.0.1\nAllowRelays=1\nRelayAllowFrom=bogus, 127.0.0.1\n",
      [](const test::TTempDir& dir) {
        std::filesystem::create_directories(dir / "Streams/MINE");
        test::WriteFile(dir / "Streams/MINE/info.ini", "[stream]\navailable=1\n");
        const auto logged = [&](const std::string& line) {
          return Value(test::LogMessages(dir / "zarnel.log"), Contains(line));
        };
        EXPECT_TRUE(test::WaitFor([&] {
          return logged("Relay authorized 127.0.0.1") &&
                 logged("Relay: MINE is a local game and is not relayed");
        }));
        EXPECT_TRUE(logged("Relay: RelayAllowFrom entry ignored: bogus"));
        EXPECT_EQ(test::ListDir(dir / "Streams/MINE"), std::vector<std::string>{"info.ini"});
      });
}

}  // namespace
