// The server binary with its working directory on a small tmpfs that the test fills: it
// starts, serves viewers, counts them right and keeps a filmer's completion, and writes it all
// once space returns.
#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>

#include "support/TestSupport.h"

namespace {

const char* const StoredInfo =
    "[stream]\navailable=1\nviewers=2\n\n[types]\n0=0\n\n[size]\n0_0=4\n\n[block]\n0_0=0\n\n"
    "[active]\nstreams=1\nsections=1\n\n[header]\n0_0=1\n\n[complete]\n0_0=1\nall=1\n\n";

// A viewer that has sent REQUEST for Game from Section.
std::unique_ptr<test::TRawClient> Viewer(const std::string& game, int section) {
  auto c = std::make_unique<test::TRawClient>(28100);
  EXPECT_EQ(c->ReceiveLine(), "1.0.0.23\t1016");
  c->Send("test\t1016\r\n");
  EXPECT_EQ(c->ReceiveLine(), "OK");
  EXPECT_EQ(c->ReceiveLine(), "NOAUTH");
  c->Send("REQUEST\t" + game + "\t" + std::to_string(section) + "\t" + std::to_string(section) +
          "\tFALSE\r\n");
  return c;
}

// A filmer past AUTH of a new Game; Reply is the answer to AUTH.
std::unique_ptr<test::TRawClient> Filmer(const std::string& game, const std::string& reply) {
  auto c = std::make_unique<test::TRawClient>(28200);
  EXPECT_EQ(c->ReceiveLine(), "1.0.0.23\t2016");
  c->Send("test\t2016\r\nAUTH\t\tNEW\t" + game + "\r\n");
  EXPECT_EQ(c->ReceiveLine(), "OK");
  EXPECT_EQ(c->ReceiveLine(), reply);
  return c;
}

// The admin list's row of Game.
std::string AdminRow(const std::string& game) {
  test::TRawClient c(28400);
  c.Send("\r\nLISTGAMES\r\n");
  EXPECT_EQ(c.ReceiveLine(), "OK");
  std::string row;
  for (std::int32_t n = c.ReceiveInt(); n > 0; --n) {
    const std::string line = c.ReceiveLine();
    if (line.rfind(game + "\t", 0) == 0) row = line;
  }
  return row;
}

TEST(FullDiskE2ETest, StartsServesAndKeepsEveryChangeUntilSpaceReturns) {
  test::TPrivateTmpfs disk(4 << 20);
  if (!disk.Available()) GTEST_SKIP() << disk.Reason();
  std::filesystem::create_directories(disk / "Streams/STORED");
  test::WriteFile(disk / "Streams/STORED/info.ini", StoredInfo);
  test::WriteFile(disk / "Streams/STORED/stream_0_0", "abcd");
  test::WriteFile(disk / "zarnel.ini", "[settings]\nMinFreeMB=0\n");

  // Not one byte free: the start-up reset cannot be written, and the server starts all the same.
  disk.Fill();
  test::TServerProcess server(ZARNEL_BINARY, disk.Path());
  ASSERT_TRUE(server.WaitForLine("Waiting for Connections...")) << server.Stderr();

  // A viewer is served, and counted while it watches only.
  {
    auto viewer = Viewer("STORED", 0);
    EXPECT_EQ(viewer->ReceiveInt(), 1);  // one stream announced
    EXPECT_EQ(AdminRow("STORED"), "STORED\t1\t1");
  }
  EXPECT_TRUE(test::WaitFor([] { return AdminRow("STORED") == "STORED\t0\t1"; }));

  // A new game cannot be made: the filmer is told why, and no folder blocks the name later.
  Filmer("NOROOM", "FAIL\tCannot create game: No space left on device");
  EXPECT_FALSE(test::FileExists(disk / "Streams/NOROOM"));

  // An upload made while there is room completes on a full disk: its viewers see it complete.
  disk.Free();
  auto filmer = Filmer("LIVE", "OK");
  filmer->Send("TRANSMIT\t1\t0\r\n");
  for (std::int32_t v : {0, 4, 0}) filmer->SendInt(v);
  EXPECT_EQ(filmer->ReceiveInt(), 0);
  filmer->Send("BLOCK\r\n");
  for (std::int32_t v : {0, 0, 4}) filmer->SendInt(v);
  filmer->Send("abcdBLOCK\r\n");
  for (std::int32_t v : {0, 1}) filmer->SendInt(v);
  filmer->Send("HI\r\n");
  EXPECT_EQ(filmer->ReceiveLine(), "OK");
  disk.Fill();
  filmer->Send("COMPLETED\r\n");
  EXPECT_TRUE(filmer->ClosedByPeer());
  EXPECT_EQ(Viewer("LIVE", 1)->ReceiveInt(), -1);  // complete, nothing after section 0

  // Space returns: within a few seconds every change is on disk.
  disk.Free();
  EXPECT_TRUE(test::WaitFor(
      [&] {
        return test::ReadFile(disk / "Streams/LIVE/info.ini").find("all=1") != std::string::npos;
      },
      std::chrono::seconds(10)));
  EXPECT_TRUE(test::WaitFor(
      [&] {
        const std::string info = test::ReadFile(disk / "Streams/STORED/info.ini");
        return info.find("viewers=0\nwant=1\n") != std::string::npos;
      },
      std::chrono::seconds(10)));
  server.Signal(SIGTERM);
  const int status = server.Wait();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << server.Stderr();
}

}  // namespace
