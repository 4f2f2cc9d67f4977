// Server sessions, the I/O of their connections, the outgoing client and the field splitter.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <future>
#include <mutex>
#include <sstream>
#include <thread>

#include "common/FileUtil.h"
#include "net/IdException.h"
#include "net/IdTCPClient.h"
#include "net/IdTCPServer.h"
#include "net/InputBuffer.h"
#include "net/SessionRunner.h"
#include "net/Socket.h"
#include "support/TestSupport.h"

namespace {

using ::testing::StrEq;
using ::testing::ThrowsMessage;

const std::string kClosed = "Connection Closed Gracefully.";
constexpr std::size_t kMax = TIdTCPConnection::MaxLineLength;

class ServerTest : public ::testing::Test {
 protected:
  // Activates the server with Body as its handler, recording the message of whatever it raises.
  void Start(std::function<void(TIdPeerThread&)> body, int maxConnections = 0) {
    FServer.MaxConnections = maxConnections;
    FServer.OnExecute = [this, body](TIdPeerThread& thread) {
      try {
        body(thread);
      } catch (const std::exception& e) {
        Record(e.what());
      }
    };
    FServer.SetActive(true);
  }
  void Record(const std::string& text) {
    std::lock_guard<std::mutex> lock(FLock);
    FEvents.push_back(text);
  }
  bool Seen(const std::string& text) {
    return test::WaitFor([&] {
      std::lock_guard<std::mutex> lock(FLock);
      return std::count(FEvents.begin(), FEvents.end(), text) > 0;
    });
  }
  // Answers every line L with "<L>" until the connection fails.
  static void Echo(TIdPeerThread& thread) {
    TIdTCPConnection& c = thread.Connection();
    for (;;) c.WriteLn("<" + c.ReadLn() + ">");
  }
  std::uint16_t Port() const { return FServer.BoundPort(); }

