// The outgoing connection, and the field splitter the services use.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <thread>

#include "NetTestSupport.h"
#include "net/IdException.h"
#include "net/IdTCPClient.h"
#include "net/NetUtil.h"

namespace {

class ClientTest : public NetServerTest {
 protected:
  void SetUp() override {
    Start([](TIdPeerThread& thread) {
      thread.Connection().WriteLn("hello");
      Echo(thread);
    });
    FClient.Port = Port();
    FClient.OnConnected = [this](TIdTCPClient& c) {
      ++FConnected;
      FConnectedInHook = c.Connected();
    };
    FClient.OnDisconnected = [this](TIdTCPConnection&) { ++FDisconnected; };
  }

  TIdTCPClient FClient;
  int FConnected = 0;
  int FDisconnected = 0;
  bool FConnectedInHook = false;
};

TEST_F(ClientTest, ConnectsDisconnectsAndConnectsAgain) {
  FClient.Host = "LoCaLhOsT";
  FClient.Connect();
  EXPECT_EQ(FConnected, 1);
  EXPECT_TRUE(FConnectedInHook);
  EXPECT_EQ(FClient.PeerAddress(), "127.0.0.1");
  EXPECT_EQ(FClient.ReadLn(), "hello");
  EXPECT_THROW(FClient.Connect(), EIdAlreadyConnected);

  FClient.Disconnect();
  FClient.Disconnect();
  EXPECT_EQ(FDisconnected, 1);
  EXPECT_FALSE(FClient.Connected());
  EXPECT_THROW(FClient.ReadLn(), EIdNotConnected);

  FClient.Host = "127.0.0.1";
  FClient.ConnectTimeout = 5000;
  FClient.Connect();
  EXPECT_EQ(FConnected, 2);
  EXPECT_EQ(FClient.ReadLn(), "hello");
  FClient.WriteInteger(0x41420d0a);  // "AB" CR LF
  EXPECT_EQ(FClient.ReadLn(), "<AB>");
}

TEST_F(ClientTest, RefusedConnectLeavesTheClientDisconnected) {
  // A bound socket that does not listen: connecting to its port is refused.
  TSocket holder = TSocket::CreateTcp();
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(holder.Fd(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr), 0);
  FClient.Host = "localhost";
  FClient.Port = holder.LocalPort();
  try {
    FClient.Connect();
    ADD_FAILURE() << "connect succeeded";
  } catch (const EIdSocketError& e) {
    EXPECT_EQ(e.LastError(), ECONNREFUSED);
    EXPECT_EQ(
        std::string(e.what()).rfind("Socket Error # " + std::to_string(ECONNREFUSED) + "\r\n", 0),
        0u);
  }
  EXPECT_FALSE(FClient.Connected());
  FClient.Disconnect();
  EXPECT_EQ(FConnected, 0);
  EXPECT_EQ(FDisconnected, 0);
}

TEST_F(ClientTest, ReadTimeoutGivesUpAndKeepsTheConnection) {
  FClient.Host = "127.0.0.1";
  FClient.Connect();
  ASSERT_EQ(FClient.ReadLn(), "hello");
  FClient.ReadTimeout = 100;
  EXPECT_THROW(FClient.ReadLn(), EIdReadTimeout);
  FClient.WriteLn("again");
  EXPECT_EQ(FClient.ReadLn(), "<again>");
}

TEST_F(ClientTest, DisconnectSocketFromAnotherThreadEndsABlockedRead) {
  FClient.Host = "127.0.0.1";
  FClient.Connect();
  ASSERT_EQ(FClient.ReadLn(), "hello");
  // Whether it lands before or during the read, the read fails the same way.
  std::thread closer([this] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    FClient.DisconnectSocket();
  });
  EXPECT_THROW(FClient.ReadLn(), EIdConnClosedGracefully);
  closer.join();
  EXPECT_FALSE(FClient.Connected());
  EXPECT_THROW(FClient.WriteLn("x"), EIdConnClosedGracefully);
  FClient.Disconnect();
  EXPECT_EQ(FDisconnected, 0);
  FClient.Connect();
  EXPECT_EQ(FClient.ReadLn(), "hello");
}

TEST_F(ClientTest, WritingToAVanishedPeerFailsWithoutSignal) {
  FServer.SetActive(false);
  FServer.OnExecute = [this](TIdPeerThread& thread) {
    thread.Connection().Disconnect();
    FEvents.Add("closed");
  };
  FServer.SetActive(true);
  FClient.Host = "127.0.0.1";
  FClient.Port = Port();
  FClient.Connect();
  ASSERT_TRUE(FEvents.WaitFor("closed"));
  const std::string chunk(4096, 'x');
  EXPECT_THROW(
      {
        for (int i = 0; i < 1000; ++i) FClient.WriteLn(chunk);
      },
      EIdException);
  EXPECT_FALSE(FClient.Connected());
}

TEST(NextFieldTest, SplitsAtTheFirstDelimiter) {
  std::string text = "LOGIN\tuser\t\tpass";
  EXPECT_EQ(NextField(text, "\t"), "LOGIN");
  EXPECT_EQ(text, "user\t\tpass");
  EXPECT_EQ(NextField(text, "\t"), "user");
  EXPECT_EQ(NextField(text, "\t"), "");
  EXPECT_EQ(NextField(text, "\t"), "pass");
  EXPECT_EQ(text, "");
  EXPECT_EQ(NextField(text, "\t"), "");

  text = "a, b,c";
  EXPECT_EQ(NextField(text, ", "), "a");
  EXPECT_EQ(text, "b,c");
  EXPECT_EQ(NextField(text, ""), "b,c");
  EXPECT_EQ(text, "");
}

}  // namespace
