// The relay server: a binary command protocol through which a downstream server pulls games.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <istream>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "net/IdTCPServer.h"
#include "relay/UnitListRelayedSections.h"

// Decides whether the peer at AIP may relay; AAuthorized arrives holding the current state, and
// ARepeated tells whether an earlier authorize command on the same connection gave it.
using TRelayAuthorizeServer =
    std::function<void(const std::string& AIP, bool ARepeated, bool& AAuthorized)>;
// Appends the offered game names to the empty list it is given.
using TGetGameList = std::function<void(std::vector<std::string>& AGameList)>;
// Reports a game's section value, availability and completion (preset -1, false, false).
using TGetGameInfo = std::function<void(const std::string& AGameName, std::int32_t& ASection,
                                        bool& AAvailable, bool& ACompleted)>;
// The relayed section a block request is working on, as the section hook gets it.
struct TRelaySectionRequest {
  const std::string& GameName;
  std::int32_t Section;
  std::int32_t StreamIndex;  // 0 or 1
  std::int32_t BlockStart;   // how far the peer already holds this stream of the section
  std::int32_t MaxCount;     // the most bytes this record may carry
};
// Supplies stream ARequest.StreamIndex of the section, positioned where sending starts, or
// leaves ASectionStream empty. The server owns a returned stream and releases it after use.
using TRelaySectionInfo = std::function<void(
    const TRelaySectionRequest& ARequest, std::int32_t& ABlockStart, std::int32_t& ASectionSize,
    bool& ASectionCompleted, std::unique_ptr<std::istream>& ASectionStream)>;

class TidZarnelRelayServer : public TIdTCPServer {
 public:
  // A server listening on DefaultPort once active (0: an ephemeral port).
  explicit TidZarnelRelayServer(std::uint16_t defaultPort);
  // Stops and waits for every session while RunSession and the hooks still exist.
  ~TidZarnelRelayServer() override;

  // A downstream connection as the status page shows it.
  struct TPeer {
    std::string Address;
    bool Authorized = false;
    std::chrono::system_clock::time_point Since;  // accepted
    std::uint64_t BytesSent = 0;
  };
  // The connections open now, oldest first; any thread may call it.
  std::vector<TPeer> Peers() const;

  // Relayed sections one connection may hold; a connection asking for more is closed, so one
  // peer cannot grow the server's memory without bound.
  static constexpr int MaxRelayedSections = 1024;

  // Byte budget of one block request, shared out over the relayed sections. Set before
  // activation; read-only while active.
  std::int32_t BlockSize = 25000;
  // Hooks into the game store; called on the session threads, possibly several at once, so a
  // hook guards whatever it shares. Assign them before activation.
  TRelayAuthorizeServer OnRelayAuthorizeServer;
  TGetGameList OnGetGameList;
  TGetGameInfo OnGetGameInfo;
  TRelaySectionInfo OnRelaySectionInfo;
  // True: a connection that is not authorized is answered as if no hook were assigned.
  bool HooksNeedAuthorization = false;

 protected:
  // Runs the command loop of one connection until it closes or its thread is told to stop,
  // then closes the connection; logs how the session ended, as the other services do.
  bool RunSession(TIdPeerThread& AThread) override;

 private:
  struct TRelaySession;
  struct TPeerEntry {
    const TIdTCPConnection* Connection;  // valid while listed: a session unlists itself first
    TPeer Peer;
  };
  void ServeCommands(TRelaySession& session);
  // Writes one log line through OnLog, if assigned.
  void Log(TIdPeerThread& AThread, const std::string& message);
  void Authorize(TRelaySession& session);
  void SendGameList(TRelaySession& session);
  void SendGameInfo(TRelaySession& session);
  // False when the connection went over MaxRelayedSections and was closed.
  bool AddRelayedSection(TRelaySession& session);
  void SendBlocks(TRelaySession& session);
  void SendSectionStatus(TRelaySession& session);
  void SendStreamRecord(TRelaySession& session, TRelayedSection& item, int stream,
                        std::int32_t share);
  // Whether the hooks answer this session.
  bool Hooked(const TRelaySession& session) const;

  mutable std::mutex FPeersLock;
  std::list<TPeerEntry> FPeers;  // guarded by FPeersLock
};
