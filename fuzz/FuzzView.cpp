// View sessions driven by arbitrary bytes; the first byte's low bit turns logins on. The
// store's games are hidden, so a request ends at once instead of streaming for seconds.
#include <filesystem>

#include "SessionHarness.h"
#include "view/UnitListActiveUsers.h"
#include "view/ViewService.h"

namespace {

std::string DemoRecord(const std::string& summary) {
  std::string record(1032, '\0');
  record.replace(4, summary.size(), summary);
  record[1028] = 1;
  return record + "data";
}

struct TViewFuzz {
  TSettingsHolder settings;
  fuzz::TSessionHarness harness{[](const std::string& base) {
    std::filesystem::create_directories(base + "Streams/GAME");
    fuzz::WriteFile(base + "users.txt", "alice,pw\nbob,\n");
    fuzz::WriteFile(base + "Streams/GAME/info.ini",
                    "[stream]\navailable=0\n[active]\nstreams=2\nsections=2\n[types]\n0=0\n"
                    "1=1\n[block]\n0_0=1032\n0_1=1032\n[header]\n0_0=1\n0_1=1\n");
    fuzz::WriteFile(base + "Streams/GAME/stream_0_0", DemoRecord("12:00,Map"));
    fuzz::WriteFile(base + "Streams/GAME/stream_0_1", DemoRecord(std::string(1100, 'x')));
    fuzz::WriteFile(base + "Streams/GAME/stream_1_0", "audio");
  }};
  TLog log{fuzz::LogPath};
  TGameStore store{harness.Base() + "Streams/"};
  TListActiveUsers users;
  TViewService service{settings, log, store, users, harness.Base() + "users.txt", [] { return 1; }};
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static auto* fuzz = new TViewFuzz;
  const bool auth = size > 0 && (data[0] & 1) != 0;
  TSettings changed;
  changed.ViewerAuth = auth;
  fuzz->settings.Set(changed);
  fuzz->harness.Run([](TIdPeerThread& t) { fuzz->service.Execute(t); }, data, size);
  return 0;
}
