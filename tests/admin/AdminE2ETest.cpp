#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include "support/TestSupport.h"

namespace {

TEST(AdminE2ETest, ListAndHideAGameOnTheRunningServer) {
  test::TTempDir dir;
  test::WriteFile(dir / "zarnel.ini", "[settings]\nAdminPassword=pw\n");
  mkdir((dir / "Streams").c_str(), 0777);
  mkdir((dir / "Streams/GAME").c_str(), 0777);
  test::WriteFile(dir / "Streams/GAME/info.ini", "[stream]\navailable=1\nviewers=4\n");

  test::TServerProcess server(ZARNEL_BINARY, dir.Path());
  ASSERT_TRUE(server.WaitForLine("Waiting for Connections...")) << server.Stderr();
  {
    test::TRawClient client(28400);
    client.Send("pw\r\n");
    ASSERT_EQ(client.ReceiveLine(), "OK");
    client.Send("LISTGAMES\r\n");
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
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(test::ReadFile(dir / "Streams/GAME/info.ini"), "[stream]\navailable=0\nviewers=0\n\n");
}

}  // namespace
