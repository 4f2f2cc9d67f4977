#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <filesystem>

#include "support/TestSupport.h"

namespace {

TEST(AdminE2ETest, ListAndHideAGameOnTheRunningServer) {
  test::TTempDir dir;
  test::WriteFile(dir / "zarnel.ini", "[settings]\nAdminPassword=pw\n");
  std::filesystem::create_directories(dir / "Streams/GAME");
  test::WriteFile(dir / "Streams/GAME/info.ini", "[stream]\navailable=1\nviewers=4\n");

  test::TServerProcess server(ZARNEL_BINARY, dir.Path());
  ASSERT_TRUE(server.WaitForLine("Waiting for Connections...")) << server.Stderr();
  {
    test::TRawClient client(28400);
    client.Send("pw\r\nLISTGAMES\r\n");
    ASSERT_EQ(client.ReceiveLine(), "OK");
    ASSERT_EQ(client.ReceiveInt(), 1);
    EXPECT_EQ(client.ReceiveLine(), "GAME\t0\t1");  // start-up reset the viewers
    client.Send("AVAILABLE\tGAME\r\n");
    client.SendInt(0);
    client.Send("LISTGAMES\r\n");
    ASSERT_EQ(client.ReceiveInt(), 1);
    EXPECT_EQ(client.ReceiveLine(), "GAME\t0\t0");
  }
  server.Signal(SIGTERM);
  const int status = server.Wait();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_EQ(test::ReadFile(dir / "Streams/GAME/info.ini"), "[stream]\navailable=0\nviewers=0\n\n");
}

// A kill while a deleted game's files go: the game is out of every listing already, and the
// next start finishes the deletion.
TEST(AdminE2ETest, AKillDuringADeletionIsFinishedByTheNextStart) {
  test::TTempDir dir;
  test::WriteFile(dir / "zarnel.ini", "[settings]\nAdminPassword=pw\n");
  std::filesystem::create_directories(dir / "Streams/BIG");
  test::WriteFile(dir / "Streams/BIG/info.ini", "[stream]\navailable=1\n\n[complete]\nall=1\n");
  // Enough files that their deletion takes a while after the rename.
  for (int i = 0; i < 20000; ++i)
    test::WriteFile(dir / ("Streams/BIG/stream_0_" + std::to_string(i)), "x");
  {
    test::TServerProcess server(ZARNEL_BINARY, dir.Path());
    ASSERT_TRUE(server.WaitForLine("Waiting for Connections...")) << server.Stderr();
    test::TRawClient client(28400);
    client.Send("pw\r\nDELETEGAME\tBIG\r\n");
    ASSERT_EQ(client.ReceiveLine(), "OK");
    // Renamed away (the removal folder alone may be made just before): the files go next.
    ASSERT_TRUE(test::WaitFor([&] { return !test::FileExists(dir / "Streams/BIG"); }));
    server.Signal(SIGKILL);
    server.Wait();
  }
  EXPECT_FALSE(test::FileExists(dir / "Streams/BIG"));
  test::TServerProcess server(ZARNEL_BINARY, dir.Path());
  ASSERT_TRUE(server.WaitForLine("Waiting for Connections...")) << server.Stderr();
  EXPECT_FALSE(test::FileExists(dir / "Streams/.removed"));
  test::TRawClient client(28400);
  client.Send("pw\r\nLISTGAMES\r\n");
  ASSERT_EQ(client.ReceiveLine(), "OK");
  EXPECT_EQ(client.ReceiveInt(), 0);
}

}  // namespace
