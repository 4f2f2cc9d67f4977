// The downstream side of the relay exchange: mirrors an upstream server's games into the local
// store, as a local filmer's upload would have left them.
#pragma once

#include <chrono>
#include <functional>
#include <set>
#include <string>

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
    Renew,    // finished games crowd the connection's list: connect afresh at once
  };

  // Store must outlive the object.
  TRelayMirror(TGameStore& store, TLogFn log, TWaitFn wait);

  // Runs the exchange on a freshly connected link until it ends; raises when the link fails
  // or the upstream server answers out of step. Each game resumes from the local store.
  TEnd Run(TIdTCPConnection& connection);

  // Pause between block requests while every mirrored game is caught up.
  static constexpr std::chrono::milliseconds Cycle{1000};
  // Longest time before a new upstream game is noticed.
  static constexpr std::chrono::milliseconds ListInterval{1000};

 private:
  class TSession;
  // Logs Message the first time Key comes up in this process.
  void LogOnce(const std::string& key, const std::string& message);

  TGameStore& FStore;
  TLogFn FLog;
  TWaitFn FWait;
  std::set<std::string> FLogged;  // the link thread's only
  bool FRefusedLogged = false;
};
