// Zarnel Server: stores and broadcasts recordings of played games.
#include <sys/resource.h>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <memory>

#include "common/Log.h"
#include "server/ServiceNotify.h"
#include "server/UnitDatamoduleMain.h"

namespace {

// A server for thousands of viewers must not stop at the usual soft limit of 1024.
void RaiseDescriptorLimit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == limit.rlim_max) return;
  limit.rlim_cur = limit.rlim_max;
  setrlimit(RLIMIT_NOFILE, &limit);
}

}  // namespace

int main() {
  try {
    RaiseDescriptorLimit();
    // Before any thread starts, so that every thread inherits the mask.
    BlockControlSignals();
    ShutdownRequested = false;
    auto server = std::make_unique<TDataModuleMain>();
    DataModuleMain = server.get();
    InstallSignalHandlers();
    DataModuleMain->StartServer();
    NotifyReady();
    TWatchdog watchdog;
    while (!ShutdownRequested) {
      watchdog.Tick();
      WaitForSignal(100);
      if (ReloadRequested.exchange(false)) DataModuleMain->ReloadSettings();
    }
    NotifyStopping();
    DataModuleMain->DataModuleDestroy();
    DataModuleMain = nullptr;
    server.reset();
    ConsoleLine("Zarnel Server Shutdown complete.");
    return 0;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "zarnel: %s\n", e.what());
    std::fflush(stderr);
    // Threads may still run; nothing done so far is undone.
    std::_Exit(1);
  }
}
