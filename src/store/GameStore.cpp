#include "store/GameStore.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstring>

namespace {

const char* const InfoFileName = "info.ini";
const char* const SummaryHeader =
    "Time,Map,\"Team 1\",\"Team 1 Score\",\"Team 2\",\"Team 2 Score\",,Audio,,,,";
constexpr std::size_t RecordSize = 1032;
constexpr std::size_t SummaryOffset = 4;
constexpr std::size_t SummarySize = 1024;
constexpr std::size_t MarkerOffset = 1028;

std::string Key(int stream, int section) {
  return std::to_string(stream) + "_" + std::to_string(section);
}

std::string SummaryLine(int section, const std::string& text) {
  return "\"" + std::to_string(section) + "\"," + text;
}

}  // namespace

bool IsValidGameName(const std::string& game) {
  // Control characters would break the line framing of the game lists.
  const auto control = [](char c) {
    return static_cast<unsigned char>(c) < 32 || static_cast<unsigned char>(c) == 127;
  };
  return !game.empty() && game != "." && game != ".." && game.find('/') == std::string::npos &&
         std::none_of(game.begin(), game.end(), control);
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

TGameStore::TGameStore(std::string streamsDir) : FStreamsDir(std::move(streamsDir)) {}

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
  if (!entry) entry = std::make_shared<TGameInfo>(path);
  return entry;
}

void TGameStore::Refresh(TGameInfo& info, const std::string& path, bool force) {
  const auto now = std::chrono::steady_clock::now();
  if (!force && info.Loaded && now - info.Checked < RecheckInterval) return;
  const TFileStamp stamp = StampOf(path);
  if (!info.Loaded || !(stamp == info.Stamp)) {
    // The stamp is taken before the read: a change in between is seen at the next look.
    info.Ini = TIniFile(path);
    info.Stamp = stamp;
    info.Loaded = true;
  }
  info.Checked = now;
}

template <class TRead>
bool TGameStore::ReadInfoWith(const std::string& game, const TRead& read) {
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
  read(info->Ini);
  return true;
}

std::int32_t TGameStore::ReadInfo(const std::string& game, const std::string& section,
                                  const std::string& key, std::int32_t def) {
  std::int32_t value = def;
  ReadInfoWith(game, [&](const TIniFile& ini) { value = ini.ReadInteger(section, key, def); });
  return value;
}

void TGameStore::ChangeInfo(const std::string& game, const std::function<void(TIniFile&)>& change) {
  std::string path;
  if (!GameFile(game, InfoFileName, path)) throw EFCreateError(path, EINVAL);
  std::shared_ptr<TGameInfo> info = Find(game, path, false);
  if (!info) {
    // Without a directory the file cannot be created; no entry is kept for such a name.
    const std::string dir = GameDir(game);
    struct stat st {};
    if (::stat(dir.c_str(), &st) != 0) throw EFCreateError(path);
    if (!S_ISDIR(st.st_mode)) throw EFCreateError(path, ENOTDIR);
    info = Find(game, path, true);
  }
  std::unique_lock<std::mutex> lock(info->Lock);
  TPendingChange mine;
  mine.Change = &change;
  info->Pending.push_back(&mine);
  info->Committed.wait(lock, [&] { return mine.Done || !info->Writing; });
  // No one writes: this caller writes everything pending, its own change included.
  if (!mine.Done) WritePending(*info, path, lock);
  if (mine.Failure) std::rethrow_exception(mine.Failure);
}

void TGameStore::WritePending(TGameInfo& info, const std::string& path,
                              std::unique_lock<std::mutex>& lock) {
  info.Writing = true;
  {
    std::vector<TPendingChange*> batch;
    batch.swap(info.Pending);
    std::exception_ptr failure;
    try {
      // Always against the file as it is now, so that no outside change is written over.
      Refresh(info, path, true);
      for (TPendingChange* pending : batch) (*pending->Change)(info.Ini);
      const std::string text = info.Ini.Text();
      // Readers go on meanwhile; only this caller writes the file.
      lock.unlock();
      try {
        TIniFile::SaveText(path, text);
      } catch (...) {
        failure = std::current_exception();
      }
      lock.lock();
      info.Stamp = StampOf(path);
    } catch (...) {
      failure = std::current_exception();
    }
    // The file is as it was: memory is read from it again at the next access.
    if (failure) info.Loaded = false;
    for (TPendingChange* pending : batch) {
      pending->Failure = failure;
      pending->Done = true;
    }
  }
  // Changes that came meanwhile are written by one of their callers.
  info.Writing = false;
  info.Committed.notify_all();
}

TGameSummary TGameStore::ReadSummary(const std::string& game) {
  TGameSummary out;
  ReadInfoWith(game, [&](const TIniFile& ini) {
    out.Available = ini.ReadInteger("stream", "available", 0) != 0;
    out.Complete = ini.ReadInteger("complete", "all", 0) != 0;
    out.Viewers = ini.ReadInteger("stream", "viewers", 0);
    out.Sections = ini.ReadInteger("active", "sections", 0);
    out.Streams = ini.ReadInteger("active", "streams", 0);
  });
  return out;
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

void TGameStore::WriteViewers(const std::string& game, std::int32_t value) {
  ChangeInfo(game, [&](TIniFile& ini) { ini.WriteInteger("stream", "viewers", value); });
}

void TGameStore::IncViewers(const std::string& game) {
  ChangeInfo(game, [](TIniFile& ini) {
    const std::int32_t viewers = ini.ReadInteger("stream", "viewers", 0);
    ini.WriteInteger("stream", "viewers", viewers < INT32_MAX ? viewers + 1 : viewers);
  });
}

void TGameStore::DecViewers(const std::string& game) {
  ChangeInfo(game, [](TIniFile& ini) {
    const std::int32_t viewers = ini.ReadInteger("stream", "viewers", 0);
    ini.WriteInteger("stream", "viewers", viewers > 0 ? viewers - 1 : 0);
  });
}

void TGameStore::WriteWant(const std::string& game, bool value) {
  ChangeInfo(game, [&](TIniFile& ini) { ini.WriteBool("stream", "want", value); });
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
    const std::string path = StreamPath(game, demo, s);
    const TFileHandle fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.Valid()) throw EFOpenError(path);
    // A record cut short reads its missing bytes as zero.
    std::array<char, RecordSize> record{};
    const ssize_t got = ReadUpTo(fd.Get(), record.data(), record.size());
    if (got < 0) throw EFOpenError(path);
    if (got == 0) {
      list.push_back(SummaryLine(s, SummaryHeader));
      continue;
    }
    std::uint32_t marker = 0;
    std::memcpy(&marker, record.data() + MarkerOffset, sizeof marker);
    if (marker == 0) continue;
    const char* text = record.data() + SummaryOffset;
    std::string summary(text, ::strnlen(text, SummarySize));
    // The text comes from the filmer; a line break in it would break the reply's line count.
    std::replace_if(
        summary.begin(), summary.end(), [](char c) { return c == '\r' || c == '\n'; }, ' ');
    list.push_back(SummaryLine(s, summary));
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

std::string TGameStore::DeleteGame(const std::string& game) {
  (void)game;
  return "Unknown game";  // not built yet
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
