#include "store/GameStore.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "common/Protocol.h"
#include "store/SectionSummary.h"

namespace {

const char* const InfoFileName = "info.ini";

std::string Key(int stream, int section) {
  return std::to_string(stream) + "_" + std::to_string(section);
}

}  // namespace

bool IsValidGameName(const std::string& game) {
  // Control characters would break the line framing of the game lists.
  const auto control = [](char c) {
    return static_cast<unsigned char>(c) < 32 || static_cast<unsigned char>(c) == 127;
  };
  return !game.empty() && game.size() <= NAME_MAX && game != "." && game != ".." &&
         game.find('/') == std::string::npos && std::none_of(game.begin(), game.end(), control);
}

std::string StreamFileName(int stream, int section) {
  return "stream_" + Key(stream, section);
}

void ListGames(const std::string& dir, std::vector<std::string>& list) {
  const std::string path = dir.empty() || dir.back() != '/' ? dir + "/" : dir;
  DIR* d = ::opendir(path.c_str());
  if (!d) return;
  while (const dirent* entry = ::readdir(d)) {
    const std::string name = entry->d_name;
    // Names beginning with "." are hidden, "." and ".." included; a name no session could
    // have made (control characters) is left out too.
    if (name.empty() || name[0] == '.' || !IsValidGameName(name)) continue;
    struct stat st {};
    if (::fstatat(::dirfd(d), name.c_str(), &st, 0) != 0) continue;
    list.push_back(name);
  }
  ::closedir(d);
}

TGameStore::TGameStore(std::string streamsDir, TLogFn log)
    : FStreamsDir(std::move(streamsDir)), FLog(std::move(log)) {}

TGameStore::~TGameStore() {
  {
    std::lock_guard<std::mutex> lock(FWorkLock);
    FStopping = true;
  }
  FWorkWake.notify_all();
  if (FWorker.joinable()) FWorker.join();
  try {
    Flush();
  } catch (...) {
    // Nothing can be done about it any more; the failures were logged as they came.
  }
}

void TGameStore::SetLimits(const TStoreLimits& limits) {
  std::lock_guard<std::mutex> lock(FLimitsLock);
  FLimits = limits;
}

void TGameStore::Start() {
  FWorker = std::thread([this] { BackgroundWork(); });
}

void TGameStore::BackgroundWork() {
  auto maintained = std::chrono::steady_clock::now();
  std::unique_lock<std::mutex> lock(FWorkLock);
  while (!FWorkWake.wait_for(lock, FlushInterval, [this] { return FStopping; })) {
    lock.unlock();
    try {
      Flush();
      if (std::chrono::steady_clock::now() - maintained >= MaintainInterval) {
        maintained = std::chrono::steady_clock::now();
        Maintain();
      }
    } catch (const std::exception& e) {
      Log(std::string("Store maintenance failed: ") + e.what());
    }
    lock.lock();
  }
}

bool TGameStore::GameFile(const std::string& game, const std::string& file,
                          std::string& path) const {
  path = FStreamsDir + game;
  if (path.empty() || path.back() != '/') path += "/";
  path += file;
  return IsValidGameName(game);
}

std::string TGameStore::GameDir(const std::string& game) const {
  std::string path;
  if (!GameFile(game, "", path)) throw EFCreateError(path, EINVAL);
  return path;
}

std::string TGameStore::StreamPath(const std::string& game, int stream, int section) const {
  std::string path;
  if (!GameFile(game, StreamFileName(stream, section), path)) throw EFCreateError(path, EINVAL);
  return path;
}

std::int64_t TGameStore::StreamSize(const std::string& game, int stream, int section) const {
  struct stat st {};
  if (::stat(StreamPath(game, stream, section).c_str(), &st) != 0) return -1;
  return st.st_size;
}

void TGameStore::CreateStreamFile(const std::string& game, int stream, int section) {
  TStreamFile::CreateEmpty(StreamPath(game, stream, section));
}

void TGameStore::EnsureStreamFile(const std::string& game, int stream, int section) {
  TStreamFile::CreateMissing(StreamPath(game, stream, section));
}

void TGameStore::RemoveStreamFiles(const std::string& game, int section) {
  for (int stream = 0; stream < MaxStreams; ++stream)
    ::unlink(StreamPath(game, stream, section).c_str());
}

