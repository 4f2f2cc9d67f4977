// The one server object: owns the four servers, the settings, the store, the log and the
// relay link, and runs start-up and shutdown.
//
// Teardown is safe by declaration order: everything a session thread can reach is declared
// before the servers, so the servers go first, and a server's destructor waits for every one
// of its session threads, also those that outlived the deactivation wait.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "common/Log.h"
#include "common/Settings.h"
#include "common/UnitZarnelGlobal.h"
#include "net/IdTCPServer.h"
#include "net/LoginThrottle.h"
#include "relay/RelayMirror.h"
#include "relay/UnitRelayThread.h"
#include "relay/UnitidZarnelRelayServer.h"
#include "store/GameStore.h"
#include "store/SettingsFile.h"

class TAdminService;
class TFilmService;
class TListActiveUsers;
class TRelayUpstream;
class TStatusServer;
class TStatusSource;
class TViewService;

// Where a server works and the ports it listens on. The defaults are the binary's: the current
// directory and the fixed ports. A port of 0 takes any free one, so that tests and benchmarks
// run several whole servers in one process.
struct TServerPlace {
  std::string BaseDir;  // empty: the current directory
  std::uint16_t Film = ::FilmPort;
  std::uint16_t View = ::ViewPort;
  std::uint16_t Relay = ::RelayPort;
  std::uint16_t Admin = ::AdminPort;
  std::int32_t Status = -1;  // the status page's port; -1: StatusPort of the settings
};

class TDataModuleMain {
 public:
  // Builds the server components, then runs DataModuleCreate.
  explicit TDataModuleMain(TServerPlace place = {});
  // Waits for the session threads still running, then releases the rest; call
  // DataModuleDestroy first for the orderly shutdown.
  ~TDataModuleMain();
  TDataModuleMain(const TDataModuleMain&) = delete;
  TDataModuleMain& operator=(const TDataModuleMain&) = delete;

  // Reads the settings, prepares the store, starts the relay link and the servers.
  void StartServer();
  // The orderly shutdown with its console lines. Sessions that outlast a deactivation wait are
  // reported on standard error and left to the destructor; other failures raise.
  void DataModuleDestroy();
  // Closes the socket of every live connection of Server, last to first.
  static void DisconnectClients(TIdTCPServer& server);
  // Appends one line to the log.
  void WriteLog(std::int32_t number, const std::string& message);
  // Re-reads zarnel.ini and applies what can change while running; logs what changed, what
  // waits for a restart, or why the file was not taken. Never drops a connection.
  void ReloadSettings();

  // The game store; valid after StartServer.
  TGameStore& Store() { return *FStore; }
  // The status page's port, 0 when it does not run.
  std::uint16_t StatusBoundPort() const;
  // Closes the relay link's connection; the link connects again by itself. For tests that
  // break a link without stopping either server.
  void BreakRelayLink();
  // Stops the relay link and, unless RelayServer is empty, starts a new one to it, its mirrors
  // stalling after StallTime without data: for tests and benchmarks that re-point a running
  // server without dropping its viewers.
  void FollowRelay(const std::string& relayServer,
                   std::chrono::milliseconds stallTime = TRelayMirror::StallTime,
                   std::chrono::seconds relayTimeout = TRelayThread::DefaultRelayTimeout);
  // The relay link, for tests that reload it or read its state; valid after StartServer.
  TRelayThread& RelayLink();

 private:
  void DataModuleCreate();
  // Replaces the relay link by a new one, not yet started.
  void MakeRelayLink(const std::string& relayServer, std::chrono::milliseconds stallTime,
                     std::chrono::seconds relayTimeout);
  void StartRelayLink();
  // Closes the link's connection and waits for its thread to end.
  void StopRelayLink();
  // Starts the status page unless StatusPort is 0 or less; raises when it cannot bind.
  void StartStatusServer(const TSettings& settings);
  void idTCPServerFilmerExecute(TIdPeerThread& AThread);
  void idTCPServerViewerExecute(TIdPeerThread& AThread);
  void idTCPServerAdminExecute(TIdPeerThread& AThread);

  const TServerPlace FPlace;
  // What the session threads reach, declared before the servers so that it outlives them.
  std::string FBaseDir;
  std::string FStreamsDir;
  TSettingsHolder FSettings;  // replaced whole by StartServer and ReloadSettings
  std::unique_ptr<TLog> FLog;
  std::unique_ptr<TGameStore> FStore;
  TLoginThrottle FLoginThrottle;  // password attempts of every port, per address
  std::unique_ptr<TListActiveUsers> FActiveUsers;
  std::unique_ptr<TRelayUpstream> FRelayUpstream;  // the relay server's hooks
  // Replaced only by the main thread; the status page reads it under FRelayLinkLock.
  std::unique_ptr<TRelayThread> FRelayThread;
  std::mutex FRelayLinkLock;
  bool FRelayLinkRuns = false;  // guarded by FRelayLinkLock: FRelayThread was started
  std::unique_ptr<TFilmService> FFilmService;
  std::unique_ptr<TViewService> FViewService;
  std::unique_ptr<TAdminService> FAdminService;

 public:
  // Destroyed before everything above; each waits for its session threads before it goes.
  TIdTCPServer idTCPServerFilmer;
  TIdTCPServer idTCPServerViewer;
  TidZarnelRelayServer idTCPServerRelay;
  TIdTCPServer idTCPServerAdmin;

 private:
  // The status page reads the servers, the store and the film service: declared after them,
  // so it is gone before any of them.
  std::unique_ptr<TStatusSource> FStatusSource;
  std::unique_ptr<TStatusServer> FStatusServer;  // none when StatusPort is 0 or less
};

// The single server object, reachable from every thread while the process runs.
extern TDataModuleMain* DataModuleMain;
// Set by the signal handler, polled by the main loop.
extern std::atomic<bool> ShutdownRequested;
// Set by SIGHUP, taken back by the main loop when it reloads the settings.
extern std::atomic<bool> ReloadRequested;

// Installs SignalHandler for SIGINT, SIGSEGV, SIGTERM, SIGPIPE and SIGHUP.
void InstallSignalHandlers();
void SignalHandler(int signal);
// Prints "Shutting down..." the first time only and sets ShutdownRequested.
void RequestShutdown();
// Blocks SIGINT, SIGTERM and SIGHUP in the calling thread and in every thread it starts later,
// so that only WaitForSignal takes them: no signal is left with a thread that never acts on it.
void BlockControlSignals();
// Waits up to Milliseconds for one of the signals BlockControlSignals blocked and hands it to
// SignalHandler.
void WaitForSignal(int milliseconds);
