#include "relay/RelayMirror.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <utility>
#include <vector>

#include "common/Log.h"
#include "common/Metrics.h"
#include "common/Protocol.h"
#include "common/TextUtil.h"
#include "common/ZarnelException.h"
#include "relay/RelayStreamCode.h"

namespace {

// Games mirrored at once on one connection; each shares the upstream's block budget.
constexpr std::size_t MaxActiveGames = 8;
// Finished entries stay in the upstream's list and thin every block request; past this many
// the link starts a fresh connection.
constexpr std::size_t MaxFinishedEntries = 4;
// Largest data piece accepted in one stream record (the upstream sends at most its budget).
constexpr std::int32_t MaxPiece = 1 << 20;
constexpr std::int32_t MaxGames = 1 << 20;
// Bytes of game names one list may bring; far beyond any real store.
constexpr std::size_t MaxListBytes = 4 << 20;

class EOutOfStep : public EZarnelException {
 public:
  explicit EOutOfStep(const std::string& what)
      : EZarnelException("Relay answer out of step: " + what) {}
};

}  // namespace

// One connection's exchange. Keeps a copy of the upstream's list of relayed sections, so that
// every reply can be read: a status record's last integer is there only when both streams of
// the entry are completed, and the copy knows when that is.
class TRelayMirror::TSession {
 public:
  TSession(TRelayMirror& owner, TIdTCPConnection& connection)
      : FOwner(owner), FStore(owner.FStore), FConnection(connection) {}

  TEnd Run();

 private:
  struct TStream {
    bool Known = false;  // a record of this section came, so Code and Size hold
    TRelayStreamCode Code;
    std::int32_t Size = 0;
  };
  // Mirrors the upstream's TRelayedSection for one game.
  struct TEntry {
    std::string Game;
    std::int32_t Section = 0;
    std::array<std::int64_t, 2> Held{0, 0};  // the local file sizes: the entry's block starts
    std::array<bool, 2> Done{false, false};  // the upstream's StreamCompleted
    bool Completed = false;
    std::array<TStream, 2> Streams;
    bool SetUp = false;  // the local info file announces the section
    bool InfoSent = false;
    std::int32_t InfoSection = -1;
    bool InfoCompleted = false;
    std::chrono::steady_clock::time_point Moved;  // the last progress, or when it was taken
    bool Stalled = false;                         // entered in the owner's FStalled
    std::shared_ptr<TGameStore::TUse> Use;        // the game is mirrored: no removal takes it
    std::chrono::steady_clock::time_point LastData;
  };

  // Sends a command with its line, if any, and reads the acknowledgement.
  void Command(std::int32_t code, const std::string* line = nullptr);
  bool Authorize();
  void RefreshGames();
  enum class TPrepared { Mirror, PassOver, Later };
  // Whether Game is mirrored now, never on this connection, or once there is room for it.
  TPrepared Prepare(const std::string& game, TEntry& entry);
  bool Blocks();
  bool ApplyRecord(TEntry& entry, int stream);
  bool SetUpSection(TEntry& entry);
  bool Status();
  void Advance(TEntry& entry);
  // Notes that Entry got data or moved on.
  void Progress(TEntry& entry);
  // Tells the owner which active entries have stalled; true when any has.
  bool MarkStalled();
  // Shows the owner's readers the games of this connection and those still waiting.
  void Publish();
  std::size_t Count(bool completed) const;
  // Length of the entry's file of Stream; -1 when it does not exist.
  std::int64_t Size(const TEntry& entry, int stream) const {
    return FStore.StreamSize(entry.Game, stream, entry.Section);
  }

  TRelayMirror& FOwner;
  TGameStore& FStore;
  TIdTCPConnection& FConnection;
  std::vector<TEntry> FEntries;       // in the order they were added upstream
  std::set<std::string> FPassedOver;  // listed games this connection does not mirror
  bool FWaiting = false;              // the last list held games left out for want of a slot
  // Games an earlier connection mirrored unfinished that this one has not taken up yet.
  std::vector<TGameState> FLeft;
};

