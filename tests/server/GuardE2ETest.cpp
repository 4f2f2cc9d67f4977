// Time limits, connection limits and password pacing of the server binary, on its fixed ports.
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <thread>

#include "store/IniFile.h"
#include "support/TestSupport.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

class GuardE2ETest : public ::testing::Test {
 protected:
  void Start(const std::string& settings) {
    test::WriteFile(dir / "zarnel.ini", "[settings]\n" + settings);
    server = std::make_unique<test::TServerProcess>(ZARNEL_BINARY, dir.Path());
    ASSERT_TRUE(server->WaitForLine("Waiting for Connections...")) << server->Stderr();
  }
  long Logged(const std::string& message) {
    return std::ranges::count(test::LogMessages(dir / "zarnel.log"), message);
  }
  static void Greet(test::TRawClient& viewer) {
    EXPECT_EQ(viewer.ReceiveLine(), "1.0.0.23\t1016");
    viewer.Send("1.0.0.23\t1016\r\n");
    EXPECT_EQ(viewer.ReceiveLine(), "OK");
    EXPECT_EQ(viewer.ReceiveLine(), "NOAUTH");
  }
  // Seconds from sending Line on Client until its reply line arrives.
  static double Reply(test::TRawClient& client, const std::string& line, const std::string& want) {
    const auto start = Clock::now();
    client.Send(line + "\r\n");
    EXPECT_EQ(client.ReceiveLine(), want);
    return std::chrono::duration<double>(Clock::now() - start).count();
  }

  test::TTempDir dir;
  std::unique_ptr<test::TServerProcess> server;
};

TEST_F(GuardE2ETest, IdleConnectionsAreClosedAtTheDeadlineWhileARealViewerGetsIn) {
  Start("ViewMaxConnections=3\nLoginTimeout=1\nIdleTimeout=4\n");
  std::vector<std::unique_ptr<test::TRawClient>> idle;
  for (int i = 0; i < 3; ++i) {
    idle.push_back(std::make_unique<test::TRawClient>(28100));
    EXPECT_EQ(idle.back()->ReceiveLine(), "1.0.0.23\t1016");
  }
  // The idle ones fill the view port: a real viewer is turned away...
  EXPECT_TRUE(test::TRawClient(28100).ClosedByPeer());
  // ...until their login deadline closes them.
  for (auto& client : idle) EXPECT_TRUE(client->ClosedByPeer());
  EXPECT_TRUE(test::WaitFor([&] { return Logged("Login timeout") == 3; }));
  test::TRawClient viewer(28100);
  Greet(viewer);
  // Logged in, the viewer outlives the login deadline (past once a connection made after it
  // has been closed at its own); browsing, it has the idle limit.
  test::TRawClient later(28100);
  EXPECT_EQ(later.ReceiveLine(), "1.0.0.23\t1016");
  EXPECT_TRUE(later.ClosedByPeer(20s));
  EXPECT_TRUE(test::WaitFor([&] { return Logged("Login timeout") == 4; }));
  viewer.Send("LISTGAMES\r\n");
  EXPECT_EQ(viewer.ReceiveInt(), 0);
  EXPECT_TRUE(viewer.ClosedByPeer(20s));
  EXPECT_TRUE(test::WaitFor([&] { return Logged("Idle timeout") == 1; }));
  EXPECT_EQ(Logged("Login timeout"), 4);
}

