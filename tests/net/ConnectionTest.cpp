// Line, integer and counted-block I/O of a server-side connection, over loopback.
#include <sstream>

#include "NetTestSupport.h"
#include "net/IdException.h"

namespace {

const std::string kTooLong = "Max line length exceeded.";
const std::string kClosed = "Connection Closed Gracefully.";

class ConnectionIoTest : public NetServerTest {};

TEST_F(ConnectionIoTest, LinesEndAtLfAndDropOneCr) {
  Start(Echo);
  test::TRawClient client(Port());
  // Several lines in one packet, then a line split over two sends.
  client.Send("abc\r\nabc\r\r\nabc\n\nlast\n");
  client.Send("sp");
  client.Send("lit\r\n");
  EXPECT_EQ(client.ReceiveLine(), "<abc>");
  EXPECT_EQ(client.ReceiveLine(), "<abc\r>");
  EXPECT_EQ(client.ReceiveLine(), "<abc>");
  EXPECT_EQ(client.ReceiveLine(), "<>");
  EXPECT_EQ(client.ReceiveLine(), "<last>");
  EXPECT_EQ(client.ReceiveLine(), "<split>");
}

TEST_F(ConnectionIoTest, LongestLineIsAcceptedAndOneMoreByteClosesTheConnection) {
  Start(Echo);
  test::TRawClient client(Port());
  const std::string longest(TIdTCPConnection::MaxLineLength, 'x');
  client.Send(longest + "\n");
  EXPECT_EQ(client.ReceiveLine(), "<" + longest + ">");
  // The CR counts: 16384 bytes and a CR make 16385.
  client.Send(std::string(TIdTCPConnection::MaxLineLength, 'y') + "\r\n");
  EXPECT_TRUE(FEvents.WaitFor(kTooLong));
  EXPECT_TRUE(client.ClosedByPeer());

  test::TRawClient next(Port());
  next.Send("ok\n");
  EXPECT_EQ(next.ReceiveLine(), "<ok>");
}

TEST_F(ConnectionIoTest, OverlongLineIsRefusedBeforeItsLfArrives) {
  Start(Echo);
  test::TRawClient client(Port());
  client.Send(std::string(TIdTCPConnection::MaxLineLength + 1, 'z'));
  EXPECT_TRUE(FEvents.WaitFor(kTooLong));
  EXPECT_TRUE(client.ClosedByPeer());
  EXPECT_TRUE(test::WaitFor([&] { return FServer.ThreadCount() == 0; }));
}

TEST_F(ConnectionIoTest, PeerClosingMidLineEndsTheRead) {
  Start(Echo);
  test::TRawClient client(Port());
  client.Send("abc");
  client.Close();
  EXPECT_TRUE(FEvents.WaitFor(kClosed));
}

TEST_F(ConnectionIoTest, IntegersAreFourBytesMostSignificantFirst) {
  Start([](TIdPeerThread& thread) {
    TIdTCPConnection& c = thread.Connection();
    c.WriteInteger(1);
    c.WriteInteger(-1);
    c.WriteInteger(c.ReadInteger());
  });
  test::TRawClient client(Port());
  EXPECT_EQ(client.Receive(4), std::string("\x00\x00\x00\x01", 4));
  EXPECT_EQ(client.Receive(4), "\xFF\xFF\xFF\xFF");
  client.Send(std::string("\x00\x00\x61\xA8", 4));
  EXPECT_EQ(client.ReceiveInt(), 25000);
}

class CountedBlockTest : public NetServerTest {
 protected:
  static std::string Pattern(std::size_t size) {
    std::string s(size, '\0');
    for (std::size_t i = 0; i < size; ++i) s[i] = static_cast<char>('a' + i % 26);
    return s;
  }
};

TEST_F(CountedBlockTest, WriteStreamSendsFromThePositionInPieces) {
  // Larger than one 32768-byte piece.
  const std::string data = Pattern(70000);
  Start([data](TIdPeerThread& thread) {
    TIdTCPConnection& c = thread.Connection();
    std::istringstream stream(data);
    stream.seekg(10);
    c.WriteStream(stream, 0);
    stream.clear();
    stream.seekg(10);
    c.WriteStream(stream, 5);
    std::istringstream shortStream("0123456789");
    c.WriteStream(shortStream, 20);
  });
  test::TRawClient client(Port());
  EXPECT_EQ(client.ReceiveInt(), 69990);
  EXPECT_EQ(client.Receive(69990), data.substr(10));
  EXPECT_EQ(client.ReceiveInt(), 5);
  EXPECT_EQ(client.Receive(5), data.substr(10, 5));
  // A stream shorter than announced sends what it has, then fails.
  EXPECT_EQ(client.ReceiveInt(), 20);
  EXPECT_EQ(client.Receive(10), "0123456789");
  EXPECT_TRUE(FEvents.WaitFor("No data to read."));
}

TEST_F(CountedBlockTest, ReadStreamTakesExactlyTheCount) {
  Start([this](TIdPeerThread& thread) {
    std::string block;
    thread.Connection().ReadStream(block);
    FEvents.Add(block.size() > 20 ? "size " + std::to_string(block.size()) : block);
  });
  test::TRawClient client(Port());
  client.SendInt(3);
  client.Send("abcdef");  // the block, then bytes of the next count
  EXPECT_TRUE(FEvents.WaitFor("abc"));
  client.Send(std::string(1, '\0'));  // count "def\0": far more than ever arrives
  client.Send("xyz");
  client.Close();
  EXPECT_TRUE(FEvents.WaitFor("Connection Closed Gracefully."));

  test::TRawClient big(Port());
  big.SendInt(100000);
  big.Send(Pattern(100000));
  EXPECT_TRUE(FEvents.WaitFor("size 100000"));
  big.SendInt(0);
  EXPECT_TRUE(FEvents.WaitFor(""));
}

TEST_F(CountedBlockTest, NegativeCountClosesTheConnection) {
  Start([this](TIdPeerThread& thread) {
    std::string block;
    thread.Connection().ReadStream(block);
    FEvents.Add("read " + block);
  });
  test::TRawClient client(Port());
  client.SendInt(-5);
  client.Send("hello");
  EXPECT_TRUE(FEvents.WaitFor("Invalid block length."));
  EXPECT_TRUE(client.ClosedByPeer());
}

}  // namespace
