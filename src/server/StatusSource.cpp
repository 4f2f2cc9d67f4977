#include "server/StatusSource.h"

#include <algorithm>
#include <set>

#include "common/UnitZarnelGlobal.h"

TStatusSource::TStatusSource(TGameStore& store,
                             std::function<std::vector<std::string>()> liveUploads,
                             std::vector<std::pair<TServicePort, TIdTCPServer*>> servers,
                             const TSettingsHolder& settings,
                             std::function<std::optional<TRelayLinkState>()> linkState,
                             const TidZarnelRelayServer* relay)
    : FStore(store),
      FLiveUploads(std::move(liveUploads)),
      FServers(std::move(servers)),
      FSettings(settings),
      FLinkState(std::move(linkState)),
      FRelay(relay) {}

TStatusSnapshot TStatusSource::Snapshot() {
  TStatusSnapshot out;
  out.Taken = std::chrono::system_clock::now();
  const std::vector<std::string> live = FLiveUploads ? FLiveUploads() : std::vector<std::string>{};
  const std::set<std::string> filming(live.begin(), live.end());

  std::vector<std::string> names;
  ListGames(FStore.StreamsDir(), names);
  std::sort(names.begin(), names.end());
  for (const std::string& name : names) {
    if (!FStore.IsGame(name)) continue;
    const TGameSummary summary = FStore.ReadSummary(name);
    TStatusGame game;
    game.Name = name;
    game.Filming = filming.count(name) > 0;
    game.Complete = summary.Complete;
    game.Available = summary.Available;
    game.Sections = summary.Sections;
    game.Streams = summary.Streams;
    game.Viewers = summary.Viewers;
    game.Bytes = FStore.GameBytes(name);
    game.Damaged = summary.Damaged;
    out.Store.SizeBytes += game.Bytes;
    if (game.Filming) out.Uploads.push_back({name, game.Bytes, 0});
    out.Games.push_back(std::move(game));
  }
  out.Store.FreeBytes = FStore.FreeBytes();
  const std::int32_t minFree = FSettings.Get()->MinFreeMB;
  out.Store.MinFreeBytes = minFree > 0 ? std::uint64_t(minFree) * BytesPerMB : 0;
  std::uint16_t filmPort = FilmPort, adminPort = AdminPort;
  for (const auto& [service, server] : FServers) {
    out.Ports.push_back({service, server->DefaultPort(), server->Active(), server->ThreadCount()});
    const std::uint16_t port = server->BoundPort() ? server->BoundPort() : server->DefaultPort();
    if (service == spFilm) filmPort = port;
    if (service == spAdmin) adminPort = port;
  }
  if (const std::optional<TRelayLinkState> linked = FLinkState ? FLinkState() : std::nullopt) {
    const TRelayLinkState& state = *linked;
    TStatusRelayLink link{state.Upstream, RelayLinkPhaseName(state.Phase), state.Since, {}};
    const auto now = std::chrono::steady_clock::now();
    for (const TRelayMirror::TGameState& game : state.Games)
      link.Games.push_back({game.Game, TRelayMirror::PhaseName(game.Phase),
                            std::chrono::duration<double>(now - game.LastData).count()});
    out.RelayLink = std::move(link);
  }
  if (FRelay)
    for (const TidZarnelRelayServer::TPeer& peer : FRelay->Peers())
      out.RelayPeers.push_back({peer.Address, peer.Authorized, peer.Since, peer.BytesSent});
  out.Insecure = InsecureSettings(*FSettings.Get(), filmPort, adminPort);
  return out;
}