std::unique_ptr<TStreamFile> TGameStore::OpenStreamFile(const std::string& game, int stream,
                                                        int section) {
  return std::make_unique<TStreamFile>(StreamPath(game, stream, section));
}

std::int64_t TGameStore::AppendStream(const std::string& game, int stream, int section,
                                      const std::string& data) {
  TStreamFile file(StreamPath(game, stream, section), TStreamFile::TOpen::MakeMissing);
  file.Append(data.data(), data.size());
  return file.Length();
}

std::unique_ptr<std::istream> TGameStore::OpenStreamForReading(const std::string& game, int stream,
                                                               int section) const {
  auto file = std::make_unique<std::ifstream>(StreamPath(game, stream, section), std::ios::binary);
  if (!file->is_open()) return nullptr;
  return file;
}

std::shared_ptr<TSharedStreamFile> TGameStore::ShareStreamFile(const std::string& game, int stream,
                                                               int section) {
  return FSharedFiles.Open(StreamPath(game, stream, section));
}

TGameStore::TFileStamp TGameStore::StampOf(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return {};
  return {true, st.st_dev, st.st_ino, st.st_size,
          std::int64_t{st.st_mtim.tv_sec} * 1000000000 + st.st_mtim.tv_nsec};
}

std::shared_ptr<TGameStore::TGameInfo> TGameStore::Find(const std::string& game,
                                                        const std::string& path, bool create) {
  {
    std::shared_lock<std::shared_mutex> lock(FGamesLock);
    const auto it = FGames.find(game);
    if (it != FGames.end()) return it->second;
  }
  if (!create) return nullptr;
  std::lock_guard<std::shared_mutex> lock(FGamesLock);
  auto& entry = FGames[game];
  if (!entry) entry = std::make_shared<TGameInfo>(game, path);
  return entry;
}

void TGameStore::Refresh(TGameInfo& info, const std::string& path, bool force) {
  // Memory holds what the file lacks, or the game is gone: the file has nothing to add.
  if (info.Removed || (info.Loaded && (info.Dirty() || info.Writing))) return;
  const auto now = std::chrono::steady_clock::now();
  if (!force && info.Loaded && now - info.Checked < RecheckInterval) return;
  const TFileStamp stamp = StampOf(path);
  if (!info.Loaded || !(stamp == info.Stamp)) {
    // The stamp is taken before the read: a change in between is seen at the next look.
    std::string text;
    std::string damage;
    try {
      ReadWholeFile(path, text);
      damage = IniDamage(text);
    } catch (const std::exception& e) {
      damage = e.what();
    }
    if (!damage.empty() && !info.Damaged)
      Log("Damaged game information: " + info.Game + " (" + damage + ")");
    info.Damaged = !damage.empty();
    info.Ini = TIniFile(path, info.Damaged ? std::string() : text);
    info.Stamp = stamp;
    info.Loaded = true;
  }
  info.Checked = now;
}

template <class TRead>
bool TGameStore::WithInfo(const std::string& game, const TRead& read) {
  std::string path;
  if (!GameFile(game, InfoFileName, path)) return false;
  // A game without an info file gets no entry, so names that are no game cost no memory.
  std::shared_ptr<TGameInfo> info = Find(game, path, false);
  if (!info) {
    if (!StampOf(path).Exists) return false;
    info = Find(game, path, true);
  }
  std::lock_guard<std::mutex> lock(info->Lock);
  Refresh(*info, path, false);
  if (info->Removed) return false;
  read(*info);
  return true;
}

template <class TRead>
bool TGameStore::ReadInfoWith(const std::string& game, const TRead& read) {
  bool clean = false;
  WithInfo(game, [&](const TGameInfo& info) {
    clean = !info.Damaged;
    if (clean) read(info.Ini);
  });
  return clean;
}

std::int32_t TGameStore::ReadInfo(const std::string& game, const std::string& section,
                                  const std::string& key, std::int32_t def) {
  std::int32_t value = def;
  ReadInfoWith(game, [&](const TIniFile& ini) { value = ini.ReadInteger(section, key, def); });
  return value;
}

