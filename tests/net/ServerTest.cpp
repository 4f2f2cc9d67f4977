// Accepting, limiting, re-dispatching and deactivating sessions.
#include <chrono>
#include <future>

#include "NetTestSupport.h"
#include "net/IdException.h"

namespace {

using Clock = std::chrono::steady_clock;

class ServerSessionTest : public NetServerTest {};

TEST_F(ServerSessionTest, MaxConnectionsRefusesSilentlyUntilASessionEnds) {
  Start(Echo, 2);
  test::TRawClient a(Port());
  test::TRawClient b(Port());
  a.Send("a\n");
  b.Send("b\n");
  EXPECT_EQ(a.ReceiveLine(), "<a>");
  EXPECT_EQ(b.ReceiveLine(), "<b>");

  test::TRawClient refused(Port());
  EXPECT_TRUE(refused.ClosedByPeer());
  EXPECT_EQ(FServer.ThreadCount(), 2);

  a.Close();
  ASSERT_TRUE(test::WaitFor([&] { return FServer.ThreadCount() == 1; }));
  test::TRawClient next(Port());
  next.Send("c\n");
  EXPECT_EQ(next.ReceiveLine(), "<c>");
}

TEST_F(ServerSessionTest, HandlerThatLeavesTheConnectionOpenRunsAgain) {
  std::atomic<int> calls{0};
  Start([&](TIdPeerThread& thread) {
    TIdTCPConnection& c = thread.Connection();
    const std::string line = c.ReadLn();
    c.WriteLn(std::to_string(++calls) + " " + line + " " + c.PeerAddress() + " " +
              std::to_string(FServer.ThreadCount()) + " " + (thread.ThreadId() > 0 ? "id" : "-"));
  });
  test::TRawClient client(Port());
  client.Send("x\ny\n");
  EXPECT_EQ(client.ReceiveLine(), "1 x 127.0.0.1 1 id");
  EXPECT_EQ(client.ReceiveLine(), "2 y 127.0.0.1 1 id");
}

TEST_F(ServerSessionTest, DeactivationWakesASessionBlockedInARead) {
  Start([this](TIdPeerThread& thread) {
    try {
      Echo(thread);
    } catch (const EIdException& e) {
      FEvents.Add(std::string(e.what()) + (thread.Terminated() ? " terminated" : ""));
    }
  });
  test::TRawClient client(Port());
  client.Send("hi\n");
  ASSERT_EQ(client.ReceiveLine(), "<hi>");

  const auto start = Clock::now();
  EXPECT_NO_THROW(FServer.SetActive(false));
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(3));
  EXPECT_TRUE(FEvents.Has("Connection Closed Gracefully. terminated"));
  EXPECT_FALSE(FServer.Active());
  EXPECT_EQ(FServer.ThreadCount(), 0);
  EXPECT_TRUE(client.ClosedByPeer());
  EXPECT_TRUE(test::PortClosed(Port()));
}

TEST_F(ServerSessionTest, HandlerIgnoringTheCloseTimesDeactivationOut) {
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  FServer.TerminateWait = 300;
  Start([this, released](TIdPeerThread&) {
    FEvents.Add("running");
    released.wait();
  });
  test::TRawClient client(Port());
  ASSERT_TRUE(FEvents.WaitFor("running"));

  try {
    FServer.SetActive(false);
    ADD_FAILURE() << "deactivation did not time out";
  } catch (const EIdTerminateThreadTimeout& e) {
    EXPECT_STREQ(e.what(), "Terminate Thread Timeout");
  }
  EXPECT_FALSE(FServer.Active());
  EXPECT_EQ(FServer.ThreadCount(), 1);
  release.set_value();
  EXPECT_TRUE(test::WaitFor([&] { return FServer.ThreadCount() == 0; }));
}

TEST_F(ServerSessionTest, HeldPortFailsToBindAndLeavesTheServerInactive) {
  Start(Echo);
  TIdTCPServer other(Port());
  try {
    other.SetActive(true);
    ADD_FAILURE() << "bind succeeded on a held port";
  } catch (const EIdCouldNotBindSocket& e) {
    EXPECT_STREQ(e.what(), "Could not bind socket. Address and port are already in use.");
  }
  EXPECT_FALSE(other.Active());

  test::TRawClient client(Port());
  client.Send("still\n");
  EXPECT_EQ(client.ReceiveLine(), "<still>");
}

TEST_F(ServerSessionTest, PortInTimeWaitBindsAgain) {
  // The server closes first, so its side of the connection lingers in TIME_WAIT.
  Start([](TIdPeerThread& thread) { thread.Connection().Disconnect(); });
  const std::uint16_t port = Port();
  {
    test::TRawClient client(port);
    EXPECT_TRUE(client.ClosedByPeer());
  }
  FServer.SetActive(false);

  TIdTCPServer again(port);
  again.OnExecute = Echo;
  ASSERT_NO_THROW(again.SetActive(true));
  test::TRawClient client(port);
  client.Send("back\n");
  EXPECT_EQ(client.ReceiveLine(), "<back>");
}

}  // namespace
