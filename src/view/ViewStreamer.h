// The sender that feeds one viewer a requested game, section by section, in 1000 ms cycles.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "common/Log.h"
#include "common/Settings.h"
#include "net/IdTCPServer.h"
#include "store/GameStore.h"

// What a viewer asked for with REQUEST.
struct TViewRequest {
  std::string Game;  // upper-cased game name
  std::int32_t StartSection = 0;
  std::int32_t CurrentSection = 0;
  bool AudioOnly = false;
};

class TViewStreamer {
 public:
  enum TState { svsWait, svsSend };
  static constexpr int CycleMs = 1000;

  TViewStreamer(const TSettingsHolder& settings, TLog& log, TGameStore& store,
                TIdPeerThread& thread, TViewRequest request);
  // Runs cycles until the game is unavailable or the thread is terminated; raises on errors
  // (a broken connection, a missing stream file, a resume outside the data).
  void Run();

 private:
  // One announced stream of the current section. Only its position is kept between cycles;
  // its file is opened for each cycle's reads and closed again before the sleep.
  struct TSentStream {
    int Stream = 0;         // stream number in the game
    std::int32_t Slot = 0;  // number the viewer knows it by
    std::int64_t Base = 0;  // file offset the viewer counts from
    std::int64_t Position = 0;
    bool Open = true;  // not yet reported complete
  };

  // One step of the current state; false when the session must end.
  bool Step();
  bool StepWait();
  void StepSend();
  // The first Demo stream among the first Count streams has its header on disk or no size.
  bool DemoCheck(int count, const std::vector<std::uint8_t>& types);
  // Sends the announcement of the current section and reads the viewer's resume offsets.
  void Announce(int count, const std::vector<std::uint8_t>& types, std::int32_t n);
  // Bytes each open stream may send in this cycle.
  std::int64_t Budget() const;
  std::string StreamPath(int stream) const;
  void Debug(const std::string& message);

  const TSettingsHolder& FSettings;
  std::shared_ptr<const TSettings> FCycleSettings;  // taken at the start of each cycle
  TLog& FLog;
  TGameStore& FStore;
  TIdPeerThread& FThread;
  TIdTCPConnection& FConnection;
  const TViewRequest FRequest;
  TState FState = svsWait;
  std::int32_t FCurrentSection;
  std::vector<TSentStream> FStreams;  // announced for the current section, in slot order
  std::int32_t FOpenCount = 0;
};