bool TGameStore::ChangeInfo(const std::string& game, const std::function<void(TIniFile&)>& change,
                            TIfDamaged ifDamaged) {
  std::string path;
  if (!GameFile(game, InfoFileName, path)) throw EFCreateError(path, EINVAL);
  std::shared_ptr<TGameInfo> info = Find(game, path, false);
  // Without a directory the file cannot be created; no entry is kept for such a name.
  {
    const std::string dir = GameDir(game);
    struct stat st {};
    if (::stat(dir.c_str(), &st) != 0) throw EFCreateError(path);
    if (!S_ISDIR(st.st_mode)) throw EFCreateError(path, ENOTDIR);
  }
  if (!info) info = Find(game, path, true);
  std::unique_lock<std::mutex> lock(info->Lock);
  // Always against the file as it is now, so that no outside change is written over.
  Refresh(*info, path, true);
  if (info->Removed) throw EFCreateError(path, ENOENT);
  if (info->Damaged) {
    if (ifDamaged == TIfDamaged::Skip) return false;
    throw EZarnelDamagedInfo(game);
  }
  change(info->Ini);
  const std::uint64_t mine = ++info->Version;
  // While writes fail, memory alone holds the change and the flusher retries.
  while (info->Written < mine && !info->Failing) {
    if (info->Writing)
      info->Committed.wait(lock);
    else
      WriteOut(*info, path, lock);
  }
  return true;
}

void TGameStore::WriteOut(TGameInfo& info, const std::string& path,
                          std::unique_lock<std::mutex>& lock) {
  info.Writing = true;
  const std::uint64_t version = info.Version;
  const std::string text = info.Ini.Text();
  std::string failure;
  // Readers and changers go on meanwhile; only this caller writes the file. Changes that come
  // meanwhile go out with the next write.
  lock.unlock();
  try {
    TIniFile::SaveText(path, text);
  } catch (const std::exception& e) {
    failure = e.what();
  }
  lock.lock();
  info.Writing = false;
  if (failure.empty()) {
    info.Written = version;
    info.Stamp = StampOf(path);
    if (info.Failing) Log("Game information written again: " + info.Game);
    info.Failing = false;
  } else if (!info.Failing) {
    info.Failing = true;
    Log(failure);
  }
  info.Committed.notify_all();
}

bool TGameStore::Flush() {
  std::vector<std::shared_ptr<TGameInfo>> games;
  {
    std::shared_lock<std::shared_mutex> lock(FGamesLock);
    for (const auto& entry : FGames) games.push_back(entry.second);
  }
  bool clean = true;
  for (const std::shared_ptr<TGameInfo>& info : games) {
    std::unique_lock<std::mutex> lock(info->Lock);
    if (info->Removed || !info->Dirty() || info->Writing) continue;
    std::string path;
    GameFile(info->Game, InfoFileName, path);
    struct stat st {};
    if (::stat(GameDir(info->Game).c_str(), &st) != 0) {
      // The folder went from outside: there is nothing left to write to.
      info->Written = info->Version;
      info->Failing = false;
      info->Loaded = false;
      continue;
    }
    WriteOut(*info, path, lock);
    clean = clean && !info->Dirty();
  }
  return clean;
}

TGameSummary TGameStore::ReadSummary(const std::string& game) {
  TGameSummary out;
  // One look at the entry: the damage and the values as of the same moment.
  WithInfo(game, [&](const TGameInfo& info) {
    out.Damaged = info.Damaged;
    if (out.Damaged) return;
    const TIniFile& ini = info.Ini;
    out.Available = ini.ReadInteger("stream", "available", 0) != 0;
    out.Complete = ini.ReadInteger("complete", "all", 0) != 0;
    out.Viewers = ini.ReadInteger("stream", "viewers", 0);
    out.Sections = ini.ReadInteger("active", "sections", 0);
    out.Streams = ini.ReadInteger("active", "streams", 0);
  });
  return out;
}

bool TGameStore::IsDamaged(const std::string& game) {
  bool damaged = false;
  WithInfo(game, [&](const TGameInfo& info) { damaged = info.Damaged; });
  return damaged;
}

bool TGameStore::ReadAvailable(const std::string& game) {
  return ReadInfo(game, "stream", "available", 0) != 0;
}

