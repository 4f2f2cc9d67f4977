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

TSocket TSocket::CreateTcp() {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
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
  sockaddr_in addr{};
  socklen_t len = sizeof addr;
  if (getsockname(FFd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) throw EIdSocketError(errno);
  return ntohs(addr.sin_port);
}

void TSocket::PeerName(std::string& address, std::uint16_t& port) const {
  address.clear();
  port = 0;
  sockaddr_in addr{};
  socklen_t len = sizeof addr;
  if (getpeername(FFd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) return;
  if (addr.sin_family != AF_INET) return;
  char text[INET_ADDRSTRLEN] = {};
  if (inet_ntop(AF_INET, &addr.sin_addr, text, sizeof text) != nullptr) address = text;
  port = ntohs(addr.sin_port);
}
