// Follows a viewer's stream after REQUEST byte by byte and finds its cycles: in the waiting
// state a cycle is one message; while a section is sent it is one message per stream that
// was open when the cycle began. No byte of stream data is copied.
#pragma once

#include <cstddef>
#include <cstdint>

namespace bench {

// What the parser reports, in stream order.
class TViewSink {
 public:
  virtual ~TViewSink() = default;
  // The first byte of a cycle arrived at Now.
  virtual void CycleStart(std::int64_t now) = 0;
  // A section of Streams streams was announced; the viewer must answer with resume offsets.
  virtual void Announce(int streams) = 0;
  // A data chunk of Length bytes for Slot, beginning Offset bytes after the slot's base
  // position, whose announced length is Announced.
  virtual void Chunk(int slot, std::int64_t offset, std::int32_t announced, std::int32_t length,
                     std::int64_t now) = 0;
  // The cycle is over: Bytes of data came, Expected could have come under the budget
  // (0 outside a section's data cycles).
  virtual void CycleEnd(std::int64_t bytes, std::int64_t expected) = 0;
};

class TViewParser {
 public:
  // The byte budget a cycle: BufferBudget up to three sections after Start, NormalBudget later.
  TViewParser(std::int32_t bufferBudget, std::int32_t normalBudget, int startSection,
              int currentSection);
  // Consumes Len bytes received at Now. False once the stream broke the protocol or the
  // game became unavailable; Error() says which.
  bool Feed(const unsigned char* data, std::size_t len, std::int64_t now, TViewSink& sink);
  const char* Error() const { return FError; }
  int Section() const { return FSection; }

 private:
  // What the next integer of the stream means.
  enum class TNext { WaitCode, Header, SlotOrKeepAlive, Kind, Length };

  void Integer(std::int32_t value, std::int64_t now, TViewSink& sink);
  void BeginSendCycle(std::int64_t now, TViewSink& sink);
  void EndMessage(TViewSink& sink);
  bool Fail(const char* why);

  const std::int32_t FBufferBudget;
  const std::int32_t FNormalBudget;
  const int FStartSection;
  int FSection;
  TNext FNext = TNext::WaitCode;
  unsigned char FIntBytes[4] = {};
  int FIntHave = 0;
  std::int64_t FDataLeft = 0;  // bytes of the current chunk still to skip
  int FStreams = 0;            // announced in this section
  int FHeaderInts = 0;         // header integers still to come
  int FOpen = 0;
  bool FSlotOpen[3] = {};
  std::int32_t FAnnounced[3] = {};
  std::int64_t FReceived[3] = {};
  int FSlot = 0;
  int FMessagesLeft = 0;  // of the current send cycle
  std::int64_t FCycleBytes = 0;
  std::int64_t FCycleExpected = 0;
  const char* FError = nullptr;
};

}  // namespace bench