void TGameStore::WriteAvailable(const std::string& game, bool value) {
  ChangeInfo(game, [&](TIniFile& ini) { ini.WriteBool("stream", "available", value); });
}

std::int32_t TGameStore::ReadViewers(const std::string& game) {
  return ReadInfo(game, "stream", "viewers", 0);
}

void TGameStore::DecViewers(const std::string& game) {
  ChangeInfo(
      game,
      [](TIniFile& ini) {
        const std::int32_t viewers = ini.ReadInteger("stream", "viewers", 0);
        ini.WriteInteger("stream", "viewers", viewers > 0 ? viewers - 1 : 0);
      },
      TIfDamaged::Skip);
}

bool TGameStore::AddViewer(const std::string& game) {
  return ChangeInfo(
      game,
      [](TIniFile& ini) {
        ini.WriteBool("stream", "want", true);
        const std::int32_t viewers = ini.ReadInteger("stream", "viewers", 0);
        ini.WriteInteger("stream", "viewers", viewers < INT32_MAX ? viewers + 1 : viewers);
      },
      TIfDamaged::Skip);
}

bool TGameStore::ReadCompleteAll(const std::string& game) {
  return ReadInfo(game, "complete", "all", 0) != 0;
}

void TGameStore::WriteCompleteAll(const std::string& game, bool value) {
  ChangeInfo(game, [&](TIniFile& ini) { ini.WriteBool("complete", "all", value); });
}

bool TGameStore::ReadComplete(const std::string& game, int stream, int section) {
  return ReadInfo(game, "complete", Key(stream, section), 0) != 0;
}

void TGameStore::WriteComplete(const std::string& game, int stream, int section, bool value) {
  ChangeInfo(game, [&](TIniFile& ini) { ini.WriteBool("complete", Key(stream, section), value); });
}

std::int32_t TGameStore::ReadSize(const std::string& game, int stream, int section) {
  return ReadInfo(game, "size", Key(stream, section), 0);
}

void TGameStore::WriteSize(const std::string& game, int stream, int section, std::int32_t value) {
  ChangeInfo(game, [&](TIniFile& ini) { ini.WriteInteger("size", Key(stream, section), value); });
}

std::uint8_t TGameStore::ReadStreamType(const std::string& game, int stream) {
  // Only the least significant byte of the stored value counts.
  return static_cast<std::uint8_t>(ReadInfo(game, "types", std::to_string(stream), 0) & 0xFF);
}

void TGameStore::WriteStreamType(const std::string& game, int stream, std::uint8_t value) {
  ChangeInfo(game,
             [&](TIniFile& ini) { ini.WriteInteger("types", std::to_string(stream), value); });
}

std::int32_t TGameStore::ReadActiveStreams(const std::string& game) {
  return ReadInfo(game, "active", "streams", 0);
}

void TGameStore::WriteActiveStreams(const std::string& game, std::int32_t value) {
  ChangeInfo(game, [&](TIniFile& ini) { ini.WriteInteger("active", "streams", value); });
}

std::int32_t TGameStore::ReadActiveSections(const std::string& game) {
  return ReadInfo(game, "active", "sections", 0);
}

void TGameStore::WriteActiveSections(const std::string& game, std::int32_t value) {
  ChangeInfo(game, [&](TIniFile& ini) { ini.WriteInteger("active", "sections", value); });
}

std::int32_t TGameStore::ReadBlock(const std::string& game, int stream, int section) {
  return ReadInfo(game, "block", Key(stream, section), 0);
}

void TGameStore::WriteBlock(const std::string& game, int stream, int section, std::int32_t value) {
  ChangeInfo(game, [&](TIniFile& ini) { ini.WriteInteger("block", Key(stream, section), value); });
}

bool TGameStore::ReadHeader(const std::string& game, int stream, int section) {
  return ReadInfo(game, "header", Key(stream, section), 0) != 0;
}

void TGameStore::WriteHeader(const std::string& game, int stream, int section, bool value) {
  ChangeInfo(game, [&](TIniFile& ini) { ini.WriteBool("header", Key(stream, section), value); });
}

bool TGameStore::ReadMirrored(const std::string& game) {
  return ReadInfo(game, "relay", "mirror", 0) != 0;
}

