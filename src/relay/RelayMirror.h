// The downstream side of the relay exchange: mirrors an upstream server's games into the local
// store, as a local filmer's upload would have left them.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "net/IdTCPConnection.h"
#include "store/GameStore.h"

class TRelayMirror {
 public:
  using TLogFn = std::function<void(const std::string&)>;
  // Waits up to the given time; false once the link is to stop.
  using TWaitFn = std::function<bool(std::chrono::milliseconds)>;
  // How an exchange ended without an error.
  enum class TEnd {
    Stopped,  // the link is to stop
    Refused,  // the upstream server does not authorize this one
    Renew,    // finished or stalled games crowd the connection's list: connect afresh at once
  };

  // A mirrored game as the link sees it.
  struct TGameState {
    enum class TPhase { Live, Stalled, Complete, Waiting };
    std::string Game;
    TPhase Phase = TPhase::Live;
    // The last new byte; for a game not yet fed on this run, when it was taken up.
    std::chrono::steady_clock::time_point LastData;
  };
  // "live", "stalled", "complete", "waiting" (mirrored before, not offered by this upstream yet).
  static const char* PhaseName(TGameState::TPhase phase);

  // Store must outlive the object. A game that gets no data for StallTime is stalled.
  TRelayMirror(TGameStore& store, TLogFn log, TWaitFn wait,
               std::chrono::milliseconds stallTime = StallTime);

  // Runs the exchange on a freshly connected link until it ends; raises when the link fails,
  // the upstream server answers out of step or leaves a read or send waiting for Timeout. Each
  // game resumes from the local store.
  TEnd Run(TIdTCPConnection& connection, std::chrono::milliseconds timeout = ReadTimeout);
  // The games of the latest exchange; any thread may call it.
  std::vector<TGameState> Games() const;

  // Told whether the upstream authorized this server, on the link's thread. Set before Run.
  std::function<void(bool)> OnAuthorize;

  // Pause between block requests while every mirrored game is caught up: what one hop adds to
  // the time a live game's new bytes take to reach viewers further down a tree.
  static constexpr std::chrono::milliseconds Cycle{200};
  // Longest time before a new upstream game is noticed.
  static constexpr std::chrono::milliseconds ListInterval{1000};
  // A mirrored game that gets no data for this long is stalled (an upload left unfinished):
  // while other games wait for its slot, the link connects afresh and takes them first.
  static constexpr std::chrono::milliseconds StallTime{60000};
  // A read the upstream leaves unanswered this long breaks the link.
  static constexpr std::chrono::milliseconds ReadTimeout{30000};

 private:
  class TSession;
  // Logs Message the first time Key comes up in this process.
  void LogOnce(const std::string& key, const std::string& message);

  TGameStore& FStore;
  TLogFn FLog;
  TWaitFn FWait;
  const std::chrono::milliseconds FStallTime;
  // Games seen stalled, each with the order of its latest stall: a later connection takes
  // them last, the one stalled longest ago first. The link thread's only.
  std::map<std::string, std::uint64_t> FStalled;
  std::uint64_t FStalls = 0;
  std::set<std::string> FLogged;  // the link thread's only
  bool FRefusedLogged = false;
  mutable std::mutex FGamesLock;
  std::vector<TGameState> FGames;  // guarded by FGamesLock
};
