#include "net/IdTCPConnection.h"

#include <arpa/inet.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <limits>
#include <memory>
#include <stdexcept>

#include "common/Metrics.h"
#include "net/IdException.h"

TWriteBatch::TWriteBatch(TIdTCPConnection& connection) : FConnection(connection) {
  FConnection.OpenWriteBuffer();
}

TWriteBatch::~TWriteBatch() {
  if (!FOpen) return;
  try {
    FConnection.CloseWriteBuffer();
  } catch (...) {
    // Safe to drop: either an error is leaving the scope and is the one that counts, or the
    // failed send has closed the connection, so its next transfer raises.
  }
}

void TWriteBatch::Send() {
  FOpen = false;
  FConnection.CloseWriteBuffer();
}

int UnacknowledgedBytes(int fd) {
  int count = 0;
  return ioctl(fd, SIOCOUTQ, &count) == 0 ? count : -1;
}

TIdTCPConnection::TIdTCPConnection(TSocket socket) {
  Attach(std::move(socket));
}

std::string TIdTCPConnection::ReadLn() {
  for (;;) {
    const std::size_t lf = FInput.FindLF();
    if (lf != TInputBuffer::npos) {
      // The length counts a CR before the LF.
      if (lf > MaxLineLength) AbandonStream<EIdMaxLineLengthExceeded>();
      std::string line;
      FInput.TakeAppend(line, lf + 1);
      line.pop_back();
      if (!line.empty() && line.back() == '\r') line.pop_back();
      return line;
    }
    if (FInput.Size() > MaxLineLength) AbandonStream<EIdMaxLineLengthExceeded>();
    // Raises once the peer has closed, even with part of a line buffered.
    Fill();
  }
}

void TIdTCPConnection::WriteLn(const std::string& text) {
  std::string line;
  line.reserve(text.size() + 2);
  line.append(text).append("\r\n");
  SendAll(line.data(), line.size());
}

std::int32_t TIdTCPConnection::ReadInteger() {
  unsigned char bytes[4];
  ReadBuffer(bytes, sizeof bytes);
  const std::uint32_t value = (std::uint32_t{bytes[0]} << 24) | (std::uint32_t{bytes[1]} << 16) |
                              (std::uint32_t{bytes[2]} << 8) | std::uint32_t{bytes[3]};
  return static_cast<std::int32_t>(value);
}

void TIdTCPConnection::WriteInteger(std::int32_t value) {
  const auto v = static_cast<std::uint32_t>(value);
  const unsigned char bytes[4] = {
      static_cast<unsigned char>(v >> 24), static_cast<unsigned char>(v >> 16),
      static_cast<unsigned char>(v >> 8), static_cast<unsigned char>(v)};
  SendAll(reinterpret_cast<const char*>(bytes), sizeof bytes);
}

std::string TIdTCPConnection::ReadBytes(std::size_t count) {
  std::string out;
  AppendBytes(out, count);
  return out;
}

void TIdTCPConnection::ReadBuffer(void* buffer, std::size_t count) {
  char* out = static_cast<char*>(buffer);
  // Short reads are taken whole once buffered, so a close in between consumes nothing.
  if (count < DirectReceiveSize) {
    while (FInput.Size() < count) Fill();
    FInput.Take(out, count);
    return;
  }
  while (count > 0) {
    if (FInput.Empty() && count >= DirectReceiveSize) {
      // Large reads go straight into the caller's memory, not through the input buffer.
      const std::size_t n = Receive(out, std::min(count, RecvBufferSize));
      out += n;
      count -= n;
      continue;
    }
    if (FInput.Empty()) Fill();
    const std::size_t n = std::min(count, FInput.Size());
    FInput.Take(out, n);
    out += n;
    count -= n;
  }
}

void TIdTCPConnection::AppendBytes(std::string& out, std::size_t count) {
  // A peer's count is not trusted for memory: reserve a little, grow with what arrives.
  out.reserve(out.size() + std::min(count, RecvBufferSize));
  while (count > 0) {
    if (FInput.Empty()) Fill();
    const std::size_t n = std::min(count, FInput.Size());
    FInput.TakeAppend(out, n);
    count -= n;
  }
}

void TIdTCPConnection::WriteBuffer(const void* buffer, std::size_t count) {
  SendAll(static_cast<const char*>(buffer), count);
}

