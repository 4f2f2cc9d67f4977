#include "view/ViewStreamer.h"

#include <algorithm>
#include <chrono>
#include <fstream>
#include <utility>

#include "common/Metrics.h"
#include "common/Protocol.h"
#include "common/ZarnelException.h"
#include "net/NetUtil.h"
#include "store/IniFile.h"

namespace {

// A stream data file opened read-only, without a lock, for the reads of one cycle.
class TStreamReader {
 public:
  explicit TStreamReader(const std::string& path) : FIn(path, std::ios::binary) {
    if (!FIn.is_open()) throw EFOpenError(path);
  }
  // Present length of the file, which the filmer may be appending to.
  std::int64_t Size() {
    FIn.clear();
    FIn.seekg(0, std::ios::end);
    return static_cast<std::int64_t>(FIn.tellg());
  }
  // The first four bytes as a little-endian integer; bytes the file lacks count as 0.
  std::int32_t Lead() {
    unsigned char b[4] = {0, 0, 0, 0};
    FIn.clear();
    FIn.seekg(0);
    FIn.read(reinterpret_cast<char*>(b), sizeof b);
    return static_cast<std::int32_t>(std::uint32_t{b[0]} | std::uint32_t{b[1]} << 8 |
                                     std::uint32_t{b[2]} << 16 | std::uint32_t{b[3]} << 24);
  }
  // The file positioned at Offset.
  std::istream& At(std::int64_t offset) {
    FIn.clear();
    FIn.seekg(offset);
    return FIn;
  }

 private:
  std::ifstream FIn;
};

std::string Str(std::int64_t value) {
  return std::to_string(value);
}

}  // namespace

TViewStreamer::TViewStreamer(const TSettingsHolder& settings, TLog& log, TGameStore& store,
                             TIdPeerThread& thread, TViewRequest request)
    : FSettings(settings),
      FCycleSettings(settings.Get()),
      FLog(log),
      FStore(store),
      FThread(thread),
      FConnection(thread.Connection()),
      FRequest(std::move(request)),
      FCurrentSection(FRequest.CurrentSection) {}

void TViewStreamer::Run() {
  using Clock = std::chrono::steady_clock;
  auto due = Clock::now() + std::chrono::milliseconds(CycleMs);
  while (!FThread.Terminated()) {
    Sleep(CycleMs);
    // A cycle is due a cycle's length after the previous one started.
    const auto start = Clock::now();
    Metrics().CycleLateness.Observe(start - due);
    due = start + std::chrono::milliseconds(CycleMs);
    if (!Step()) return;
  }
}

bool TViewStreamer::Step() {
  // A reload takes effect at the next cycle; within one cycle the values stay put.
  FCycleSettings = FSettings.Get();
  // A cycle's integers and data leave as one message.
  TWriteBatch message(FConnection);
  const bool more = FState == svsWait ? StepWait() : (StepSend(), true);
  message.Send();
  return more;
}

bool TViewStreamer::StepWait() {
  const std::string& game = FRequest.Game;
  Debug("State: svsWait");
  if (!FStore.ReadAvailable(game)) {
    FConnection.WriteInteger(ViewUnavailable);
    return false;
  }
  if (FStore.ReadActiveSections(game) > FCurrentSection) {
    Debug("in svsWait: Section " + Str(FCurrentSection) + " available");
    // The filmer never records more than three streams; a hand-edited count cannot overrun.
    const int count = std::clamp<std::int32_t>(FStore.ReadActiveStreams(game), 0, MaxStreams);
    std::vector<std::uint8_t> types(static_cast<std::size_t>(count));
    std::int32_t n = count;
    for (int s = 0; s < count; ++s) {
      types[s] = FStore.ReadStreamType(game, s);
      if (FRequest.AudioOnly && types[s] == 0) --n;
    }
    if (n > 0 && (FRequest.AudioOnly || DemoCheck(count, types))) {
      Announce(count, types, n);
      return true;
    }
  }
  // The game's flag before the section count: -1 only if no section came after the flag.
  const bool complete = FStore.ReadCompleteAll(game);
  if (complete && FStore.ReadActiveSections(game) <= FCurrentSection) {
    Debug("in svsWait: No section data to send, completed");
    FConnection.WriteInteger(ViewGameComplete);
  } else {
    Debug("in svsWait: No section data to send, keepalive");
    FConnection.WriteInteger(ViewKeepAlive);
  }
  return true;
}

bool TViewStreamer::DemoCheck(int count, const std::vector<std::uint8_t>& types) {
  for (int s = 0; s < count; ++s) {
    if (types[s] != 0) continue;
    return FStore.ReadHeader(FRequest.Game, s, FCurrentSection) ||
           FStore.ReadSize(FRequest.Game, s, FCurrentSection) == 0;
  }
  return false;
}