const char* TRelayMirror::PhaseName(TGameState::TPhase phase) {
  switch (phase) {
    case TGameState::TPhase::Live:
      return "live";
    case TGameState::TPhase::Stalled:
      return "stalled";
    case TGameState::TPhase::Complete:
      return "complete";
    case TGameState::TPhase::Waiting:
      return "waiting";
  }
  return "";
}

TRelayMirror::TRelayMirror(TGameStore& store, TLogFn log, TWaitFn wait,
                           std::chrono::milliseconds stallTime)
    : FStore(store), FLog(std::move(log)), FWait(std::move(wait)), FStallTime(stallTime) {}

void TRelayMirror::LogOnce(const std::string& key, const std::string& message) {
  if (FLogged.insert(key).second) FLog(message);
}

TRelayMirror::TEnd TRelayMirror::Run(TIdTCPConnection& connection,
                                     std::chrono::milliseconds timeout) {
  connection.ReadTimeout = static_cast<int>(timeout.count());
  connection.WriteTimeout = static_cast<int>(timeout.count());
  return TSession(*this, connection).Run();
}

std::vector<TRelayMirror::TGameState> TRelayMirror::Games() const {
  std::lock_guard<std::mutex> lock(FGamesLock);
  return FGames;
}

TRelayMirror::TEnd TRelayMirror::TSession::Run() {
  if (!Authorize()) return TEnd::Refused;
  for (TGameState game : FOwner.Games()) {
    if (game.Phase == TGameState::TPhase::Complete || !FStore.IsGame(game.Game)) continue;
    game.Phase = TGameState::TPhase::Waiting;
    FLeft.push_back(std::move(game));
  }
  Publish();
  auto listed = std::chrono::steady_clock::now() - ListInterval;
  for (;;) {
    const auto now = std::chrono::steady_clock::now();
    if (now - listed >= ListInterval) {
      RefreshGames();
      listed = now;
    }
    bool moved = Status();
    if (!FEntries.empty()) moved = Blocks() || moved;
    if (Count(true) >= MaxFinishedEntries) return TEnd::Renew;
    // A game that never finishes would hold its slot for good. One stalled game is enough:
    // waiting games may be live, and the games that still move resume at once.
    const bool stalled = MarkStalled();
    Publish();
    if (stalled && FWaiting && Count(false) >= MaxActiveGames) return TEnd::Renew;
    // Back to back while data flows; one request a cycle once every game is caught up.
    if (!FOwner.FWait(moved ? std::chrono::milliseconds(0) : Cycle)) return TEnd::Stopped;
  }
}

void TRelayMirror::TSession::Command(std::int32_t code, const std::string* line) {
  {
    // The whole request leaves at once; the upstream acknowledges once it has all of it.
    TWriteBatch request(FConnection);
    FConnection.WriteInteger(code);
    if (line) FConnection.WriteLn(*line);
    request.Send();
  }
  const std::int32_t ack = FConnection.ReadInteger();
  // Only a refused authorization can be answered 0; anything else means it was withdrawn.
  if (ack != 1 && code != rcAuthorize) throw EOutOfStep("command refused");
}

bool TRelayMirror::TSession::Authorize() {
  Command(rcAuthorize);
  const bool authorized = FConnection.ReadInteger() == 1;
  if (FOwner.OnAuthorize) FOwner.OnAuthorize(authorized);
  if (!authorized && !FOwner.FRefusedLogged)
    FOwner.FLog("Relay: Not authorized by the upstream server");
  FOwner.FRefusedLogged = !authorized;
  return authorized;
}

std::size_t TRelayMirror::TSession::Count(bool completed) const {
  return static_cast<std::size_t>(std::count_if(
      FEntries.begin(), FEntries.end(), [&](const TEntry& e) { return e.Completed == completed; }));
}