  std::mutex FLock;
  std::vector<std::string> FEvents;  // guarded by FLock; declared first, outlives the sessions
  TIdTCPServer FServer{0};
};

TEST_F(ServerTest, LineFramingAndTheLengthLimit) {
  Start(Echo);
  const std::string longest(kMax, 'x');
  test::TRawClient client(Port());
  client.Send("abc\r\nabc\r\r\nabc\n\n" + longest);
  // The server has read all of it: 16384 bytes held, no LF yet.
  ASSERT_TRUE(test::WaitFor([&] { return test::UnreadBytes(client.LocalPort(), Port()) == 0; }));
  client.Send("\nsp");
  client.Send("lit\r\n");
  for (const char* want : {"abc", "abc\r", "abc", "", longest.c_str(), "split"})
    EXPECT_EQ(client.ReceiveLine(), std::string("<") + want + ">");
  // The CR counts: 16384 bytes and a CR make 16385.
  client.Send(std::string(kMax, 'y') + "\r\n");
  EXPECT_TRUE(Seen("Max line length exceeded."));
  EXPECT_TRUE(client.ClosedByPeer());

  test::TRawClient noLf(Port());  // refused before any LF arrives
  noLf.Send(std::string(kMax + 1, 'z'));
  EXPECT_TRUE(noLf.ClosedByPeer());

  test::TRawClient last(Port());
  last.Send("ok\nabc");
  EXPECT_EQ(last.ReceiveLine(), "<ok>");
  last.Close();  // mid-line
  EXPECT_TRUE(Seen(kClosed));
  EXPECT_TRUE(test::WaitFor([&] { return FServer.ThreadCount() == 0; }));
}

TEST_F(ServerTest, IntegersAndWrittenBlocks) {
  std::string data(70000, '\0');  // more than one 32768-byte piece
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>('a' + i % 26);
  Start([data](TIdPeerThread& thread) {
    TIdTCPConnection& c = thread.Connection();
    c.WriteInteger(1);
    c.WriteInteger(-1);
    c.WriteInteger(c.ReadInteger());
    std::istringstream stream(data);
    stream.seekg(10);
    c.WriteStream(stream, 0);
    std::istringstream shortStream("0123456789");
    c.WriteStream(shortStream, 5);
    c.WriteStream(shortStream, 20);  // sends what it has from its position, then fails
  });
  test::TRawClient client(Port());
  EXPECT_EQ(client.Receive(8), std::string("\x00\x00\x00\x01\xFF\xFF\xFF\xFF", 8));
  client.Send(std::string("\x00\x00\x61\xA8", 4));
  EXPECT_EQ(client.ReceiveInt(), 25000);
  EXPECT_EQ(client.ReceiveInt(), 69990);
  EXPECT_EQ(client.Receive(69990), data.substr(10));
  EXPECT_EQ(client.ReceiveInt(), 5);
  EXPECT_EQ(client.Receive(5), "01234");
  EXPECT_EQ(client.ReceiveInt(), 20);
  EXPECT_EQ(client.Receive(5), "56789");
  EXPECT_TRUE(Seen("No data to read."));
}

TEST_F(ServerTest, ReadBlocksTakeExactlyTheCount) {
  Start([this](TIdPeerThread& thread) {
    TIdTCPConnection& c = thread.Connection();
    const std::string block = c.ReadBytes(static_cast<std::uint32_t>(c.ReadInteger()));
    Record(block.size() > 20 ? "size " + std::to_string(block.size()) : "read " + block);
  });
  test::TRawClient client(Port());
  client.SendInt(100000);
  client.Send(std::string(100000, 'q'));
  EXPECT_TRUE(Seen("size 100000"));
  client.SendInt(0);
  EXPECT_TRUE(Seen("read "));
  client.SendInt(3);
  client.Send("abcdef");  // the block, then bytes of the next count
  EXPECT_TRUE(Seen("read abc"));
  client.Send(std::string("\0xyz", 4));  // count "def\0": far more than ever arrives
  client.Close();
  EXPECT_TRUE(Seen(kClosed));
}

TEST_F(ServerTest, MaxConnectionsRefusesAndAnOpenConnectionIsDispatchedAgain) {
  std::atomic<int> calls{0};
  Start(
      [&](TIdPeerThread& thread) {
        TIdTCPConnection& c = thread.Connection();
        const std::string line = c.ReadLn();
        c.WriteLn(std::to_string(++calls) + " " + line + " " + c.PeerAddress() + " " +
                  std::to_string(FServer.ThreadCount()) + (thread.ThreadId() > 0 ? " id" : " -"));
      },
      2);
  test::TRawClient a(Port());
  test::TRawClient b(Port());
  test::TRawClient refused(Port());
  EXPECT_TRUE(refused.ClosedByPeer());
  a.Close();
  ASSERT_TRUE(test::WaitFor([&] { return FServer.ThreadCount() == 1; }));
  test::TRawClient next(Port());
  next.Send("x\ny\n");
  EXPECT_EQ(next.ReceiveLine(), "1 x 127.0.0.1 2 id");
  EXPECT_EQ(next.ReceiveLine(), "2 y 127.0.0.1 2 id");
}

TEST_F(ServerTest, LoginsPerAddressCountOnlyTheLoginPhase) {
  FServer.MaxLoginsPerAddress = 1;
  // "in" ends the login phase; after it reads wait without the deadline.
  Start([](TIdPeerThread& thread) {
    const std::string line = thread.Connection().ReadLn();
    if (line == "in") thread.LoginDone();
    thread.Connection().WriteLn(line + (thread.LoggingIn() ? " login" : " done"));
  });
  test::TRawClient first(Port());
  first.Send("x\n");
  EXPECT_EQ(first.ReceiveLine(), "x login");
  EXPECT_TRUE(test::TRawClient(Port()).ClosedByPeer());
  test::TRawClient elsewhere(Port(), "127.0.0.2");
  elsewhere.Send("y\n");
  EXPECT_EQ(elsewhere.ReceiveLine(), "y login");
  // Logged in, a connection no longer counts: a LAN behind one address is not limited.
  first.Send("in\n");
  EXPECT_EQ(first.ReceiveLine(), "in done");
  test::TRawClient second(Port());
  second.Send("in\n");
  EXPECT_EQ(second.ReceiveLine(), "in done");
  EXPECT_TRUE(test::TRawClient(Port(), "127.0.0.2").ClosedByPeer());
}

TEST_F(ServerTest, APeerThatStopsReadingIsCutOffAtTheDeadlinesAndALateReplyStillGoes) {
  FServer.LoginTimeout = 1;
  Start([this](TIdPeerThread& thread) {
    TIdTCPConnection& c = thread.Connection();
    const std::string line = c.ReadLn();
    if (line == "slow") {
      // A check that outlasts the deadline (a later one has already closed the peer that came
      // after): its answer still goes, as the socket takes it.
      Seen("Login timeout");
      c.WriteLn("late");
      return;
    }
    if (line == "in") {
      thread.LoginDone();
      thread.LimitIdle(1);
    }
    // Replies the peer never takes: the socket fills and a send would wait for ever.
    for (const std::string reply(65536, 'x');;) c.WriteLn(reply);
  });
  test::TRawClient slow(Port()), loggingIn(Port()), browsing(Port());
  slow.Send("slow\n");
  loggingIn.Send("x\n");
  browsing.Send("in\n");
  EXPECT_EQ(slow.ReceiveLine(), "late");
  EXPECT_TRUE(Seen("Login timeout"));
  EXPECT_TRUE(Seen("Idle timeout"));
}

TEST_F(ServerTest, BindFailureThenDeactivationThenRebindingThePort) {
  Start([this](TIdPeerThread& thread) {
    try {
      Echo(thread);
    } catch (const EIdException& e) {
      Record(std::string(e.what()) + (thread.Terminated() ? " terminated" : ""));
    }
  });
  TIdTCPServer other(Port());
  other.OnExecute = Echo;
  EXPECT_THAT([&] { other.SetActive(true); },
              ThrowsMessage<EIdCouldNotBindSocket>(
                  StrEq("Could not bind socket. Address and port are already in use.")));
  {
    test::TRawClient client(Port());
    client.Send("hi\n");
    ASSERT_EQ(client.ReceiveLine(), "<hi>");
    // Wakes the blocked read; closing first leaves the server's side in TIME_WAIT.
    FServer.SetActive(false);
    EXPECT_EQ(FServer.ThreadCount(), 0);
    EXPECT_TRUE(Seen("Connection Closed Gracefully. terminated"));
    EXPECT_TRUE(client.ClosedByPeer());
  }
  other.SetActive(true);
  test::TRawClient client(Port());
  client.Send("back\n");
  EXPECT_EQ(client.ReceiveLine(), "<back>");
}

// Lowers the process's descriptor limit while it lives.
class TLowDescriptorLimit {
 public:
  explicit TLowDescriptorLimit(rlim_t limit) {
    getrlimit(RLIMIT_NOFILE, &FSaved);
    rlimit low = FSaved;
    low.rlim_cur = limit;
    FSet = setrlimit(RLIMIT_NOFILE, &low) == 0;
  }
  ~TLowDescriptorLimit() { setrlimit(RLIMIT_NOFILE, &FSaved); }
  bool Set() const { return FSet; }