void TIdTCPConnection::WriteStream(std::istream& stream, std::int64_t size) {
  const std::istream::pos_type start = stream.tellg();
  if (start == std::istream::pos_type(-1)) throw EIdNoDataToRead();
  std::int64_t count = size;
  if (size == 0) {
    stream.seekg(0, std::ios::end);
    const std::istream::pos_type end = stream.tellg();
    stream.seekg(start);
    if (end == std::istream::pos_type(-1) || !stream) throw EIdNoDataToRead();
    count = static_cast<std::int64_t>(end - start);
  }
  if (count < 0 || count > std::numeric_limits<std::int32_t>::max())
    throw std::invalid_argument("Stream size out of range.");
  WriteInteger(static_cast<std::int32_t>(count));
  if (count == 0) return;
  const auto pieceSize = static_cast<std::size_t>(
      std::min<std::int64_t>(count, static_cast<std::int64_t>(SendBufferSize)));
  std::unique_ptr<char[]> piece(new char[pieceSize]);
  while (count > 0) {
    const auto want = static_cast<std::streamsize>(
        std::min<std::int64_t>(count, static_cast<std::int64_t>(pieceSize)));
    stream.read(piece.get(), want);
    const std::streamsize got = stream.gcount();
    if (got <= 0) throw EIdNoDataToRead();
    SendAll(piece.get(), static_cast<std::size_t>(got));
    count -= got;
  }
}

void TIdTCPConnection::OpenWriteBuffer() {
  ++FWriteBuffering;
}

void TIdTCPConnection::CloseWriteBuffer() {
  if (FWriteBuffering > 0 && --FWriteBuffering > 0) return;  // an enclosing message goes on
  FlushWriteBuffer();
}

std::int32_t AppendFileBlock(std::string& out, int fd, std::int64_t offset, std::int32_t most,
                             std::initializer_list<std::int32_t> head) {
  const std::size_t at = out.size();
  const std::size_t data = at + 4 * (head.size() + 1);
  std::size_t got = 0;
  // In pieces, so that a large budget costs memory only for bytes the file really has.
  for (const auto limit = static_cast<std::size_t>(std::max(most, 0)); got < limit;) {
    const std::size_t want = std::min(limit - got, TIdTCPConnection::SendBufferSize);
    out.resize(data + got + want);
    const ssize_t n =
        ::pread(fd, out.data() + data + got, want, static_cast<off_t>(offset + std::int64_t(got)));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      out.resize(at);
      throw EIdNoDataToRead();
    }
    got += static_cast<std::size_t>(n);
    if (static_cast<std::size_t>(n) < want) break;  // the end of the file for now
  }
  if (got == 0) {
    out.resize(at);
    return 0;
  }
  out.resize(data + got);
  std::size_t put = at;
  const auto putInteger = [&](std::int32_t value) {
    const auto v = static_cast<std::uint32_t>(value);
    for (int shift = 24; shift >= 0; shift -= 8) out[put++] = static_cast<char>(v >> shift);
  };
  for (const std::int32_t value : head) putInteger(value);
  putInteger(static_cast<std::int32_t>(got));
  return static_cast<std::int32_t>(got);
}

std::int32_t TIdTCPConnection::WriteFileAvailable(int fd, std::int64_t offset, std::int32_t most,
                                                  std::initializer_list<std::int32_t> head) {
  if (FState.load() != TState::Open) RaiseNotOpen();
  if (FWriteBuffering > 0) {
    const std::int32_t got = AppendFileBlock(FWriteBuffer, fd, offset, most, head);
    if (FWriteBuffer.size() >= WriteBufferLimit) FlushWriteBuffer();
    return got;
  }
  std::string piece;
  const std::int32_t got = AppendFileBlock(piece, fd, offset, most, head);
  if (got > 0) SendNow(piece.data(), piece.size());
  return got;
}

