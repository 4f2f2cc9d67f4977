#include "film/FilmService.h"

#include <algorithm>
#include <array>
#include <memory>
#include <vector>

#include "common/Metrics.h"
#include "common/Protocol.h"
#include "common/TextUtil.h"
#include "common/ZarnelException.h"
#include "net/IdException.h"
#include "net/SessionRunner.h"
#include "store/StreamFile.h"

namespace {

// Largest data block accepted; a block is held whole in memory before it is stored.
constexpr std::int32_t MaxBlockLength = 64 * 1024 * 1024;
constexpr std::size_t BlockChunk = 32768;
// A block buffer above this size is not kept for the next block.
constexpr std::size_t KeptBlockBuffer = 1024 * 1024;

class EZarnelInvalidBlockLength : public EZarnelException {
 public:
  explicit EZarnelInvalidBlockLength(std::int32_t length)
      : EZarnelException("Invalid block length " + std::to_string(length)) {}
};

// One film session: the state of one run of the handler on one connection.
class TFilmSession {
 public:
  TFilmSession(const TSettingsHolder& settings, TLog& log, TGameStore& store,
               TLoginThrottle* throttle, TLiveFilmGames& liveGames, TIdPeerThread& thread)
      : FSettings(settings),
        FLog(log),
        FStore(store),
        FThrottle(throttle),
        FLiveGames(liveGames),
        FThread(thread),
        FConnection(thread.Connection()) {}

  void Run();

 private:
  enum class TNext { Continue, End };

  bool Handshake();
  void CommandLoop();
  TNext Auth(std::string fields);
  TNext Refuse(const std::string& logText, const std::string& reason);
  void Transmit(std::string fields);
  TNext Block();
  // Reads a block of Length bytes into FBlock, straight from the connection.
  void ReadBlockData(std::int32_t length);
  // Sets the header flag of stream Index once its file holds more than the header.
  void AnnounceHeader(int index);
  void CloseFiles() noexcept;
  void Log(const std::string& message) { FLog.WriteLog(FThread.ThreadId(), message); }

  const TSettingsHolder& FSettings;
  TLog& FLog;
  TGameStore& FStore;
  TLoginThrottle* const FThrottle;
  TLiveFilmGames& FLiveGames;
  TIdPeerThread& FThread;
  TIdTCPConnection& FConnection;