 private:
  rlimit FSaved{};
  bool FSet = false;
};

TEST_F(ServerTest, PastTheDescriptorReserveConnectionsAreRefusedUntilSomeClose) {
  FServer.OnLog = [this](std::int32_t, const std::string& text) { Record(text); };
  Start(Echo);
  TLowDescriptorLimit limit(512);  // a reserve of 128: sessions may hold 384 sockets in all
  ASSERT_TRUE(limit.Set());
  std::vector<TSocket> held;  // stand-ins for other sessions' sockets, up to one below that
  while (TSocket::OpenCount() < 383) held.emplace_back(dup(STDERR_FILENO));

  test::TRawClient last(Port());
  last.Send("a\n");
  EXPECT_EQ(last.ReceiveLine(), "<a>");
  // Closed at once rather than left waiting in the listen queue; said once in the log.
  test::TRawClient refused(Port());
  test::TRawClient again(Port());
  EXPECT_TRUE(refused.ClosedByPeer());
  EXPECT_TRUE(again.ClosedByPeer());
  const std::string said =
      "Open file limit nearly reached: no new connections are accepted until some close";
  ASSERT_TRUE(Seen(said));
  last.Send("b\n");
  EXPECT_EQ(last.ReceiveLine(), "<b>");

  held.resize(held.size() - 10);
  test::TRawClient served(Port());
  served.Send("c\n");
  EXPECT_EQ(served.ReceiveLine(), "<c>");
  std::lock_guard<std::mutex> lock(FLock);
  EXPECT_EQ(std::count(FEvents.begin(), FEvents.end(), said), 1);
}

// The operator's port may go on into half of the reserve, so the operator can still get in.
TEST_F(ServerTest, AnAlwaysReachablePortUsesHalfTheDescriptorReserve) {
  TIdTCPServer admin(0);
  admin.AlwaysReachable = true;
  admin.OnExecute = Echo;
  admin.SetActive(true);
  Start(Echo);
  TLowDescriptorLimit limit(512);  // a reserve of 128: 384 sockets for all, 448 for the operator
  ASSERT_TRUE(limit.Set());
  std::vector<TSocket> held;
  while (TSocket::OpenCount() < 384) held.emplace_back(dup(STDERR_FILENO));
  EXPECT_TRUE(test::TRawClient(Port()).ClosedByPeer());
  {
    test::TRawClient operatorClient(admin.BoundPort());
    operatorClient.Send("in\n");
    EXPECT_EQ(operatorClient.ReceiveLine(), "<in>");
  }
  ASSERT_TRUE(test::WaitFor([&] { return admin.ThreadCount() == 0; }));  // its socket is closed
  while (TSocket::OpenCount() < 448) held.emplace_back(dup(STDERR_FILENO));
  EXPECT_TRUE(test::TRawClient(admin.BoundPort()).ClosedByPeer());
  admin.SetActive(false);
}

TEST_F(ServerTest, AnErrorTheHandlerLetsOutIsLoggedAndEndsTheSession) {
  FServer.OnLog = [this](std::int32_t, const std::string& text) { Record(text); };
  FServer.OnExecute = [](TIdPeerThread& thread) {
    if (thread.Connection().ReadLn() == "fail") throw std::runtime_error("handler failed");
  };
  FServer.SetActive(true);
  test::TRawClient client(Port());
  client.Send("go on\nfail\n");
  EXPECT_TRUE(Seen("Session Exception:- handler failed"));
  EXPECT_TRUE(client.ClosedByPeer());
}

TEST_F(ServerTest, HandlerIgnoringTheCloseTimesDeactivationOut) {
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  FServer.TerminateWait = 300;
  Start([this, released](TIdPeerThread&) {
    Record("running");
    released.wait();
  });
  test::TRawClient client(Port());
  ASSERT_TRUE(Seen("running"));
  EXPECT_THAT([&] { FServer.SetActive(false); },
              ThrowsMessage<EIdTerminateThreadTimeout>(StrEq("Terminate Thread Timeout")));
  EXPECT_EQ(FServer.ThreadCount(), 1);
  release.set_value();
  EXPECT_TRUE(test::WaitFor([&] { return FServer.ThreadCount() == 0; }));
}

TEST_F(ServerTest, ClientConnectsFailsAndReconnects) {
  Start([](TIdPeerThread& thread) {
    TIdTCPConnection& c = thread.Connection();
    c.WriteLn("hello");
    for (std::string line; (line = c.ReadLn()) != "bye";) c.WriteLn("<" + line + ">");
    c.Disconnect();
  });
  TIdTCPClient client;
  int connected = 0, disconnected = 0;
  client.OnConnected = [&](TIdTCPClient& c) { connected += c.Connected(); };
  client.OnDisconnected = [&](TIdTCPConnection&) { ++disconnected; };
  client.Host = "LoCaLhOsT";
  client.Port = Port();
  client.Connect();
  EXPECT_EQ(client.PeerAddress(), "127.0.0.1");
  EXPECT_EQ(client.ReadLn(), "hello");
  EXPECT_THROW(client.Connect(), EIdAlreadyConnected);
  client.ReadTimeout = 100;
  EXPECT_THROW(client.ReadLn(), EIdReadTimeout);
  client.ReadTimeout = 0;
  client.WriteLn("again");  // the time-out kept the connection
  EXPECT_EQ(client.ReadLn(), "<again>");
  client.Disconnect();
  client.Disconnect();
  EXPECT_THROW(client.ReadLn(), EIdNotConnected);

  client.Host = "127.0.0.1";
  client.ConnectTimeout = 5000;
  client.Connect();
  EXPECT_EQ(client.ReadLn(), "hello");
  // Closed from another thread while a read waits, the read fails as on a close by the peer.
  const pid_t reader = test::ThisThread();
  std::thread closer([&] {
    EXPECT_TRUE(test::WaitFor([&] { return test::Asleep(reader); }));  // in the read
    client.DisconnectSocket();
  });
  EXPECT_THROW(client.ReadLn(), EIdConnClosedGracefully);
  closer.join();
  EXPECT_FALSE(client.Connected());
  EXPECT_THROW(client.WriteLn("x"), EIdConnClosedGracefully);
  client.Disconnect();

  // Writing to a peer that has gone fails without a signal.
  client.Connect();
  client.WriteLn("bye");
  ASSERT_TRUE(test::WaitFor([&] { return FServer.ThreadCount() == 0; }));
  const std::string chunk(4096, 'x');
  EXPECT_THROW(for (int i = 0; i < 1000; ++i) client.WriteLn(chunk), EIdException);
  EXPECT_FALSE(client.Connected());

  // A bound socket that does not listen: connecting to its port is refused.
  TSocket holder = TSocket::CreateTcp();
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  ASSERT_EQ(bind(holder.Fd(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr), 0);
  client.Port = holder.LocalPort();
  EXPECT_THAT([&] { client.Connect(); },
              ThrowsMessage<EIdSocketError>(
                  testing::StartsWith("Socket Error # " + std::to_string(ECONNREFUSED) + "\r\n")));
  EXPECT_FALSE(client.Connected());
  client.Disconnect();
  EXPECT_EQ(connected, 3);     // each hook call once connected, none for the failure
  EXPECT_EQ(disconnected, 1);  // Disconnect fires only for an open connection
}

// A client's send gives up once the peer has taken none of its bytes for WriteTimeout, and
// only then: a peer that reads slowly gets the whole message, however long that takes.
TEST(ClientWriteTimeoutTest, GivesUpOnAPeerThatTakesNothingButNotOnOneThatReadsSlowly) {
  TSocket listener = TSocket::CreateTcp();
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(listener.Fd(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr), 0);
  ASSERT_EQ(listen(listener.Fd(), 4), 0);
  // More than the system buffers on both sides while the peer reads nothing.
  const std::string message(8 << 20, 'm');
  TIdTCPClient client;
  client.Host = "127.0.0.1";
  client.Port = listener.LocalPort();
  client.WriteTimeout = 500;
  client.Connect();
  const TSocket stuck(accept(listener.Fd(), nullptr, nullptr));
  EXPECT_THROW(client.WriteBuffer(message.data(), message.size()), EIdWriteTimeout);
  EXPECT_FALSE(client.Connected());  // part of the message may have gone: out of step for good
  client.Disconnect();

  client.Connect();
  const TSocket slow(accept(listener.Fd(), nullptr, nullptr));
  std::size_t got = 0;
  std::thread reader([&] {
    char piece[65536];
    for (ssize_t n; got < message.size() && (n = recv(slow.Fd(), piece, sizeof piece, 0)) > 0;) {
      got += static_cast<std::size_t>(n);
      std::this_thread::sleep_for(std::chrono::milliseconds(20));  // some 3 MB a second
    }
  });
  EXPECT_NO_THROW(client.WriteBuffer(message.data(), message.size()));
  reader.join();
  EXPECT_EQ(got, message.size());
}

// Over a packet socket pair every send is one record, so each receive shows one send.
class WriteBatchTest : public ::testing::Test {
 protected:
  WriteBatchTest() {
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fds) != 0)
      throw std::runtime_error("socketpair");
    FConnection = std::make_unique<TIdTCPConnection>(TSocket(fds[0]));
    FPeer = TSocket(fds[1]);
  }
  // The next record the connection sent, or "none".
  std::string Next() {
    char buf[200000];
    const ssize_t n = recv(FPeer.Fd(), buf, sizeof buf, MSG_DONTWAIT);
    return n < 0 ? std::string("none") : std::string(buf, static_cast<std::size_t>(n));
  }

