// The games that live film sessions of this process are writing, one session per game.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "net/IdTCPConnection.h"

class TLiveFilmGames {
 public:
  enum class TClaim {
    Claimed,  // the caller now writes the game
    Held,     // another live session writes it and no take-over was asked for
    Busy,     // the other session did not end within the take-over wait
    Refused,  // Admit said no; nothing claimed
  };

  explicit TLiveFilmGames(std::chrono::milliseconds takeOverWait = std::chrono::milliseconds(5000));
  TLiveFilmGames(const TLiveFilmGames&) = delete;
  TLiveFilmGames& operator=(const TLiveFilmGames&) = delete;

  // Claims Game for the session on Owner. When another session holds it: with TakeOver, closes
  // that session's connection and waits for it to release the game; otherwise returns Held.
  // Admit runs under the lock once the game is free, so its check and the claim are one step.
  TClaim Claim(const std::string& game, TIdTCPConnection& owner, bool takeOver,
               const std::function<bool()>& admit);
  // Gives up Game if Owner holds it and wakes sessions waiting to take it over. Never raises.
  void Release(const std::string& game, const TIdTCPConnection& owner) noexcept;
  // The games held now.
  std::vector<std::string> Games();

 private:
  const std::chrono::milliseconds FTakeOverWait;
  std::mutex FLock;
  std::condition_variable FReleased;
  std::map<std::string, TIdTCPConnection*> FOwners;  // guarded by FLock
};