void TRelayMirror::TSession::RefreshGames() {
  Command(rcGameList);
  const std::int32_t count = FConnection.ReadInteger();
  if (count < 0 || count > MaxGames) throw EOutOfStep("game count " + std::to_string(count));
  std::vector<std::string> games(static_cast<std::size_t>(count));
  std::size_t bytes = 0;
  for (std::string& game : games) {
    game = FConnection.ReadLn();
    bytes += game.size();
    if (bytes > MaxListBytes) throw EOutOfStep("game list too long");
  }
  // Games that stalled before only fill the slots left over.
  if (!FOwner.FStalled.empty()) {
    const auto stalled = [&](const std::string& game) {
      const auto it = FOwner.FStalled.find(game);
      return it == FOwner.FStalled.end() ? 0 : it->second;
    };
    std::stable_sort(games.begin(), games.end(), [&](const std::string& a, const std::string& b) {
      return stalled(a) < stalled(b);
    });
  }
  FWaiting = false;
  for (const std::string& game : games) {
    const bool tracked = std::any_of(FEntries.begin(), FEntries.end(),
                                     [&](const TEntry& e) { return e.Game == game; });
    if (tracked || FPassedOver.count(game) != 0) continue;
    if (Count(false) >= MaxActiveGames) {
      FWaiting = true;
      return;
    }
    TEntry entry;
    const TPrepared prepared = Prepare(game, entry);
    if (prepared == TPrepared::Later) continue;
    if (prepared == TPrepared::PassOver) {
      FPassedOver.insert(game);
      continue;
    }
    TWriteBatch request(FConnection);
    FConnection.WriteInteger(rcAddSection);
    FConnection.WriteLn(game);
    FConnection.WriteInteger(entry.Section);
    FConnection.WriteInteger(static_cast<std::int32_t>(entry.Held[0]));
    FConnection.WriteInteger(static_cast<std::int32_t>(entry.Held[1]));
    request.Send();
    if (FConnection.ReadInteger() != 1) throw EOutOfStep("command refused");
    entry.Moved = std::chrono::steady_clock::now();
    entry.LastData = entry.Moved;
    // A game fed before keeps the time of its last byte across connections.
    const auto left = std::find_if(FLeft.begin(), FLeft.end(),
                                   [&](const TGameState& g) { return g.Game == game; });
    if (left != FLeft.end()) {
      entry.LastData = left->LastData;
      FLeft.erase(left);
    }
    FEntries.push_back(std::move(entry));
  }
}

TRelayMirror::TSession::TPrepared TRelayMirror::TSession::Prepare(const std::string& game,
                                                                  TEntry& entry) {
  // Hidden names are never listed upstream, and the local listing below would miss one.
  if (!IsValidGameName(game) || game[0] == '.') {
    FOwner.LogOnce("name:" + game, "Relay: game name not relayed: " + MakePrintable(game));
    return TPrepared::PassOver;
  }
  std::vector<std::string> local;
  ListGames(FStore.StreamsDir(), local);
  const bool exact = std::find(local.begin(), local.end(), game) != local.end();
  const bool similar = std::any_of(local.begin(), local.end(), [&](const std::string& name) {
    return UpperCase(name) == UpperCase(game);
  });
  const auto localGame = [&] {
    FOwner.LogOnce("local:" + game, "Relay: " + game + " is a local game and is not relayed");
    return TPrepared::PassOver;
  };
  if (similar && !(exact && FStore.ReadMirrored(game))) return localGame();
  entry.Game = game;
  // In use before it is made, so no removal takes it while it is mirrored.
  entry.Use = std::make_shared<TGameStore::TUse>(FStore, game, TGameStore::TUser::Mirroring);
  if (!exact) {
    // An entry the listing missed (a filmer's folder made since, say) is not ours to mark.
    std::string error, reason;
    switch (FStore.ClaimNewGame(game, true, error, reason)) {
      case TGameStore::TClaim::Claimed:
        return TPrepared::Mirror;
      case TGameStore::TClaim::Exists:
        return localGame();
      case TGameStore::TClaim::NoRoom:
        return TPrepared::Later;  // the store logs the low-space episode
      case TGameStore::TClaim::Failed:
        throw EZarnelException(error);
    }
  }
  if (FStore.ReadCompleteAll(game)) return TPrepared::PassOver;
  // Resume in the last section that has data or a set-up; the sections before it are whole.
  const std::int32_t sections = FStore.ReadActiveSections(game);
  std::int32_t section = std::max(sections - 1, 0);
  while (section < INT32_MAX && (FStore.StreamSize(game, 0, section + 1) >= 0 ||
                                 FStore.StreamSize(game, 1, section + 1) >= 0))
    ++section;
  entry.Section = section;
  for (int s = 0; s < 2; ++s) entry.Held[s] = std::max<std::int64_t>(Size(entry, s), 0);
  entry.SetUp = sections > section;
  return TPrepared::Mirror;
}