  std::unique_ptr<TIdTCPConnection> FConnection;
  TSocket FPeer;
};

TEST_F(WriteBatchTest, AMessageLeavesInOneSendAndBeforeAnyWait) {
  TIdTCPConnection& c = *FConnection;
  const TSocket& peer = FPeer;
  const auto next = [this] { return Next(); };
  {
    TWriteBatch message(c);
    c.WriteInteger(1);
    c.WriteLn("ab");
    std::istringstream data("xyz");
    c.WriteStream(data, 0);
    EXPECT_EQ(next(), "none");
    message.Send();
  }
  EXPECT_EQ(next(), std::string("\0\0\0\1ab\r\n\0\0\0\3xyz", 15));
  // Nested messages leave with the outer one; an error that ends the message sends what was
  // collected, and so does a read, since the peer may wait for it before it answers.
  try {
    TWriteBatch outer(c);
    c.WriteInteger(2);
    {
      TWriteBatch inner(c);
      c.WriteInteger(3);
      inner.Send();
    }
    EXPECT_EQ(next(), "none");
    c.WriteInteger(4);
    throw std::runtime_error("fails");
  } catch (const std::runtime_error&) {
  }
  EXPECT_EQ(next(), std::string("\0\0\0\2\0\0\0\3\0\0\0\4", 12));
  {
    TWriteBatch message(c);
    c.WriteInteger(5);
    auto reply = std::async(std::launch::async, [&] {
      char buf[16];
      const ssize_t n = recv(peer.Fd(), buf, sizeof buf, 0);
      send(peer.Fd(), "\0\0\0\6", 4, 0);
      return n;
    });
    EXPECT_EQ(c.ReadInteger(), 6);
    EXPECT_EQ(reply.get(), 4);
  }
  // A message beyond the limit goes in pieces of it rather than growing without bound.
  {
    TWriteBatch message(c);
    c.WriteBuffer(std::string(TIdTCPConnection::WriteBufferLimit + 10, 'z').data(),
                  TIdTCPConnection::WriteBufferLimit + 10);
    EXPECT_EQ(next().size(), TIdTCPConnection::WriteBufferLimit + 10);
    c.WriteInteger(8);
  }
  EXPECT_EQ(next(), std::string("\0\0\0\10", 4));
}

