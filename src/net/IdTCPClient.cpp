#include "net/IdTCPClient.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>

#include "net/IdException.h"

namespace {

bool IsLocalhost(const std::string& host) {
  static const char kName[] = "LOCALHOST";
  if (host.size() != sizeof kName - 1) return false;
  for (std::size_t i = 0; i < host.size(); ++i) {
    char c = host[i];
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    if (c != kName[i]) return false;
  }
  return true;
}

in_addr Resolve(const std::string& host) {
  in_addr addr{};
  if (IsLocalhost(host)) {
    addr.s_addr = htonl(INADDR_LOOPBACK);
    return addr;
  }
  if (inet_pton(AF_INET, host.c_str(), &addr) == 1) return addr;
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const int rc = getaddrinfo(host.c_str(), nullptr, &hints, &found);
  if (rc != 0) {
    // Resolver failures carry the resolver's own number and text, unless they are system errors.
    if (rc == EAI_SYSTEM) throw EIdSocketError(errno);
    throw EIdSocketError(rc, gai_strerror(rc));
  }
  addr = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr;
  freeaddrinfo(found);
  return addr;
}

// Waits for a connect in progress; TimeoutMs < 0 waits without a limit of its own.
void FinishConnect(int fd, int timeoutMs) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    int wait = -1;
    if (timeoutMs >= 0) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      if (left <= 0) throw EIdSocketError(ETIMEDOUT);
      wait = static_cast<int>(left);
    }
    pollfd p{fd, POLLOUT, 0};
    const int rc = poll(&p, 1, wait);
    if (rc == 0) throw EIdSocketError(ETIMEDOUT);
    if (rc < 0) {
      if (errno == EINTR) continue;
      throw EIdSocketError(errno);
    }
    int error = 0;
    socklen_t len = sizeof error;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len) != 0) throw EIdSocketError(errno);
    if (error != 0) throw EIdSocketError(error);
    return;
  }
}

void SetBlocking(int fd, bool blocking) {
  const int flags = fcntl(fd, F_GETFL);
  if (flags < 0) throw EIdSocketError(errno);
  const int wanted = blocking ? (flags & ~O_NONBLOCK) : (flags | O_NONBLOCK);
  if (fcntl(fd, F_SETFL, wanted) != 0) throw EIdSocketError(errno);
}

void ConnectSocket(int fd, const sockaddr_in& target, int timeoutMs) {
  const bool timed = timeoutMs > 0;
  if (timed) SetBlocking(fd, false);
  if (connect(fd, reinterpret_cast<const sockaddr*>(&target), sizeof target) != 0) {
    // An interrupted blocking connect goes on in the background: wait for it as for a timed one.
    if (errno != EINPROGRESS && errno != EINTR) throw EIdSocketError(errno);
    FinishConnect(fd, timed ? timeoutMs : -1);
  }
  if (timed) SetBlocking(fd, true);
}

}  // namespace

void TIdTCPClient::Connect() {
  if (Connected()) throw EIdAlreadyConnected();
  ReleaseSocket();  // a socket whose peer has closed is dropped
  try {
    sockaddr_in target{};
    target.sin_family = AF_INET;
    target.sin_port = htons(Port);
    target.sin_addr = Resolve(Host);
    // Installed before the connect, so that DisconnectSocket from another thread aborts it.
    const int fd = AttachConnecting(TSocket::CreateTcp());
    ConnectSocket(fd, target, ConnectTimeout);
    ConfirmConnected();
    if (OnConnected) OnConnected(*this);
  } catch (...) {
    ReleaseSocket();
    throw;
  }
}
