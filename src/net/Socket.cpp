#include "net/Socket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "net/IdException.h"

TSocket& TSocket::operator=(TSocket&& other) noexcept {
  if (this != &other) {
    Reset();
    FFd = other.FFd;
    other.FFd = -1;
  }
  return *this;
}

TSocket TSocket::CreateTcp(int family) {
  int fd = socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) throw EIdSocketError(errno);
  return TSocket(fd);
}

void TSocket::Shutdown() const noexcept {
  if (FFd >= 0) shutdown(FFd, SHUT_RDWR);
}

void TSocket::SetNoDelay() const noexcept {
  const int one = 1;
  if (FFd >= 0) setsockopt(FFd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

void TSocket::Reset() noexcept {
  if (FFd < 0) return;
  // Linux releases the descriptor even when close reports EINTR, so it is never retried.
  close(FFd);
  FFd = -1;
  --FOpenCount;
}

std::uint16_t TSocket::LocalPort() const {
  sockaddr_storage addr{};
  socklen_t len = sizeof addr;
  if (getsockname(FFd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) throw EIdSocketError(errno);
  // sin_port and sin6_port lie at the same place.
  return ntohs(reinterpret_cast<const sockaddr_in&>(addr).sin_port);
}

void TSocket::PeerName(std::string& address, std::uint16_t& port) const {
  address.clear();
  port = 0;
  sockaddr_storage addr{};
  socklen_t len = sizeof addr;
  if (getpeername(FFd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) return;
  char text[INET6_ADDRSTRLEN] = {};
  if (addr.ss_family == AF_INET) {
    const auto& in = reinterpret_cast<const sockaddr_in&>(addr);
    if (inet_ntop(AF_INET, &in.sin_addr, text, sizeof text) == nullptr) return;
    port = ntohs(in.sin_port);
  } else if (addr.ss_family == AF_INET6) {
    const auto& in6 = reinterpret_cast<const sockaddr_in6&>(addr);
    const bool mapped = IN6_IS_ADDR_V4MAPPED(&in6.sin6_addr);
    const void* bytes = mapped ? static_cast<const void*>(&in6.sin6_addr.s6_addr[12])
                               : static_cast<const void*>(&in6.sin6_addr);
    if (inet_ntop(mapped ? AF_INET : AF_INET6, bytes, text, sizeof text) == nullptr) return;
    port = ntohs(in6.sin6_port);
  } else {
    return;
  }
  address = text;
}
