// The read-only status page over HTTP: GET / (HTML), /status.json, /history.json and /metrics.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "status/StatusHistory.h"
#include "status/StatusSnapshot.h"

class TStatusHttp;

class TStatusServer {
 public:
  // Connections served at once, each on a thread of its own; accepted ones that may wait for
  // a thread; and ones the kernel may queue before they are accepted, which take no descriptor
  // of the process.
  static constexpr std::size_t ServedAtOnce = 64;
  static constexpr std::size_t Waiting = 16;
  static constexpr int Backlog = 128;
  // A request's head and body must arrive within this time from its first byte, and its answer
  // may take as long; a connection waits KeepAlive for each request, its first one too.
  static constexpr std::chrono::seconds RequestTime{5};
  static constexpr std::chrono::seconds KeepAlive{1};

  // Snapshots older than MaxAge are taken anew; younger ones serve every request.
  // The history takes a point every HistoryStep, from the snapshot the pages share.
  TStatusServer(IStatusSource& source, TStatusRun run,
                std::chrono::milliseconds maxAge = std::chrono::milliseconds(1000),
                std::chrono::milliseconds historyStep = TStatusHistory::Step);
  // Stops serving and waits for the server's threads.
  ~TStatusServer();
  TStatusServer(const TStatusServer&) = delete;
  TStatusServer& operator=(const TStatusServer&) = delete;

  // Binds Address:Port (0: an ephemeral port) and starts serving on a thread of its own.
  // Raises std::runtime_error when the address cannot be bound.
  void Start(const std::string& address, int port);
  // Ends serving at once, whatever the clients do: answers the sockets take without waiting are
  // finished, every wait for a client ends. Safe to call twice.
  void Stop();
  // The port listened on while started.
  std::uint16_t BoundPort() const { return FBoundPort; }

 private:
  // The latest snapshot, taken anew when it is older than FMaxAge.
  std::shared_ptr<const TStatusSnapshot> Current();
  // Adds a point to the history every FHistoryStep until Stop.
  void Sample();

  IStatusSource& FSource;
  const TStatusRun FRun;
  const std::chrono::milliseconds FMaxAge;
  const std::chrono::milliseconds FHistoryStep;
  TStatusHistory FHistory;
  std::thread FSampler;
  std::mutex FSamplerLock;
  std::condition_variable FSamplerWake;
  bool FSamplerStop = false;  // guarded by FSamplerLock
  std::unique_ptr<TStatusHttp> FHttp;
  std::thread FThread;
  std::atomic<bool> FListenDone{false};  // the serving thread has left the library's loop
  std::atomic<bool> FStopping{false};    // Stop has begun
  std::uint16_t FBoundPort = 0;

  std::mutex FSnapshotLock;  // held while a snapshot is taken, so only one request takes it
  std::shared_ptr<const TStatusSnapshot> FSnapshot;       // guarded by FSnapshotLock
  std::chrono::steady_clock::time_point FSnapshotTime;    // guarded by FSnapshotLock
  std::map<std::string, std::uint64_t> FPreviousUploads;  // guarded by FSnapshotLock
};
