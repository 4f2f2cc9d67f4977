// SIGHUP re-reads zarnel.ini in the running binary without dropping a viewer.
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <filesystem>

#include "store/GameStore.h"
#include "support/TestSupport.h"
#include "view/ViewTestSupport.h"

namespace {

class ReloadE2ETest : public ::testing::Test {
 protected:
  // A finished game whose section 4 holds Size bytes, so a viewer that asks for section 4
  // while starting at 0 is sent at the normal budget.
  void WriteGame(const std::string& game, std::int32_t size) {
    TGameStore store(dir / "Streams/");
    std::filesystem::create_directories(store.GameDir(game));
    store.WriteStreamType(game, 0, 0);
    store.WriteSize(game, 0, 4, size);
    store.WriteHeader(game, 0, 4, true);
    store.WriteComplete(game, 0, 4, true);
    store.WriteActiveStreams(game, 1);
    store.WriteActiveSections(game, 5);
    store.WriteAvailable(game, true);
    test::WriteFile(store.StreamPath(game, 0, 4), viewtest::Bytes(static_cast<std::size_t>(size)));
  }
  // The length of the next data chunk the viewer gets.
  static std::int32_t NextChunk(test::TRawClient& viewer) {
    for (;;) {
      if (viewer.ReceiveInt() == -1) continue;  // a keep-alive
      EXPECT_EQ(viewer.ReceiveInt(), 0);
      const std::int32_t length = viewer.ReceiveInt();
      viewer.Receive(static_cast<std::size_t>(length));
      return length;
    }
  }
  bool Logged(const std::string& message) {
    return test::WaitFor(
        [&] { return std::ranges::count(test::LogMessages(dir / "zarnel.log"), message) > 0; });
  }
  // Whether the admin port takes Password.
  static bool AdminAccepts(const std::string& password) {
    test::TRawClient admin(28400);
    admin.Send(password + "\n");
    return admin.ReceiveLine() == "OK";
  }
  test::TTempDir dir;
};

TEST_F(ReloadE2ETest, AppliesLiveSettingsKeepsRestartOnesAndSurvivesABrokenFile) {
  test::WriteFile(dir / "zarnel.ini",
                  "[settings]\nBandwidthNormal=100\nAdminPassword=old-admin-pw\nStatusPort=0\n");
  WriteGame("G", 100000);
  test::TServerProcess server(ZARNEL_BINARY, dir.Path());
  ASSERT_TRUE(server.WaitForLine("Waiting for Connections...")) << server.Stderr();

  test::TRawClient viewer(28100);
  viewtest::Greet(viewer, "NOAUTH");
  viewer.Send("REQUEST\tG\t0\t4\tFALSE\r\n");
  EXPECT_EQ(viewtest::NextNot(viewer, 0), 1);
  for (int i = 0; i < 3; ++i) viewer.ReceiveInt();
  viewer.SendInt(0);
  EXPECT_EQ(NextChunk(viewer), 100);
  EXPECT_TRUE(AdminAccepts("old-admin-pw"));

  test::WriteFile(dir / "zarnel.ini",
                  "[settings]\nBandwidthNormal=300\nAdminPassword=new-admin-pw\nViewerAuth=1\n"
                  "StatusPort=28501\n");
  server.Signal(SIGHUP);
  EXPECT_TRUE(Logged(
      "Settings reloaded: BandwidthNormal 100 -> 300, ViewerAuth 0 -> 1, AdminPassword changed"));
  EXPECT_TRUE(Logged("Settings kept until a restart: StatusPort 0 -> 28501"));
  // The viewer goes on at the new budget once the cycle under way has passed.
  std::int32_t chunk = NextChunk(viewer);
  if (chunk == 100) chunk = NextChunk(viewer);
  EXPECT_EQ(chunk, 300);
  EXPECT_FALSE(AdminAccepts("old-admin-pw"));
  EXPECT_TRUE(AdminAccepts("new-admin-pw"));
  {
    test::TRawClient late(28100);
    viewtest::Greet(late, "AUTH");
  }
  EXPECT_TRUE(test::PortClosed(28501));

  // A file that cannot be read, one without its section and none at all change nothing.
  std::filesystem::remove(dir / "zarnel.ini");
  std::filesystem::create_directories(dir / "zarnel.ini");
  server.Signal(SIGHUP);
  EXPECT_TRUE(Logged("Settings not reloaded, keeping every setting: Cannot open file " +
                     dir / "zarnel.ini: Is a directory"));
  std::filesystem::remove(dir / "zarnel.ini");
  server.Signal(SIGHUP);
  EXPECT_TRUE(Logged("Settings not reloaded, keeping every setting: Cannot find file " +
                     dir / "zarnel.ini"));
  test::WriteFile(dir / "zarnel.ini", "[Settings]\nAdminPassword=\n");
  server.Signal(SIGHUP);
  EXPECT_TRUE(Logged("Settings not reloaded, keeping every setting: No [settings] section in " +
                     dir / "zarnel.ini"));
  EXPECT_TRUE(AdminAccepts("new-admin-pw"));
  EXPECT_EQ(NextChunk(viewer), 300);

  server.Signal(SIGTERM);
  const int status = server.Wait();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  // Reloads print nothing; no password value reaches the log.
  EXPECT_EQ(server.Stdout().find("Settings"), std::string::npos);
  const std::string log = test::ReadFile(dir / "zarnel.log");
  EXPECT_EQ(log.find("admin-pw"), std::string::npos);
}

}  // namespace
