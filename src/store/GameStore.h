// The game store root: info file accessors, game and section listings.
#pragma once

#include <sys/types.h>

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <functional>
#include <istream>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "common/Metrics.h"
#include "common/ZarnelException.h"
#include "store/IniFile.h"
#include "store/StreamFile.h"
#include "store/StreamFileCache.h"

// A game name is one path component: not empty, not "." or "..", no "/", no control
// character (bytes below 32 and 127), and no longer than a file name may be.
bool IsValidGameName(const std::string& game);

// "Damaged game information: NAME": the game's info file does not parse cleanly.
class EZarnelDamagedInfo : public EZarnelException {
 public:
  explicit EZarnelDamagedInfo(const std::string& game)
      : EZarnelException("Damaged game information: " + game) {}
};

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

// Limits the store keeps itself within; 0 or less switches one off.
struct TStoreLimits {
  std::int32_t KeepDays = 0;      // complete games unchanged this long are removed
  std::int32_t StoreLimitMB = 0;  // above this, the oldest complete games are removed
  std::int32_t MinFreeMB = 0;     // below this much free space no new game is made
};

// Keeps each game's info file in memory once read; memory is the truth. A read costs no file
// access; a change is made in memory at once and written to the file when the disk allows: a
// failed write is logged once per game and episode and retried by the background work, so
// nothing depends on a write and nothing is lost while the process lives. A change made to the
// file from outside (an operator's edit, a restored back-up) is noticed by its identity and
// size and mtime, looked at no more often than every RecheckInterval per game, unless memory
// holds changes the file lacks. A file that does not parse cleanly is damaged: it is never
// rewritten, and the game reads as missing.
class TGameStore {
  struct TGameInfo;

 public:
  using TLogFn = std::function<void(const std::string&)>;
  static constexpr std::chrono::milliseconds RecheckInterval{200};
  // How often the background work retries unwritten info files, and applies the limits.
  static constexpr std::chrono::milliseconds FlushInterval{1000};
  static constexpr std::chrono::milliseconds MaintainInterval{60000};

  // StreamsDir is the store root with a trailing "/"; Log takes the store's own log lines.
  explicit TGameStore(std::string streamsDir, TLogFn log = {});
  // Stops the background work and makes a last attempt to write what memory holds.
  ~TGameStore();
  TGameStore(const TGameStore&) = delete;
  TGameStore& operator=(const TGameStore&) = delete;

  const std::string& StreamsDir() const { return FStreamsDir; }
  void SetLimits(const TStoreLimits& limits);
  // Before any session runs: finishes removals a crash cut short, removes temporary info
  // files, and resets every game's viewer count (at once in memory). Never raises for a game.
  void PrepareAtStart();
  // Starts the background work: unwritten info files every FlushInterval, Maintain every
  // MaintainInterval.
  void Start();
  // Tries to write every info file memory holds changes of; true when all are on disk.
  bool Flush();
  // Removes the complete games the limits ask to remove; never one in use or incomplete.
  void Maintain();

  // Removes the temporary info files a process killed in mid-write left in Game's directory.
  // Only safe while no session runs: the start-up walk calls it.
  void RemoveTempFiles(const std::string& game);

  // Whether a game of this name exists, its case ignored; a hidden folder of exactly this name
  // counts too.
  bool GameExists(const std::string& game) const;
  // Whether Game is a valid name whose folder is a directory.
  bool IsGame(const std::string& game) const;
  enum class TClaim {
    Claimed,  // the folder and its info file are made
    Exists,   // a game of this name exists, its case ignored
    NoRoom,   // less free space than MinFreeMB
    Failed,   // the folder or file could not be made; nothing is left behind
  };
  // Makes a new game, available, as a filmer's or (Mirrored) the relay link's. On Failed,
  // Error holds the message to log and Reason the system's reason.
  TClaim ClaimNewGame(const std::string& game, bool mirrored, std::string& error,
                      std::string& reason);
  // Whether there is room for a new game; logs once when the free space goes below MinFreeMB
  // and once when it comes back.
  bool HasRoom();

  // Who writes a game; a game so used is never removed.
  enum class TUser { Filming, Mirroring };
  // Marks Game in use for the object's life.
  class TUse {
   public:
    TUse(TGameStore& store, const std::string& game, TUser user);
    ~TUse();
    TUse(const TUse&) = delete;
    TUse& operator=(const TUse&) = delete;

   private:
    std::shared_ptr<TGameInfo> FInfo;
    const TUser FUser;
  };

  // Full path of a game's directory with a trailing "/"; raises EFCreateError for an
  // invalid name.
  std::string GameDir(const std::string& game) const;
  // Full path of the data file of a game's stream and section; raises EFCreateError for an
  // invalid name.
  std::string StreamPath(const std::string& game, int stream, int section) const;

