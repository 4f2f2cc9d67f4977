// The game store root: info file accessors, game and section listings.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "store/IniFile.h"

// A game name is one path component: not empty, not "." or "..", no "/" and no control
// character (bytes below 32 and 127).
bool IsValidGameName(const std::string& game);

// Stream data file name of stream N, section S: "stream_%d_%d".
std::string StreamFileName(int stream, int section);

// Appends the names of Dir's entries in directory order, hidden names skipped.
// A missing or unreadable directory gives nothing.
void ListGames(const std::string& dir, std::vector<std::string>& list);

// A game's state as the status page shows it.
struct TGameSummary {
  bool Available = false;
  bool Complete = false;
  std::int32_t Viewers = 0;
  std::int32_t Sections = 0;
  std::int32_t Streams = 0;
  bool Damaged = false;  // its info file does not parse cleanly: kept as it is, served to no one
};

// Keeps each game's info file in memory once read: a read costs no file access, a write
// replaces the file and the memory together. A change made to the file from outside (an
// operator's edit, a restored back-up) is noticed by its identity and size and mtime, looked at
// no more often than every RecheckInterval per game.
class TGameStore {
 public:
  static constexpr std::chrono::milliseconds RecheckInterval{200};

  // StreamsDir is the store root with a trailing "/".
  explicit TGameStore(std::string streamsDir);
  const std::string& StreamsDir() const { return FStreamsDir; }
  // Full path of a game's directory with a trailing "/"; raises EFCreateError for an
  // invalid name.
  std::string GameDir(const std::string& game) const;
  // Full path of the data file of a game's stream and section; raises EFCreateError for an
  // invalid name.
  std::string StreamPath(const std::string& game, int stream, int section) const;

  // Each accessor is one read, or read-modify-write, of the game's info.ini under that game's
  // lock. Reads of a missing (or invalid) game give defaults; writes raise EFCreateError.
  bool ReadAvailable(const std::string& game);
  void WriteAvailable(const std::string& game, bool value);
  std::int32_t ReadViewers(const std::string& game);
  void WriteViewers(const std::string& game, std::int32_t value);
  void IncViewers(const std::string& game);
  void DecViewers(const std::string& game);
  void WriteWant(const std::string& game, bool value);
  bool ReadCompleteAll(const std::string& game);
  void WriteCompleteAll(const std::string& game, bool value);
  bool ReadComplete(const std::string& game, int stream, int section);
  void WriteComplete(const std::string& game, int stream, int section, bool value);
  std::int32_t ReadSize(const std::string& game, int stream, int section);
  void WriteSize(const std::string& game, int stream, int section, std::int32_t value);
  std::uint8_t ReadStreamType(const std::string& game, int stream);
  void WriteStreamType(const std::string& game, int stream, std::uint8_t value);
  std::int32_t ReadActiveStreams(const std::string& game);
  void WriteActiveStreams(const std::string& game, std::int32_t value);
  std::int32_t ReadActiveSections(const std::string& game);
  void WriteActiveSections(const std::string& game, std::int32_t value);
  std::int32_t ReadBlock(const std::string& game, int stream, int section);
  void WriteBlock(const std::string& game, int stream, int section, std::int32_t value);
  bool ReadHeader(const std::string& game, int stream, int section);
  void WriteHeader(const std::string& game, int stream, int section, bool value);
  // Whether the game was made by the relay link as a mirror of an upstream game.
  bool ReadMirrored(const std::string& game);
  void WriteMirrored(const std::string& game, bool value);

  // Removes the temporary info files a process killed in mid-write left in Game's directory.
  // Only safe while no session runs: the start-up walk calls it.
  void RemoveTempFiles(const std::string& game);
  // One stream of a section set-up: its type, announced size and header length.
  struct TStreamSetup {
    std::uint8_t Type = 0;
    std::int32_t Size = 0;
    std::int32_t Block = 0;
  };
  // Per stream N in order WriteStreamType, WriteSize and WriteBlock, in one replacement of
  // the file.
  void WriteStreamSetup(const std::string& game, int section,
                        const std::vector<TStreamSetup>& streams);
  // WriteActiveStreams then WriteActiveSections, in one replacement of the file.
  void WriteActive(const std::string& game, std::int32_t streams, std::int32_t sections);
  // The game's state from one locked read of its info file; defaults for a missing game.
  TGameSummary ReadSummary(const std::string& game);