std::size_t TIdTCPConnection::TrySend(const char* data, std::size_t count) {
  if (FState.load() != TState::Open) RaiseNotOpen();
  const int fd = FSocket.Fd();
  std::size_t sent = 0;
  while (sent < count) {
    const ssize_t n = send(fd, data + sent, count - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      Count(Metrics().SentBytes, static_cast<std::uint64_t>(n));
      Count(FSentBytes, static_cast<std::uint64_t>(n));
      sent += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
    if (n == 0) {
      MarkClosed(false);
      throw EIdConnClosedGracefully();
    }
    if (errno != EINTR) RaiseTransferError(errno, false);
  }
  return sent;
}

bool TIdTCPConnection::TryReadBuffer(void* buffer, std::size_t count) {
  while (FInput.Size() < count) {
    if (FState.load() != TState::Open) RaiseNotOpen();
    // Only what is missing, so that nothing the peer sends later is taken early.
    const std::size_t missing = count - FInput.Size();
    const ssize_t n =
        recv(FSocket.Fd(), FInput.Space(missing), missing, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      Count(Metrics().ReceivedBytes, static_cast<std::uint64_t>(n));
      FInput.Commit(static_cast<std::size_t>(n));
      continue;
    }
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return false;
    if (n == 0) {
      MarkClosed(false);
      throw EIdConnClosedGracefully();
    }
    if (errno != EINTR) RaiseTransferError(errno, true);
  }
  FInput.Take(static_cast<char*>(buffer), count);
  return true;
}

void TIdTCPConnection::FlushWriteBuffer() {
  if (FWriteBuffer.empty()) return;
  std::string pending;
  pending.swap(FWriteBuffer);
  SendNow(pending.data(), pending.size());
  // Kept for the next message, unless a large one grew it.
  if (pending.capacity() <= WriteBufferLimit) {
    pending.clear();
    FWriteBuffer.swap(pending);
  }
}

bool TIdTCPConnection::Connected() const {
  return FState.load() == TState::Open;
}

void TIdTCPConnection::Disconnect() {
  if (ReleaseSocket() && OnDisconnected) OnDisconnected(*this);
}

void TIdTCPConnection::DisconnectSocket() {
  MarkClosed(true);
}

void TIdTCPConnection::Attach(TSocket socket) {
  AttachConnecting(std::move(socket));
  ConfirmConnected();
}

int TIdTCPConnection::AttachConnecting(TSocket socket) {
  FInput.Clear();
  FWriteBuffer.clear();
  FWriteBuffering = 0;
  FPeerAddress.clear();
  FPeerPort = 0;
  const int fd = socket.Fd();
  // Each message leaves in one send; holding it for the peer's acknowledgement only delays it.
  socket.SetNoDelay();
  TSocket old;
  {
    std::lock_guard<std::mutex> lock(FSocketLock);
    old = std::move(FSocket);
    FSocket = std::move(socket);
    FState = TState::Connecting;
  }
  return fd;
}

void TIdTCPConnection::ConfirmConnected() {
  FSocket.PeerName(FPeerAddress, FPeerPort);
  {
    std::lock_guard<std::mutex> lock(FSocketLock);
    if (FState == TState::Connecting) {
      FState = TState::Open;
      return;
    }
  }
  ReleaseSocket();
  throw EIdConnClosedGracefully();
}

bool TIdTCPConnection::ReleaseSocket() noexcept {
  TSocket old;
  bool wasOpen = false;
  {
    std::lock_guard<std::mutex> lock(FSocketLock);
    wasOpen = FState == TState::Open;
    old = std::move(FSocket);
    FState = TState::Released;
  }
  FInput.Clear();
  old.Shutdown();
  return wasOpen;  // Old closes here, after no other thread can reach its number.
}

void TIdTCPConnection::MarkClosed(bool shut) {
  std::lock_guard<std::mutex> lock(FSocketLock);
  const TState state = FState;
  if (state == TState::Released) return;
  if (state != TState::Closed) FState = TState::Closed;
  if (shut) FSocket.Shutdown();
}

template <class TError>
void TIdTCPConnection::AbandonStream() {
  FInput.Clear();
  MarkClosed(true);
  throw TError();
}

void TIdTCPConnection::RaiseNotOpen() const {
  if (FState.load() == TState::Closed) throw EIdConnClosedGracefully();
  throw EIdNotConnected();
}

void TIdTCPConnection::RaiseTransferError(int error, bool receiving) {
  bool wasOpen = false;
  {
    std::lock_guard<std::mutex> lock(FSocketLock);
    wasOpen = FState == TState::Open;
    // A failed transfer leaves the socket unusable; keeping it "connected" would have a
    // re-dispatched handler meet the same error again and again.
    if (wasOpen) FState = TState::Closed;
  }
  if (!wasOpen) RaiseNotOpen();  // shut down under us: reads as a close
  if (receiving && (error == ESHUTDOWN || error == ECONNABORTED) && !FInput.Empty())
    throw EIdConnClosedGracefully();
  throw EIdSocketError(error);
}

void TIdTCPConnection::Fill() {
  FInput.Commit(Receive(FInput.Space(RecvBufferSize), RecvBufferSize));
}

std::size_t TIdTCPConnection::Receive(char* space, std::size_t count) {
  if (FState.load() != TState::Open) RaiseNotOpen();
  // The peer may be waiting for what was collected before it answers.
  FlushWriteBuffer();
  const int fd = FSocket.Fd();
  if (ReadTimeout > 0 || FHasDeadline) WaitReady(fd, POLLIN);
  for (;;) {
    const ssize_t n = recv(fd, space, count, MSG_NOSIGNAL);
    if (n > 0) {
      Count(Metrics().ReceivedBytes, static_cast<std::uint64_t>(n));
      // The kernel drops quick acknowledgement again by itself (once this side sends), so it
      // is asked for after every read; this also sends an acknowledgement still held back.
      // A socket that has no such option (not TCP) is not asked again.
      const int on = 1;
      if (FQuickAck && setsockopt(fd, IPPROTO_TCP, TCP_QUICKACK, &on, sizeof on) != 0)
        FQuickAck = false;
      return static_cast<std::size_t>(n);
    }
    if (n == 0) {
      MarkClosed(false);
      throw EIdConnClosedGracefully();
    }
    if (errno != EINTR) RaiseTransferError(errno, true);
  }
}

void TIdTCPConnection::SetDeadline(std::chrono::steady_clock::time_point deadline,
                                   std::string reason) {
  FHasDeadline = true;
  FDeadline = deadline;
  FDeadlineReason = std::move(reason);
}

void TIdTCPConnection::ClearDeadline() {
  FHasDeadline = false;
}

void TIdTCPConnection::WaitReady(int fd, short events) {
  using Clock = std::chrono::steady_clock;
  const bool reading = events == POLLIN;
  const int own = reading ? ReadTimeout : WriteTimeout;
  // A send's own time-out counts from the last byte the peer took: a socket whose queue
  // shrinks makes way, though it is writable only once a third of its buffer is free.
  int queued = !reading && own > 0 ? UnacknowledgedBytes(fd) : -1;
  auto ownEnd = own > 0 ? Clock::now() + std::chrono::milliseconds(own) : Clock::time_point::max();
  for (;;) {
    // The nearer of the transfer's own time-out and the session's deadline ends the wait.
    const bool sessionEnds = FHasDeadline && FDeadline <= ownEnd;
    const auto deadline = sessionEnds ? FDeadline : ownEnd;
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) {
      // The connection ends with its phase, so no handler is run again on it.
      if (sessionEnds) {
        MarkClosed(true);
        throw EIdSessionTimeout(FDeadlineReason);
      }
      if (reading) throw EIdReadTimeout();
      if (const int now = UnacknowledgedBytes(fd); now >= 0 && now < queued) {
        queued = now;
        ownEnd = Clock::now() + std::chrono::milliseconds(own);
        continue;
      }
      // Part of a message may have gone: the peer is out of step for good.
      MarkClosed(true);
      throw EIdWriteTimeout();
    }
    pollfd p{fd, events, 0};
    // Whole milliseconds, rounded up so the wait never ends a little before the deadline.
    const int rc = poll(&p, 1, static_cast<int>(std::min<long long>(left + 1, 1 << 30)));
    if (rc > 0) return;
    if (rc < 0 && errno != EINTR) RaiseTransferError(errno, true);
  }
}

