// Relay sessions driven by arbitrary bytes, with the hooks left unassigned as in the server.
#include "SessionHarness.h"
#include "common/Log.h"
#include "relay/UnitidZarnelRelayServer.h"

namespace {

struct TRelayFuzz {
  TidZarnelRelayServer server{0};
  fuzz::TSessionHarness harness{server, [](const std::string&) {}};
  TLog log{harness.Base() + "zarnel.log"};
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static TRelayFuzz* fuzz = [] {
    auto* f = new TRelayFuzz;
    f->server.OnLog = [f](std::int32_t id, const std::string& m) { f->log.WriteLog(id, m); };
    return f;
  }();
  fuzz->harness.Run(data, size);
  return 0;
}
