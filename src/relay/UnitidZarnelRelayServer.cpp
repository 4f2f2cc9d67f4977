#include "relay/UnitidZarnelRelayServer.h"

#include <algorithm>

#include "common/Protocol.h"
#include "net/IdException.h"
#include "net/SessionRunner.h"

namespace {

// Size of Stream with its position left where it was; -1 when the stream cannot tell it.
std::int64_t StreamSize(std::istream& stream) {
  const std::istream::pos_type position = stream.tellg();
  if (position < 0) return -1;
  stream.seekg(0, std::ios::end);
  const std::istream::pos_type end = stream.tellg();
  stream.clear();
  stream.seekg(position);
  if (end < 0 || !stream) return -1;
  return static_cast<std::int64_t>(end);
}

}  // namespace

// What one connection keeps for the length of its session.
struct TidZarnelRelayServer::TRelaySession {
  TRelaySession(TIdPeerThread& thread) : Thread(thread), Connection(thread.Connection()) {}
  TIdPeerThread& Thread;
  TIdTCPConnection& Connection;
  bool Authorized = false;
  bool AuthorizeAsked = false;  // an authorize command came before
  TListRelayedSections Sections;
  std::list<TPeerEntry>::iterator Peer;  // this connection's entry in FPeers
};

TidZarnelRelayServer::TidZarnelRelayServer(std::uint16_t defaultPort) : TIdTCPServer(defaultPort) {}

TidZarnelRelayServer::~TidZarnelRelayServer() {
  DeactivateAndWait();
}

std::vector<TidZarnelRelayServer::TPeer> TidZarnelRelayServer::Peers() const {
  std::vector<TPeer> peers;
  std::lock_guard<std::mutex> lock(FPeersLock);
  for (const TPeerEntry& entry : FPeers) {
    peers.push_back(entry.Peer);
    peers.back().BytesSent = entry.Connection->SentBytes();
  }
  return peers;
}

bool TidZarnelRelayServer::RunSession(TIdPeerThread& AThread) {
  TRelaySession session(AThread);
  TIdTCPConnection& connection = session.Connection;
  {
    std::lock_guard<std::mutex> lock(FPeersLock);
    session.Peer = FPeers.insert(
        FPeers.end(),
        {&connection, {connection.PeerAddress(), false, std::chrono::system_clock::now(), 0}});
  }
  struct TUnlist {
    TidZarnelRelayServer& Server;
    TRelaySession& Session;
    ~TUnlist() {
      std::lock_guard<std::mutex> lock(Server.FPeersLock);
      Server.FPeers.erase(Session.Peer);
    }
  } unlist{*this, session};
  TSessionRunner runner("Relay Server Exception:- ",
                        [&](const std::string& m) { Log(AThread, m); });
  runner.Run([&] {
    Log(AThread, "Relay client connected " + connection.PeerAddress());
    ServeCommands(session);
  });
  // Each step runs whatever the one before did; the session ends with its connection.
  runner.Step([&] {
    if (connection.Connected()) connection.Disconnect();
  });
  runner.Step([&] { Log(AThread, "Relay client disconnected"); });
  runner.LogError();
  return true;
}

void TidZarnelRelayServer::ServeCommands(TRelaySession& session) {
  TIdPeerThread& thread = session.Thread;
  TIdTCPConnection& connection = session.Connection;
  // Ends by a read or write failing once the peer goes, or by the login deadline.
  while (!thread.Terminated()) {
    const std::int32_t command = connection.ReadInteger() & 0xFF;
    thread.LoginDone();  // the first command ends the login phase
    // The acknowledgement and the command's reply leave together.
    TWriteBatch reply(connection);
    connection.WriteInteger(session.Authorized || command == rcAuthorize ? 1 : 0);
    // A refused command is still carried out, so that both sides stay in step.
    switch (command) {
      case rcAuthorize: {
        Authorize(session);
        std::lock_guard<std::mutex> lock(FPeersLock);
        session.Peer->Peer.Authorized = session.Authorized;
        break;
      }
      case rcGameList:
        SendGameList(session);
        break;
      case rcGameInfo:
        SendGameInfo(session);
        break;
      case rcAddSection:
        if (!AddRelayedSection(session)) return;
        break;
      case rcSendBlocks:
        SendBlocks(session);
        break;
      case rcSectionStatus:
        SendSectionStatus(session);
        break;
      default:
        break;  // unknown commands have no further input or reply
    }
    reply.Send();
  }
}

void TidZarnelRelayServer::Log(TIdPeerThread& AThread, const std::string& message) {
  if (OnLog) OnLog(AThread.ThreadId(), message);
}

bool TidZarnelRelayServer::Hooked(const TRelaySession& session) const {
  return session.Authorized || !HooksNeedAuthorization;
}

void TidZarnelRelayServer::Authorize(TRelaySession& session) {
  if (OnRelayAuthorizeServer)
    OnRelayAuthorizeServer(session.Connection.PeerAddress(), session.AuthorizeAsked,
                           session.Authorized);
  session.AuthorizeAsked = true;
  session.Connection.WriteInteger(session.Authorized ? 1 : 0);
}

void TidZarnelRelayServer::SendGameList(TRelaySession& session) {
  std::vector<std::string> games;
  if (OnGetGameList && Hooked(session)) OnGetGameList(games);
  session.Connection.WriteInteger(static_cast<std::int32_t>(games.size()));
  for (const std::string& game : games) session.Connection.WriteLn(game);
}

