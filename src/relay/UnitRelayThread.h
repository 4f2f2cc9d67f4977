// The relay link: a thread that keeps connecting to an upstream server's relay port, taking
// the upstreams of its list in turn.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "common/Log.h"
#include "common/UnitZarnelGlobal.h"
#include "net/IdTCPClient.h"
#include "relay/RelayMirror.h"
#include "store/GameStore.h"

// One entry of RelayServer: a host and the relay port it listens on.
struct TRelayUpstreamAddress {
  std::string Name;  // the entry as written, for the log lines
  std::string Host;
  std::uint16_t Port = RelayPort;
};

// The entries of a comma-separated list of "HOST" or "HOST:PORT" (blanks around entries and
// empty entries ignored). An entry whose port is not 1 to 65535 is kept whole as a host name,
// so that connecting to it fails with the resolver's error. An empty list gives one empty host,
// as an unset RelayServer always did.
std::vector<TRelayUpstreamAddress> ParseRelayServers(const std::string& list);

// What the link is doing, for the status page.
struct TRelayLinkState {
  enum class TPhase { Connecting, Connected, Refused };
  std::string Upstream;  // the entry tried or served last
  TPhase Phase = TPhase::Connecting;
  std::chrono::system_clock::time_point Since;  // when Upstream or Phase last changed
  std::vector<TRelayMirror::TGameState> Games;
};
// "connecting", "connected", "refused".
const char* RelayLinkPhaseName(TRelayLinkState::TPhase phase);

class TRelayThread {
 public:
  // Builds the thread suspended. RelayServer as ParseRelayServers reads it; an upstream that
  // does not answer for RelayTimeout (connect or read) is given up. Log must outlive the thread.
  TRelayThread(std::string relayServer, TLog& log,
               std::chrono::seconds relayTimeout = DefaultRelayTimeout);
  // Stops a running thread (as Terminate, DisconnectSocket, WaitFor) and releases the client.
  ~TRelayThread();
  TRelayThread(const TRelayThread&) = delete;
  TRelayThread& operator=(const TRelayThread&) = delete;

  static constexpr std::chrono::seconds DefaultRelayTimeout{10};

  // Makes the link mirror the upstream's games into Store (which must outlive the thread);
  // without it the link closes each connection at once. StallTime as TRelayMirror's. Call
  // before Start.
  void MirrorInto(TGameStore& store, std::chrono::milliseconds stallTime = TRelayMirror::StallTime);
  // Takes a new list and timeout; any thread may call it. A connection under way keeps its
  // upstream: the change counts from the next connect.
  void SetUpstreams(const std::string& relayServer, std::chrono::seconds relayTimeout);
  // Starts the thread; a second call does nothing.
  void Start();
  // Closes the client's socket so that a pending transfer fails; any thread may call it.
  void DisconnectSocket();
  // Asks the thread to end; a pause under way ends at once.
  void Terminate();
  // Waits until the thread has ended; returns at once when it never started.
  void WaitFor();
  // The link's state and its mirrored games as they are now; any thread may call it.
  TRelayLinkState State() const;

 private:
  // How one connection ended.
  enum class TOutcome { Failed, Served, Renew };
  void Execute();
  TOutcome Attempt(const TRelayUpstreamAddress& upstream, std::chrono::seconds timeout);
  // Sleeps Duration; false when termination was asked for meanwhile.
  bool Pause(std::chrono::milliseconds duration);
  bool Terminated();
  void SetPhase(const std::string& upstream, TRelayLinkState::TPhase phase);
  // One log line with the relay thread's number.
  void Log(const std::string& message);

  TLog& FLog;
  std::int32_t FThreadNumber = 0;      // written by the thread itself before its first log line
  std::string FHost;                   // the entry being connected; the thread's only
  std::string FServedBy;               // the entry that authorized the link last; the thread's only
  std::optional<bool> FAuthorization;  // the upstream's answer on this connection; the thread's
  TIdTCPClient FClient;                // used by the thread; the owner only calls DisconnectSocket
  std::unique_ptr<TRelayMirror> FMirror;  // set before Start, then used by the thread only

  mutable std::mutex FLock;
  std::condition_variable FWake;
  bool FTerminated = false;                       // guarded by FLock
  std::vector<TRelayUpstreamAddress> FUpstreams;  // guarded by FLock; never empty
  std::chrono::seconds FTimeout;                  // guarded by FLock
  TRelayLinkState FState;                         // guarded by FLock; Games left empty
  std::thread FThread;                            // touched by the owner's thread only
};
