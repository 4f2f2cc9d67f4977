#include "net/IdTCPClient.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <vector>

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

// Every address Host names, with Port, in the resolver's order. Host may be a name, an IPv4
// address, or an IPv6 address with or without brackets.
std::vector<sockaddr_storage> Resolve(std::string host, std::uint16_t port) {
  std::vector<sockaddr_storage> targets;
  in_addr v4{};
  if (IsLocalhost(host)) host = "127.0.0.1";
  if (inet_pton(AF_INET, host.c_str(), &v4) == 1) {
    auto& addr = reinterpret_cast<sockaddr_in&>(targets.emplace_back());
    addr.sin_family = AF_INET;
    addr.sin_addr = v4;
    addr.sin_port = htons(port);
    return targets;
  }
  if (host.size() > 2 && host.front() == '[' && host.back() == ']')
    host = host.substr(1, host.size() - 2);
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const int rc = getaddrinfo(host.c_str(), nullptr, &hints, &found);
  if (rc != 0) {
    // Resolver failures carry the resolver's own number and text, unless they are system errors.
    if (rc == EAI_SYSTEM) throw EIdSocketError(errno);
    throw EIdSocketError(rc, gai_strerror(rc));
  }
  for (const addrinfo* a = found; a; a = a->ai_next) {
    if ((a->ai_family != AF_INET && a->ai_family != AF_INET6) ||
        a->ai_addrlen > sizeof(sockaddr_storage))
      continue;
    sockaddr_storage& target = targets.emplace_back();
    std::memcpy(&target, a->ai_addr, a->ai_addrlen);
    // sin_port and sin6_port lie at the same place.
    reinterpret_cast<sockaddr_in&>(target).sin_port = htons(port);
  }
  freeaddrinfo(found);
  if (targets.empty()) throw EIdSocketError(EAI_FAMILY, gai_strerror(EAI_FAMILY));
  return targets;
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

void ConnectSocket(int fd, const sockaddr_storage& target, int timeoutMs) {
  const bool timed = timeoutMs > 0;
  if (timed) SetBlocking(fd, false);
  const socklen_t length =
      target.ss_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
  if (connect(fd, reinterpret_cast<const sockaddr*>(&target), length) != 0) {
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
    const std::vector<sockaddr_storage> targets = Resolve(Host, Port);
    // The addresses in turn, until one answers or a DisconnectSocket ends the attempt.
    for (std::size_t i = 0;; ++i) {
      // Installed before the connect, so that DisconnectSocket from another thread aborts it.
      const int fd = AttachConnecting(TSocket::CreateTcp(targets[i].ss_family));
      try {
        ConnectSocket(fd, targets[i], ConnectTimeout);
        break;
      } catch (const EIdSocketError&) {
        if (i + 1 == targets.size() || ConnectAborted()) throw;
      }
    }
    ConfirmConnected();
    if (OnConnected) OnConnected(*this);
  } catch (...) {
    ReleaseSocket();
    throw;
  }
}
