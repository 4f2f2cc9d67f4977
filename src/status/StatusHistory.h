// The last hour of the status page, a point a minute, kept in memory only.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>

#include "status/StatusSnapshot.h"

struct THistoryPoint {
  std::chrono::system_clock::time_point Taken;
  std::int64_t Viewers = 0;                   // of every game
  std::map<std::string, std::int64_t> Games;  // viewers per game that had any
  double SentPerSecond = 0;                   // bytes to every peer since the previous point
  std::map<std::string, double> Uploads;      // bytes a second per game uploaded meanwhile
};

class TStatusHistory {
 public:
  static constexpr std::size_t Points = 60;
  static constexpr std::chrono::seconds Step{60};

  // Adds a point from Snapshot and the process's SentBytes so far; the oldest goes past Points.
  // Rates are over the time since the previous point (0 for the first).
  void Add(const TStatusSnapshot& snapshot, std::uint64_t sentBytes);
  // The points, oldest first.
  std::deque<THistoryPoint> Read() const;

 private:
  mutable std::mutex FLock;
  std::deque<THistoryPoint> FPoints;                    // guarded by FLock
  std::uint64_t FSentBytes = 0;                         // guarded by FLock
  std::map<std::string, std::uint64_t> FUploadedBytes;  // guarded by FLock
};