// A file block goes out with its head and count only when the file holds bytes there.
TEST_F(WriteBatchTest, AFileBlockCarriesWhatTheFileHoldsAndNothingPastItsEnd) {
  TIdTCPConnection& c = *FConnection;
  const auto next = [this] { return Next(); };
  const auto integer = [](std::uint32_t v) {
    return std::string{static_cast<char>(v >> 24), static_cast<char>(v >> 16),
                       static_cast<char>(v >> 8), static_cast<char>(v)};
  };
  test::TTempDir dir;
  std::string content;
  for (int i = 0; i < 40000; ++i) content += static_cast<char>('a' + i % 26);
  test::WriteFile(dir / "stream", content);
  const TFileHandle file(open((dir / "stream").c_str(), O_RDONLY | O_CLOEXEC));
  ASSERT_TRUE(file.Valid());

  EXPECT_EQ(c.WriteFileAvailable(file.Get(), 39990, 100, {7, 1}), 10);
  EXPECT_EQ(next(), integer(7) + integer(1) + integer(10) + content.substr(39990));
  EXPECT_EQ(c.WriteFileAvailable(file.Get(), 39990, 4, {7, 1}), 4);
  EXPECT_EQ(next(), integer(7) + integer(1) + integer(4) + content.substr(39990, 4));
  EXPECT_EQ(c.WriteFileAvailable(file.Get(), 40000, 100, {7, 1}), 0);
  EXPECT_EQ(next(), "none");
  {
    // Nothing at the end leaves the message as it was; a budget far beyond the file costs
    // no more than the file.
    TWriteBatch message(c);
    c.WriteInteger(9);
    EXPECT_EQ(c.WriteFileAvailable(file.Get(), 40000, 5, {1}), 0);
    EXPECT_EQ(c.WriteFileAvailable(file.Get(), 0, 1 << 30, {2}), 40000);
    message.Send();
  }
  EXPECT_EQ(next(), integer(9) + integer(2) + integer(40000) + content);
}

}  // namespace

