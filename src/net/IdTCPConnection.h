// One connected TCP socket with buffered line, integer and counted-block I/O.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <istream>
#include <mutex>
#include <string>

#include "net/InputBuffer.h"
#include "net/Socket.h"

class TIdTCPConnection;

// Collects the writes of one message on Connection for the length of its scope. Send() sends
// them; leaving the scope by an error sends what was written so far (errors swallowed), so the
// peer sees the same bytes as it would without collecting.
class TWriteBatch {
 public:
  explicit TWriteBatch(TIdTCPConnection& connection);
  ~TWriteBatch();
  TWriteBatch(const TWriteBatch&) = delete;
  TWriteBatch& operator=(const TWriteBatch&) = delete;
  // Sends the message now; raises as a write would.
  void Send();

 private:
  TIdTCPConnection& FConnection;
  bool FOpen = true;
};

class TIdTCPConnection {
 public:
  static constexpr std::size_t MaxLineLength = 16384;
  static constexpr std::size_t RecvBufferSize = 32768;
  static constexpr std::size_t SendBufferSize = 32768;
  // Reads of at least this many bytes receive straight into the caller's memory.
  static constexpr std::size_t DirectReceiveSize = 4096;

  // Creates a connection that holds no socket (a client before Connect).
  TIdTCPConnection() = default;
  // Takes ownership of an accepted socket.
  explicit TIdTCPConnection(TSocket socket);
  virtual ~TIdTCPConnection() = default;
  TIdTCPConnection(const TIdTCPConnection&) = delete;
  TIdTCPConnection& operator=(const TIdTCPConnection&) = delete;

  // Returns the next line without its LF and one CR before it; raises past MaxLineLength.
  std::string ReadLn();
  // Sends Text followed by CR LF in one write.
  void WriteLn(const std::string& text);
  // Reads 4 bytes, most significant first, as a signed 32-bit value.
  std::int32_t ReadInteger();
  // Sends Value as 4 bytes, most significant first.
  void WriteInteger(std::int32_t value);
  // Reads exactly Count bytes.
  std::string ReadBytes(std::size_t count);
  // Reads exactly Count bytes into Buffer.
  void ReadBuffer(void* buffer, std::size_t count);
  // Sends Count bytes as they are.
  void WriteBuffer(const void* buffer, std::size_t count);
  // Sends a count and then that many bytes of Stream from its position; Size 0 sends to its end.
  void WriteStream(std::istream& stream, std::int64_t size);

  // From here on writes are collected, so that one message (a reply with its integers and
  // lines) leaves in one send rather than one segment per integer. Collected bytes go out at
  // CloseWriteBuffer, before any read that has to wait, and whenever they pass WriteBufferLimit.
  void OpenWriteBuffer();
  // Sends what was collected and writes directly again (once every open buffer is closed);
  // raises as a write would.
  void CloseWriteBuffer();
  static constexpr std::size_t WriteBufferLimit = 65536;

  // Sends the integers Head, a count and the bytes the file Fd holds from Offset, at most Most
  // of them, read with pread: the read itself finds how many there are. Sends nothing and
  // returns 0 when the file has no byte there; otherwise returns the count.
  std::int32_t WriteFileAvailable(int fd, std::int64_t offset, std::int32_t most,
                                  std::initializer_list<std::int32_t> head);

  // Sends of Count bytes at Data what the socket takes now, without waiting; returns how many
  // (0 while it is full). Raises as a write would.
  std::size_t TrySend(const char* data, std::size_t count);
  // Takes Count bytes into Buffer if they have arrived, receiving without waiting; false
  // (taking nothing) while some are missing. Raises as a read would once the peer has closed.
  bool TryReadBuffer(void* buffer, std::size_t count);
  // Gives back the memory of the input buffer beyond what it holds.
  void ShrinkInput() { FInput.Shrink(); }
  // From now on every receive re-arms TCP_QUICKACK, so that a peer whose small writes wait for
  // an acknowledgement (Nagle's algorithm) gets it at once, not after the delayed-ACK timer.
  // The bytes sent stay the same. Owning thread only.
  void AcknowledgeAtOnce() { FQuickAck = true; }
  // The socket's descriptor, for the thread that owns the connection (event registration);
  // -1 when released.
  int SocketFd() const { return FSocket.Fd(); }

  // True while the socket is open and no transfer has seen the peer's close. Never raises.
  bool Connected() const;
  // Closes the socket if open (firing OnDisconnected once) and releases it.
  void Disconnect();
  // Shuts the socket down both ways and marks the connection closed; any thread may call it.
  void DisconnectSocket();

