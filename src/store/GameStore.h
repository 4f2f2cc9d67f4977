// The game store root: info file accessors, game and section listings.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
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

class TGameStore {
 public:
  // StreamsDir is the store root with a trailing "/".
  explicit TGameStore(std::string streamsDir);
  const std::string& StreamsDir() const { return FStreamsDir; }
  // Full path of a game's directory with a trailing "/"; raises EFCreateError for an
  // invalid name.
  std::string GameDir(const std::string& game) const;
  // Full path of the data file of a game's stream and section; raises EFCreateError for an
  // invalid name.
  std::string StreamPath(const std::string& game, int stream, int section) const;

  // Each accessor is one locked read, or read-modify-write, of the game's info.ini.
  // Reads of a missing (or invalid) game give defaults; writes raise EFCreateError.
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

  // Removes the temporary info files a process killed in mid-write left in Game's directory.
  // Only safe while no session runs: the start-up walk calls it.
  void RemoveTempFiles(const std::string& game);

  // Appends one summary line per section of Game, read from its Demo stream files.
  // Raises EFOpenError for a section file that cannot be read; earlier lines stay.
  void ListSections(const std::string& game, std::vector<std::string>& list);

 private:
  // The full name of File inside Game's directory into Path; false when Game is not a valid
  // name. Every path into the store is built here, so the name check cannot be bypassed.
  bool GameFile(const std::string& game, const std::string& file, std::string& path) const;
  // One locked read of an integer value of the game's info file; Def when there is none.
  std::int32_t ReadInfo(const std::string& game, const std::string& section, const std::string& key,
                        std::int32_t def);
  // One locked load, Change, save of the game's info file.
  void ChangeInfo(const std::string& game, const std::function<void(TIniFile&)>& change);

  const std::string FStreamsDir;
  std::mutex FInfoLock;  // one lock for every info file of every game
};
