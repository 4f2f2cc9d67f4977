#include "server/UnitDatamoduleMain.h"

#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "admin/AdminService.h"
#include "common/FileUtil.h"
#include "common/UnitZarnelGlobal.h"
#include "film/FilmService.h"
#include "net/IdException.h"
#include "relay/RelayUpstream.h"
#include "relay/UnitRelayThread.h"
#include "server/SettingsReload.h"
#include "server/StatusSource.h"
#include "status/StatusServer.h"
#include "view/UnitListActiveUsers.h"
#include "view/ViewService.h"

TDataModuleMain* DataModuleMain = nullptr;
std::atomic<bool> ShutdownRequested{false};
std::atomic<bool> ReloadRequested{false};

namespace {

TStoreLimits StoreLimits(const TSettings& settings) {
  return {settings.KeepDays, settings.StoreLimitMB, settings.MinFreeMB};
}

std::string WithSlash(std::string path) {
  if (path.empty() || path.back() != '/') path += '/';
  return path;
}

// Deactivates Server. Sessions still running after the wait do not stop the shutdown: the
// server's destructor waits for them while everything they use still exists.
void Deactivate(TIdTCPServer& server) {
  try {
    server.SetActive(false);
  } catch (const EIdTerminateThreadTimeout& e) {
    const std::string report = std::string("zarnel: ") + e.what() + "\n";
    WriteAll(STDERR_FILENO, report.data(), report.size());
  }
}

}  // namespace

TDataModuleMain::TDataModuleMain(TServerPlace place)
    : FPlace(std::move(place)),
      idTCPServerFilmer(FPlace.Film),
      idTCPServerViewer(FPlace.View),
      idTCPServerRelay(FPlace.Relay),
      idTCPServerAdmin(FPlace.Admin) {
  idTCPServerFilmer.OnExecute = [this](TIdPeerThread& t) { idTCPServerFilmerExecute(t); };
  idTCPServerViewer.OnExecute = [this](TIdPeerThread& t) { idTCPServerViewerExecute(t); };
  idTCPServerAdmin.OnExecute = [this](TIdPeerThread& t) { idTCPServerAdminExecute(t); };
  idTCPServerFilmer.Counters = &Metrics().Ports[spFilm];
  idTCPServerViewer.Counters = &Metrics().Ports[spView];
  idTCPServerRelay.Counters = &Metrics().Ports[spRelay];
  idTCPServerAdmin.Counters = &Metrics().Ports[spAdmin];
  idTCPServerAdmin.AlwaysReachable = true;
  DataModuleCreate();
}

TDataModuleMain::~TDataModuleMain() = default;

void TDataModuleMain::DataModuleCreate() {
  // The info lock lives in the store and the log lock in the log, which need the working
  // directory and so come with StartServer; only the user list is independent of it.
  FActiveUsers = std::make_unique<TListActiveUsers>();
}

void TDataModuleMain::WriteLog(std::int32_t number, const std::string& message) {
  FLog->WriteLog(number, message);
}

void TDataModuleMain::StartServer() {
  FBaseDir = WithSlash(FPlace.BaseDir.empty() ? std::filesystem::current_path().string()
                                              : std::filesystem::absolute(FPlace.BaseDir).string());
  FStreamsDir = WithSlash(FBaseDir + "Streams");
  FLog = std::make_unique<TLog>(FBaseDir + "zarnel.log");
  const std::thread::id mainThread = std::this_thread::get_id();
  FStore = std::make_unique<TGameStore>(FStreamsDir, [this, mainThread](const std::string& m) {
    WriteLog(std::this_thread::get_id() == mainThread ? 0 : CurrentThreadNumber(), m);
  });

  std::vector<std::string> notes;
  FSettings.Set(LoadSettingsAtStart(FBaseDir + "zarnel.ini", notes));
  for (const std::string& note : notes) WriteLog(0, note);
  const std::shared_ptr<const TSettings> settings = FSettings.Get();
  FStore->SetLimits(StoreLimits(*settings));
  idTCPServerFilmer.MaxConnections = settings->FilmMaxConnections;
  idTCPServerViewer.MaxConnections = settings->ViewMaxConnections;
  idTCPServerAdmin.MaxConnections = settings->AdminMaxConnections;
  idTCPServerRelay.MaxConnections = settings->RelayMaxConnections;
  for (TIdTCPServer* server : std::initializer_list<TIdTCPServer*>{
           &idTCPServerFilmer, &idTCPServerViewer, &idTCPServerRelay, &idTCPServerAdmin}) {
    server->LoginTimeout = settings->LoginTimeout;
    server->MaxLoginsPerAddress = settings->MaxLoginsPerAddress;
    server->OnLog = [this](std::int32_t id, const std::string& m) { WriteLog(id, m); };
  }

  FFilmService = std::make_unique<TFilmService>(FSettings, *FLog, *FStore, &FLoginThrottle);
  FViewService = std::make_unique<TViewService>(
      FSettings, *FLog, *FStore, *FActiveUsers, FBaseDir + "users.txt",
      [this] { return idTCPServerViewer.ThreadCount(); }, &FLoginThrottle);
  FAdminService = std::make_unique<TAdminService>(FSettings, *FLog, *FStore, &FLoginThrottle);

  FStore->PrepareAtStart();

  MakeRelayLink(settings->RelayServer, TRelayMirror::StallTime,
                std::chrono::seconds(settings->RelayTimeout));
  if (settings->RelayEnabled) StartRelayLink();
  if (settings->AllowRelays) {
    TRelayAllowList allow(settings->RelayAllowFrom);
    for (const std::string& entry : allow.Rejected())
      WriteLog(0, "Relay: RelayAllowFrom entry ignored: " + entry);
    FRelayUpstream = std::make_unique<TRelayUpstream>(*FStore, *FLog, std::move(allow));
    FRelayUpstream->Attach(idTCPServerRelay);
  }

  std::error_code ignored;  // a store root that cannot be made shows up at the first write
  std::filesystem::create_directories(FStreamsDir, ignored);
  FStore->Maintain();
  FStore->Start();

  ConsoleLine("Zarnel Server");
  ConsoleLine(std::string("Version: ") + ServerVersion);
  ConsoleLine("");
  WriteLog(0, "Server Started");

  idTCPServerFilmer.SetActive(true);
  idTCPServerViewer.SetActive(true);
  idTCPServerAdmin.SetActive(true);
  idTCPServerRelay.SetActive(settings->AllowRelays);
  StartStatusServer(*settings);
  for (const TInsecureSetting& insecure :
       InsecureSettings(*settings, idTCPServerFilmer.BoundPort(), idTCPServerAdmin.BoundPort()))
    WriteLog(0, insecure.Warning);

  WriteLog(0, "Waiting for Connections...");
  ConsoleLine("Waiting for Connections...");
}

