// The admin service: lists games, switches their availability and deletes them on port 28400.
#pragma once

#include "common/Log.h"
#include "common/Settings.h"
#include "net/IdTCPServer.h"
#include "net/LoginThrottle.h"
#include "store/GameStore.h"

class TAdminService {
 public:
  // Throttle, when given, paces password attempts per address.
  TAdminService(const TSettingsHolder& settings, TLog& log, TGameStore& store,
                TLoginThrottle* throttle = nullptr);
  // Session handler of the admin server: one run from the password step; leaves the
  // connection open, so the server runs it again.
  void Execute(TIdPeerThread& AThread);

 private:
  // The password step and the command loop; errors pass to Execute.
  void Run(TIdPeerThread& AThread);
  // Removes Game through the store and answers "OK" or "FAIL\treason"; a refusal is logged.
  void DeleteGame(TIdPeerThread& AThread, const std::string& game);
  // Sends the count and one line per game, last listed first.
  void SendGameList(TIdTCPConnection& connection);

  const TSettingsHolder& FSettings;
  TLog& FLog;
  TGameStore& FStore;
  TLoginThrottle* const FThrottle;
};
