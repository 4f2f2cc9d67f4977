#include "relay/UnitRelayThread.h"

#include <chrono>
#include <exception>
#include <utility>

namespace {
constexpr std::chrono::milliseconds ReconnectPause{2000};
}

TRelayThread::TRelayThread(std::string version, std::string relayServer, std::string streamsDir,
                           std::string relayPassword, TLog& log, std::uint16_t port)
    : FVersion(std::move(version)),
      FRelayServer(std::move(relayServer)),
      FStreamsDir(std::move(streamsDir)),
      FRelayPassword(std::move(relayPassword)),
      FLog(log),
      FPort(port) {
  FClient.OnConnected = [this](TIdTCPClient&) { Log("Relay: Connected"); };
  FClient.OnDisconnected = [this](TIdTCPConnection&) { Log("Relay: Disconnected"); };
}

TRelayThread::~TRelayThread() {
  if (!FThread.joinable()) return;
  Terminate();
  DisconnectSocket();
  WaitFor();
}

void TRelayThread::MirrorInto(TGameStore& store, std::chrono::milliseconds stallTime) {
  FMirror = std::make_unique<TRelayMirror>(
      store, [this](const std::string& message) { Log(message); },
      [this](std::chrono::milliseconds duration) { return Pause(duration); }, stallTime);
}

void TRelayThread::Start() {
  if (FThread.joinable()) return;
  FThread = std::thread([this] { Execute(); });
}

void TRelayThread::DisconnectSocket() {
  FClient.DisconnectSocket();
}

void TRelayThread::Terminate() {
  {
    std::lock_guard<std::mutex> lock(FLock);
    FTerminated = true;
  }
  FWake.notify_all();
}

void TRelayThread::WaitFor() {
  if (FThread.joinable()) FThread.join();
}

bool TRelayThread::Terminated() {
  std::lock_guard<std::mutex> lock(FLock);
  return FTerminated;
}

bool TRelayThread::Pause(std::chrono::milliseconds duration) {
  std::unique_lock<std::mutex> lock(FLock);
  return !FWake.wait_for(lock, duration, [this] { return FTerminated; });
}

void TRelayThread::Log(const std::string& message) {
  FLog.WriteLog(FThreadNumber, message);
}

void TRelayThread::Execute() {
  FThreadNumber = CurrentThreadNumber();
  bool again = true;  // the first attempt, and a renewal, go without a pause
  while (!Terminated()) {
    if (!again) {
      if (!Pause(ReconnectPause)) break;
      Log("Relay: Attempting Reconnection...");
    }
    again = Attempt();
  }
}

bool TRelayThread::Attempt() {
  bool again = false;
  try {
    FClient.Host = FRelayServer;
    FClient.Port = FPort;
    try {
      FClient.Connect();
    } catch (...) {
      if (FClient.Connected()) FClient.Disconnect();
      throw;
    }
    try {
      // Without a store to mirror into, the link is closed as soon as it is made.
      if (FMirror) again = FMirror->Run(FClient) == TRelayMirror::TEnd::Renew;
    } catch (...) {
      FClient.Disconnect();  // also a link the upstream closed: its socket goes here
      throw;
    }
    FClient.Disconnect();
  } catch (const std::exception& error) {
    Log(std::string("Relay Exception :- ") + error.what());
  } catch (...) {
    Log("Relay Exception :- ");
  }
  return again;
}
