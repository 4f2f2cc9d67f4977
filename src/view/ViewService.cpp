#include "view/ViewService.h"

#include <algorithm>
#include <limits>
#include <utility>

#include "common/Metrics.h"
#include "common/Protocol.h"
#include "common/TextUtil.h"
#include "net/IdException.h"
#include "net/SessionRunner.h"
#include "view/UnitListUser.h"
#include "view/ViewStreamer.h"

namespace {

// A streaming socket's send buffer: room for a few cycles, so that a viewer that lags is seen
// as full early and costs the system little, and at least 64 KiB.
int SendBufferFor(const TSettings& settings) {
  const std::int64_t budget = std::max(settings.BandwidthBuffer, settings.BandwidthNormal);
  return static_cast<int>(
      std::clamp<std::int64_t>(4 * budget, 65536, std::numeric_limits<std::int32_t>::max()));
}

}  // namespace

struct TViewService::TSessionState {
  std::string UserName;
  bool Registered = false;  // UserName was added to the active users by this session
  std::string Game;         // the requested game
  bool Counted = false;     // AddViewer counted the viewer for Game
  bool HandedOver = false;  // streaming on the sender threads, which end the session
};

TViewService::TViewService(const TSettingsHolder& settings, TLog& log, TGameStore& store,
                           TListActiveUsers& activeUsers, std::string usersFile,
                           std::function<int()> connectionCount, TLoginThrottle* throttle)
    : FSettings(settings),
      FLog(log),
      FStore(store),
      FActiveUsers(activeUsers),
      FUsersFile(std::move(usersFile)),
      FConnectionCount(std::move(connectionCount)),
      FThrottle(throttle),
      FSenders(settings) {}

void TViewService::Execute(TIdPeerThread& AThread) {
  TSessionState state;
  TSessionRunner runner("View Exception:- ", [&](const std::string& m) { Log(AThread, m); });
  runner.Run([&] { RunSession(AThread, state); });
  // A session handed to the sender threads is ended by them.
  if (state.HandedOver) return;
  EndSession(AThread, state, runner);
}

void TViewService::RunSession(TIdPeerThread& AThread, TSessionState& state) {
  TIdTCPConnection& connection = AThread.Connection();
  const int connections = FConnectionCount ? FConnectionCount() : 0;
  Log(AThread, "View client connected [" + std::to_string(connections) +
                   " Total server connections] " + connection.PeerAddress());
  connection.WriteLn(Greeting(ViewProtocol));

  std::string line = connection.ReadLn();
  const std::string version = NextField(line, "\t");
  const std::int32_t protocol = NumberField(NextField(line, "\t"));
  Log(AThread, "View Client Version: " + version + ", Protocol: " + std::to_string(protocol));
  if (protocol != ViewProtocol) {
    Log(AThread, ProtocolNeeded(ViewProtocol));
    connection.WriteLn(ProtocolRefusal(ViewProtocol));
    return;
  }
  const bool auth = FSettings.Get()->ViewerAuth;
  {
    TWriteBatch welcome(connection);
    connection.WriteLn("OK");
    connection.WriteLn(auth ? "AUTH" : "NOAUTH");
    welcome.Send();
  }
  if (auth && !Login(AThread, state)) return;
  AThread.LoginDone();

  while (!AThread.Terminated()) {
    AThread.LimitIdle(FSettings.Get()->IdleTimeout);
    std::string fields = connection.ReadLn();
    Debug(AThread, "Incoming Command: [" + fields + "]");
    const std::string command = UpperCase(NextField(fields, "\t"));
    if (command == "LISTGAMES") {
      Debug(AThread, "Requesting stream list");
      SendGameList(connection);
    } else if (command == "LISTSECTIONS") {
      Debug(AThread, "Requesting sections");
      SendSectionList(connection, UpperCase(NextField(fields, "\t")));
    } else if (command == "REQUEST") {
      Debug(AThread, "Requesting Stream");
      AThread.LimitIdle(0);  // a streaming viewer only answers the sender
      Request(AThread, state, fields);
      return;
    }
  }
}

