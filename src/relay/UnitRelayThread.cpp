#include "relay/UnitRelayThread.h"

#include <chrono>
#include <exception>
#include <utility>

#include "common/Metrics.h"

namespace {
constexpr std::chrono::milliseconds ReconnectPause{2000};

std::string Trimmed(const std::string& text) {
  const auto first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return "";
  return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

// The port of "HOST:PORT"; 0 when Text is no port number.
std::uint16_t PortNumber(const std::string& text) {
  if (text.empty() || text.size() > 5) return 0;
  int port = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return 0;
    port = port * 10 + (c - '0');
  }
  return port <= 65535 ? static_cast<std::uint16_t>(port) : 0;
}
}  // namespace

std::vector<TRelayUpstreamAddress> ParseRelayServers(const std::string& list) {
  std::vector<TRelayUpstreamAddress> out;
  std::size_t start = 0;
  for (;;) {
    const std::size_t comma = list.find(',', start);
    const std::string entry = Trimmed(list.substr(start, comma - start));
    if (!entry.empty()) {
      TRelayUpstreamAddress address{entry, entry, RelayPort};
      const std::size_t close = entry.front() == '[' ? entry.find(']') : std::string::npos;
      if (close != std::string::npos) {
        // An IPv6 address in brackets, its port after them: "[::1]" or "[::1]:28300".
        const std::string host = entry.substr(1, close - 1);
        const std::uint16_t port = entry.size() > close + 1 && entry[close + 1] == ':'
                                       ? PortNumber(entry.substr(close + 2))
                                       : 0;
        if (close + 1 == entry.size() || port != 0) {
          address.Host = host;
          if (port != 0) address.Port = port;
        }
      } else if (entry.find(':') == entry.rfind(':')) {
        // A name or IPv4 address with at most one colon; more make an IPv6 address alone.
        const std::size_t colon = entry.find(':');
        const std::uint16_t port =
            colon == std::string::npos ? 0 : PortNumber(entry.substr(colon + 1));
        if (port != 0 && colon > 0) {
          address.Host = entry.substr(0, colon);
          address.Port = port;
        }
      }
      out.push_back(std::move(address));
    }
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  if (out.empty()) out.push_back({"", "", RelayPort});
  return out;
}

const char* RelayLinkPhaseName(TRelayLinkState::TPhase phase) {
  switch (phase) {
    case TRelayLinkState::TPhase::Connecting:
      return "connecting";
    case TRelayLinkState::TPhase::Connected:
      return "connected";
    case TRelayLinkState::TPhase::Refused:
      return "refused";
  }
  return "";
}

TRelayThread::TRelayThread(std::string relayServer, TLog& log, std::chrono::seconds relayTimeout)
    : FLog(log), FUpstreams(ParseRelayServers(relayServer)), FTimeout(relayTimeout) {
  FState.Upstream = FUpstreams.front().Name;
  FState.Since = std::chrono::system_clock::now();
  FClient.OnConnected = [this](TIdTCPClient&) { Log("Relay: Connected to " + FHost); };
  FClient.OnDisconnected = [this](TIdTCPConnection&) { Log("Relay: Disconnected from " + FHost); };
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
  FMirror->OnAuthorize = [this](bool authorized) {
    FAuthorization = authorized;
    if (authorized && !FServedBy.empty() && FServedBy != FHost) Count(Metrics().RelayLinkSwitches);
    if (authorized) FServedBy = FHost;
    SetPhase(FHost,
             authorized ? TRelayLinkState::TPhase::Connected : TRelayLinkState::TPhase::Refused);
  };
}

void TRelayThread::SetUpstreams(const std::string& relayServer, std::chrono::seconds relayTimeout) {
  std::vector<TRelayUpstreamAddress> upstreams = ParseRelayServers(relayServer);
  std::lock_guard<std::mutex> lock(FLock);
  FUpstreams = std::move(upstreams);
  FTimeout = relayTimeout;
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

TRelayLinkState TRelayThread::State() const {
  TRelayLinkState state;
  {
    std::lock_guard<std::mutex> lock(FLock);
    state = FState;
  }
  if (FMirror) state.Games = FMirror->Games();
  return state;
}

bool TRelayThread::Terminated() {
  std::lock_guard<std::mutex> lock(FLock);
  return FTerminated;
}

bool TRelayThread::Pause(std::chrono::milliseconds duration) {
  std::unique_lock<std::mutex> lock(FLock);
  return !FWake.wait_for(lock, duration, [this] { return FTerminated; });
}

void TRelayThread::SetPhase(const std::string& upstream, TRelayLinkState::TPhase phase) {
  std::lock_guard<std::mutex> lock(FLock);
  if (FState.Upstream == upstream && FState.Phase == phase) return;
  FState.Upstream = upstream;
  FState.Phase = phase;
  FState.Since = std::chrono::system_clock::now();
}

void TRelayThread::Log(const std::string& message) {
  FLog.WriteLog(FThreadNumber, message);
}

void TRelayThread::Execute() {
  FThreadNumber = CurrentThreadNumber();
  std::size_t next = 0;   // the entry to try
  std::size_t tried = 0;  // attempts of this round that found no lasting upstream
  bool again = true;      // the first attempt, and a renewal, go without a pause
  auto started = std::chrono::steady_clock::now();  // of this upstream, renewals included
  while (!Terminated()) {
    TRelayUpstreamAddress upstream;
    std::chrono::seconds timeout;
    std::size_t count;
    {
      std::lock_guard<std::mutex> lock(FLock);
      count = FUpstreams.size();
      if (next >= count) next = 0;
      upstream = FUpstreams[next];
      timeout = FTimeout;
    }
    // A round ends once every upstream has been tried: then the pause, as with a single one.
    if (!again && tried >= count) {
      if (!Pause(ReconnectPause)) break;
      Log("Relay: Attempting Reconnection...");
      tried = 0;
      continue;  // the list may have changed meanwhile
    }
    if (!again) started = std::chrono::steady_clock::now();
    const TOutcome outcome = Attempt(upstream, timeout);
    again = outcome == TOutcome::Renew;
    if (again) continue;  // the same upstream, at once
    // An upstream that served for a while starts a new round, so its successor is tried at
    // once; one that dropped the link straight away counts as a failure, so a list of such
    // upstreams still pauses between rounds.
    const bool lasted =
        outcome == TOutcome::Served && std::chrono::steady_clock::now() - started >= ReconnectPause;
    tried = lasted ? 1 : tried + 1;
    next += 1;
  }
}

TRelayThread::TOutcome TRelayThread::Attempt(const TRelayUpstreamAddress& upstream,
                                             std::chrono::seconds timeout) {
  FHost = upstream.Name;
  FAuthorization.reset();
  SetPhase(FHost, TRelayLinkState::TPhase::Connecting);
  bool renew = false;
  try {
    FClient.Host = upstream.Host;
    FClient.Port = upstream.Port;
    FClient.ConnectTimeout = static_cast<int>(timeout.count() * 1000);
    try {
      FClient.Connect();
    } catch (...) {
      if (FClient.Connected()) FClient.Disconnect();
      throw;
    }
    try {
      // Without a store to mirror into, the link is closed as soon as it is made.
      if (FMirror) renew = FMirror->Run(FClient, timeout) == TRelayMirror::TEnd::Renew;
    } catch (...) {
      FClient.Disconnect();  // also a link the upstream closed: its socket goes here
      throw;
    }
    FClient.Disconnect();
  } catch (const std::exception& error) {
    Log(std::string("Relay Exception :- ") + error.what() + " (" + FHost + ")");
  } catch (...) {
    Log("Relay Exception :- (" + FHost + ")");
  }
  // A refusal stays on show through the pause; anything else is connecting again.
  if (FAuthorization.value_or(true)) SetPhase(FHost, TRelayLinkState::TPhase::Connecting);
  if (renew) return TOutcome::Renew;
  return FAuthorization.value_or(false) ? TOutcome::Served : TOutcome::Failed;
}