void TViewStreamer::Announce(int count, const std::vector<std::uint8_t>& types, std::int32_t n) {
  const std::string& game = FRequest.Game;
  Debug("in svsWait: Demo is valid");
  FConnection.WriteInteger(n);
  FOpenCount = n;
  FStreams.clear();
  for (int s = 0; s < count; ++s) {
    if (FRequest.AudioOnly && types[s] == 0) continue;
    Debug("in svsWait: processing stream " + Str(s));
    TStreamReader file(StreamPath(s));
    TSentStream sent;
    sent.Stream = s;
    sent.Slot = static_cast<std::int32_t>(FStreams.size());
    std::int32_t lead = 0;
    if (types[s] == 0) {
      lead = file.Lead();
      // A later section's Demo file repeats the game header; a viewer that already has it
      // gets the data blocks only.
      if (FCurrentSection != FRequest.StartSection &&
          (FCurrentSection <= 0 || FStore.ReadSize(game, s, FCurrentSection - 1) != 0)) {
        Debug("in svsWait: not first demo so zooming to data blocks");
        sent.Base = FStore.ReadBlock(game, s, FCurrentSection);
      }
    }
    const std::int64_t expect = FStore.ReadSize(game, s, FCurrentSection) - sent.Base;
    FConnection.WriteInteger(types[s]);
    FConnection.WriteInteger(lead);
    FConnection.WriteInteger(static_cast<std::int32_t>(expect));
    FStreams.push_back(sent);
  }
  for (TSentStream& sent : FStreams) {
    const std::int64_t start = std::int64_t{FConnection.ReadInteger()} + sent.Base;
    Debug("in svsWait: Start stream position from " + Str(start));
    if (start < 0 || start > TStreamReader(StreamPath(sent.Stream)).Size())
      throw EZarnelResumeOutsideRange();
    sent.Position = start;
  }
  FState = svsSend;
}

std::int64_t TViewStreamer::Budget() const {
  const bool nearStart = std::int64_t{FCurrentSection} <= std::int64_t{FRequest.StartSection} + 3;
  const std::int64_t bw =
      nearStart ? FCycleSettings->BandwidthBuffer : FCycleSettings->BandwidthNormal;
  const std::int64_t share = bw / static_cast<std::int64_t>(FStreams.size());
  // Completed streams hand their share to the open ones. At least one byte, so a setting
  // of 0 or less still moves the stream on instead of sending nothing or everything.
  return std::max<std::int64_t>(bw - FOpenCount * share + share, 1);
}

void TViewStreamer::StepSend() {
  const std::string& game = FRequest.Game;
  Debug("State: svsSend");
  const std::int64_t budget = Budget();
  for (TSentStream& sent : FStreams) {
    const std::string s = Str(sent.Stream);
    Debug("in svsSend: Processing stream " + s);
    if (!sent.Open) continue;
    // The flag before the size: complete only if no byte arrived after the flag was set.
    const bool complete = FStore.ReadComplete(game, sent.Stream, FCurrentSection);
    TStreamReader file(StreamPath(sent.Stream));
    const std::int64_t size = file.Size();
    Debug("in svsSend: Stream " + s + " open: Section " + Str(FCurrentSection) + ": Stream Size " +
          Str(size));
    if (size > sent.Position) {
      Debug("in svsSend: Stream " + s + " open: Sending Data from " + Str(sent.Position));
      const std::int64_t count = std::min(size - sent.Position, budget);
      std::istream& in = file.At(sent.Position);
      FConnection.WriteInteger(sent.Slot);
      FConnection.WriteInteger(ViewKindData);
      FConnection.WriteStream(in, count);
      sent.Position += count;
    } else if (complete) {
      Debug("in svsSend: Stream " + s + " open: Section is complete");
      FConnection.WriteInteger(sent.Slot);
      FConnection.WriteInteger(ViewKindComplete);
      sent.Open = false;
      if (--FOpenCount == 0) {
        ++FCurrentSection;
        FState = svsWait;
      }
    } else {
      Debug("in svsSend: send -1 keep alive");
      FConnection.WriteInteger(ViewSendKeepAlive);
    }
  }
}

std::string TViewStreamer::StreamPath(int stream) const {
  return FStore.StreamPath(FRequest.Game, stream, FCurrentSection);
}

void TViewStreamer::Debug(const std::string& message) {
  if (FCycleSettings->Debug) FLog.WriteLog(FThread.ThreadId(), message);
}
