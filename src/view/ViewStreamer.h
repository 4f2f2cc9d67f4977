// The sender that feeds one viewer a requested game, section by section, in 1000 ms cycles.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "common/Log.h"
#include "common/Settings.h"
#include "net/IdTCPServer.h"
#include "net/QueuedOutput.h"
#include "store/GameStore.h"
#include "store/StreamFileCache.h"

// What a viewer asked for with REQUEST.
struct TViewRequest {
  std::string Game;  // upper-cased game name
  std::int32_t StartSection = 0;
  std::int32_t CurrentSection = 0;
  bool AudioOnly = false;
};

// The state machine of one viewer. It never waits: a cycle's step writes one message to the
// output, and the resume offsets after an announcement are taken from the connection as they
// arrive; the caller sends the message and times the cycles.
class TViewStreamer {
 public:
  enum TState { svsWait, svsSend };
#ifdef ZARNEL_FUZZ_CYCLE_MS
  // Fuzz builds only: a viewer's input then takes milliseconds rather than whole seconds.
  static constexpr int CycleMs = ZARNEL_FUZZ_CYCLE_MS;
#else
  static constexpr int CycleMs = 1000;
#endif

  TViewStreamer(const TSettingsHolder& settings, TLog& log, TGameStore& store,
                TIdPeerThread& thread, TQueuedOutput& output, TViewRequest request);
  // One cycle's step; false when the session ends once its message has gone (the game is
  // unavailable). Raises on errors (a broken connection, a missing stream file).
  bool Step();
  // After an announcement: takes the viewer's resume offsets as far as they have arrived;
  // true once all are in (at once when none is awaited). Raises on a resume outside the data.
  bool TakeOffsets();

 private:
  // One announced stream of the current section.
  struct TSentStream {
    int Stream = 0;         // stream number in the game
    std::int32_t Slot = 0;  // number the viewer knows it by
    std::int64_t Base = 0;  // file offset the viewer counts from
    std::int64_t Position = 0;
    std::int64_t Size = 0;  // the recorded size the announcement was made from; 0: none
    bool Open = true;       // not yet reported complete
    std::shared_ptr<TSharedStreamFile> File;
    // The file as it was at the announcement: a file made anew under the same name later
    // belongs to later announcements, so positions never move from one file to another.
    std::shared_ptr<const TFileHandle> Fd;
    // Once the stream is complete: its bytes up to the recorded size, which never change.
    std::shared_ptr<const TStreamMapping> Mapping;
  };

  bool StepWait();
  void StepSend();
  // The first Demo stream among the first Count streams has its header on disk or no size.
  bool DemoCheck(int count, const std::vector<std::uint8_t>& types);
  // Sends the announcement of the current section; its resume offsets are awaited next.
  void Announce(int count, const std::vector<std::uint8_t>& types, std::int32_t n);
  // Bytes each open stream may send in this cycle.
  std::int64_t Budget() const;
  void Debug(const std::string& message);

  const TSettingsHolder& FSettings;
  std::shared_ptr<const TSettings> FCycleSettings;  // taken at the start of each cycle
  TLog& FLog;
  TGameStore& FStore;
  TIdPeerThread& FThread;
  TIdTCPConnection& FConnection;
  TQueuedOutput& FOutput;
  const TViewRequest FRequest;
  TState FState = svsWait;
  std::int32_t FCurrentSection;
  std::vector<TSentStream> FStreams;  // announced for the current section, in slot order
  std::int32_t FOpenCount = 0;
  std::size_t FOffsetsTaken = 0;  // resume offsets received of FStreams; all when none awaited
};
