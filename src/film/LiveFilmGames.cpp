#include "film/LiveFilmGames.h"

TLiveFilmGames::TLiveFilmGames(std::chrono::milliseconds takeOverWait)
    : FTakeOverWait(takeOverWait) {}

TLiveFilmGames::TClaim TLiveFilmGames::Claim(const std::string& game, TIdTCPConnection& owner,
                                             bool takeOver, const std::function<bool()>& admit) {
  std::unique_lock<std::mutex> lock(FLock);
  const auto deadline = std::chrono::steady_clock::now() + FTakeOverWait;
  for (;;) {
    const auto it = FOwners.find(game);
    if (it == FOwners.end() || it->second == &owner) break;
    if (!takeOver) return TClaim::Held;
    // The holder is most likely a filmer whose network dropped; its blocked read fails now.
    // Its connection stays alive until it has released the game, which needs this lock.
    it->second->DisconnectSocket();
    if (FReleased.wait_until(lock, deadline) == std::cv_status::timeout) {
      const auto again = FOwners.find(game);
      if (again != FOwners.end() && again->second != &owner) return TClaim::Busy;
    }
  }
  if (!admit()) return TClaim::Refused;
  FOwners[game] = &owner;
  return TClaim::Claimed;
}

std::vector<std::string> TLiveFilmGames::Games() {
  std::lock_guard<std::mutex> lock(FLock);
  std::vector<std::string> games;
  for (const auto& entry : FOwners) games.push_back(entry.first);
  return games;
}

void TLiveFilmGames::Release(const std::string& game, const TIdTCPConnection& owner) noexcept {
  {
    std::lock_guard<std::mutex> lock(FLock);
    const auto it = FOwners.find(game);
    if (it == FOwners.end() || it->second != &owner) return;
    FOwners.erase(it);
  }
  FReleased.notify_all();
}
