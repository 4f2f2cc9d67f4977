#include "admin/AdminService.h"

#include <exception>
#include <string>
#include <vector>

#include "common/Metrics.h"
#include "net/IdException.h"
#include "net/NetUtil.h"

TAdminService::TAdminService(const TSettingsHolder& settings, TLog& log, TGameStore& store,
                             TLoginThrottle* throttle)
    : FSettings(settings), FLog(log), FStore(store), FThrottle(throttle) {}

void TAdminService::Execute(TIdPeerThread& AThread) {
  const std::int32_t id = AThread.ThreadId();
  std::string error;
  bool failed = false;
  try {
    FLog.WriteLog(id, "Admin client connected " + AThread.Connection().PeerAddress());
    Run(AThread);
  } catch (const EIdSessionTimeout& e) {
    // An expected end, not an error: its own plain line.
    try {
      FLog.WriteLog(id, e.what());
    } catch (...) {
    }
  } catch (const std::exception& e) {
    failed = true;
    error = e.what();
  } catch (...) {
    failed = true;
    error = "Unknown error";
  }
  try {
    FLog.WriteLog(id, "Admin client Disconnected");
    if (failed) FLog.WriteLog(id, "Admin Exception:- " + error);
  } catch (...) {
    // A log that cannot be written must not end the session thread.
  }
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
    }
  }
}

void TAdminService::SendGameList(TIdTCPConnection& connection) {
  std::vector<std::string> games;
  ListGames(FStore.StreamsDir(), games);
  TWriteBatch reply(connection);
  connection.WriteInteger(static_cast<std::int32_t>(games.size()));
  for (auto it = games.rbegin(); it != games.rend(); ++it) {
    const std::int32_t viewers = FStore.ReadViewers(*it);
    const bool available = FStore.ReadAvailable(*it);
    connection.WriteLn(*it + "\t" + std::to_string(viewers) + "\t" + (available ? "1" : "0"));
  }
  reply.Send();
}