  // A game's stream data files, by stream and section; each raises EFCreateError for an
  // invalid name, as StreamPath does.
  // Length of the file; -1 when it does not exist.
  std::int64_t StreamSize(const std::string& game, int stream, int section) const;
  // Makes the file empty, cutting an existing one; raises "Cannot create file %s".
  void CreateStreamFile(const std::string& game, int stream, int section);
  // Makes the file empty only when it is missing; raises "Cannot create file %s".
  void EnsureStreamFile(const std::string& game, int stream, int section);
  // Removes the file of every stream of Section, as far as there are any.
  void RemoveStreamFiles(const std::string& game, int section);
  // The existing file, open for appending; raises "Cannot open file %s".
  std::unique_ptr<TStreamFile> OpenStreamFile(const std::string& game, int stream, int section);
  // Appends Data, making the file when missing, and returns the new length. A failed append
  // leaves the file at its former length and raises "Cannot write file %s: reason".
  std::int64_t AppendStream(const std::string& game, int stream, int section,
                            const std::string& data);
  // The file open for reading from its start; null when it cannot be opened.
  std::unique_ptr<std::istream> OpenStreamForReading(const std::string& game, int stream,
                                                     int section) const;
  // The read-only file every viewer of it shares (see TStreamFileCache); raises EFOpenError.
  std::shared_ptr<TSharedStreamFile> ShareStreamFile(const std::string& game, int stream,
                                                     int section);

  // Each accessor is one read, or read-modify-write, of the game's info under that game's lock.
  // Reads of a missing, invalid or damaged game give defaults; writes raise EFCreateError for
  // a missing or invalid game and EZarnelDamagedInfo for a damaged one.
  bool ReadAvailable(const std::string& game);
  void WriteAvailable(const std::string& game, bool value);
  std::int32_t ReadViewers(const std::string& game);
  // A no-op for a damaged game.
  void DecViewers(const std::string& game);
  // A viewer's request: want and one more viewer, in one change. False, with nothing counted,
  // for a damaged game; raises EFCreateError for a missing one.
  bool AddViewer(const std::string& game);
  bool IsDamaged(const std::string& game);
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
  // One game's info as memory holds it.
  struct TGameInfo {
    TGameInfo(std::string game, const std::string& path) : Game(std::move(game)), Ini(path, "") {}
    const std::string Game;
    std::mutex Lock;
    std::condition_variable Committed;  // a write ended
    TIniFile Ini;                       // guarded by Lock
    TFileStamp Stamp;                   // guarded by Lock: the file Ini was read from or written to
    bool Loaded = false;                // guarded by Lock
    std::chrono::steady_clock::time_point Checked;  // guarded by Lock
    bool Damaged = false;       // guarded by Lock: the file does not parse cleanly
    std::uint64_t Version = 0;  // guarded by Lock: changes made to Ini
    std::uint64_t Written = 0;  // guarded by Lock: the Version the file holds
    bool Writing = false;       // guarded by Lock: a caller is replacing the file
    bool Failing = false;       // guarded by Lock: the last write failed; the flusher retries
    bool Removed = false;       // guarded by Lock: the game left the store
    std::array<int, 2> Uses{};  // guarded by Lock: per TUser
    bool Dirty() const { return Written != Version; }
  };
  enum class TIfDamaged { Raise, Skip };

  static TFileStamp StampOf(const std::string& path);
  // The game's entry, made when Create is set; null for a game never seen and not created.
  std::shared_ptr<TGameInfo> Find(const std::string& game, const std::string& path, bool create);
  // Reloads Info from Path when the file changed and memory holds nothing unwritten; with
  // Force it looks at the file now, else only once RecheckInterval has passed since the last
  // look. Info's lock is held.
  void Refresh(TGameInfo& info, const std::string& path, bool force);
  // The full name of File inside Game's directory into Path; false when Game is not a valid
  // name. Every path into the store is built here, so the name check cannot be bypassed.
  bool GameFile(const std::string& game, const std::string& file, std::string& path) const;
  // Runs Read on the game's entry under its lock; false, without running it, when the game has
  // no info file.
  template <class TRead>
  bool WithInfo(const std::string& game, const TRead& read);
  // Runs Read on the game's info under its lock; false, without running it, when the game has
  // no info file or a damaged one.
  template <class TRead>
  bool ReadInfoWith(const std::string& game, const TRead& read);
  // One locked read of an integer value of the game's info file; Def when there is none.
  std::int32_t ReadInfo(const std::string& game, const std::string& section, const std::string& key,
                        std::int32_t def);
  // Change applied to the game's info in memory, then the file replaced unless writes fail
  // (the flusher retries them). False, with nothing changed, for a damaged game under Skip.
  bool ChangeInfo(const std::string& game, const std::function<void(TIniFile&)>& change,
                  TIfDamaged ifDamaged = TIfDamaged::Raise);
  // Writes Info's memory to Path once; Lock is held on entry and exit, not during the write.
  void WriteOut(TGameInfo& info, const std::string& path, std::unique_lock<std::mutex>& lock);
  // Removes Game unless it is in use (or, with RequireComplete, incomplete or damaged).
  // Empty on success, else the reason.
  std::string Remove(const std::string& game, TRemovalReason reason, bool requireComplete);
  void BackgroundWork();
  void Log(const std::string& message) const {
    if (FLog) FLog(message);
  }

  const std::string FStreamsDir;
  const TLogFn FLog;
  std::shared_mutex FGamesLock;  // taken only to find, add or drop an entry, never around file work
  // guarded by FGamesLock; an entry goes only with its game
  std::unordered_map<std::string, std::shared_ptr<TGameInfo>> FGames;

  std::mutex FLimitsLock;
  TStoreLimits FLimits;    // guarded by FLimitsLock
  bool FLowSpace = false;  // guarded by FLimitsLock: the last room check found too little

  std::mutex FWorkLock;
  std::condition_variable FWorkWake;
  bool FStopping = false;  // guarded by FWorkLock
  std::thread FWorker;

  TStreamFileCache FSharedFiles;  // the stream files viewers read, one descriptor per file
};
