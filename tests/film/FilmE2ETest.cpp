// A game uploaded to the server binary shows in the admin list.
#include <gtest/gtest.h>

#include <csignal>

#include "support/TestSupport.h"

TEST(FilmE2ETest, UploadedGameIsListedOnTheAdminPort) {
  test::TTempDir dir;
  test::WriteFile(dir / "zarnel.ini", "[settings]\nfilmpass=film\nAdminPassword=admin\n");
  test::TServerProcess server(ZARNEL_BINARY, dir.Path());
  ASSERT_TRUE(server.WaitForLine("Waiting for Connections...")) << server.Stderr();

  test::TRawClient filmer(28200);
  EXPECT_EQ(filmer.ReceiveLine(), "1.0.0.23\t2016");
  filmer.Send("1.0\t2016\r\nAUTH\tfilm\t\tcup final\r\nTRANSMIT\t1\t0\r\n");
  for (std::int32_t v : {0, 5, 2}) filmer.SendInt(v);
  EXPECT_EQ(filmer.ReceiveLine(), "OK");
  EXPECT_EQ(filmer.ReceiveLine(), "OK");
  EXPECT_EQ(filmer.ReceiveInt(), 0);
  filmer.Send("BLOCK\r\n");
  for (std::int32_t v : {0, 0, 5}) filmer.SendInt(v);
  filmer.Send("helloBLOCK\r\n");
  for (std::int32_t v : {0, 1}) filmer.SendInt(v);
  filmer.Send("COMPLETED\r\n");
  EXPECT_TRUE(filmer.ClosedByPeer());
  EXPECT_EQ(test::ReadFile(dir / "Streams/CUP FINAL/stream_0_0"), "hello");

  test::TRawClient admin(28400);
  admin.Send("admin\r\nLISTGAMES\r\n");
  EXPECT_EQ(admin.ReceiveLine(), "OK");
  EXPECT_EQ(admin.ReceiveInt(), 1);
  EXPECT_EQ(admin.ReceiveLine(), "CUP FINAL\t0\t1");
  admin.Close();
  server.Signal(SIGTERM);
  EXPECT_EQ(server.Wait(), 0);  // a normal exit with status 0
}