  bool FAuthenticated = false;
  bool FResume = false;
  std::string FGame;                       // upper-cased; claimed in FLiveGames while not empty
  std::unique_ptr<TGameStore::TUse> FUse;  // FGame in use, so no removal takes it
  std::int32_t FStreamCount = 0;
  std::int32_t FSection = 0;
  std::array<std::unique_ptr<TStreamFile>, MaxStreams> FFiles;
  // Per stream of the set-up section: its header length and whether its header flag is set,
  // as this session wrote or read them at TRANSMIT, so a block needs no info read.
  std::array<std::int64_t, MaxStreams> FHeaderLength{};
  std::array<bool, MaxStreams> FHeaderDone{};
  std::vector<char> FBlock;  // the block being received; kept for the next one
};

void TFilmSession::Run() {
  TSessionRunner runner("Film Exception:- ", [this](const std::string& m) { Log(m); });
  bool refused = false;
  // A filmer that keeps Nagle's algorithm holds each small command back until the one before
  // is acknowledged: acknowledging at once spares it the delayed-ACK wait per command.
  FConnection.AcknowledgeAtOnce();
  runner.Run([&] {
    Log("Film client connected " + FConnection.PeerAddress());
    if (!Handshake()) {
      // The connection stays open: the server runs the handler again with a new greeting.
      Log("Film client disconnected");
      refused = true;
      return;
    }
    CommandLoop();
  });
  if (refused) return;
  // Each step runs whatever the one before did.
  CloseFiles();
  runner.Step([&] {
    if (FConnection.Connected()) FConnection.Disconnect();
  });
  runner.Step([&] { Log("Film client disconnected"); });
  runner.LogError();
  // Last, so a session taking the game over finds this one wholly ended.
  FUse.reset();
  if (!FGame.empty()) FLiveGames.Release(FGame, FConnection);
}

bool TFilmSession::Handshake() {
  FConnection.WriteLn(Greeting(FilmProtocol));
  std::string line = FConnection.ReadLn();
  const std::string version = NextField(line, "\t");
  const std::int32_t protocol = NumberField(NextField(line, "\t"));
  Log("Film Client Version: " + version + ", Protocol: " + std::to_string(protocol));
  if (protocol == FilmProtocol) {
    FConnection.WriteLn("OK");
    return true;
  }
  Log(ProtocolNeeded(FilmProtocol));
  FConnection.WriteLn(ProtocolRefusal(FilmProtocol));
  return false;
}

void TFilmSession::CommandLoop() {
  while (!FThread.Terminated()) {
    std::string line = FConnection.ReadLn();
    const std::string command = UpperCase(NextField(line, "\t"));
    TNext next = TNext::Continue;
    if (command == "AUTH") {
      next = Auth(line);
    } else if (!FAuthenticated) {
      continue;
    } else if (command == "HI") {
      FConnection.WriteLn("OK");
    } else if (command == "COMPLETED") {
      FStore.WriteCompleteAll(FGame, true);
      next = TNext::End;
    } else if (command == "TRANSMIT") {
      Transmit(line);
    } else if (command == "BLOCK") {
      next = Block();
    }
    if (next == TNext::End) return;
  }
}

TFilmSession::TNext TFilmSession::Refuse(const std::string& logText, const std::string& reason) {
  Log(logText);
  FConnection.WriteLn("FAIL\t" + reason);
  return TNext::End;
}

TFilmSession::TNext TFilmSession::Auth(std::string fields) {
  const std::string password = NextField(fields, "\t");
  const std::string mode = UpperCase(NextField(fields, "\t"));
  const std::string game = UpperCase(NextField(fields, "\t"));
  const std::string& address = FConnection.PeerAddress();
  if (FThrottle) FThrottle->Wait(address, [&] { return FThread.Stopped(); });
  if (password != FSettings.Get()->FilmPassword) {
    if (FThrottle) FThrottle->Refused(address);
    Count(Metrics().Ports[spFilm].LoginsFailed);
    return Refuse("Incorrect Password", "Incorrect Password");
  }
  if (FThrottle) FThrottle->Accepted(address);
  FThread.LoginDone();
  FAuthenticated = true;
  const bool resume = mode == "RESUME";
  // The name becomes one directory below the store root and nothing else.
  if (!IsValidGameName(game)) return Refuse("Invalid game name", "Invalid game name");

  bool found = false;
  TGameStore::TClaim created = TGameStore::TClaim::Claimed;
  std::string error, reason;
  std::unique_ptr<TGameStore::TUse> use;
  const auto admit = [&] {
    // In use before it exists, so no removal takes it from under this session.
    use = std::make_unique<TGameStore::TUse>(FStore, game, TGameStore::TUser::Filming);
    found = FStore.GameExists(game);
    if (found != resume) return false;
    // A damaged game is served to no one, its filmer included.
    if (resume && FStore.IsDamaged(game)) {
      found = false;
      return false;
    }
    // A new game is made at once: a relay link making the same folder meanwhile finds it
    // taken, and one made just before is seen here.
    if (!resume) created = FStore.ClaimNewGame(game, false, error, reason);
    found = created == TGameStore::TClaim::Exists;
    return created == TGameStore::TClaim::Claimed;
  };
  switch (FLiveGames.Claim(game, FConnection, resume, admit)) {
    case TLiveFilmGames::TClaim::Held:
      return Refuse("Game with same name already exists", "Game with same name already exists");
    case TLiveFilmGames::TClaim::Busy:
      return Refuse("Game is being filmed", "Game is being filmed");
    case TLiveFilmGames::TClaim::Refused:
      if (created == TGameStore::TClaim::NoRoom) {
        // The store logs the low-space episode once, not every refused upload.
        FConnection.WriteLn("FAIL\tNot enough disk space");
        return TNext::End;
      }
      if (created == TGameStore::TClaim::Failed)
        return Refuse(error, "Cannot create game: " + reason);
      if (found)
        return Refuse("Game with same name already exists", "Game with same name already exists");
      return Refuse("Cannot resume a non existant games", "Cannot resume a non existant game");
    case TLiveFilmGames::TClaim::Claimed:
      break;
  }
  if (!FGame.empty() && FGame != game) {
    // Switching games: the earlier game's files and set-up go, and with them the claim, so
    // that no block of this game lands in the other game's files.
    CloseFiles();
    FStreamCount = 0;
    FSection = 0;
    FLiveGames.Release(FGame, FConnection);
  }
  FGame = game;
  FResume = resume;
  FUse = std::move(use);

  Log("Authenticated successfully");
  FConnection.WriteLn("OK");
  // A new game is available from its making; a resumed one is offered again.
  if (resume) FStore.WriteAvailable(FGame, true);
  return TNext::Continue;
}

void TFilmSession::Transmit(std::string fields) {
  const std::int32_t count = NumberField(NextField(fields, "\t"));
  const std::int32_t section = NumberField(NextField(fields, "\t"));
  FStreamCount = count;
  FSection = section;
  if (count > MaxStreams) throw EZarnelMaxStreamsException();
  CloseFiles();

  if (!FResume) FStore.RemoveStreamFiles(FGame, section);
  std::vector<TGameStore::TStreamSetup> streams(static_cast<std::size_t>(std::max(count, 0)));
  for (TGameStore::TStreamSetup& stream : streams) {
    stream.Type = static_cast<std::uint8_t>(FConnection.ReadInteger());
    stream.Size = FConnection.ReadInteger();
    stream.Block = FConnection.ReadInteger();
  }
  // Types, sizes and header lengths are in the info file before the files a viewer may open.
  FStore.WriteStreamSetup(FGame, section, streams);
  for (int i = 0; i < count; ++i) {
    FHeaderLength[i] = streams[i].Block;
    // Once set, the flag stays set, also across a new set-up of the same section.
    FHeaderDone[i] = FStore.ReadHeader(FGame, i, section);
    if (!(FResume && FStore.StreamSize(FGame, i, section) >= 0))
      FStore.CreateStreamFile(FGame, i, section);
  }
  TWriteBatch reply(FConnection);
  for (int i = 0; i < count; ++i) {
    FFiles[i] = FStore.OpenStreamFile(FGame, i, section);
    // A crash between a stored block and its flag leaves the header on disk unannounced; a
    // resumed upload may send nothing more for it, so the flag is rebuilt from the file.
    AnnounceHeader(i);
    FConnection.WriteInteger(static_cast<std::int32_t>(FFiles[i]->Length()));
  }
  reply.Send();
  Log(std::to_string(count) + " streams setup for transmission");
  // Wraps like the 32-bit field it is rather than overflowing.
  FStore.WriteActive(FGame, count,
                     static_cast<std::int32_t>(static_cast<std::uint32_t>(section) + 1u));
}

TFilmSession::TNext TFilmSession::Block() {
  const std::int32_t index = FConnection.ReadInteger();
  const auto kind = static_cast<std::uint8_t>(FConnection.ReadInteger());
  if (index < 0) return TNext::End;
  if (index >= FStreamCount) throw EZarnelInvalidStreamException();

  if (kind == FilmBlockData) {
    // A stream whose end marker came has no file left to append to.
    TStreamFile* file = FFiles[index].get();
    if (!file) throw EZarnelInvalidStreamException();
    const std::int32_t length = FConnection.ReadInteger();
    if (length < 0 || length > MaxBlockLength) throw EZarnelInvalidBlockLength(length);
    // Only a block received whole is stored; a connection lost within it stores nothing.
    ReadBlockData(length);
    file->Append(FBlock.data(), static_cast<std::size_t>(length));
    if (FBlock.size() > KeptBlockBuffer) std::vector<char>().swap(FBlock);
    AnnounceHeader(index);
  } else if (kind == FilmBlockEnd) {
    // The file is closed before the flag that says no more data will come.
    FFiles[index].reset();
    FStore.WriteComplete(FGame, index, FSection, true);
  }
  return TNext::Continue;
}

void TFilmSession::AnnounceHeader(int index) {
  // Called after the bytes are on disk, so the flag never promises more than the file holds.
  if (FHeaderDone[index] || FFiles[index]->Length() <= FHeaderLength[index]) return;
  FStore.WriteHeader(FGame, index, FSection, true);
  FHeaderDone[index] = true;
}

void TFilmSession::ReadBlockData(std::int32_t length) {
  // The buffer grows with the bytes that actually arrive, never past the announced length.
  const auto total = static_cast<std::size_t>(length);
  for (std::size_t at = 0; at < total;) {
    const std::size_t piece = std::min(total - at, BlockChunk);
    if (at + piece > FBlock.size()) FBlock.resize(std::min(total, std::max(at * 2, at + piece)));
    FConnection.ReadBuffer(FBlock.data() + at, piece);
    at += piece;
  }
}

void TFilmSession::CloseFiles() noexcept {
  for (auto& file : FFiles) file.reset();
}

}  // namespace

TFilmService::TFilmService(const TSettingsHolder& settings, TLog& log, TGameStore& store,
                           TLoginThrottle* throttle)
    : FSettings(settings), FLog(log), FStore(store), FThrottle(throttle) {}

TFilmService::~TFilmService() = default;

void TFilmService::Execute(TIdPeerThread& AThread) {
  TFilmSession(FSettings, FLog, FStore, FThrottle, FLiveGames, AThread).Run();
}
