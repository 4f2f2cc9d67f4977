// The one server object: owns the four servers, the settings, the store, the log and the
// relay link, and runs start-up and shutdown.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "common/Log.h"
#include "common/Settings.h"
#include "net/IdTCPServer.h"
#include "net/LoginThrottle.h"
#include "relay/UnitidZarnelRelayServer.h"
#include "store/GameStore.h"
#include "store/SettingsFile.h"

class TAdminService;
class TFilmService;
class TListActiveUsers;
class TRelayThread;
class TRelayUpstream;
class TStatusServer;
class TStatusSource;
class TViewService;

class TDataModuleMain {
 public:
  // Builds the server components, then runs DataModuleCreate.
  TDataModuleMain();
  // Releases what is left; call DataModuleDestroy first for the orderly shutdown.
  ~TDataModuleMain();
  TDataModuleMain(const TDataModuleMain&) = delete;
  TDataModuleMain& operator=(const TDataModuleMain&) = delete;

  // Reads the settings, prepares the store, starts the relay link and the servers.
  void StartServer();
  // The orderly shutdown with its console lines; raises when a step fails.
  void DataModuleDestroy();
  // Closes the socket of every live connection of Server, last to first.
  static void DisconnectClients(TIdTCPServer& server);
  // Appends one line to the log.
  void WriteLog(std::int32_t number, const std::string& message);
  // Re-reads zarnel.ini and applies what can change while running; logs what changed, what
  // waits for a restart, or why the file was not taken. Never drops a connection.
  void ReloadSettings();

  TIdTCPServer idTCPServerFilmer;
  TIdTCPServer idTCPServerViewer;
  TidZarnelRelayServer IdTCPServerRelay;
  TIdTCPServer IdTCPServerAdmin;

 private:
  void DataModuleCreate();
  void ResetViewers();
  // Starts the status page unless StatusPort is 0 or less; raises when it cannot bind.
  void StartStatusServer(const TSettings& settings);
  void idTCPServerFilmerExecute(TIdPeerThread& AThread);
  void idTCPServerViewerExecute(TIdPeerThread& AThread);
  void IdTCPServerAdminExecute(TIdPeerThread& AThread);

  std::string FBaseDir;
  std::string FStreamsDir;
  TSettingsHolder FSettings;  // replaced whole by StartServer and ReloadSettings
  std::unique_ptr<TLog> FLog;
  std::unique_ptr<TGameStore> FStore;
  TLoginThrottle FLoginThrottle;  // password attempts of every port, per address
  std::unique_ptr<TListActiveUsers> FActiveUsers;
  std::unique_ptr<TRelayUpstream> FRelayUpstream;  // the relay server's hooks
  std::unique_ptr<TRelayThread> FRelayThread;
  std::unique_ptr<TFilmService> FFilmService;
  std::unique_ptr<TViewService> FViewService;
  std::unique_ptr<TAdminService> FAdminService;
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