bool TRelayMirror::TSession::Blocks() {
  Command(rcSendBlocks);
  if (FConnection.ReadInteger() != static_cast<std::int32_t>(FEntries.size()))
    throw EOutOfStep("relayed section count");
  bool moved = false;
  for (TEntry& entry : FEntries) {
    if (FConnection.ReadLn() != entry.Game) throw EOutOfStep("game name");
    if (FConnection.ReadInteger() != (entry.Completed ? 0 : 1)) throw EOutOfStep("completion");
    if (entry.Completed) continue;
    bool progressed = false;
    for (int stream = 0; stream < 2; ++stream)
      progressed = ApplyRecord(entry, stream) || progressed;
    progressed = SetUpSection(entry) || progressed;
    if (progressed) Progress(entry);
    moved = progressed || moved;
  }
  return moved;
}

bool TRelayMirror::TSession::ApplyRecord(TEntry& entry, int stream) {
  const std::int32_t present = FConnection.ReadInteger();
  if (present == 0) return false;
  if (present != 1) throw EOutOfStep("stream record");
  const TRelayStreamCode code = TRelayStreamCode::Unpack(FConnection.ReadInteger());
  const std::int32_t size = FConnection.ReadInteger();
  const std::int32_t count = FConnection.ReadInteger();
  if (count < 0 || count > MaxPiece) throw EOutOfStep("piece of " + std::to_string(count));
  const std::string data = FConnection.ReadBytes(static_cast<std::size_t>(count));
  TStream& known = entry.Streams[stream];
  if (!known.Known) known = {true, code, size};
  if (code.StreamCount >= MaxStreams)
    FOwner.LogOnce("third:" + entry.Game,
                   "Relay: " + entry.Game + " has a third stream, which is not relayed");
  if (stream < code.StreamCount) {
    // A failed append leaves the file as it was, so a resume never counts part of a piece.
    if (!data.empty()) {
      entry.Held[stream] = FStore.AppendStream(entry.Game, stream, entry.Section, data);
      entry.LastData = std::chrono::steady_clock::now();
      ::Count(Metrics().RelayMirroredBytes, data.size());
    }
    if (code.Final) FStore.EnsureStreamFile(entry.Game, stream, entry.Section);
    // As a filmer's block does: the bytes first, then the flags that announce them.
    if ((!data.empty() || code.Final) && !FStore.ReadHeader(entry.Game, stream, entry.Section) &&
        std::max<std::int64_t>(Size(entry, stream), 0) > code.HeaderLength)
      FStore.WriteHeader(entry.Game, stream, entry.Section, true);
    if (code.Final) FStore.WriteComplete(entry.Game, stream, entry.Section, true);
  } else if (!data.empty()) {
    throw EOutOfStep("data for a missing stream");
  }
  if (code.Final) entry.Done[stream] = true;
  return !data.empty() || code.Final;
}

bool TRelayMirror::TSession::SetUpSection(TEntry& entry) {
  if (entry.SetUp) return false;
  const auto known = std::find_if(entry.Streams.begin(), entry.Streams.end(),
                                  [](const TStream& s) { return s.Known; });
  if (known == entry.Streams.end()) return false;
  const int relayed = std::min(known->Code.StreamCount, 2);
  for (int s = 0; s < relayed; ++s)
    if (!entry.Streams[s].Known) return false;
  // In a filmer's order: values and files before the counts that announce the section.
  std::vector<TGameStore::TStreamSetup> setup;
  for (int s = 0; s < relayed; ++s) {
    const TStream& stream = entry.Streams[s];
    setup.push_back({stream.Code.Type, stream.Size, stream.Code.HeaderLength});
  }
  FStore.WriteStreamSetup(entry.Game, entry.Section, setup);
  for (int s = 0; s < relayed; ++s) FStore.EnsureStreamFile(entry.Game, s, entry.Section);
  FStore.WriteActive(entry.Game, relayed, entry.Section + 1);
  entry.SetUp = true;
  return true;
}