void TDataModuleMain::StartStatusServer(const TSettings& settings) {
  const std::int32_t port = FPlace.Status >= 0 ? FPlace.Status : settings.StatusPort;
  if (FPlace.Status < 0 && port <= 0) return;
  FStatusSource = std::make_unique<TStatusSource>(
      *FStore, [this] { return FFilmService->LiveGames(); },
      std::vector<std::pair<TServicePort, TIdTCPServer*>>{{spView, &idTCPServerViewer},
                                                          {spFilm, &idTCPServerFilmer},
                                                          {spAdmin, &idTCPServerAdmin},
                                                          {spRelay, &idTCPServerRelay}},
      FSettings,
      [this]() -> std::optional<TRelayLinkState> {
        std::lock_guard<std::mutex> lock(FRelayLinkLock);
        if (!FRelayLinkRuns) return std::nullopt;
        return FRelayThread->State();
      },
      &idTCPServerRelay);
  FStatusServer = std::make_unique<TStatusServer>(
      *FStatusSource, TStatusRun{ServerVersion, std::chrono::system_clock::now()});
  FStatusServer->Start(settings.StatusAddress, port);
}

std::uint16_t TDataModuleMain::StatusBoundPort() const {
  return FStatusServer ? FStatusServer->BoundPort() : 0;
}

void TDataModuleMain::BreakRelayLink() {
  if (FRelayThread) FRelayThread->DisconnectSocket();
}

void TDataModuleMain::FollowRelay(const std::string& relayServer,
                                  std::chrono::milliseconds stallTime,
                                  std::chrono::seconds relayTimeout) {
  if (FRelayThread) StopRelayLink();
  MakeRelayLink(relayServer, stallTime, relayTimeout);
  if (!relayServer.empty()) StartRelayLink();
}

TRelayThread& TDataModuleMain::RelayLink() {
  return *FRelayThread;
}

void TDataModuleMain::MakeRelayLink(const std::string& relayServer,
                                    std::chrono::milliseconds stallTime,
                                    std::chrono::seconds relayTimeout) {
  auto link = std::make_unique<TRelayThread>(relayServer, *FLog, relayTimeout);
  link->MirrorInto(*FStore, stallTime);
  std::lock_guard<std::mutex> lock(FRelayLinkLock);
  FRelayThread = std::move(link);
  FRelayLinkRuns = false;
}

void TDataModuleMain::StartRelayLink() {
  FRelayThread->Start();
  std::lock_guard<std::mutex> lock(FRelayLinkLock);
  FRelayLinkRuns = true;
}

void TDataModuleMain::StopRelayLink() {
  FRelayThread->DisconnectSocket();
  FRelayThread->Terminate();
  FRelayThread->WaitFor();
  std::lock_guard<std::mutex> lock(FRelayLinkLock);
  FRelayLinkRuns = false;
}