bool TViewService::Login(TIdPeerThread& AThread, TSessionState& state) {
  TIdTCPConnection& connection = AThread.Connection();
  std::string line = connection.ReadLn();
  const std::string user = NextField(line, "\t");
  const std::string password = NextField(line, "\t");
  // The password is checked before the name is taken, so that guesses at a name never hold it
  // and lock its owner out.
  if (FThrottle) FThrottle->Wait(connection.PeerAddress(), [&] { return AThread.Stopped(); });
  const std::string stored = TListUser(FUsersFile).GetPassword(user);
  if (password.empty() || password != stored) {
    if (FThrottle) FThrottle->Refused(connection.PeerAddress());
    Count(Metrics().Ports[spView].LoginsFailed);
    Log(AThread, "Incorrect username or password (" + user + ")");
    connection.WriteLn("FAIL\tIncorrect username or password");
    return false;
  }
  if (FThrottle) FThrottle->Accepted(connection.PeerAddress());
  if (FActiveUsers.CheckAndAdd(user)) {
    Log(AThread, user + " user is already logged in");
    connection.WriteLn("FAIL\t" + user + " user is already logged in");
    return false;
  }
  state.UserName = user;
  state.Registered = true;
  Log(AThread, "Authenticated successfully (" + user + ")");
  connection.WriteLn("OK");
  return true;
}

void TViewService::SendGameList(TIdTCPConnection& connection) {
  std::vector<std::string> games;
  ListGames(FStore.StreamsDir(), games);
  std::vector<std::string> available;
  for (auto it = games.rbegin(); it != games.rend(); ++it)
    if (FStore.ReadAvailable(*it)) available.push_back(*it);
  TWriteBatch reply(connection);
  connection.WriteInteger(static_cast<std::int32_t>(available.size()));
  for (const std::string& game : available) connection.WriteLn(game);
  reply.Send();
}

void TViewService::SendSectionList(TIdTCPConnection& connection, const std::string& game) {
  std::vector<std::string> lines;
  FStore.ListSections(game, lines);
  TWriteBatch reply(connection);
  connection.WriteInteger(static_cast<std::int32_t>(lines.size()));
  for (const std::string& line : lines) connection.WriteLn(line);
  reply.Send();
}

void TViewService::Request(TIdPeerThread& AThread, TSessionState& state, std::string fields) {
  TViewRequest request;
  request.Game = UpperCase(NextField(fields, "\t"));
  request.StartSection = NumberField(NextField(fields, "\t"));
  request.CurrentSection = NumberField(NextField(fields, "\t"));
  request.AudioOnly = UpperCase(NextField(fields, "\t")) == "TRUE";
  state.Game = request.Game;
  // An invalid name is refused here by the store, as a game whose directory is missing. A
  // damaged game counts no viewer; the streamer finds it unavailable.
  state.Counted = FStore.AddViewer(request.Game);
  // From here the connection is driven without waiting and this thread ends.
  TIdTCPConnection& connection = AThread.Connection();
  connection.ShrinkInput();
  auto output = std::make_unique<TQueuedOutput>(connection, SendBufferFor(*FSettings.Get()));
  auto streamer = std::make_unique<TViewStreamer>(FSettings, FLog, FStore, AThread, *output,
                                                  std::move(request));
  TIdPeerThread* session = &AThread;
  FSenders.Add(AThread, std::move(output), std::move(streamer),
               [this, session, ended = state](const TViewSenders::TEndReason* reason) mutable {
                 TSessionRunner runner("View Exception:- ",
                                       [&](const std::string& m) { Log(*session, m); });
                 if (reason)
                   runner.Run([&] {
                     if (reason->Timeout) throw EIdSessionTimeout(reason->Text);
                     throw std::runtime_error(reason->Text);
                   });
                 EndSession(*session, ended, runner);
               });
  state.HandedOver = true;
}

void TViewService::EndSession(TIdPeerThread& AThread, TSessionState& state,
                              TSessionRunner& runner) {
  // Every step runs whatever the others do, so the viewer count and the active users list
  // never keep a session that has gone.
  TIdTCPConnection& connection = AThread.Connection();
  // A login of the same name that comes once the viewer saw the close waits for the name.
  runner.Step([&] {
    if (state.Registered) FActiveUsers.Leaving(state.UserName);
  });
  runner.Step([&] {
    if (connection.Connected()) connection.Disconnect();
  });
  runner.Step([&] {
    if (state.Counted) FStore.DecViewers(state.Game);
  });
  runner.LogError();
  runner.Step([&] { Log(AThread, "View client disconnected"); });
  runner.Step([&] {
    if (state.Registered) FActiveUsers.Remove(state.UserName);
  });
}

void TViewService::Log(TIdPeerThread& AThread, const std::string& message) {
  FLog.WriteLog(AThread.ThreadId(), message);
}

void TViewService::Debug(TIdPeerThread& AThread, const std::string& message) {
  if (FSettings.Get()->Debug) Log(AThread, message);
}
