// Process-wide counters for the status page: atomics only, so counting costs a relaxed
// increment on the paths it watches and takes no lock anyone else holds.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>

// The four services by name, as the metrics label them.
enum TServicePort { spView, spFilm, spAdmin, spRelay, spCount };
// "view", "film", "admin", "relay".
const char* ServicePortName(TServicePort port);

// Why the store removed a game, as the metrics label it.
enum TRemovalReason { rrAge, rrSize, rrAdmin, rrCount };
// "age", "size", "admin".
const char* RemovalReasonName(TRemovalReason reason);

struct TPortCounters {
  std::atomic<std::uint64_t> Accepted{0};  // connections given a session
  std::atomic<std::uint64_t> Refused{0};   // closed at once over the connection limit
  std::atomic<std::uint64_t> LoginsFailed{0};
};

// A histogram of durations with fixed bucket bounds, in seconds.
class TDurationHistogram {
 public:
  static constexpr std::array<double, 11> Bounds = {0.001, 0.005, 0.01, 0.025, 0.05, 0.1,
                                                    0.25,  0.5,   1,    2.5,   5};
  struct TSnapshot {
    std::array<std::uint64_t, Bounds.size() + 1> Counts{};  // per bucket, the last is +Inf
    double Sum = 0;                                         // seconds
    std::uint64_t Count = 0;
  };

  // Counts one duration; a negative one counts as 0.
  void Observe(std::chrono::nanoseconds duration);
  // The counts so far (each value read on its own, so a concurrent Observe may be half in).
  TSnapshot Snapshot() const;

 private:
  std::array<std::atomic<std::uint64_t>, Bounds.size() + 1> FCounts{};
  std::atomic<std::uint64_t> FSumNanos{0};
};

struct TMetrics {
  TPortCounters Ports[spCount];
  std::atomic<std::uint64_t> SentBytes{0};
  std::atomic<std::uint64_t> ReceivedBytes{0};
  // How late a viewer's send cycle starts after it was due.
  TDurationHistogram CycleLateness;
  std::atomic<std::uint64_t> GamesRemoved[rrCount]{};
  // Stream bytes the relay link appended to mirrored games.
  std::atomic<std::uint64_t> RelayMirroredBytes{0};
  // Times the relay link was authorized by another upstream than the one before.
  std::atomic<std::uint64_t> RelayLinkSwitches{0};
};

// The one registry of the process.
TMetrics& Metrics();

// Adds N to Counter; relaxed, as nothing is ordered by a counter.
inline void Count(std::atomic<std::uint64_t>& counter, std::uint64_t n = 1) {
  counter.fetch_add(n, std::memory_order_relaxed);
}
