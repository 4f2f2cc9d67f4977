// The view service: viewers list and watch games on port 28100.
#pragma once

#include <functional>
#include <string>

#include "common/Log.h"
#include "common/Settings.h"
#include "net/IdTCPServer.h"
#include "net/LoginThrottle.h"
#include "store/GameStore.h"
#include "view/UnitListActiveUsers.h"
#include "view/ViewSenders.h"

class TSessionRunner;

class TViewService {
 public:
  // UsersFile is the accounts file; ConnectionCount gives the view server's running sessions;
  // Throttle, when given, paces password attempts per address.
  TViewService(const TSettingsHolder& settings, TLog& log, TGameStore& store,
               TListActiveUsers& activeUsers, std::string usersFile,
               std::function<int()> connectionCount, TLoginThrottle* throttle = nullptr);
  // Session handler of the view server: runs one view session on AThread's connection. A
  // session that requests a game is handed to the sender threads, which end it.
  void Execute(TIdPeerThread& AThread);
  // Viewers streaming on the sender threads now.
  std::size_t StreamingCount() const { return FSenders.Count(); }

 private:
  struct TSessionState;

  // The session up to its end: greeting, version check, login, command loop.
  void RunSession(TIdPeerThread& AThread, TSessionState& state);
  // The AUTH exchange; false when the viewer was refused.
  bool Login(TIdPeerThread& AThread, TSessionState& state);
  void SendGameList(TIdTCPConnection& connection);
  void SendSectionList(TIdTCPConnection& connection, const std::string& game);
  void Request(TIdPeerThread& AThread, TSessionState& state, std::string fields);
  // The end steps, each guarded; Runner holds the session's error, if any.
  void EndSession(TIdPeerThread& AThread, TSessionState& state, TSessionRunner& runner);
  void Log(TIdPeerThread& AThread, const std::string& message);
  void Debug(TIdPeerThread& AThread, const std::string& message);

  const TSettingsHolder& FSettings;
  TLog& FLog;
  TGameStore& FStore;
  TListActiveUsers& FActiveUsers;
  const std::string FUsersFile;
  const std::function<int()> FConnectionCount;
  TLoginThrottle* const FThrottle;
  TViewSenders FSenders;  // last: its threads go before anything they use
};
