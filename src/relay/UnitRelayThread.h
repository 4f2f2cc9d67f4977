// The relay link: a thread that keeps connecting to an upstream server's relay port.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "common/Log.h"
#include "common/UnitZarnelGlobal.h"
#include "net/IdTCPClient.h"
#include "relay/RelayMirror.h"
#include "store/GameStore.h"

class TRelayThread {
 public:
  // Builds the thread suspended. Version, StreamsDir and RelayPassword are kept for a relay
  // exchange the link does not make yet. Log must outlive the thread.
  TRelayThread(std::string version, std::string relayServer, std::string streamsDir,
               std::string relayPassword, TLog& log, std::uint16_t port = RelayPort);
  // Stops a running thread (as Terminate, DisconnectSocket, WaitFor) and releases the client.
  ~TRelayThread();
  TRelayThread(const TRelayThread&) = delete;
  TRelayThread& operator=(const TRelayThread&) = delete;

  // Makes the link mirror the upstream's games into Store (which must outlive the thread);
  // without it the link closes each connection at once. StallTime as TRelayMirror's. Call
  // before Start.
  void MirrorInto(TGameStore& store, std::chrono::milliseconds stallTime = TRelayMirror::StallTime);
  // Starts the thread; a second call does nothing.
  void Start();
  // Closes the client's socket so that a pending transfer fails; any thread may call it.
  void DisconnectSocket();
  // Asks the thread to end; a pause under way ends at once.
  void Terminate();
  // Waits until the thread has ended; returns at once when it never started.
  void WaitFor();

 private:
  void Execute();
  // One connection; true when the next one is to be made at once.
  bool Attempt();
  // Sleeps Duration; false when termination was asked for meanwhile.
  bool Pause(std::chrono::milliseconds duration);
  bool Terminated();
  // One log line with the relay thread's number.
  void Log(const std::string& message);

  const std::string FVersion;
  const std::string FRelayServer;
  const std::string FStreamsDir;
  const std::string FRelayPassword;
  TLog& FLog;
  const std::uint16_t FPort;
  std::int32_t FThreadNumber = 0;  // written by the thread itself before its first log line
  TIdTCPClient FClient;            // used by the thread; the owner only calls DisconnectSocket
  std::unique_ptr<TRelayMirror> FMirror;  // set before Start, then used by the thread only

  std::mutex FLock;
  std::condition_variable FWake;
  bool FTerminated = false;  // guarded by FLock
  std::thread FThread;       // touched by the owner's thread only
};
