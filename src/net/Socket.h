// Sole owner of one socket descriptor; the only place in the program that closes a socket.
#pragma once

#include <sys/socket.h>

#include <atomic>
#include <cstdint>
#include <string>

class TSocket {
 public:
  TSocket() = default;
  // Takes ownership of Fd (-1 holds nothing).
  explicit TSocket(int fd) noexcept : FFd(fd) {
    if (fd >= 0) ++FOpenCount;
  }
  // Closes the descriptor if one is held.
  ~TSocket() { Reset(); }
  TSocket(TSocket&& other) noexcept : FFd(other.FFd) { other.FFd = -1; }
  TSocket& operator=(TSocket&& other) noexcept;
  TSocket(const TSocket&) = delete;
  TSocket& operator=(const TSocket&) = delete;

  // Sockets held open by TSocket objects in the whole process.
  static int OpenCount() noexcept { return FOpenCount.load(); }

  // Opens a new stream socket of Family (AF_INET or AF_INET6); raises EIdSocketError.
  static TSocket CreateTcp(int family = AF_INET);

  // The descriptor, or -1.
  int Fd() const noexcept { return FFd; }
  bool Valid() const noexcept { return FFd >= 0; }
  // Shuts both directions down; wakes any thread blocked on it. Errors are ignored.
  void Shutdown() const noexcept;
  // Closes the descriptor now, if one is held.
  void Reset() noexcept;
  // Gives the descriptor up without closing it; returns it (or -1).
  int Release() noexcept {
    const int fd = FFd;
    FFd = -1;
    return fd;
  }

  // Sends small segments at once (TCP_NODELAY); errors are ignored.
  void SetNoDelay() const noexcept;
  // Local port the socket is bound to; raises EIdSocketError.
  std::uint16_t LocalPort() const;
  // Peer address in its usual text form and its port; empty and 0 when unknown. An IPv4 peer
  // of a dual-stack socket reads as IPv4 ("127.0.0.1", never "::ffff:127.0.0.1").
  void PeerName(std::string& address, std::uint16_t& port) const;

 private:
  static inline std::atomic<int> FOpenCount{0};
  int FFd = -1;
};