void TDataModuleMain::ReloadSettings() {
  TSettings fresh;
  std::vector<std::string> notes;
  try {
    fresh = LoadSettingsForReload(FBaseDir + "zarnel.ini", notes);
  } catch (const std::exception& e) {
    WriteLog(0, std::string("Settings not reloaded, keeping every setting: ") + e.what());
    return;
  }
  for (const std::string& note : notes) WriteLog(0, note);
  const TReloadOutcome outcome = MergeReload(*FSettings.Get(), fresh);
  FSettings.Set(outcome.Applied);
  FStore->SetLimits(StoreLimits(outcome.Applied));
  // Sessions already running stay; only new connections meet the new limits.
  idTCPServerFilmer.MaxConnections = outcome.Applied.FilmMaxConnections;
  idTCPServerViewer.MaxConnections = outcome.Applied.ViewMaxConnections;
  idTCPServerAdmin.MaxConnections = outcome.Applied.AdminMaxConnections;
  idTCPServerRelay.MaxConnections = outcome.Applied.RelayMaxConnections;
  // The link takes the list at its next connect.
  if (FRelayThread)
    FRelayThread->SetUpstreams(outcome.Applied.RelayServer,
                               std::chrono::seconds(outcome.Applied.RelayTimeout));
  WriteLog(0, "Settings reloaded: " + (outcome.Changed.empty() ? "no change" : outcome.Changed));
  if (!outcome.NeedRestart.empty())
    WriteLog(0, "Settings kept until a restart: " + outcome.NeedRestart);
}

void TDataModuleMain::DisconnectClients(TIdTCPServer& server) {
  server.ForEachLiveThreadReverse([](TIdPeerThread& t) { t.Connection().DisconnectSocket(); });
}

void TDataModuleMain::DataModuleDestroy() {
  // The status page reads the servers and the store; it goes first, without a console line.
  if (FStatusServer) FStatusServer->Stop();
  ConsoleLine("Disconnecting Clients...");
  DisconnectClients(idTCPServerViewer);
  DisconnectClients(idTCPServerFilmer);
  DisconnectClients(idTCPServerRelay);
  DisconnectClients(idTCPServerAdmin);

  if (FRelayThread && FSettings.Get()->RelayEnabled) {
    ConsoleLine("Disconecting Relay Thread...");
    FRelayThread->DisconnectSocket();
    ConsoleLine("Closing down relay client thread...");
    FRelayThread->Terminate();
    FRelayThread->WaitFor();
  }
  {
    std::lock_guard<std::mutex> lock(FRelayLinkLock);
    FRelayLinkRuns = false;
  }
  FRelayThread.reset();

  ConsoleLine("Closing down film server thread...");
  Deactivate(idTCPServerFilmer);
  ConsoleLine("Closing down view server thread...");
  Deactivate(idTCPServerViewer);
  ConsoleLine("Closing down relay server thread...");
  Deactivate(idTCPServerRelay);
  ConsoleLine("Closing down admin server thread...");
  Deactivate(idTCPServerAdmin);
}

void TDataModuleMain::idTCPServerFilmerExecute(TIdPeerThread& AThread) {
  FFilmService->Execute(AThread);
}

void TDataModuleMain::idTCPServerViewerExecute(TIdPeerThread& AThread) {
  FViewService->Execute(AThread);
}

void TDataModuleMain::idTCPServerAdminExecute(TIdPeerThread& AThread) {
  FAdminService->Execute(AThread);
}

namespace {

// write(2) only: this runs inside a signal handler.
void SignalSafeLine(const char* text) {
  const std::size_t length = std::strlen(text);
  std::size_t done = 0;
  while (done < length) {
    const ssize_t n = write(STDOUT_FILENO, text + done, length - done);
    if (n <= 0) return;
    done += static_cast<std::size_t>(n);
  }
}

}  // namespace

void RequestShutdown() {
  if (!ShutdownRequested.exchange(true)) SignalSafeLine("Shutting down...\n");
}

void SignalHandler(int signal) {
  switch (signal) {
    case SIGINT:
    case SIGTERM:
      RequestShutdown();
      break;
    case SIGHUP:
      ReloadRequested = true;
      break;
    case SIGSEGV:
      SignalSafeLine("Caught segv...Killing Process...\n");
      kill(getpid(), SIGKILL);
      break;
    default:  // SIGPIPE: sends report the broken peer through their own errors
      break;
  }
}

namespace {

sigset_t ControlSignals() {
  sigset_t set;
  sigemptyset(&set);
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&set, sig);
  return set;
}

}  // namespace

void BlockControlSignals() {
  const sigset_t set = ControlSignals();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

void WaitForSignal(int milliseconds) {
  const sigset_t set = ControlSignals();
  const timespec wait{milliseconds / 1000, (milliseconds % 1000) * 1000000L};
  const int sig = sigtimedwait(&set, nullptr, &wait);
  if (sig > 0) SignalHandler(sig);
}

void InstallSignalHandlers() {
  static struct sigaction action {};
  action.sa_handler = SignalHandler;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;
  for (int sig : {SIGINT, SIGSEGV, SIGTERM, SIGPIPE, SIGHUP}) sigaction(sig, &action, nullptr);
}
