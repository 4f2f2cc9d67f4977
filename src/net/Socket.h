// Sole owner of one socket descriptor; the only place in the program that closes a socket.
#pragma once

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

  // Opens a new IPv4 stream socket; raises EIdSocketError.
  static TSocket CreateTcp();

  // The descriptor, or -1.
  int Fd() const noexcept { return FFd; }
  bool Valid() const noexcept { return FFd >= 0; }
  // Shuts both directions down; wakes any thread blocked on it. Errors are ignored.
  void Shutdown() const noexcept;
  // Closes the descriptor now, if one is held.
  void Reset() noexcept;

  // Sends small segments at once (TCP_NODELAY); errors are ignored.
  void SetNoDelay() const noexcept;
  // Local port the socket is bound to; raises EIdSocketError.
  std::uint16_t LocalPort() const;
  // Peer address in dotted decimal and its port; empty and 0 when unknown.
  void PeerName(std::string& address, std::uint16_t& port) const;

 private:
  static inline std::atomic<int> FOpenCount{0};
  int FFd = -1;
};
