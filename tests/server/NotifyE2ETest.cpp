// The reports to the service manager, received on a stand-in for its notification socket.
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>

#include "support/TestSupport.h"

namespace {

// A Unix datagram socket bound in a temporary directory, named in NOTIFY_SOCKET while it lives.
class TFakeNotifySocket {
 public:
  explicit TFakeNotifySocket(const std::string& path)
      : FFd(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
    EXPECT_EQ(bind(FFd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0) << path;
    setenv("NOTIFY_SOCKET", path.c_str(), 1);
  }
  ~TFakeNotifySocket() {
    unsetenv("NOTIFY_SOCKET");
    close(FFd);
  }
  // The next message, or "" when none comes within 20 s.
  std::string Receive() {
    pollfd p{FFd, POLLIN, 0};
    if (poll(&p, 1, 20000) != 1) return "";
    char buf[4096];
    const ssize_t n = recv(FFd, buf, sizeof buf, 0);
    return n > 0 ? std::string(buf, static_cast<std::size_t>(n)) : "";
  }

 private:
  int FFd;
};

TEST(NotifyE2ETest, ReadyOnceListeningWatchdogWhileRunningStoppingAtShutdown) {
  test::TTempDir dir;
  TFakeNotifySocket notify(dir / "notify");
  // A watchdog owned by whatever runs the tests must not stand for the server's own.
  unsetenv("WATCHDOG_PID");
  setenv("WATCHDOG_USEC", "200000", 1);
  test::TServerProcess server(ZARNEL_BINARY, dir.Path());
  unsetenv("WATCHDOG_USEC");

  ASSERT_EQ(notify.Receive(), "READY=1");
  for (const std::uint16_t port : {28100, 28200, 28400}) EXPECT_FALSE(test::PortClosed(port));
  EXPECT_EQ(notify.Receive(), "WATCHDOG=1");
  server.Signal(SIGTERM);
  // Keep-alives may still be queued; a server that never stops must fail the test, not hang it.
  std::string message;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  do message = notify.Receive();
  while (message == "WATCHDOG=1" && std::chrono::steady_clock::now() < deadline);
  EXPECT_EQ(message, "STOPPING=1") << server.Stdout() << server.Stderr();
  const int status = server.Wait();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status << "\n"
                                                             << server.Stdout() << server.Stderr();
}

}  // namespace
