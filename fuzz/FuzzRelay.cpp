// Relay sessions driven by arbitrary bytes, with the hooks left unassigned as in the server.
#include "SessionHarness.h"
#include "common/Log.h"
#include "relay/UnitidZarnelRelayServer.h"

namespace {

// Never activated: its command loop runs on the harness's socket pairs.
struct TRelayServer : TidZarnelRelayServer {
  TRelayServer() : TidZarnelRelayServer(0) {}
  using TidZarnelRelayServer::RunSession;
};

struct TRelayFuzz {
  TRelayFuzz() {
    server.OnLog = [this](std::int32_t id, const std::string& m) { log.WriteLog(id, m); };
  }
  fuzz::TSessionHarness harness{[](const std::string&) {}};
  TLog log{fuzz::LogPath};
  TRelayServer server;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static auto* fuzz = new TRelayFuzz;
  fuzz->harness.Run([](TIdPeerThread& t) { fuzz->server.RunSession(t); }, data, size);
  return 0;
}