bool TRelayMirror::TSession::Status() {
  const auto due = [](const TEntry& e) { return !e.Completed && e.Done[0] && e.Done[1]; };
  if (std::none_of(FEntries.begin(), FEntries.end(), due)) return false;
  // The upstream judges each entry against the game information last sent for its game, so
  // asking first makes every outcome below known in advance.
  std::set<std::string> asked;
  for (const TEntry& entry : FEntries) {
    if (!due(entry) || !asked.insert(entry.Game).second) continue;
    Command(rcGameInfo, &entry.Game);
    const std::int32_t section = FConnection.ReadInteger();
    FConnection.ReadInteger();  // availability: a hidden game stays as it is here
    const bool completed = FConnection.ReadInteger() == 1;
    for (TEntry& same : FEntries) {
      if (same.Game != entry.Game) continue;
      same.InfoSent = true;
      same.InfoSection = section;
      same.InfoCompleted = completed;
    }
  }
  Command(rcSectionStatus);
  if (FConnection.ReadInteger() != static_cast<std::int32_t>(FEntries.size()))
    throw EOutOfStep("relayed section count");
  bool moved = false;
  for (auto it = FEntries.rbegin(); it != FEntries.rend(); ++it) {
    TEntry& entry = *it;
    if (FConnection.ReadLn() != entry.Game) throw EOutOfStep("game name");
    if (FConnection.ReadInteger() != (entry.Completed ? 0 : 1)) throw EOutOfStep("completion");
    if (!due(entry)) continue;
    const std::int32_t outcome = FConnection.ReadInteger();
    if (entry.InfoSent && std::int64_t{entry.Section} + 1 < entry.InfoSection) {
      if (outcome != 0) throw EOutOfStep("section status");
      Advance(entry);
      Progress(entry);
      moved = true;
    } else if (entry.InfoSent && entry.InfoCompleted) {
      if (outcome != 1) throw EOutOfStep("section status");
      entry.Completed = true;
      FStore.WriteCompleteAll(entry.Game, true);
      Progress(entry);
      moved = true;
    } else if (outcome != 0) {
      throw EOutOfStep("section status");
    }
  }
  return moved;
}

void TRelayMirror::TSession::Advance(TEntry& entry) {
  entry.Section += 1;
  entry.Held = {0, 0};
  entry.Done = {false, false};
  entry.Streams = {};
  entry.SetUp = FStore.ReadActiveSections(entry.Game) > entry.Section;
  // The upstream now sends the next section from its first byte; a local file that already
  // holds bytes would get them twice, so resume from the local files instead.
  for (int s = 0; s < 2; ++s)
    if (Size(entry, s) > 0) throw EOutOfStep("next section already held");
}

void TRelayMirror::TSession::Progress(TEntry& entry) {
  entry.Moved = std::chrono::steady_clock::now();
  entry.Stalled = false;
  FOwner.FStalled.erase(entry.Game);  // a game that moves again takes its turn as any other
}

bool TRelayMirror::TSession::MarkStalled() {
  const auto now = std::chrono::steady_clock::now();
  bool any = false;
  for (TEntry& entry : FEntries) {
    if (entry.Completed || now - entry.Moved < FOwner.FStallTime) continue;
    if (!entry.Stalled) FOwner.FStalled[entry.Game] = ++FOwner.FStalls;
    entry.Stalled = true;
    any = true;
  }
  return any;
}

void TRelayMirror::TSession::Publish() {
  std::vector<TGameState> games;
  for (const TEntry& entry : FEntries) {
    using TPhase = TGameState::TPhase;
    const TPhase phase =
        entry.Completed ? TPhase::Complete : (entry.Stalled ? TPhase::Stalled : TPhase::Live);
    games.push_back({entry.Game, phase, entry.LastData});
  }
  games.insert(games.end(), FLeft.begin(), FLeft.end());
  std::lock_guard<std::mutex> lock(FOwner.FGamesLock);
  FOwner.FGames = std::move(games);
}
