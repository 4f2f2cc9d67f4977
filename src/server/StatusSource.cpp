#include "server/StatusSource.h"

#include <algorithm>
#include <filesystem>
#include <set>
#include <system_error>

namespace {

// Bytes of the stream data files in Dir; the info file is not game data.
std::uint64_t StreamBytes(const std::string& dir) {
  std::uint64_t total = 0;
  std::error_code ec;
  for (std::filesystem::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    if (it->path().filename().string().rfind("stream_", 0) != 0) continue;
    std::error_code sizeError;
    const auto size = it->file_size(sizeError);
    if (!sizeError) total += size;
  }
  return total;
}

}  // namespace

TStatusSource::TStatusSource(TGameStore& store,
                             std::function<std::vector<std::string>()> liveUploads,
                             std::vector<std::pair<TServicePort, TIdTCPServer*>> servers)
    : FStore(store), FLiveUploads(std::move(liveUploads)), FServers(std::move(servers)) {}

TStatusSnapshot TStatusSource::Snapshot() {
  TStatusSnapshot out;
  out.Taken = std::chrono::system_clock::now();
  const std::vector<std::string> live = FLiveUploads ? FLiveUploads() : std::vector<std::string>{};
  const std::set<std::string> filming(live.begin(), live.end());

  std::vector<std::string> names;
  ListGames(FStore.StreamsDir(), names);
  std::sort(names.begin(), names.end());
  for (const std::string& name : names) {
    std::error_code ec;
    if (!IsValidGameName(name) || !std::filesystem::is_directory(FStore.GameDir(name), ec))
      continue;
    const TGameSummary summary = FStore.ReadSummary(name);
    TStatusGame game;
    game.Name = name;
    game.Filming = filming.count(name) > 0;
    game.Complete = summary.Complete;
    game.Available = summary.Available;
    game.Sections = summary.Sections;
    game.Streams = summary.Streams;
    game.Viewers = summary.Viewers;
    game.Bytes = StreamBytes(FStore.GameDir(name));
    if (game.Filming) out.Uploads.push_back({name, game.Bytes, 0});
    out.Games.push_back(std::move(game));
  }
  for (const auto& [service, server] : FServers)
    out.Ports.push_back({service, server->DefaultPort(), server->Active(), server->ThreadCount()});
  return out;
}