void TidZarnelRelayServer::SendGameInfo(TRelaySession& session) {
  const std::string gameName = session.Connection.ReadLn();
  std::int32_t section = -1;
  bool available = false;
  bool completed = false;
  if (OnGetGameInfo && Hooked(session)) {
    OnGetGameInfo(gameName, section, available, completed);
    for (int i = 0; i < session.Sections.Count(); ++i) {
      TRelayedSection& item = session.Sections.Items(i);
      if (item.GameName != gameName) continue;
      item.InfoSent = true;
      item.InfoSection = section;
      item.InfoCompleted = completed;
    }
  }
  session.Connection.WriteInteger(section);
  session.Connection.WriteInteger(available ? 1 : 0);
  session.Connection.WriteInteger(completed ? 1 : 0);
}

bool TidZarnelRelayServer::AddRelayedSection(TRelaySession& session) {
  const std::string gameName = session.Connection.ReadLn();
  const std::int32_t section = session.Connection.ReadInteger();
  if (session.Sections.Count() >= MaxRelayedSections) {
    Log(session.Thread, "Relay client closed: more than " + std::to_string(MaxRelayedSections) +
                            " relayed sections " + session.Connection.PeerAddress());
    session.Connection.Disconnect();
    return false;
  }
  TRelayedSection& item = session.Sections.Add(gameName, section);
  item.BlockStart[0] = session.Connection.ReadInteger();
  item.BlockStart[1] = session.Connection.ReadInteger();
  return true;
}

namespace {

// The game name and 1, or 0 for a section already completed; true when more follows.
bool SendSectionHead(TIdTCPConnection& connection, const TRelayedSection& item) {
  connection.WriteLn(item.GameName);
  connection.WriteInteger(item.Completed ? 0 : 1);
  return !item.Completed;
}

}  // namespace

void TidZarnelRelayServer::SendBlocks(TRelaySession& session) {
  const int count = session.Sections.Count();
  session.Connection.WriteInteger(count);
  if (count == 0) return;
  const std::int32_t share = BlockSize / count;
  for (int i = 0; i < count; ++i) {
    TRelayedSection& item = session.Sections.Items(i);
    if (!SendSectionHead(session.Connection, item)) continue;
    if (!OnRelaySectionInfo || !Hooked(session)) continue;
    for (int stream = 0; stream < 2; ++stream) SendStreamRecord(session, item, stream, share);
  }
}

void TidZarnelRelayServer::SendStreamRecord(TRelaySession& session, TRelayedSection& item,
                                            int stream, std::int32_t share) {
  // The hook need not set these when it returns no stream; start them from known values.
  std::int32_t blockStart = 0;
  std::int32_t sectionSize = 0;
  bool sectionCompleted = false;
  std::unique_ptr<std::istream> data;  // released on every path, sent or not
  const std::int32_t held = item.BlockStart[stream];
  OnRelaySectionInfo({item.GameName, item.Section, stream, held, share}, blockStart, sectionSize,
                     sectionCompleted, data);
  const std::int64_t size = data ? StreamSize(*data) : -1;
  TIdTCPConnection& connection = session.Connection;
  // A stream that was wholly sent before its section completed would otherwise never count as
  // completed, and its entry could never move on: its completion goes out once as an empty
  // record.
  const bool lateCompletion = size == held && sectionCompleted && !item.StreamCompleted[stream];
  if (size < 0 || (size <= held && !lateCompletion)) {
    connection.WriteInteger(0);
    return;
  }
  const std::int64_t count = std::clamp<std::int64_t>(size - held, 0, std::max(share, 0));
  connection.WriteInteger(1);
  connection.WriteInteger(blockStart);
  connection.WriteInteger(sectionSize);
  // A count of 0 (more sections than bytes in the budget) must not send the whole stream,
  // which is what a size of 0 means to WriteStream.
  if (count == 0) {
    connection.WriteInteger(0);
  } else {
    connection.WriteStream(*data, count);
  }
  const std::int64_t sent = held + count;
  item.BlockStart[stream] = static_cast<std::int32_t>(sent);
  if (sent == size) item.StreamCompleted[stream] = sectionCompleted;
}

void TidZarnelRelayServer::SendSectionStatus(TRelaySession& session) {
  const int count = session.Sections.Count();
  session.Connection.WriteInteger(count);
  for (int i = count - 1; i >= 0; --i) {
    TRelayedSection& item = session.Sections.Items(i);
    if (!SendSectionHead(session.Connection, item)) continue;
    if (!item.StreamCompleted[0] || !item.StreamCompleted[1]) continue;
    std::int32_t latest = -1;
    bool available = false;
    bool gameComplete = false;
    if (item.InfoSent) {
      latest = item.InfoSection;
      gameComplete = item.InfoCompleted;
    } else if (OnGetGameInfo && Hooked(session)) {
      OnGetGameInfo(item.GameName, latest, available, gameComplete);
    }
    // 64-bit, so a peer's section number of 2147483647 cannot overflow the comparison.
    if (static_cast<std::int64_t>(item.Section) + 1 < latest) {
      item.Section += 1;
      item.BlockStart = {0, 0};
      item.StreamCompleted = {false, false};
      session.Connection.WriteInteger(0);
    } else if (gameComplete) {
      item.Completed = true;
      session.Connection.WriteInteger(1);
    } else {
      session.Connection.WriteInteger(0);
    }
  }
}
