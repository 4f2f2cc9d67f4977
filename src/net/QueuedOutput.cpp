#include "net/QueuedOutput.h"

#include <sys/socket.h>

TQueuedOutput::TQueuedOutput(TIdTCPConnection& connection, int sendBuffer)
    : FConnection(connection) {
  const int fd = FConnection.SocketFd();
  // A failure leaves the system's own size: the peer is served all the same, only dearer.
  if (sendBuffer > 0 && fd >= 0)
    setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &sendBuffer, sizeof sendBuffer);
}

void TQueuedOutput::WriteInteger(std::int32_t value) {
  const auto v = static_cast<std::uint32_t>(value);
  const char bytes[4] = {static_cast<char>(v >> 24), static_cast<char>(v >> 16),
                         static_cast<char>(v >> 8), static_cast<char>(v)};
  FMessage.append(bytes, sizeof bytes);  // one append: a byte at a time costs a check each
}

std::int32_t TQueuedOutput::WriteFileAvailable(int fd, std::int64_t offset, std::int32_t most,
                                               std::initializer_list<std::int32_t> head) {
  return AppendFileBlock(FMessage, fd, offset, most, head);
}

bool TQueuedOutput::Send() {
  if (FSent == FMessage.size()) return true;
  const TClock::time_point now = TClock::now();
  const std::size_t n = FConnection.TrySend(FMessage.data() + FSent, FMessage.size() - FSent);
  FSent += n;
  FHanded += n;
  if (n > 0 || !FWaiting) FSince = now;
  if (FSent < FMessage.size()) {
    if (!FWaiting) NoteTaken();
    FWaiting = true;
    return false;
  }
  FWaiting = false;
  FSent = 0;
  // A message of a usual size keeps its memory for the next one.
  if (FMessage.capacity() > 2 * TIdTCPConnection::SendBufferSize)
    std::string().swap(FMessage);
  else
    FMessage.clear();
  return true;
}

bool TQueuedOutput::Stalled(TClock::time_point now, std::chrono::seconds timeout, bool answerDue) {
  if (timeout.count() <= 0) return false;
  if (!FWaiting && !answerDue) {
    FSince = now;  // owing nothing, the peer is not late: a wait counts from here
    return false;
  }
  // The socket is writable again only once a third of its buffer is free, so a slow reader
  // shows itself sooner by what it acknowledges.
  if (NoteTaken()) FSince = now;
  return now - FSince >= timeout;
}

bool TQueuedOutput::NoteTaken() {
  const int queued = UnacknowledgedBytes(FConnection.SocketFd());
  if (queued < 0 || static_cast<std::uint64_t>(queued) > FHanded) return false;
  const std::uint64_t taken = FHanded - static_cast<std::uint64_t>(queued);
  const bool more = taken > FTaken;
  FTaken = taken;
  return more;
}

void TQueuedOutput::DiscardOnClose() {
  const int fd = FConnection.SocketFd();
  const linger abort{1, 0};
  // A failure leaves the usual close, which frees the same memory once the system gives up.
  if (fd >= 0) setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
}
