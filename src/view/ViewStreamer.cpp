#include "view/ViewStreamer.h"

#include <algorithm>
#include <limits>
#include <utility>

#include "common/Protocol.h"
#include "common/ZarnelException.h"

namespace {

std::string Str(std::int64_t value) {
  return std::to_string(value);
}

// A stream flagged complete whose file ends before its recorded size: bytes the viewer was told
// to expect do not exist, so the stream must not be reported complete.
class EStreamFileShort : public EZarnelException {
 public:
  EStreamFileShort(const std::string& path, std::int64_t length, std::int64_t recorded)
      : EZarnelException("Stream file shorter than recorded: " + path + " (" + Str(length) +
                         " of " + Str(recorded) + " bytes)") {}
};

}  // namespace

TViewStreamer::TViewStreamer(const TSettingsHolder& settings, TLog& log, TGameStore& store,
                             TIdPeerThread& thread, TQueuedOutput& output, TViewRequest request)
    : FSettings(settings),
      FCycleSettings(settings.Get()),
      FLog(log),
      FStore(store),
      FThread(thread),
      FConnection(thread.Connection()),
      FOutput(output),
      FRequest(std::move(request)),
      FCurrentSection(FRequest.CurrentSection) {}

bool TViewStreamer::Step() {
  // A reload takes effect at the next cycle; within one cycle the values stay put.
  FCycleSettings = FSettings.Get();
  if (FState == svsWait) return StepWait();
  StepSend();
  return true;
}

bool TViewStreamer::StepWait() {
  const std::string& game = FRequest.Game;
  Debug("State: svsWait");
  if (!FStore.ReadAvailable(game)) {
    FOutput.WriteInteger(ViewUnavailable);
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
    FOutput.WriteInteger(ViewGameComplete);
  } else {
    Debug("in svsWait: No section data to send, keepalive");
    FOutput.WriteInteger(ViewKeepAlive);
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
  FOutput.WriteInteger(n);
  FOpenCount = n;
  FStreams.clear();
  for (int s = 0; s < count; ++s) {
    if (FRequest.AudioOnly && types[s] == 0) continue;
    Debug("in svsWait: processing stream " + Str(s));
    TSentStream sent;
    sent.File = FStore.ShareStreamFile(game, s, FCurrentSection);
    sent.Fd = sent.File->Handle();
    sent.Stream = s;
    sent.Slot = static_cast<std::int32_t>(FStreams.size());
    std::int32_t lead = 0;
    if (types[s] == 0) {
      lead = TSharedStreamFile::Lead(sent.Fd->Get());
      // A later section's Demo file repeats the game header; a viewer that already has it
      // gets the data blocks only.
      if (FCurrentSection != FRequest.StartSection &&
          (FCurrentSection <= 0 || FStore.ReadSize(game, s, FCurrentSection - 1) != 0)) {
        Debug("in svsWait: not first demo so zooming to data blocks");
        sent.Base = FStore.ReadBlock(game, s, FCurrentSection);
      }
    }
    // Kept with the announced file: a file made anew at the path later has a size of its own.
    sent.Size = FStore.ReadSize(game, s, FCurrentSection);
    const std::int64_t expect = sent.Size - sent.Base;
    FOutput.WriteInteger(types[s]);
    FOutput.WriteInteger(lead);
    FOutput.WriteInteger(static_cast<std::int32_t>(expect));
    FStreams.push_back(sent);
  }
  FOffsetsTaken = 0;
  FState = svsSend;
}

bool TViewStreamer::TakeOffsets() {
  for (; FOffsetsTaken < FStreams.size(); ++FOffsetsTaken) {
    unsigned char bytes[4];
    if (!FConnection.TryReadBuffer(bytes, sizeof bytes)) return false;
    const std::int32_t offset =
        static_cast<std::int32_t>(std::uint32_t{bytes[0]} << 24 | std::uint32_t{bytes[1]} << 16 |
                                  std::uint32_t{bytes[2]} << 8 | std::uint32_t{bytes[3]});
    TSentStream& sent = FStreams[FOffsetsTaken];
    const std::int64_t start = std::int64_t{offset} + sent.Base;
    Debug("in svsWait: Start stream position from " + Str(start));
    // A start at 0 is inside any file: only a later one needs the file's length.
    if (start < 0 ||
        (start > 0 && start > TSharedStreamFile::Size(sent.Fd->Get(), sent.File->Path())))
      throw EZarnelResumeOutsideRange();
    sent.Position = start;
  }
  return true;
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
  const bool debugging = FCycleSettings->Debug;  // log lines are built only when they are kept
  for (TSentStream& sent : FStreams) {
    const std::string s = debugging ? Str(sent.Stream) : std::string();
    if (debugging) Debug("in svsSend: Processing stream " + s);
    if (!sent.Open) continue;
    // The flag before the bytes: complete only if no byte arrived after the flag was set.
    const bool complete = FStore.ReadComplete(game, sent.Stream, FCurrentSection);
    const int file = sent.Fd->Get();
    if (debugging)
      Debug("in svsSend: Stream " + s + " open: Section " + Str(FCurrentSection) +
            ": Stream Size " + Str(TSharedStreamFile::Size(file, sent.File->Path())));
    const std::int64_t from = sent.Position;
    const auto most = static_cast<std::int32_t>(
        std::min<std::int64_t>(budget, std::numeric_limits<std::int32_t>::max()));
    // A complete stream's bytes up to its recorded size never change: they are copied from
    // one mapping every viewer of the file shares, without a read call a viewer a cycle.
    if (complete && !sent.Mapping && from + most <= sent.Size)
      sent.Mapping = sent.File->Map(sent.Fd, sent.Size);
    bool copied = false;
    if (complete && sent.Mapping &&
        from + most <= static_cast<std::int64_t>(sent.Mapping->Length())) {
      copied = FOutput.WriteBlockBy(most, {sent.Slot, ViewKindData}, [&](std::string& message) {
        return sent.Mapping->CopyTo(message, static_cast<std::size_t>(from),
                                    static_cast<std::size_t>(most));
      });
      // Cut short beneath the mapping: the read below tells what the file holds now.
      if (!copied) sent.Mapping.reset();
    }
    // The read itself tells how much the file holds past the position: no size look-up.
    const std::int32_t count =
        copied ? most : FOutput.WriteFileAvailable(file, from, most, {sent.Slot, ViewKindData});
    if (count > 0) {
      if (debugging) Debug("in svsSend: Stream " + s + " open: Sending Data from " + Str(from));
      sent.Position += count;
    } else if (complete && sent.Position < sent.Size) {
      throw EStreamFileShort(sent.File->Path(), TSharedStreamFile::Size(file, sent.File->Path()),
                             sent.Size);
    } else if (complete) {
      Debug("in svsSend: Stream " + s + " open: Section is complete");
      FOutput.WriteInteger(sent.Slot);
      FOutput.WriteInteger(ViewKindComplete);
      sent.Open = false;
      sent.File.reset();
      sent.Fd.reset();
      sent.Mapping.reset();
      if (--FOpenCount == 0) {
        ++FCurrentSection;
        FState = svsWait;
      }
    } else {
      Debug("in svsSend: send -1 keep alive");
      FOutput.WriteInteger(ViewSendKeepAlive);
    }
  }
}

void TViewStreamer::Debug(const std::string& message) {
  if (FCycleSettings->Debug) FLog.WriteLog(FThread.ThreadId(), message);
}
