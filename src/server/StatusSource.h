// The server's facts for the status page: the store's games and space, the live uploads, the
// ports.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "common/Settings.h"
#include "net/IdTCPServer.h"
#include "relay/UnitRelayThread.h"
#include "relay/UnitidZarnelRelayServer.h"
#include "status/StatusSnapshot.h"
#include "store/GameStore.h"

class TStatusSource : public IStatusSource {
 public:
  // LiveUploads names the games film sessions write now; Servers are the four services;
  // Settings give the free-space floor as it is at each snapshot. LinkState gives the running
  // relay link's state (none: relay_link is null); Relay, which outlives the object, lists the
  // downstream peers.
  TStatusSource(TGameStore& store, std::function<std::vector<std::string>()> liveUploads,
                std::vector<std::pair<TServicePort, TIdTCPServer*>> servers,
                const TSettingsHolder& settings,
                std::function<std::optional<TRelayLinkState>()> linkState = nullptr,
                const TidZarnelRelayServer* relay = nullptr);
  // One read of each game's info file and one listing of its directory.
  TStatusSnapshot Snapshot() override;

 private:
  TGameStore& FStore;
  const std::function<std::vector<std::string>()> FLiveUploads;
  const std::vector<std::pair<TServicePort, TIdTCPServer*>> FServers;
  const TSettingsHolder& FSettings;
  const std::function<std::optional<TRelayLinkState>()> FLinkState;
  const TidZarnelRelayServer* const FRelay;
};
