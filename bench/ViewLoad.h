// Many viewers in one process: one epoll loop, non-blocking sockets, connections started in
// paced batches. Each viewer follows its stream with a TViewParser and keeps what the
// measurement window asks for.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "bench/FilmLoad.h"

namespace bench {

// What the coordinating process and the viewer processes share (memory mapped before fork).
struct TCoordination {
  std::atomic<int> ready{0};                 // viewer processes whose viewers all stream or gave up
  std::atomic<std::int64_t> windowStart{0};  // NowNs; 0 while not yet decided
  std::atomic<std::int64_t> windowEnd{0};
  std::atomic<std::int64_t> sigtermAt{0};  // when the server was told to stop
  std::atomic<int> stop{0};
  TLiveClock live;
};

struct TViewLoadOptions {
  int port = 28100;
  std::string game;
  int first = 0;  // index of the first viewer among all processes' viewers
  int count = 0;
  int startSection = 0;
  int currentSection = 0;
  std::int32_t bufferBudget = 7000;
  std::int32_t normalBudget = 7000;
  double connectRate = 2000;  // connections started a second
  int maxPending = 256;       // connections started but not yet streaming
  // Connections not yet greeted: the server's accept queue is short, and a connection whose
  // handshake it dropped is retried only seconds later.
  int maxConnecting = 16;
  std::int64_t rampDeadline = 0;  // NowNs after which no connection is started
  bool live = false;
};

// Counters of one or more viewer processes; merged by adding.
enum TCounter {
  cStarted,          // connect started
  cRefused,          // connect failed or the server closed before the greeting
  cFailedHandshake,  // closed or refused between greeting and the first cycle
  cStreaming,        // reached the first cycle
  cServed,           // streaming through the whole window with no failure
  cFailedStreaming,  // closed or broke the protocol while streaming, before the window ended
  cDataCycles,       // in the window, cycles that carried section data
  cShortCycles,      // of those, cycles with less than the budget allowed
  cAlwaysFull,       // served viewers with no short cycle
  cLateCycles,       // periods above 1.1 s
  cClosedAfterTerm,  // connections the server closed after SIGTERM
  cLastCloseMs,      // the last of those, in ms after SIGTERM (max when merged)
  cProtocolErrors,
  cNotGreeted,    // still waiting for the greeting when the run ended
  cNotStreaming,  // greeted, still waiting for the first cycle when the run ended
  cCounters
};

struct TViewResults {
  std::array<std::int64_t, cCounters> counters{};
  std::vector<std::int32_t> periodsUs;    // between a viewer's consecutive cycles
  std::vector<std::int32_t> latenciesUs;  // live: filmer send to viewer receipt, oldest byte
  std::vector<std::int32_t> ratesBps;     // per served viewer, data bytes a second

  void Merge(const TViewResults& other);
  // Writes or reads the results whole through a pipe; Read gives false on a short read.
  void Write(int fd) const;
  bool Read(int fd);
};

// Runs Options.count viewers until Coordination.stop is set.
TViewResults RunViewers(const TViewLoadOptions& options, TCoordination& coordination);

}  // namespace bench
