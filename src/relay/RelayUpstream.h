// The relay server's hooks into the game store: what this server offers downstream servers.
#pragma once

#include <cstdint>
#include <istream>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "common/Log.h"
#include "relay/RelayAllowList.h"
#include "relay/UnitidZarnelRelayServer.h"
#include "store/GameStore.h"

class TRelayUpstream {
 public:
  // Store and Log must outlive the object; Allow decides who may relay.
  TRelayUpstream(TGameStore& store, TLog& log, TRelayAllowList allow);
  TRelayUpstream(const TRelayUpstream&) = delete;
  TRelayUpstream& operator=(const TRelayUpstream&) = delete;

  // Assigns Server's hooks to this object; unauthorized peers then see no hook at all.
  void Attach(TidZarnelRelayServer& server);

  // Authorizes a peer whose address is on the allow list, and logs the decision unless it
  // repeats the connection's previous one (Repeated: Authorized holds that one).
  void Authorize(const std::string& address, bool repeated, bool& authorized);
  // The available games, in directory order.
  void GameList(std::vector<std::string>& games);
  // Section value (the number of sections set up), availability and completion of a game.
  void GameInfo(const std::string& game, std::int32_t& section, bool& available, bool& completed);
  // One stream of the relayed section, positioned at the peer's block start, with its values
  // (see TRelayStreamCode); a stream the section lacks is an empty, completed one.
  void SectionInfo(const TRelaySectionRequest& request, std::int32_t& blockStart,
                   std::int32_t& sectionSize, bool& completed,
                   std::unique_ptr<std::istream>& stream);

 private:
  void Log(const std::string& message);

  TGameStore& FStore;
  TLog& FLog;
  const TRelayAllowList FAllow;
  std::mutex FLock;
  std::set<std::string> FUnrelayable;  // guarded by FLock; games already logged as such
};
