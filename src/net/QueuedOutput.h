// The output of a connection driven by a thread that must never wait on it: one message at a
// time is written, then sent as far as the socket takes it and the rest whenever it has room.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>

#include "net/IdTCPConnection.h"

class TQueuedOutput {
 public:
  using TClock = std::chrono::steady_clock;

  // Writes to Connection's socket, which stays Connection's to close. Sets the socket's send
  // buffer to SendBuffer bytes, so that a peer that lags is seen as full early and costs the
  // system no more than that; 0 or less leaves the size to the system.
  TQueuedOutput(TIdTCPConnection& connection, int sendBuffer);
  TQueuedOutput(const TQueuedOutput&) = delete;
  TQueuedOutput& operator=(const TQueuedOutput&) = delete;

  // Adds Value to the message as 4 bytes, most significant first.
  void WriteInteger(std::int32_t value);
  // Adds a file block to the message (see AppendFileBlock); returns its count, 0 for none.
  std::int32_t WriteFileAvailable(int fd, std::int64_t offset, std::int32_t most,
                                  std::initializer_list<std::int32_t> head);
  // Adds Head and Count as integers, then has Append add Count bytes to the message; when
  // Append says false, the message is left as it was and so is the result.
  template <class TAppend>
  bool WriteBlockBy(std::int32_t count, std::initializer_list<std::int32_t> head, TAppend append) {
    const std::size_t mark = FMessage.size();
    for (const std::int32_t value : head) WriteInteger(value);
    WriteInteger(count);
    if (append(FMessage)) return true;
    FMessage.resize(mark);
    return false;
  }
  // Sends the message as far as the socket takes it without waiting; true once all of it has
  // left. Raises as a write would.
  bool Send();
  // True when the peer has taken none of the bytes sent to it for at least Timeout (above zero)
  // while it owes something: part of a message waits for room, or (AnswerDue) an answer to
  // what it was sent. Call it now and then: it looks at what the peer has acknowledged since.
  bool Stalled(TClock::time_point now, std::chrono::seconds timeout, bool answerDue);
  // Has the owner's close of the socket drop at once, with a reset, whatever the system still
  // holds for the peer, instead of trying to deliver it for minutes.
  void DiscardOnClose();

 private:
  // Notes what the peer has acknowledged; true when that is more than when last looked at.
  bool NoteTaken();

  TIdTCPConnection& FConnection;
  std::string FMessage;
  std::size_t FSent = 0;      // bytes at the front of FMessage that have left
  bool FWaiting = false;      // Send left part of FMessage for later
  TClock::time_point FSince;  // the last sign of the peer taking bytes, or the first send
  std::uint64_t FHanded = 0;  // bytes the socket has taken, in all
  std::uint64_t FTaken = 0;   // of those, acknowledged by the peer when last looked at
};