void TGameStore::WriteMirrored(const std::string& game, bool value) {
  ChangeInfo(game, [&](TIniFile& ini) { ini.WriteBool("relay", "mirror", value); });
}

void TGameStore::WriteStreamSetup(const std::string& game, int section,
                                  const std::vector<TStreamSetup>& streams) {
  ChangeInfo(game, [&](TIniFile& ini) {
    for (int n = 0; n < static_cast<int>(streams.size()); ++n) {
      ini.WriteInteger("types", std::to_string(n), streams[n].Type);
      ini.WriteInteger("size", Key(n, section), streams[n].Size);
      ini.WriteInteger("block", Key(n, section), streams[n].Block);
    }
  });
}

void TGameStore::WriteActive(const std::string& game, std::int32_t streams, std::int32_t sections) {
  ChangeInfo(game, [&](TIniFile& ini) {
    ini.WriteInteger("active", "streams", streams);
    ini.WriteInteger("active", "sections", sections);
  });
}

void TGameStore::ListSections(const std::string& game, std::vector<std::string>& list) {
  const std::int32_t sections = ReadActiveSections(game);
  const std::int32_t streams = ReadActiveStreams(game);
  int demo = -1;
  for (int n = 0; n < streams && demo < 0; ++n)
    if (ReadStreamType(game, n) == 0) demo = n;
  if (demo < 0) return;

  for (int s = 0; s < sections; ++s) {
    // Read without a lock: the film session may be writing the file meanwhile.
    std::string line;
    if (ReadSectionSummary(StreamPath(game, demo, s), s, line)) list.push_back(std::move(line));
  }
}

namespace {

// Removed games wait here, out of every listing, for their files to go.
const char* const RemovedDir = ".removed/";

// Upper-cases ASCII letters only, as the sessions do with game names.
std::string Upper(std::string text) {
  for (char& c : text)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return text;
}

}  // namespace

void TGameStore::PrepareAtStart() {
  // A removal that a crash cut short: the folder left the store, its files did not go yet.
  std::error_code ignored;
  std::filesystem::remove_all(FStreamsDir + RemovedDir, ignored);
  std::vector<std::string> games;
  ListGames(FStreamsDir, games);
  for (const std::string& game : games) {
    try {
      // Only a directory can hold an info file; a stray plain file must not stop the start.
      if (!IsGame(game)) continue;
      // No session runs yet, so a temporary info file can only be left by a killed process.
      RemoveTempFiles(game);
      // A damaged file is kept as it is (and logged on reading).
      ChangeInfo(
          game, [](TIniFile& ini) { ini.WriteInteger("stream", "viewers", 0); }, TIfDamaged::Skip);
    } catch (const std::exception& e) {
      Log(e.what());
    }
  }
}

void TGameStore::RemoveTempFiles(const std::string& game) {
  std::string dir;
  if (!GameFile(game, "", dir)) return;
  DIR* d = ::opendir(dir.c_str());
  if (!d) return;
  while (const dirent* entry = ::readdir(d))
    if (IsIniTempName(entry->d_name, InfoFileName)) ::unlinkat(::dirfd(d), entry->d_name, 0);
  ::closedir(d);
}

bool TGameStore::GameExists(const std::string& game) const {
  // A hidden name (leading ".") is never listed, yet its folder holds a game all the same.
  struct stat st {};
  if (::lstat((FStreamsDir + game).c_str(), &st) == 0) return true;
  std::vector<std::string> names;
  ListGames(FStreamsDir, names);
  const std::string upper = Upper(game);
  return std::any_of(names.begin(), names.end(),
                     [&](const std::string& name) { return Upper(name) == upper; });
}