namespace {

// The body's error is caught once and logged where the handler puts it; every end step runs,
// whatever the one before raised, and a log that fails goes no further.
TEST(SessionRunner, CatchesOnceAndRunsEveryEndStep) {
  std::vector<std::string> lines;
  bool logFails = false;
  TSessionRunner runner("X:- ", [&](const std::string& line) {
    if (logFails) throw std::runtime_error("log");
    lines.push_back(line);
  });
  EXPECT_FALSE(runner.Run([] { throw std::runtime_error("body"); }));
  runner.Step([] { throw std::runtime_error("step"); });
  runner.Step([] { throw 7; });
  runner.LogError();
  logFails = true;
  runner.Step([&] {
    lines.push_back("last");
    throw std::runtime_error("again");
  });
  runner.LogError();
  EXPECT_EQ(lines, (std::vector<std::string>{"X:- step", "X:- body", "last"}));

  lines.clear();
  logFails = false;
  TSessionRunner clean("X:- ", [&](const std::string& line) { lines.push_back(line); });
  EXPECT_TRUE(clean.Run([] {}));
  clean.LogError();
  TSessionRunner odd("X:- ", [&](const std::string& line) { lines.push_back(line); });
  EXPECT_FALSE(odd.Run([] { throw 7; }));
  odd.LogError();
  // A session time-out is an expected end: its own plain line, no error after it.
  TSessionRunner idle("X:- ", [&](const std::string& line) { lines.push_back(line); });
  EXPECT_TRUE(idle.Run([] { throw EIdSessionTimeout("idle"); }));
  idle.LogError();
  EXPECT_EQ(lines, (std::vector<std::string>{"X:- Unknown error", "idle"}));
}

}  // namespace

