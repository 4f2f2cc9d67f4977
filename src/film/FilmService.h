// The film service: filmers upload games on port 28200.
#pragma once

#include "common/Log.h"
#include "common/Settings.h"
#include "film/LiveFilmGames.h"
#include "net/IdTCPServer.h"
#include "net/LoginThrottle.h"
#include "store/GameStore.h"

class TFilmService {
 public:
  // Throttle, when given, paces password attempts per address.
  TFilmService(const TSettingsHolder& settings, TLog& log, TGameStore& store,
               TLoginThrottle* throttle = nullptr);
  ~TFilmService();
  // Session handler of the film server: runs one film session on AThread's connection.
  void Execute(TIdPeerThread& AThread);
  // The games film sessions upload now.
  std::vector<std::string> LiveGames() { return FLiveGames.Games(); }

 private:
  const TSettingsHolder& FSettings;
  TLog& FLog;
  TGameStore& FStore;
  TLoginThrottle* const FThrottle;
  TLiveFilmGames FLiveGames;  // which session writes which game, shared by all sessions
};
