#include "bench/ViewParser.h"

#include <algorithm>

namespace bench {

TViewParser::TViewParser(std::int32_t bufferBudget, std::int32_t normalBudget, int startSection,
                         int currentSection)
    : FBufferBudget(bufferBudget),
      FNormalBudget(normalBudget),
      FStartSection(startSection),
      FSection(currentSection) {}

bool TViewParser::Fail(const char* why) {
  if (!FError) FError = why;
  return false;
}

bool TViewParser::Feed(const unsigned char* data, std::size_t len, std::int64_t now,
                       TViewSink& sink) {
  while (len > 0 && !FError) {
    if (FDataLeft > 0) {
      auto take = std::int64_t(std::min<std::size_t>(len, std::size_t(FDataLeft)));
      data += take;
      len -= std::size_t(take);
      FDataLeft -= take;
      if (FDataLeft == 0) EndMessage(sink);
      continue;
    }
    if (FIntHave == 0) {
      if (FNext == TNext::WaitCode) sink.CycleStart(now);
      if (FNext == TNext::SlotOrKeepAlive && FMessagesLeft == 0) BeginSendCycle(now, sink);
    }
    FIntBytes[FIntHave++] = *data++;
    --len;
    if (FIntHave < 4) continue;
    FIntHave = 0;
    auto value =
        std::int32_t(std::uint32_t(FIntBytes[0]) << 24 | std::uint32_t(FIntBytes[1]) << 16 |
                     std::uint32_t(FIntBytes[2]) << 8 | std::uint32_t(FIntBytes[3]));
    Integer(value, now, sink);
  }
  return !FError;
}

void TViewParser::Integer(std::int32_t value, std::int64_t now, TViewSink& sink) {
  switch (FNext) {
    case TNext::WaitCode:
      if (value == -2) {
        Fail("game not available");
      } else if (value == -1 || value == 0) {
        sink.CycleEnd(0, 0);
      } else if (value >= 1 && value <= 3) {
        FStreams = value;
        FHeaderInts = 3 * value;
        FNext = TNext::Header;
      } else {
        Fail("unexpected integer while waiting for a section");
      }
      return;
    case TNext::Header: {
      int index = 3 * FStreams - FHeaderInts;
      if (index % 3 == 2) {
        if (value < 0) {
          Fail("negative stream length in an announcement");
          return;
        }
        FAnnounced[index / 3] = value;
      }
      if (--FHeaderInts > 0) return;
      FOpen = FStreams;
      for (int s = 0; s < 3; ++s) {
        FSlotOpen[s] = s < FStreams;
        FReceived[s] = 0;
      }
      FNext = TNext::SlotOrKeepAlive;
      FMessagesLeft = 0;
      sink.Announce(FStreams);
      sink.CycleEnd(0, 0);
      return;
    }
    case TNext::SlotOrKeepAlive:
      if (value == -1) {
        EndMessage(sink);
      } else if (value >= 0 && value < FStreams && FSlotOpen[value]) {
        FSlot = value;
        FNext = TNext::Kind;
      } else {
        Fail("data for a slot that is not open");
      }
      return;
    case TNext::Kind:
      FNext = TNext::SlotOrKeepAlive;
      if (value == 1) {
        FSlotOpen[FSlot] = false;
        --FOpen;
        EndMessage(sink);
      } else if (value == 0) {
        FNext = TNext::Length;
      } else {
        Fail("unknown message kind");
      }
      return;
    case TNext::Length:
      FNext = TNext::SlotOrKeepAlive;
      if (value < 0) {
        Fail("negative chunk length");
        return;
      }
      sink.Chunk(FSlot, FReceived[FSlot], FAnnounced[FSlot], value, now);
      FReceived[FSlot] += value;
      FCycleBytes += value;
      FDataLeft = value;
      if (value == 0) EndMessage(sink);
      return;
  }
}

void TViewParser::BeginSendCycle(std::int64_t now, TViewSink& sink) {
  // The server's rule: an even share per announced stream, and the shares of streams
  // already complete go to those still open.
  std::int32_t bandwidth = FSection <= FStartSection + 3 ? FBufferBudget : FNormalBudget;
  std::int64_t share = bandwidth / FStreams;
  std::int64_t budget = bandwidth - FOpen * share + share;
  FMessagesLeft = FOpen;
  FCycleBytes = 0;
  FCycleExpected = 0;
  for (int s = 0; s < FStreams; ++s) {
    if (FSlotOpen[s])
      FCycleExpected += std::clamp<std::int64_t>(FAnnounced[s] - FReceived[s], 0, budget);
  }
  sink.CycleStart(now);
}

void TViewParser::EndMessage(TViewSink& sink) {
  if (--FMessagesLeft > 0) return;
  sink.CycleEnd(FCycleBytes, FCycleExpected);
  if (FOpen > 0) return;
  FNext = TNext::WaitCode;
  ++FSection;
}

}  // namespace bench
