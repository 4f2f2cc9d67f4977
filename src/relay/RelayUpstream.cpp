#include "relay/RelayUpstream.h"

#include <algorithm>
#include <sstream>
#include <utility>

#include "common/Protocol.h"
#include "relay/RelayStreamCode.h"

TRelayUpstream::TRelayUpstream(TGameStore& store, TLog& log, TRelayAllowList allow)
    : FStore(store), FLog(log), FAllow(std::move(allow)) {}

void TRelayUpstream::Attach(TidZarnelRelayServer& server) {
  server.HooksNeedAuthorization = true;
  server.OnRelayAuthorizeServer = [this](const std::string& ip, bool repeated, bool& ok) {
    Authorize(ip, repeated, ok);
  };
  server.OnGetGameList = [this](std::vector<std::string>& games) { GameList(games); };
  server.OnGetGameInfo = [this](const std::string& game, std::int32_t& section, bool& available,
                                bool& completed) { GameInfo(game, section, available, completed); };
  server.OnRelaySectionInfo = [this](const TRelaySectionRequest& request, std::int32_t& start,
                                     std::int32_t& size, bool& completed,
                                     std::unique_ptr<std::istream>& stream) {
    SectionInfo(request, start, size, completed, stream);
  };
}

void TRelayUpstream::Log(const std::string& message) {
  FLog.WriteLog(CurrentThreadNumber(), message);
}

void TRelayUpstream::Authorize(const std::string& address, bool repeated, bool& authorized) {
  const bool previous = authorized;
  authorized = FAllow.Allows(address);
  // A peer repeating the command must not write a log line per four bytes it sends.
  if (!repeated || authorized != previous)
    Log((authorized ? "Relay authorized " : "Relay refused ") + address);
}

void TRelayUpstream::GameList(std::vector<std::string>& games) {
  std::vector<std::string> names;
  ListGames(FStore.StreamsDir(), names);
  for (const std::string& game : names)
    if (IsValidGameName(game) && FStore.ReadAvailable(game)) games.push_back(game);
}

void TRelayUpstream::GameInfo(const std::string& game, std::int32_t& section, bool& available,
                              bool& completed) {
  if (!IsValidGameName(game)) return;
  // Completion before the count, as a viewer reads them: a game reported complete has every
  // section counted.
  completed = FStore.ReadCompleteAll(game);
  section = FStore.ReadActiveSections(game);
  available = FStore.ReadAvailable(game);
}

void TRelayUpstream::SectionInfo(const TRelaySectionRequest& request, std::int32_t& blockStart,
                                 std::int32_t& sectionSize, bool& completed,
                                 std::unique_ptr<std::istream>& stream) {
  const std::string& game = request.GameName;
  const std::int32_t section = request.Section;
  // Only sections whose set-up is finished: their stream files are all there.
  if (!IsValidGameName(game) || section < 0 || section >= FStore.ReadActiveSections(game)) return;
  TRelayStreamCode code;
  while (code.StreamCount < MaxStreams && FStore.StreamSize(game, code.StreamCount, section) >= 0)
    ++code.StreamCount;
  if (request.StreamIndex >= code.StreamCount) {
    code.Final = true;
    blockStart = code.Pack();
    sectionSize = 0;
    completed = true;
    stream = std::make_unique<std::istringstream>(std::string());
    return;
  }
  const int index = request.StreamIndex;
  // The flag before the size: complete only if no byte can follow what is measured.
  completed = FStore.ReadComplete(game, index, section);
  std::unique_ptr<std::istream> file = FStore.OpenStreamForReading(game, index, section);
  if (!file) return;
  file->seekg(0, std::ios::end);
  const std::int64_t size = file->tellg();
  code.HeaderLength = FStore.ReadBlock(game, index, section);
  if (size < 0 || !TRelayStreamCode::Fits(code.HeaderLength)) {
    std::lock_guard<std::mutex> lock(FLock);
    if (FUnrelayable.insert(game).second)
      Log("Relay: " + game + " cannot be relayed: header length " +
          std::to_string(code.HeaderLength));
    return;
  }
  code.Type = FStore.ReadStreamType(game, index);
  code.Final =
      completed && size >= request.BlockStart && size - request.BlockStart <= request.MaxCount;
  blockStart = code.Pack();
  sectionSize = FStore.ReadSize(game, index, section);
  file->seekg(std::min<std::int64_t>(std::max(request.BlockStart, 0), size));
  stream = std::move(file);
}