  // Peer address in dotted decimal and port, set at accept or connect.
  const std::string& PeerAddress() const { return FPeerAddress; }
  std::uint16_t PeerPort() const { return FPeerPort; }
  // Bytes the socket has taken so far; any thread may ask.
  std::uint64_t SentBytes() const { return FSentBytes.load(std::memory_order_relaxed); }

  // Milliseconds a read waits for data before raising EIdReadTimeout; 0 waits without limit.
  int ReadTimeout = 0;
  // Milliseconds a send waits with the socket taking none of its bytes before it raises
  // EIdWriteTimeout and closes the connection; 0 waits without limit.
  int WriteTimeout = 0;

  // From now on no read or send waits past Deadline: one that would raises
  // EIdSessionTimeout(Reason). Owning thread only.
  void SetDeadline(std::chrono::steady_clock::time_point deadline, std::string reason);
  // Reads and sends wait as long as ReadTimeout and WriteTimeout say again.
  void ClearDeadline();

  std::function<void(TIdTCPConnection&)> OnDisconnected;

 protected:
  // Installs a freshly connected socket (client side).
  void Attach(TSocket socket);
  // Installs a socket whose connect is about to start, so DisconnectSocket can abort it;
  // returns its descriptor.
  int AttachConnecting(TSocket socket);
  // Ends a connect started by AttachConnecting; raises "Connection Closed Gracefully." and
  // releases the socket when DisconnectSocket came first.
  void ConfirmConnected();
  // Closes and releases the socket without firing any hook; returns whether it was open.
  bool ReleaseSocket() noexcept;
  // Whether DisconnectSocket ended a connect started by AttachConnecting.
  bool ConnectAborted() const { return FState.load() == TState::Closed; }

 private:
  // Open and Closed hold a socket; Closed means the peer's close was seen or the socket was
  // shut down (by DisconnectSocket or an error); Released holds none.
  enum class TState { Released, Connecting, Open, Closed };

  // Receives once into the input buffer; raises when nothing more can arrive.
  void Fill();
  // Receives once, at most Count bytes into Space; raises when nothing more can arrive.
  std::size_t Receive(char* space, std::size_t count);
  // Appends exactly Count received bytes to Out, growing it only as bytes arrive.
  void AppendBytes(std::string& out, std::size_t count);
  // Drops the buffered bytes, shuts the socket and raises TError: the peer is out of step.
  template <class TError>
  [[noreturn]] void AbandonStream();
  // Waits until Fd is ready for Events (POLLIN or POLLOUT), for a read at most ReadTimeout
  // (EIdReadTimeout), for a send at most WriteTimeout (EIdWriteTimeout), and never past the
  // session's deadline (EIdSessionTimeout).
  void WaitReady(int fd, short events);
  // Sends every byte or raises; collects them instead while the write buffer is open.
  void SendAll(const char* data, std::size_t count);
  // Sends every byte or raises.
  void SendNow(const char* data, std::size_t count);
  // Sends the collected bytes, if any.
  void FlushWriteBuffer();
  // Raises the error a transfer meets on a connection that is not open.
  [[noreturn]] void RaiseNotOpen() const;
  // Marks Open (or Connecting) as Closed; with Shut, also shuts the socket down.
  void MarkClosed(bool shut);
  // The error for a failed transfer: a socket that was already closed under us reads as closed.
  [[noreturn]] void RaiseTransferError(int error, bool receiving);

  mutable std::mutex FSocketLock;
  // guarded by FSocketLock for changes; the owning thread reads the descriptor unlocked, since
  // only that thread ever replaces or closes it.
  TSocket FSocket;
  std::atomic<TState> FState{TState::Released};  // changed under FSocketLock
  TInputBuffer FInput;                           // owning thread only
  bool FHasDeadline = false;                     // owning thread only, as the two below
  std::chrono::steady_clock::time_point FDeadline;
  std::string FDeadlineReason;
  int FWriteBuffering = 0;   // open write buffers; owning thread only
  std::string FWriteBuffer;  // owning thread only
  bool FQuickAck = false;    // owning thread only
  std::string FPeerAddress;
  std::uint16_t FPeerPort = 0;
  std::atomic<std::uint64_t> FSentBytes{0};
};

// Appends to Out the integers Head, a count and the bytes the file Fd holds from Offset, at
// most Most of them, read with pread: the read itself finds how many there are. Appends
// nothing and returns 0 when the file has no byte there; otherwise returns the count. Raises
// EIdNoDataToRead when the read fails.
std::int32_t AppendFileBlock(std::string& out, int fd, std::int64_t offset, std::int32_t most,
                             std::initializer_list<std::int32_t> head);

// Bytes sent to the socket Fd that its peer has not yet acknowledged; -1 when the system cannot
// tell. A queue that shrinks is a peer that takes bytes, before the socket is writable again.
int UnacknowledgedBytes(int fd);