  // Removes Game at an operator's request. Empty on success, else the reason of the refusal:
  // "Unknown game", "Game in use: viewers", "Game in use: filming", "Game in use: mirroring".
  std::string DeleteGame(const std::string& game);
  // Free bytes on the store's file system; 0 when it cannot be asked.
  std::uint64_t FreeBytes() const;
  // Bytes of Game's stream data files.
  std::uint64_t GameBytes(const std::string& game) const;

  // Appends one summary line per section of Game, read from its Demo stream files.
  // Raises EFOpenError for a section file that cannot be read; earlier lines stay.
  void ListSections(const std::string& game, std::vector<std::string>& list);

 private:
  // What identifies one version of an info file on disk; Exists false for a missing file.
  struct TFileStamp {
    bool Exists = false;
    dev_t Device = 0;
    ino_t Inode = 0;
    off_t Size = 0;
    std::int64_t ModifiedNs = 0;
    bool operator==(const TFileStamp&) const = default;
  };
  // A change waiting for the game's writer, who applies it and replaces the file.
  struct TPendingChange {
    const std::function<void(TIniFile&)>* Change = nullptr;
    bool Done = false;           // guarded by the game's Lock
    std::exception_ptr Failure;  // guarded by the game's Lock
  };
  // One game's info file as last read or written.
  struct TGameInfo {
    explicit TGameInfo(const std::string& path) : Ini(path, "") {}
    std::mutex Lock;
    std::condition_variable Committed;     // a batch of changes is on disk (or failed)
    std::vector<TPendingChange*> Pending;  // guarded by Lock
    bool Writing = false;                  // guarded by Lock: a caller is replacing the file
    TIniFile Ini;                          // guarded by Lock
    TFileStamp Stamp;     // guarded by Lock: the file Ini was read from or written to
    bool Loaded = false;  // guarded by Lock
    std::chrono::steady_clock::time_point Checked;  // guarded by Lock
  };

  static TFileStamp StampOf(const std::string& path);
  // The game's entry, made when Create is set; null for a game never seen and not created.
  std::shared_ptr<TGameInfo> Find(const std::string& game, const std::string& path, bool create);
  // Reloads Info from Path when the file changed; with Force it looks at the file now, else
  // only once RecheckInterval has passed since the last look. Info's lock is held.
  static void Refresh(TGameInfo& info, const std::string& path, bool force);
  // The full name of File inside Game's directory into Path; false when Game is not a valid
  // name. Every path into the store is built here, so the name check cannot be bypassed.
  bool GameFile(const std::string& game, const std::string& file, std::string& path) const;
  // Runs Read on the game's info under its lock; false, without running it, when the game has
  // no info file.
  template <class TRead>
  bool ReadInfoWith(const std::string& game, const TRead& read);
  // One locked read of an integer value of the game's info file; Def when there is none.
  std::int32_t ReadInfo(const std::string& game, const std::string& section, const std::string& key,
                        std::int32_t def);
  // Change applied to the game's info and the file replaced before it returns. Changes that
  // arrive while the file is being written are applied together and written once, in order.
  void ChangeInfo(const std::string& game, const std::function<void(TIniFile&)>& change);
  // Applies the pending changes and writes them at once; Lock is held on entry and exit.
  static void WritePending(TGameInfo& info, const std::string& path,
                           std::unique_lock<std::mutex>& lock);

  const std::string FStreamsDir;
  std::shared_mutex FGamesLock;  // taken only to find or add an entry, never around file work
  // guarded by FGamesLock; entries are never removed, so a game has one lock for the whole run
  std::unordered_map<std::string, std::shared_ptr<TGameInfo>> FGames;
};