TEST_F(GuardE2ETest, ViewersThatStopReadingAreClosedAtTheSendDeadlineAndARealViewerGetsIn) {
  // A finished game of one audio stream (audio-only viewers take it without a Demo header):
  // a first section the viewer's buffers take whole, so that a viewer that never reads stops
  // at the next announcement, owing its resume offsets, with nothing unsent.
  std::filesystem::create_directories(dir / "Streams/GAME");
  test::WriteFile(dir / "Streams/GAME/info.ini",
                  "[stream]\navailable=1\n[types]\n0=1\n[size]\n0_0=1000\n0_1=1000\n"
                  "[complete]\n0_0=1\n0_1=1\nall=1\n[active]\nstreams=1\nsections=2\n");
  test::WriteFile(dir / "Streams/GAME/stream_0_0", std::string(1000, 's'));
  test::WriteFile(dir / "Streams/GAME/stream_0_1", std::string(1000, 't'));
  Start("ViewMaxConnections=3\nSendTimeout=2\n");
  std::vector<std::unique_ptr<test::TRawClient>> stuck;
  for (int i = 0; i < 3; ++i) {
    stuck.push_back(std::make_unique<test::TRawClient>(28100));
    Greet(*stuck.back());
    // The resume offset goes with the request; then not a byte is read.
    stuck.back()->Send("REQUEST\tGAME\t0\t0\tTRUE\r\n" + std::string(4, '\0'));
  }
  // The stuck ones fill the view port: a real viewer is turned away...
  EXPECT_TRUE(test::TRawClient(28100).ClosedByPeer());
  // ...until the send deadline closes them, each with its end steps.
  EXPECT_TRUE(test::WaitFor([&] { return Logged("View client disconnected") == 3; }, 60s));
  EXPECT_EQ(Logged("Send timeout"), 3);
  EXPECT_EQ(TIniFile(dir / "Streams/GAME/info.ini").ReadInteger("stream", "viewers", -1), 0);
  // Their places are free once their sessions have finished, just after that line.
  std::unique_ptr<test::TRawClient> viewer;
  ASSERT_TRUE(test::WaitFor([&] {
    viewer = std::make_unique<test::TRawClient>(28100);
    try {
      return viewer->ReceiveLine() == "1.0.0.23\t1016";
    } catch (const std::exception&) {
      return false;
    }
  }));
  viewer->Send("1.0.0.23\t1016\r\nREQUEST\tGAME\t0\t0\tTRUE\r\n");
  EXPECT_EQ(viewer->ReceiveLine(), "OK");
  EXPECT_EQ(viewer->ReceiveLine(), "NOAUTH");
  for (const std::int32_t want : {1, 1, 0, 1000}) EXPECT_EQ(viewer->ReceiveInt(), want);
  viewer->SendInt(0);
  for (const std::int32_t want : {0, 0, 1000}) EXPECT_EQ(viewer->ReceiveInt(), want);
  EXPECT_EQ(viewer->Receive(1000), std::string(1000, 's'));
}

TEST_F(GuardE2ETest, PasswordsPacedPerAddressAndTheAdminLimit) {
  Start("AdminPassword=pw\nAdminMaxConnections=3\n");
  // A refusal is answered at once; after it, every attempt from the address takes the next
  // free second, whichever connection it comes on.
  test::TRawClient first(28400), second(28400);
  EXPECT_LT(Reply(first, "wrong", "FAIL\tIncorrect Password"), 0.9);
  const auto start = Clock::now();
  const auto since = [&] { return std::chrono::duration<double>(Clock::now() - start).count(); };
  first.Send("guess\r\n");
  second.Send("guess\r\n");
  // Another address is not held up meanwhile.
  test::TRawClient other(28400, "127.0.0.2");
  EXPECT_LT(Reply(other, "pw", "OK"), 0.9);
  EXPECT_LT(since(), 0.9);
  std::string replies = first.ReceiveLine();
  const double one = since();
  replies += second.ReceiveLine();
  const double two = since();
  EXPECT_EQ(replies, "FAIL\tIncorrect PasswordFAIL\tIncorrect Password");
  EXPECT_GE(one, 0.9);
  EXPECT_GE(two, 1.9);
  EXPECT_EQ(Logged("Incorrect Password"), 3);  // each refusal keeps its one line
  for (auto* client : {&first, &second, &other}) client->Close();

  // At the limit a connection is closed without a byte; once one has gone, the next is served.
  const auto served = [] {
    std::unique_ptr<test::TRawClient> client;
    EXPECT_TRUE(test::WaitFor([&] {
      client = std::make_unique<test::TRawClient>(28400);
      client->Send("pw\r\n");
      try {
        return client->ReceiveLine() == "OK";
      } catch (const std::exception&) {
        return false;
      }
    }));
    return client;
  };
  std::vector<std::unique_ptr<test::TRawClient>> admins;
  for (int i = 0; i < 3; ++i) admins.push_back(served());
  EXPECT_TRUE(test::TRawClient(28400).ClosedByPeer());
  admins.pop_back();
  served();
}

// With default limits, one address whose connections all sit in their login phase (a guessing
// loop) holds at most half of the admin port: a login from elsewhere still gets in.
TEST_F(GuardE2ETest, OneAddressLoggingInLeavesTheAdminPortOpenToOthers) {
  Start("AdminPassword=pw\n");
  std::vector<std::unique_ptr<test::TRawClient>> guessing;
  for (int i = 0; i < 8; ++i) guessing.push_back(std::make_unique<test::TRawClient>(28400));
  test::TRawClient operatorClient(28400, "127.0.0.2");
  EXPECT_LT(Reply(operatorClient, "pw", "OK"), 0.9);
}

}  // namespace