bool TGameStore::IsGame(const std::string& game) const {
  std::string dir;
  struct stat st {};
  return GameFile(game, "", dir) && ::stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool TGameStore::HasRoom() {
  std::lock_guard<std::mutex> lock(FLimitsLock);
  if (FLimits.MinFreeMB <= 0) return true;
  const std::uint64_t floor = std::uint64_t(FLimits.MinFreeMB) << 20;
  const std::uint64_t free = FreeBytes();
  const bool room = free >= floor;
  if (room == FLowSpace) {
    FLowSpace = !room;
    Log(room ? "Disk space for new games again: " + std::to_string(free >> 20) + " MB free"
             : "Not enough disk space for new games: " + std::to_string(free >> 20) +
                   " MB free, MinFreeMB is " + std::to_string(FLimits.MinFreeMB));
  }
  return room;
}

TGameStore::TClaim TGameStore::ClaimNewGame(const std::string& game, bool mirrored,
                                            std::string& error, std::string& reason) {
  std::string path;
  if (!GameFile(game, InfoFileName, path)) {
    error = reason = "Invalid game name";
    return TClaim::Failed;
  }
  if (GameExists(game)) return TClaim::Exists;
  if (!HasRoom()) return TClaim::NoRoom;
  const std::string dir = GameDir(game);
  // The folder claims the name: whoever makes it first has the game.
  if (::mkdir(dir.c_str(), 0777) != 0) {
    if (errno == EEXIST) return TClaim::Exists;
    reason = std::strerror(errno);
    error = "Cannot create folder " + dir + ": " + reason;
    return TClaim::Failed;
  }
  TIniFile ini(path, "");
  // The mark comes first, so a game made by the relay link is never taken for a local one.
  if (mirrored) ini.WriteBool("relay", "mirror", true);
  ini.WriteBool("stream", "available", true);
  try {
    TIniFile::SaveText(path, ini.Text());
  } catch (const std::exception& e) {
    const auto* create = dynamic_cast<const EFCreateError*>(&e);
    reason = std::strerror(create ? create->Error() : EIO);
    error = e.what();
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
    return TClaim::Failed;
  }
  const std::shared_ptr<TGameInfo> info = Find(game, path, true);
  std::lock_guard<std::mutex> lock(info->Lock);
  if (!info->Dirty() && !info->Writing) {
    info->Ini = ini;
    info->Stamp = StampOf(path);
    info->Loaded = true;
    info->Checked = std::chrono::steady_clock::now();
    info->Damaged = false;
  }
  return TClaim::Claimed;
}

TGameStore::TUse::TUse(TGameStore& store, const std::string& game, TUser user) : FUser(user) {
  std::string path;
  if (!store.GameFile(game, InfoFileName, path)) return;
  FInfo = store.Find(game, path, true);
  std::lock_guard<std::mutex> lock(FInfo->Lock);
  ++FInfo->Uses[static_cast<int>(FUser)];
}

TGameStore::TUse::~TUse() {
  if (!FInfo) return;
  std::lock_guard<std::mutex> lock(FInfo->Lock);
  --FInfo->Uses[static_cast<int>(FUser)];
}

std::string TGameStore::Remove(const std::string& game, TRemovalReason reason,
                               bool requireComplete) {
  std::string path;
  struct stat st {};
  if (!GameFile(game, InfoFileName, path) || ::lstat(GameDir(game).c_str(), &st) != 0 ||
      !S_ISDIR(st.st_mode))
    return "Unknown game";
  const std::shared_ptr<TGameInfo> info = Find(game, path, true);
  std::unique_lock<std::mutex> lock(info->Lock);
  Refresh(*info, path, true);
  if (info->Uses[static_cast<int>(TUser::Filming)] > 0) return "Game in use: filming";
  if (info->Uses[static_cast<int>(TUser::Mirroring)] > 0) return "Game in use: mirroring";
  if (!info->Damaged && info->Ini.ReadInteger("stream", "viewers", 0) > 0)
    return "Game in use: viewers";
  if (requireComplete && (info->Damaged || info->Ini.ReadInteger("complete", "all", 0) == 0))
    return "Game not complete";
  // One rename takes the game out of the store; a crash after it leaves nothing a listing
  // shows, and the next start deletes what is left.
  const std::string removed = FStreamsDir + RemovedDir;
  ::mkdir(removed.c_str(), 0777);
  static std::atomic<unsigned> counter{0};
  const std::string target = removed + game + "." + std::to_string(::getpid()) + "." +
                             std::to_string(counter.fetch_add(1));
  if (::rename(GameDir(game).c_str(), target.c_str()) != 0)
    return std::string("Cannot remove game: ") + std::strerror(errno);
  info->Removed = true;
  info->Failing = false;
  info->Written = info->Version;
  lock.unlock();
  {
    std::lock_guard<std::shared_mutex> games(FGamesLock);
    const auto it = FGames.find(game);
    if (it != FGames.end() && it->second == info) FGames.erase(it);
  }
  Count(Metrics().GamesRemoved[reason]);
  Log("Game removed: " + game + " (" + RemovalReasonName(reason) + ")");
  std::error_code failed;
  std::filesystem::remove_all(target, failed);
  if (failed) Log("Cannot delete " + target + ": " + failed.message());
  return {};
}

void TGameStore::Maintain() {
  TStoreLimits limits;
  {
    std::lock_guard<std::mutex> lock(FLimitsLock);
    limits = FLimits;
  }
  HasRoom();  // the low-space episode is logged even when no upload asks
  if (limits.KeepDays <= 0 && limits.StoreLimitMB <= 0) return;
  struct TGameFiles {
    std::string Name;
    std::int64_t ChangedNs = 0;  // the newest change of the folder or a file in it
    std::uint64_t Bytes = 0;
  };
  std::vector<TGameFiles> games;
  std::vector<std::string> names;
  ListGames(FStreamsDir, names);
  std::uint64_t total = 0;
  for (const std::string& name : names) {
    std::string dir;
    if (!GameFile(name, "", dir)) continue;
    DIR* d = ::opendir(dir.c_str());
    if (!d) continue;
    TGameFiles game{name, 0, 0};
    while (const dirent* entry = ::readdir(d)) {
      struct stat st {};
      // "." is the folder itself; ".." the store root, which changes with every game.
      if (std::strcmp(entry->d_name, "..") == 0 ||
          ::fstatat(::dirfd(d), entry->d_name, &st, 0) != 0)
        continue;
      game.ChangedNs = std::max<std::int64_t>(
          game.ChangedNs, std::int64_t{st.st_mtim.tv_sec} * 1000000000 + st.st_mtim.tv_nsec);
      if (S_ISREG(st.st_mode)) game.Bytes += std::uint64_t(st.st_size);
    }
    ::closedir(d);
    total += game.Bytes;
    games.push_back(std::move(game));
  }
  // Oldest change first: the order both limits remove in.
  std::sort(games.begin(), games.end(),
            [](const TGameFiles& a, const TGameFiles& b) { return a.ChangedNs < b.ChangedNs; });
  const std::int64_t now = std::chrono::duration_cast<std::chrono::nanoseconds>(
                               std::chrono::system_clock::now().time_since_epoch())
                               .count();
  const std::int64_t keepNs = std::int64_t{limits.KeepDays} * 86400 * 1000000000;
  const std::uint64_t limit = std::uint64_t(std::max(limits.StoreLimitMB, 0)) << 20;
  for (const TGameFiles& game : games) {
    if (limits.KeepDays > 0 && now - game.ChangedNs > keepNs) {
      if (Remove(game.Name, rrAge, true).empty()) total -= game.Bytes;
    } else if (limits.StoreLimitMB > 0 && total > limit) {
      if (Remove(game.Name, rrSize, true).empty()) total -= game.Bytes;
    }
  }
}

std::string TGameStore::DeleteGame(const std::string& game) {
  return Remove(game, rrAdmin, false);
}

std::uint64_t TGameStore::FreeBytes() const {
  struct statvfs fs {};
  if (::statvfs(FStreamsDir.c_str(), &fs) != 0) return 0;
  return std::uint64_t{fs.f_bavail} * fs.f_frsize;
}

std::uint64_t TGameStore::GameBytes(const std::string& game) const {
  std::string dir;
  if (!GameFile(game, "", dir)) return 0;
  DIR* d = ::opendir(dir.c_str());
  if (!d) return 0;
  std::uint64_t total = 0;
  while (const dirent* entry = ::readdir(d)) {
    // The info file is bookkeeping, not game data.
    if (std::strncmp(entry->d_name, "stream_", 7) != 0) continue;
    struct stat st {};
    if (::fstatat(::dirfd(d), entry->d_name, &st, 0) == 0) total += std::uint64_t(st.st_size);
  }
  ::closedir(d);
  return total;
}
