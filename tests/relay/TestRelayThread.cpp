#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "relay/UnitRelayThread.h"
#include "support/TestSupport.h"

namespace {

using std::chrono::milliseconds;
using TClock = std::chrono::steady_clock;

// A loopback socket on an ephemeral port; listening or only bound (so connects are refused).
class TListener {
 public:
  explicit TListener(bool listening) : FFd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof addr;
    if (FFd < 0 || bind(FFd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        getsockname(FFd, reinterpret_cast<sockaddr*>(&addr), &length) != 0 ||
        (listening && listen(FFd, 15) != 0))
      throw std::runtime_error("listener set-up failed");
    FPort = ntohs(addr.sin_port);
  }
  ~TListener() { close(FFd); }
  TListener(const TListener&) = delete;
  TListener& operator=(const TListener&) = delete;
  std::uint16_t Port() const { return FPort; }
  // The next connection's socket, or -1 when none comes within Timeout.
  int Accept(milliseconds timeout) {
    pollfd p{FFd, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(timeout.count())) <= 0) return -1;
    return accept4(FFd, nullptr, nullptr, SOCK_CLOEXEC);
  }

 private:
  int FFd;
  std::uint16_t FPort = 0;
};

// True when the peer closed Fd without sending any byte; closes Fd.
bool ClosedWithoutData(int fd) {
  pollfd p{fd, POLLIN, 0};
  char c;
  const bool closed = poll(&p, 1, 10000) == 1 && recv(fd, &c, 1, 0) == 0;
  close(fd);
  return closed;
}

class RelayThreadTest : public ::testing::Test {
 protected:
  std::vector<std::string> Messages() const { return test::LogMessages(FDir / "zarnel.log"); }
  // Waits until the log holds Count lines that start with Prefix.
  bool WaitForLines(const std::string& prefix, int count) const {
    return test::WaitFor([&] {
      int found = 0;
      for (const auto& message : Messages()) found += message.rfind(prefix, 0) == 0;
      return found >= count;
    });
  }
  std::unique_ptr<TRelayThread> MakeThread(std::uint16_t port,
                                           const std::string& host = "127.0.0.1") {
    return std::make_unique<TRelayThread>("1.0.0.23", host, FDir / "Streams/", "secret", FLog,
                                          port);
  }

  test::TTempDir FDir;
  TLog FLog{FDir / "zarnel.log"};
};

TEST_F(RelayThreadTest, ConnectsAndClosesAtOnceThenRetriesAfterThePause) {
  TListener upstream(true);
  auto thread = MakeThread(upstream.Port());
  const auto started = TClock::now();
  thread->Start();
  const int first = upstream.Accept(milliseconds(10000));
  ASSERT_GE(first, 0);
  EXPECT_TRUE(ClosedWithoutData(first));
  const int second = upstream.Accept(milliseconds(10000));
  const auto secondAt = TClock::now();
  ASSERT_GE(second, 0);
  EXPECT_TRUE(ClosedWithoutData(second));
  EXPECT_GE(secondAt - started, milliseconds(2000));
  ASSERT_TRUE(WaitForLines("Relay: Disconnected", 2));

  const auto stopping = TClock::now();
  thread->DisconnectSocket();
  thread->Terminate();
  thread->WaitFor();
  EXPECT_LT(TClock::now() - stopping, milliseconds(1500));

  const std::vector<std::string> expected{"Relay: Connected", "Relay: Disconnected",
                                          "Relay: Attempting Reconnection...", "Relay: Connected",
                                          "Relay: Disconnected"};
  const auto messages = Messages();
  ASSERT_GE(messages.size(), expected.size());
  EXPECT_EQ(std::vector<std::string>(messages.begin(), messages.begin() + 5), expected);
  // Every line carries the relay thread's own number.
  std::vector<int> numbers;
  for (const auto& line : test::SplitLines(test::ReadFile(FDir / "zarnel.log")))
    numbers.push_back(std::stoi(line.substr(line.find('[') + 1)));
  EXPECT_NE(numbers.at(0), 0);
  EXPECT_NE(numbers.at(0), CurrentThreadNumber());
  EXPECT_EQ(numbers, std::vector<int>(numbers.size(), numbers.at(0)));
}

TEST_F(RelayThreadTest, RefusedAttemptsAreLoggedAndRetriedUntilDestroyed) {
  TListener upstream(false);
  auto thread = MakeThread(upstream.Port());
  const auto started = TClock::now();
  thread->Start();
  ASSERT_TRUE(WaitForLines("Relay Exception :- ", 2));
  EXPECT_GE(TClock::now() - started, milliseconds(2000));
  const auto stopping = TClock::now();
  thread.reset();  // in the middle of a pause
  EXPECT_LT(TClock::now() - stopping, milliseconds(1500));

  const auto messages = Messages();
  ASSERT_GE(messages.size(), 3u);
  EXPECT_EQ(messages[0].rfind("Relay Exception :- Socket Error # 111", 0), 0u) << messages[0];
  EXPECT_EQ(messages[1], "Relay: Attempting Reconnection...");
  EXPECT_EQ(messages[2], messages[0]);
  for (const auto& message : messages)
    EXPECT_EQ(message.find("Relay: Connected"), std::string::npos);
}

TEST_F(RelayThreadTest, ALogThatCannotBeWrittenDoesNotStopTheLink) {
  TListener upstream(true);
  TLog broken(FDir / "missing/zarnel.log");
  TRelayThread thread("1.0.0.23", "127.0.0.1", "", "", broken, upstream.Port());
  thread.Start();
  for (int attempt = 0; attempt < 2; ++attempt) {
    const int fd = upstream.Accept(milliseconds(10000));
    ASSERT_GE(fd, 0) << attempt;
    EXPECT_TRUE(ClosedWithoutData(fd));
  }
}

TEST_F(RelayThreadTest, ANeverStartedThreadIsReleasedWithoutConnecting) {
  TListener upstream(true);
  {
    auto thread = MakeThread(upstream.Port());
    thread->DisconnectSocket();
    thread->Terminate();
    thread->WaitFor();
  }
  EXPECT_EQ(upstream.Accept(milliseconds(200)), -1);
  EXPECT_FALSE(test::FileExists(FDir / "zarnel.log"));
}

}  // namespace
