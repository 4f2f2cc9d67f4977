#include "admin/AdminService.h"

#include <exception>
#include <string>
#include <vector>

#include "common/Metrics.h"
#include "common/TextUtil.h"
#include "net/IdException.h"
#include "net/SessionRunner.h"

TAdminService::TAdminService(const TSettingsHolder& settings, TLog& log, TGameStore& store,
                             TLoginThrottle* throttle)
    : FSettings(settings), FLog(log), FStore(store), FThrottle(throttle) {}

void TAdminService::Execute(TIdPeerThread& AThread) {
  const std::int32_t id = AThread.ThreadId();
  TSessionRunner runner("Admin Exception:- ", [&](const std::string& m) { FLog.WriteLog(id, m); });
  runner.Run([&] {
    FLog.WriteLog(id, "Admin client connected " + AThread.Connection().PeerAddress());
    Run(AThread);
  });
  runner.Step([&] { FLog.WriteLog(id, "Admin client Disconnected"); });
  runner.LogError();
}

void TAdminService::Run(TIdPeerThread& AThread) {
  TIdTCPConnection& connection = AThread.Connection();
  AThread.LimitIdle(FSettings.Get()->IdleTimeout);
  const std::string password = connection.ReadLn();
  if (FThrottle) FThrottle->Wait(connection.PeerAddress(), [&] { return AThread.Stopped(); });
  if (password != FSettings.Get()->AdminPassword) {
    if (FThrottle) FThrottle->Refused(connection.PeerAddress());
    Count(Metrics().Ports[spAdmin].LoginsFailed);
    FLog.WriteLog(AThread.ThreadId(), "Incorrect Password");
    connection.WriteLn("FAIL\tIncorrect Password");
    return;
  }
  if (FThrottle) FThrottle->Accepted(connection.PeerAddress());
  AThread.LoginDone();
  connection.WriteLn("OK");
  while (!AThread.Terminated()) {
    AThread.LimitIdle(FSettings.Get()->IdleTimeout);
    std::string arguments = connection.ReadLn();
    const std::string command = UpperCase(NextField(arguments, "\t"));
    if (command == "LISTGAMES") {
      SendGameList(connection);
    } else if (command == "AVAILABLE") {
      // An invalid or missing game makes the store raise, which ends this run.
      const std::string game = NextField(arguments, "\t");
      FStore.WriteAvailable(game, connection.ReadInteger() != 0);
    } else if (command == "DELETEGAME") {
      DeleteGame(AThread, NextField(arguments, "\t"));
    }
  }
}

void TAdminService::DeleteGame(TIdPeerThread& AThread, const std::string& game) {
  std::string reason;
  // A name that is no plain directory name never reaches the store's removal.
  if (!IsValidGameName(game)) {
    reason = "Unknown game";
  } else {
    try {
      reason = FStore.DeleteGame(game);
    } catch (const std::exception& e) {
      // A removal the file system refused is this command's answer, not the session's end.
      reason = e.what();
    }
  }
  // On success the store logs the removal itself.
  if (reason.empty()) {
    AThread.Connection().WriteLn("OK");
    return;
  }
  FLog.WriteLog(AThread.ThreadId(), "Game not deleted: " + game + " (" + reason + ")");
  AThread.Connection().WriteLn("FAIL\t" + reason);
}

void TAdminService::SendGameList(TIdTCPConnection& connection) {
  std::vector<std::string> games;
  ListGames(FStore.StreamsDir(), games);
  // A damaged game is served to no one; the status page shows it.
  std::erase_if(games, [&](const std::string& game) { return FStore.IsDamaged(game); });
  TWriteBatch reply(connection);
  connection.WriteInteger(static_cast<std::int32_t>(games.size()));
  for (auto it = games.rbegin(); it != games.rend(); ++it) {
    const std::int32_t viewers = FStore.ReadViewers(*it);
    const bool available = FStore.ReadAvailable(*it);
    connection.WriteLn(*it + "\t" + std::to_string(viewers) + "\t" + (available ? "1" : "0"));
  }
  reply.Send();
}