void TIdTCPConnection::SendAll(const char* data, std::size_t count) {
  if (FState.load() != TState::Open) RaiseNotOpen();
  if (FWriteBuffering == 0) return SendNow(data, count);
  FWriteBuffer.append(data, count);
  if (FWriteBuffer.size() >= WriteBufferLimit) FlushWriteBuffer();
}

void TIdTCPConnection::SendNow(const char* data, std::size_t count) {
  if (FState.load() != TState::Open) RaiseNotOpen();
  const int fd = FSocket.Fd();
  // Under a deadline or a write time-out a peer that stops reading must not hold the sender
  // past it; bytes the socket takes at once still go, however late. Each wait for room counts
  // from the last byte taken, so a slow peer that keeps reading is never cut off.
  const int flags = MSG_NOSIGNAL | (FHasDeadline || WriteTimeout > 0 ? MSG_DONTWAIT : 0);
  while (count > 0) {
    const ssize_t n = send(fd, data, count, flags);
    if (n > 0) {
      Count(Metrics().SentBytes, static_cast<std::uint64_t>(n));
      Count(FSentBytes, static_cast<std::uint64_t>(n));
      data += n;
      count -= static_cast<std::size_t>(n);
      continue;
    }
    if (n == 0) {
      MarkClosed(false);
      throw EIdConnClosedGracefully();
    }
    if (errno == EINTR) continue;
    if ((flags & MSG_DONTWAIT) && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      WaitReady(fd, POLLOUT);
      continue;
    }
    RaiseTransferError(errno, false);
  }
}