namespace {

// Lines split over receives, asked for again, and kept right when the buffer slides its
// unconsumed bytes to the front for a larger receive.
TEST(InputBuffer, FindsLinesAcrossReceivesAndAcrossTheSlide) {
  TInputBuffer buffer;
  const auto receive = [&](const std::string& bytes) {
    std::memcpy(buffer.Space(bytes.size()), bytes.data(), bytes.size());
    buffer.Commit(bytes.size());
  };
  EXPECT_TRUE(buffer.Empty());
  EXPECT_EQ(buffer.FindLF(), TInputBuffer::npos);
  receive("ab");
  EXPECT_EQ(buffer.FindLF(), TInputBuffer::npos);
  receive("c\nde");
  EXPECT_EQ(buffer.FindLF(), 3u);
  EXPECT_EQ(buffer.FindLF(), 3u);
  std::string line;
  buffer.TakeAppend(line, 4);
  EXPECT_EQ(line, "abc\n");
  EXPECT_EQ(buffer.FindLF(), TInputBuffer::npos);

  receive(std::string(100, 'x') + "\n");  // does not fit behind "de": slides it to the front
  EXPECT_EQ(buffer.Size(), 103u);
  EXPECT_EQ(buffer.FindLF(), 102u);
  char head[3];
  buffer.Take(head, 3);
  EXPECT_EQ(std::string(head, 3), "dex");
  EXPECT_EQ(buffer.FindLF(), 99u);

  std::string rest;
  buffer.TakeAppend(rest, 1000);  // more than is buffered: takes what there is
  EXPECT_EQ(rest, std::string(99, 'x') + "\n");
  EXPECT_TRUE(buffer.Empty());
  receive("\nz");
  EXPECT_EQ(buffer.FindLF(), 0u);
  buffer.Clear();
  EXPECT_TRUE(buffer.Empty());
  EXPECT_EQ(buffer.FindLF(), TInputBuffer::npos);
}

}  // namespace
